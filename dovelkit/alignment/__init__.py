"""Alignments: how to align (``options``), one pairwise alignment (``pairwise``, with ``light``:
the same result read and aligned without NumPy), multiple alignments (``multiple``), many pairs
(``many``) and how an alignment shows itself (``view``)."""
