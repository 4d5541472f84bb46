"""How to align: the level, at the family level the method, and the parameters (with their named
presets: the defaults, and a sensitive setting for distant homologues).

Levels: ``"fold"`` -- the alignment that maximises TM-score, whatever the frames (the default, as
for the command) -- and ``"family"`` -- the module's own method, by one of three methods:
``"scan"`` (chains in any frames: the superposition search; the default), ``"direct"`` (no
superposition search: refinement from the frames as given) and ``"quick"`` (one alignment step
from the frames as given; a search's fastest screen). At the fold level there is no method
(None) and no parameters.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import dovel

if TYPE_CHECKING:
    from dovelkit import _core

LEVELS = ("fold", "family")
METHODS = ("scan", "direct", "quick")
DEFAULT_LEVEL = "fold"


@dataclass(frozen=True)
class Options:
    """How to align: ``level`` ("fold" or "family"), at the family level ``method`` ("scan" by
    default, "direct" or "quick"; None at the fold level) and ``params`` (a ``dovel.Parameters``,
    None for the defaults; family level only).

    Without a level, a method or parameters mean the family level (they are its own), otherwise the
    fold level. ValueError for an unknown level or method, or a method at the fold level; TypeError
    for parameters that are not a ``dovel.Parameters``."""

    level: str | None = None
    method: str | None = None
    params: dovel.Parameters | None = None

    def __post_init__(self) -> None:
        if self.params is not None and not isinstance(self.params, dovel.Parameters):
            raise TypeError(f"params must be a dovel.Parameters or None, not {type(self.params).__name__}")
        level = self.level
        if level is None:
            level = "family" if self.method is not None or self.params is not None else DEFAULT_LEVEL
        if level not in LEVELS:
            raise ValueError(f"level must be 'fold' or 'family', not {level!r}")
        method = self.method
        if level == "family":
            method = "scan" if method is None else method
            if method not in METHODS:
                raise ValueError(f"method must be 'scan', 'direct' or 'quick', not {method!r}")
        elif method is not None:
            raise ValueError(f"method {method!r} is a choice of the family level; the fold level has none")
        object.__setattr__(self, "level", level)
        object.__setattr__(self, "method", method)

    @property
    def fold(self) -> bool:
        return self.level == "fold"

    @property
    def scan_mode(self) -> bool:
        """The module's ``scan_mode`` flag (the superposition search)."""
        return self.method == "scan"

    @property
    def quick(self) -> bool:
        """The module's ``quick`` flag."""
        return self.method == "quick"

    def __reduce__(self) -> tuple[Any, ...]:
        # dovel.Parameters does not pickle: the options go to worker processes by value.
        values = None if self.params is None else {n: getattr(self.params, n) for n in _PARAMETER_NAMES}
        return (_rebuild, (self.level, self.method, values))

    def settings(self) -> _core.Settings:
        """The core's plain-value settings for ``params``."""
        from dovelkit import _core

        return _core.Settings() if self.params is None else _core.Settings.from_parameters(self.params)


_PARAMETER_NAMES = ("n_passes", "e1", "e2", "gap_open", "gap_extend", "use_secondary", "max_iter", "cutoff_dist",
                    "score_cutoff", "convergence", "verbosity")


def _rebuild(level: str, method: str | None, values: dict[str, Any] | None) -> Options:
    params = None
    if values is not None:
        params = dovel.Parameters()
        for name, value in values.items():
            setattr(params, name, value)
    return Options(level, method, params)


def deprecated(old: str, new: str) -> None:
    warnings.warn(f"{old} is deprecated; use {new}", DeprecationWarning, stacklevel=4)


def options_of(options: Options | None = None, level: str | None = None, method: str | None = None,
               params: Any = None, **old: Any) -> Options:
    """The one ``Options`` of a call that takes ``options`` or ``level``/``method``/``params`` (not
    both), or the deprecated ``mode`` (a level), ``scan`` (method "scan" or "direct"), ``quick`` and
    ``scan_mode`` (the module's flags: "scan" when ``scan_mode``, else "quick" when ``quick``, else
    "direct"), each with a DeprecationWarning."""
    if old.get("mode") is not None:
        deprecated("mode=", "level=")
        if level is not None and level != old["mode"]:
            raise ValueError(f"level={level!r} and mode={old['mode']!r} disagree")
        level = old["mode"]
    flags = {k: old[k] for k in ("scan", "quick", "scan_mode") if old.get(k) is not None}
    if flags and (level or "family") == "family":
        deprecated(", ".join(f"{k}=" for k in flags), "method= ('scan', 'direct' or 'quick')")
        if "scan" in flags:
            implied = "scan" if flags["scan"] else "direct"
        else:
            implied = "scan" if flags.get("scan_mode", True) else "quick" if flags.get("quick") else "direct"
        if method is not None and method != implied:
            raise ValueError(f"method={method!r} and {', '.join(f'{k}={v!r}' for k, v in flags.items())} disagree")
        method = implied
    elif flags:
        deprecated(", ".join(f"{k}=" for k in flags), "method= (a choice of the family level)")
    if options is not None:
        if not isinstance(options, Options):
            raise TypeError(f"options must be a dovelkit.Options, not {type(options).__name__}")
        if (level, method, params) != (None, None, None):
            raise TypeError("give options, or level, method and params, not both")
        return options
    if level == "fold" and params is not None:  # the fold level takes no parameters
        if not isinstance(params, dovel.Parameters):
            raise TypeError(f"params must be a dovel.Parameters or None, not {type(params).__name__}")
        params = None
    return Options(level, method, params)

PRESETS = ("default", "sensitive")

# The sensitive setting, chosen with benchmarks/bench_sensitive.py on its
# training families (docs/sensitive.md has the figures and the choice).
SENSITIVE = {
    "e1": 5.0,
    "e2": 8.0,
    "cutoff_dist": 14.0,
    "gap_open": 1.0,
}


def parameters(preset: str = "default") -> dovel.Parameters:
    """Return a new ``dovel.Parameters`` for a named preset.

    ``"default"``: ``dovel.Parameters()`` unchanged.

    ``"sensitive"``: aligns homologues that the defaults leave at score 0,
    typically pairs at about 1.8-2.7 A C-alpha RMSD.  It changes four of the
    eleven values and keeps the other seven at their defaults:

    - ``e1`` 2.0 -> 5.0: the distance scale of the residue-pair probability,
      so residues 2-3 A apart still count as equivalent;
    - ``e2`` 5.0 -> 8.0: the same for differences of the backbone steps;
    - ``gap_open`` 3.0 -> 1.0: each gap position costs a third as much, so a
      loop of different length no longer splits the alignment;
    - ``cutoff_dist`` 10.0 -> 14.0: the minimum score of a local path rises
      from 30 to 42 units.  This keeps chance matches between unrelated
      chains, which the looser scales would otherwise let through, at 0.

    Gain, on the family search benchmark (29 queries against 43 chains each,
    scan mode): 67 of the 85 homologues that TM-align ranks before the first
    chain of another family are ranked before it, against 52 with the
    defaults; no chain of another family gets a positive score.

    Cost: about 1.2x the CPU time of the default search (about 4.4x faster
    than TM-align on the same targets); aligned pairs score higher than with
    the defaults, so scores of the two presets are not comparable; pairs
    aligned by both presets get about 10 % more aligned residues at a higher
    RMSD (median 1.19 A against 0.83 A; TM-align 1.27 A).  Pairs beyond about
    3 A (fold-level relatives) stay out of reach.

    Raises ValueError for any other name.
    """
    if not isinstance(preset, str) or preset not in PRESETS:
        raise ValueError(f"unknown preset {preset!r}: valid presets are {', '.join(repr(p) for p in PRESETS)}")
    params = dovel.Parameters()
    if preset == "sensitive":
        for name, value in SENSITIVE.items():
            setattr(params, name, value)
    return params
