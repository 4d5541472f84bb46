"""Named parameter settings for alignments and searches."""

import dovel

PRESETS = ("default", "sensitive")


def parameters(preset="default"):
    """Return a new dovel.Parameters for a named preset."""
    if preset == "default":
        return dovel.Parameters()
    if preset == "sensitive":
        p = dovel.Parameters()
        p.e1 = 3.0
        return p
    raise ValueError(f"unknown preset {preset!r}: choose one of {', '.join(PRESETS)}")
