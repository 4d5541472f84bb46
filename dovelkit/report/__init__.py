"""Reports: the ``Report`` document and its builders (``document``), the figures (``figures``) and
how numbers and hits are written (``formatting``)."""
