"""The structure database and its search: the file (``store``, ``footer``), the statistics of a
search (``statistics``), its stages (``stages``: prefilter, align, merge), the public search
(``engine``) and the rule of which hits are listed (``listing``)."""
