"""Files: paths and sizes (``paths``), reading structures (``reading``), writing moved structures
(``writing``), files written whole or not at all (``atomic``) and collections of input files
(``inputs``)."""
