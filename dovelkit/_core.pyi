"""dovelkit._core: the core of dovel as the kit uses it (a private extension module)."""

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

_Coords = npt.ArrayLike

class Settings:
    """Alignment parameters as a plain value (the fields of dovel.Parameters)."""

    n_passes: int
    e1: float
    e2: float
    gap_open: float
    gap_extend: float
    use_secondary: bool
    max_iter: int
    cutoff_dist: float
    score_cutoff: float
    convergence: float
    verbosity: int
    def __init__(
        self,
        *,
        n_passes: int = ...,
        e1: float = ...,
        e2: float = ...,
        gap_open: float = ...,
        gap_extend: float = ...,
        use_secondary: bool = ...,
        max_iter: int = ...,
        cutoff_dist: float = ...,
        score_cutoff: float = ...,
        convergence: float = ...,
        verbosity: int = ...,
    ) -> None: ...
    @staticmethod
    def from_parameters(parameters: Any) -> Settings: ...
    def to_parameters(self) -> Any: ...
    def __getstate__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

class Alignment:
    """One pairwise alignment: pairs, distances, transform and statistics."""

    @property
    def pairs(self) -> npt.NDArray[np.int64]: ...
    @property
    def core_pairs(self) -> npt.NDArray[np.uint8]: ...
    @property
    def distances(self) -> npt.NDArray[np.float64]: ...
    @property
    def transform(self) -> npt.NDArray[np.float64]: ...
    @property
    def score(self) -> float: ...
    @property
    def rmsd(self) -> float: ...
    @property
    def n_aligned(self) -> int: ...
    @property
    def seq_identity(self) -> float: ...

def align_pair(
    fixed_coords: _Coords,
    fixed_sequence: str,
    mobile_coords: _Coords,
    mobile_sequence: str,
    settings: Settings,
    *,
    scan: bool = True,
    step: int = 5,
) -> Alignment: ...

class Hit:
    """One hit of a database scan, with the alignment behind it."""

    position: int
    @property
    def rank(self) -> int: ...
    @property
    def score(self) -> float: ...
    @property
    def rmsd(self) -> float: ...
    @property
    def n_aligned(self) -> int: ...
    @property
    def seq_identity(self) -> float: ...
    @property
    def z_score(self) -> float | None: ...
    @property
    def tm_query(self) -> float: ...
    @property
    def tm_target(self) -> float: ...
    @property
    def transform(self) -> npt.NDArray[np.float64]: ...
    @property
    def pairs(self) -> npt.NDArray[np.int64] | None: ...
    @property
    def distances(self) -> npt.NDArray[np.float64] | None: ...
    @property
    def core_pairs(self) -> npt.NDArray[np.uint8] | None: ...
    def __getstate__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

def scan_targets(
    query_coords: _Coords,
    query_sequence: str,
    coords: _Coords,
    offsets: npt.ArrayLike,
    sequences: str,
    first_position: int,
    settings: Settings,
    *,
    score_cutoff: float,
    max_hits: int,
    quick: bool,
    scan_mode: bool,
    pairs: bool = False,
    fold: bool = False,
) -> list[Hit]: ...
def select_hits(hits: Sequence[Hit], *, score_cutoff: float, max_hits: int) -> list[Hit]: ...
def align_domains(
    structures: Sequence[tuple[_Coords, str]],
    settings: Settings,
    *,
    progress: Callable[[int, int], object] | None = None,
) -> dict[str, Any]: ...

class TmScore:
    """The TM-score of one alignment, with the superpositions that maximise it."""

    @property
    def tm_fixed(self) -> float: ...
    @property
    def tm_mobile(self) -> float: ...
    @property
    def transform(self) -> npt.NDArray[np.float64]: ...
    @property
    def transform_mobile(self) -> npt.NDArray[np.float64]: ...
    @property
    def rmsd(self) -> float: ...
    @property
    def n_aligned(self) -> int: ...

class FoldAlignment:
    """The alignment of two chains that maximises TM-score."""

    @property
    def pairs(self) -> npt.NDArray[np.int64]: ...
    @property
    def distances(self) -> npt.NDArray[np.float64]: ...
    @property
    def transform(self) -> npt.NDArray[np.float64]: ...
    @property
    def rmsd(self) -> float: ...
    @property
    def n_aligned(self) -> int: ...
    def as_lists(self) -> tuple[list[list[int]], list[float], list[list[float]]]: ...
    @property
    def seq_identity(self) -> float: ...
    @property
    def tm_fixed(self) -> float: ...
    @property
    def tm_mobile(self) -> float: ...

def tm_score(fixed_coords: _Coords, mobile_coords: _Coords, pairs: npt.ArrayLike) -> TmScore: ...
def fold_align(
    fixed_coords: _Coords, fixed_sequence: str, mobile_coords: _Coords, mobile_sequence: str
) -> FoldAlignment: ...
def fold_align_domains(structures: Sequence[tuple[_Coords, str]]) -> dict[str, Any]: ...
def multiple_distances(
    placed: Sequence[_Coords], columns: Sequence[Sequence[int | None]], core: Sequence[int]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def scan_pdb(data: bytes, mark_restarts: bool = False) -> tuple[int, str, bool, bool, bytes | None]: ...
def search_key(coords: npt.ArrayLike) -> bytes: ...
def prefilter_scores(
    queries: Sequence[npt.ArrayLike],
    data: npt.NDArray[np.uint8],
    offsets: npt.NDArray[np.int64] | npt.NDArray[np.int32],
    *,
    fold: bool = False,
) -> npt.NDArray[np.float32]: ...
def key_lengths(
    data: npt.NDArray[np.uint8], offsets: npt.NDArray[np.int64] | npt.NDArray[np.int32]
) -> npt.NDArray[np.int64]: ...
def top_candidates(scores: npt.NDArray[np.float64], k: int, min_score: float = ...) -> npt.NDArray[np.int64]: ...

_Candidates = tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]

class KeyIndex:
    """The words of a column of search keys indexed for the prefilter."""

    def __init__(
        self, data: npt.NDArray[np.uint8], offsets: npt.NDArray[np.int64] | npt.NDArray[np.int32], *, fold: bool = False
    ) -> None: ...
    def __len__(self) -> int: ...
    @property
    def memory_bytes(self) -> int: ...
    @property
    def fold(self) -> bool: ...
    def search(
        self,
        queries: Sequence[npt.ArrayLike],
        *,
        k: int,
        min_score: float = ...,
        min_rescored: int = ...,
        rescore_factor: float = ...,
    ) -> tuple[list[_Candidates], npt.NDArray[np.int64]]: ...
    def search_entries(
        self,
        entries: npt.NDArray[np.int64],
        *,
        k: int,
        min_score: float = ...,
        min_rescored: int = ...,
        rescore_factor: float = ...,
    ) -> tuple[list[_Candidates], npt.NDArray[np.int64]]: ...
    def word_groups(
        self, rank: npt.NDArray[np.int64], *, words: int, seed: int = 0
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.int64]]: ...

def greedy_set_cover(
    n: int,
    representatives: npt.NDArray[np.int64],
    members: npt.NDArray[np.int64],
    rank: npt.NDArray[np.int64] | None = None,
) -> npt.NDArray[np.int64]: ...
def connected_components(
    n: int,
    representatives: npt.NDArray[np.int64],
    members: npt.NDArray[np.int64],
    rank: npt.NDArray[np.int64] | None = None,
) -> npt.NDArray[np.int64]: ...
