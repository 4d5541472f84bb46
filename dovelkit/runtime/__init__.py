"""Where work runs: worker processes (``pools``), calls run here, on workers or on Dask
(``calls``), and progress on the terminal (``progress``)."""
