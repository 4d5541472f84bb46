"""Reading protein chains from the files people have: PDB and mmCIF, plain or gzip-compressed.

gemmi parses the files; this module picks the residues the aligner needs (one C-alpha point per
amino-acid residue) and builds ``dovel.Domain`` objects from them.
"""

from __future__ import annotations

import array
import errno
import math
import os
import re
import stat
import zlib
from dataclasses import dataclass
from typing import TYPE_CHECKING

import gemmi

import dovel

from dovelkit._core import MAX_COORDINATE as _core_max_coordinate
from dovelkit._core import apply_dssp, pdb_ca_only, scan_cif, scan_pdb
from dovelkit.io.paths import DEFAULT_MAX_SIZE, PathLike, display_path, not_regular, printable

if TYPE_CHECKING:
    import numpy as np

try:  # ISA-L's inflate reads gzip files several times faster than zlib, with the same checks
    from isal import isal_zlib as _inflate
except ImportError:  # pragma: no cover - a platform without isal wheels
    _inflate = zlib  # type: ignore[misc]
_INFLATE_ERRORS: tuple[type[BaseException], ...] = (zlib.error, getattr(_inflate, "error", zlib.error))


# DEFAULT_MAX_SIZE is the most structure text one file may give, compressed or not, unless the
# caller allows more (``max_size``; ``--max-size`` on the command line): a file that inflates past
# it is refused before it takes memory (a gzip bomb, /dev/zero renamed x.pdb.gz). Each reading
# process holds at most this much text.

# Atom coordinates are read only within MAX_COORDINATE Angstroms of the origin on each axis (|x|
# below it): real structures stay within a few thousand, and the alignment's grids and searches are
# sized by the extent of a chain. A file (or a database entry) with a coordinate beyond it is
# refused, naming the line (or the entry). The bound is the core's (every reader shares it); the
# database and the kit's readers take it from here.
MAX_COORDINATE: float = _core_max_coordinate


def coordinate_range_text() -> str:
    """How the bound reads in messages: "coordinates must lie within +-100000 A"."""
    return f"coordinates must lie within +-{MAX_COORDINATE:.0f} A"


# The chain id given to a chain whose id is blank (PDB files of one chain often leave it out):
# such a chain reads as ``<stem>__``, picked with ``chain="_"``.
BLANK_CHAIN = "_"

# Suffixes that a domain id drops from the file name, outermost first.
_COMPRESSION_SUFFIXES = (".gz",)
_FORMAT_SUFFIXES = (".pdb", ".ent", ".cif", ".mmcif")

# A PDB file is recognised by its records; these are the ones that open real files.
_PDB_RECORD = re.compile(
    rb"^(ATOM  |HETATM|HEADER|MODEL |CRYST1|REMARK|TITLE |COMPND|SOURCE|EXPDTA|SEQRES|ATOM\d|HETAT)",
    re.MULTILINE,
)


@dataclass(frozen=True)
class ChainData:
    """One chain's residues as read: what a ``dovel.Domain`` is built from, plus the true chain id."""

    chain: str
    sequence: str
    xyz: array.array[float]  # the C-alpha atoms' x, y, z (float64), residue after residue
    labels: list[str]  # residue number and insertion code, as in the file ("52", "52A")

    @property
    def coordinates(self) -> np.ndarray:
        """(N, 3) float64."""
        import numpy as np

        return np.frombuffer(self.xyz, dtype=np.float64).reshape(len(self.sequence), 3).copy()

    def points(self) -> memoryview[float]:
        """The coordinates as an (N, 3) view of float64 that dovelkit._core reads without NumPy."""
        return memoryview(self.xyz).cast("B").cast("d", [len(self.sequence), 3])


def file_stem(path: PathLike) -> str:
    """The file name without its compression and format suffixes: ``1abc.cif.gz`` gives ``1abc``."""
    name = os.path.basename(_fspath(path))
    lower = name.lower()
    for suffix in _COMPRESSION_SUFFIXES:
        if lower.endswith(suffix) and len(name) > len(suffix):
            name, lower = name[: -len(suffix)], lower[: -len(suffix)]
            break
    for suffix in _FORMAT_SUFFIXES:
        if lower.endswith(suffix) and len(name) > len(suffix):
            name = name[: -len(suffix)]
            break
    return name or "structure"


def _sniff_format(data: bytes) -> gemmi.CoorFormat | None:
    head = data[:4096].lstrip()
    while head.startswith(b"#"):  # CIF comment lines before the data block
        head = head.split(b"\n", 1)[1].lstrip() if b"\n" in head else b""
    if head[:5].lower() == b"data_":
        return gemmi.CoorFormat.Mmcif
    if _PDB_RECORD.search(data, 0, 1 << 20):
        return gemmi.CoorFormat.Pdb
    return None


def _fspath(path: PathLike) -> str:
    fspath = os.fspath(path)
    return fspath if isinstance(fspath, str) else os.fsdecode(fspath)


def _size_text(n: int) -> str:
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= size and n % size == 0:
            return f"{n // size} {unit}"
    return f"{n} bytes"


def check_max_size(max_size: int | None) -> int:
    """The limit ``max_size`` stands for (the default for None); TypeError/ValueError for a bad one."""
    if max_size is None:
        return DEFAULT_MAX_SIZE
    if isinstance(max_size, bool) or not isinstance(max_size, int):
        raise TypeError(f"max_size must be an int or None, not {type(max_size).__name__}")
    if max_size < 1:
        raise ValueError(f"max_size must be at least 1 byte, not {max_size}")
    return max_size


def _too_large(path: str, limit: int, what: str) -> ValueError:
    return ValueError(f"{path}: {what} more than {_size_text(limit)}, the limit of one structure (max_size)")


def _read_file(path: str, limit: int) -> bytes:
    """The bytes of a regular file, at most ``limit`` of them (ValueError past that).

    The file is opened without blocking, so that a FIFO in place of a file is refused at once
    rather than waiting for a writer; devices and other non-regular files are refused too.
    """
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(info.st_mode):
            raise OSError(errno.EINVAL, not_regular(info.st_mode), path)
        if info.st_size > limit:
            raise _too_large(path, limit, f"{info.st_size} bytes,")
        # One read gives the whole file; the loop serves files whose size stat does not tell
        # (/proc) or that grow while read, and stops past the limit.
        parts: list[bytes] = []
        total = 0
        want = info.st_size + 1
        while True:
            chunk = os.read(fd, min(max(want - total, 1 << 16), limit + 1 - total))
            if not chunk:
                break
            parts.append(chunk)
            total += len(chunk)
            if total > limit:
                raise _too_large(path, limit, "holds")
        return b"".join(parts)
    finally:
        os.close(fd)


def _gunzip(data: bytes, limit: int, path: str) -> bytes:
    """Every member of gzip data, checked to its end (a cut or damaged file is an error).

    Inflating stops as soon as the output passes ``limit`` bytes (ValueError), so memory stays
    bounded by the limit whatever the compressed data claims.
    """
    parts = []
    total = 0
    while True:
        inflater = _inflate.decompressobj(16 + zlib.MAX_WBITS)
        part = inflater.decompress(data, limit + 1 - total)
        total += len(part)
        if total > limit:
            raise _too_large(path, limit, "inflates to")
        parts.append(part)
        if not inflater.eof:  # the output is below the cap, so every input byte went in
            raise zlib.error("compressed data ends before the end-of-stream marker")
        data = inflater.unused_data
        if not data.strip(b"\0"):  # some tools pad the end with zero bytes
            return b"".join(parts)
        if data[:2] != b"\x1f\x8b":
            raise zlib.error("unexpected data after the compressed stream")


def _line_of(data: bytes, offset: int) -> int:
    return data.count(b"\n", 0, offset) + 1


def _read_pdb(data: bytes, path: str, ca_only: bool = False) -> gemmi.Structure:
    """PDB text through gemmi, after the checks gemmi leaves to its caller (see ``scan_pdb``); with
    ``ca_only``, only the atom records of C-alpha atoms go to gemmi."""
    bad_line, problem, legacy, restarts, _ = scan_pdb(data, False, MAX_COORDINATE)
    if bad_line:
        raise ValueError(f"{path}, line {bad_line}: {problem}")
    if restarts:  # a chain numbered 1..n twice: each run its own residues, in file order
        marked = scan_pdb(data, True, MAX_COORDINATE)[4]
        assert marked is not None
        data = marked
        legacy = False  # the marked atom records end at column 76
    if ca_only:
        data = pdb_ca_only(data)
    try:
        structure = gemmi.read_pdb_string(data, max_line_length=72 if legacy else 0)
    except (RuntimeError, ValueError, UnicodeError) as exc:
        if legacy or restarts:
            raise ValueError(f"{path}: cannot read as PDB: {exc}") from None
        try:  # columns past 72 hold nothing the chains need; some old files fill them oddly
            structure = gemmi.read_pdb_string(data, max_line_length=72)
        except (RuntimeError, ValueError, UnicodeError):
            raise ValueError(f"{path}: cannot read as PDB: {exc}") from None
    if restarts:
        for model in structure:
            for chain in model:
                for residue in chain:
                    if residue.segment.startswith("~"):
                        residue.segment = ""
    return structure


def _check_finite(structure: gemmi.Structure, data: bytes, path: str) -> None:
    """ValueError naming the line of the first atom whose coordinates are not finite numbers, or
    lie beyond MAX_COORDINATE (see ``coordinate_range_text``)."""
    box = structure.calculate_box()  # NaN is passed over here, caught by the centre below
    extent = max(abs(v) for p in (box.minimum, box.maximum) for v in (p.x, p.y, p.z)) if len(structure) else 0.0
    for model in structure:
        center = model.calculate_center_of_mass()  # NaN or infinite when any coordinate is
        if math.isfinite(center.x) and math.isfinite(center.y) and math.isfinite(center.z) \
                and extent < MAX_COORDINATE:
            continue
        for chain in model:
            for residue in chain:
                for atom in residue:
                    pos = atom.pos
                    values = (pos.x, pos.y, pos.z)
                    if all(math.isfinite(v) and abs(v) < MAX_COORDINATE for v in values):
                        continue
                    found = re.search(rb"^(?:ATOM|HETATM)[ \t]+%d[ \t]" % atom.serial, data, re.MULTILINE)
                    where = f", line {_line_of(data, found.start())}" if found else ""
                    what = (f"coordinates of atom {atom.serial} ({atom.name} of {residue.name} "
                            f"{residue.seqid.num}{residue.seqid.icode.strip()})")
                    if all(math.isfinite(v) for v in values):
                        raise ValueError(f"{path}{where}: {what} are out of range ({coordinate_range_text()}): "
                                         + ", ".join(f"{v:g}" for v in values))
                    raise ValueError(f"{path}{where}: {what} are not finite numbers")


def read_structure(path: PathLike, max_size: int | None = None) -> gemmi.Structure:
    """Read a whole structure, the format and compression told apart by the content.

    Only regular files are read. At most ``max_size`` bytes of structure text are taken from one
    file (after inflating; default ``DEFAULT_MAX_SIZE``, 512 MiB): a larger or inflating file is
    refused before it takes more memory. A file whose atom records do not read whole (a NUL byte,
    a coordinate that is not a number, not finite, or beyond MAX_COORDINATE) is refused, naming the line.

    Raises OSError when the file cannot be read (also when it is a FIFO, a device or a directory)
    and ValueError (naming the path) when its content is not a readable PDB or mmCIF structure.
    """
    return _read(path, max_size)


def _read(path: PathLike, max_size: int | None = None, ca_only: bool = False) -> gemmi.Structure:
    """``read_structure``; with ``ca_only`` every atom record is checked, but only those of C-alpha
    atoms are parsed into the structure: what the chains are read from, in a fraction of the
    memory (the parsed atoms of a whole file take ten times its text and more)."""
    limit = check_max_size(max_size)
    fspath = _fspath(path)
    data = _read_file(fspath, limit)
    if data[:2] == b"\x1f\x8b":
        try:
            data = _gunzip(data, limit, fspath)
        except _INFLATE_ERRORS as exc:
            raise ValueError(f"{fspath}: damaged gzip data ({exc})") from None
    nul = data.find(b"\0")
    if nul >= 0:
        if data[nul:].strip(b"\0"):
            raise ValueError(f"{fspath}, line {_line_of(data, nul)}: NUL bytes in the text")
        data = data[:nul]  # zero padding at the end
    if not data or data.isspace():
        raise ValueError(f"{fspath}: empty file")
    bad = _undecodable_atom(data)
    if bad is not None:  # names gemmi would pass on as bytes no text can hold
        raise ValueError(f"{fspath}, line {_line_of(data, bad)}: an atom record holding bytes that are not UTF-8 text")
    fmt = _sniff_format(data)
    if fmt is None:
        raise ValueError(f"{fspath}: unknown format (neither PDB nor mmCIF)")
    if fmt == gemmi.CoorFormat.Pdb:
        structure = _read_pdb(data, fspath, ca_only)
    else:
        bad_line, problem, kept = scan_cif(data, MAX_COORDINATE, ca_only)
        if bad_line:
            raise ValueError(f"{fspath}, line {bad_line}: {problem}")
        try:
            structure = gemmi.read_structure_string(kept if kept is not None else data, format=fmt)
        except (RuntimeError, ValueError, UnicodeError) as exc:
            if kept is not None:  # said of the whole text, so that its lines are the file's
                try:
                    gemmi.read_structure_string(data, format=fmt)
                except (RuntimeError, ValueError, UnicodeError) as whole:
                    exc = whole
            raise ValueError(f"{fspath}: cannot read as mmCIF: {exc}") from None
    _check_finite(structure, data, fspath)
    return structure


# Residue name -> one-letter code ("" for a residue that is not an amino acid), from gemmi's table.
_CODES: dict[str, str] = {}
_UNKNOWN = "?"  # a name gemmi does not know: decided by the residue's entity type


def _residue_code(name: str) -> str:
    code = _CODES.get(name)
    if code is None:
        info = gemmi.find_tabulated_residue(name)
        if info is None:
            code = _UNKNOWN
        elif info.is_amino_acid():
            code = info.one_letter_code.upper().strip() or "X"
        else:
            code = ""
        _CODES[name] = code
    return code


# Residues of these entity types are never part of a chain's polymer: the ligands, ions and
# water after a chain's TER record (PDB) or in entities of their own (mmCIF).
_OUTSIDE_POLYMER = frozenset((gemmi.EntityType.NonPolymer, gemmi.EntityType.Water, gemmi.EntityType.Branched))


def _chain_data(chain: gemmi.Chain, labelled: bool = False) -> ChainData | None:
    """The chain's amino-acid residues with a C-alpha atom; residue labels only when `labelled`."""
    sequence: list[str] = []
    coords: list[float] = []
    labels: list[str] = []
    code_of, add_code, add_xyz = _CODES.get, sequence.append, coords.extend
    polymer = gemmi.EntityType.Polymer
    outside = _OUTSIDE_POLYMER
    # first_conformer() gives one residue per sequence position: the first of a residue written
    # twice with different names (microheterogeneity). This loop runs once per residue of every
    # file read, so it keeps to the fewest calls into gemmi.
    for residue in chain.first_conformer():
        code = code_of(residue.name)
        if code is None:
            code = _residue_code(residue.name)
        if not code:
            continue
        # Amino acids written as HETATM after the chain's TER (or in a non-polymer entity) are
        # ligands; ATOM records after a TER still continue the chain (old files end fragments so).
        if residue.entity_type in outside and residue.het_flag == "H":
            continue
        if code == _UNKNOWN:  # a name gemmi does not know: an amino acid only inside the polymer
            if residue.entity_type != polymer:
                continue
            code = "X"
        ca = residue.get_ca()
        if ca is None:
            continue
        add_xyz(ca.pos.tolist())
        add_code(code)
        if labelled:
            seqid = residue.seqid
            labels.append(f"{seqid.num}{seqid.icode.strip()}")
    if not sequence:
        return None
    return ChainData(chain.name or BLANK_CHAIN, "".join(sequence), array.array("d", coords), labels)


def _model(structure: gemmi.Structure, path: str, model: int) -> gemmi.Model:
    if isinstance(model, bool) or not isinstance(model, int):
        raise TypeError(f"model must be an int, not {type(model).__name__}")
    if len(structure) == 0:
        raise ValueError(f"no protein chain in {path} (no atoms)")
    if not 1 <= model <= len(structure):
        raise ValueError(f"no model {model} in {path} (models: 1 to {len(structure)})")
    selected = structure[model - 1]
    selected.remove_waters()  # in C++: spares the residue loop the waters, often half a chain
    return selected


def _domain(stem: str, data: ChainData, dssp: PathLike | None) -> dovel.Domain:
    domain = dovel.Domain.from_arrays(domain_id(stem, data), data.coordinates, data.sequence, data.chain[0])
    if dssp is not None:
        _apply_dssp(domain, data, dssp)
    return domain


def _apply_dssp(domain: dovel.Domain, data: ChainData, dssp: PathLike) -> None:
    """Apply a DSSP file to the domain, after checking that it describes the chain.

    Every DSSP line of the chain must name a residue of the chain (its number and insertion
    code, ``data.labels``) with the same amino acid; the first that does not is named in a
    ValueError, as is a file holding no line of the chain. A label the chain holds twice
    (numbering that starts again) takes its residues in turn. The core reads the file's text
    once, checks it and applies it (the domain is unchanged on error).
    """
    path = _fspath(dssp)
    with open(path, "rb") as fh:
        raw = fh.read()
    try:
        apply_dssp(domain, raw, data.chain, data.labels)
    except ValueError as e:
        raise ValueError(f"{path}: {e}") from None


def _chain_parts(model: gemmi.Model) -> dict[str, list[gemmi.Chain]]:
    """The model's chains by id, in the order of their first atoms: a chain interrupted by another
    (A, B, A) is one chain of two parts, as is a chain whose ligands have entities of their own."""
    parts: dict[str, list[gemmi.Chain]] = {}
    for chain in model:
        parts.setdefault(chain.name or BLANK_CHAIN, []).append(chain)
    return parts


def _whole_chain(parts: list[gemmi.Chain], labelled: bool = False) -> ChainData | None:
    """One chain's residues from all its parts, in file order (see ``_chain_data``)."""
    found = [data for data in (_chain_data(part, labelled) for part in parts) if data is not None]
    if len(found) <= 1:
        return found[0] if found else None
    xyz = array.array("d")
    for data in found:
        xyz.extend(data.xyz)
    return ChainData(found[0].chain, "".join(data.sequence for data in found), xyz,
                     [label for data in found for label in data.labels])


def _protein_chains(model: gemmi.Model) -> list[ChainData]:
    chains = []
    for parts in _chain_parts(model).values():
        data = _whole_chain(parts)
        if data is not None:
            chains.append(data)
    return chains


def load(
    path: PathLike,
    chain: str | None = None,
    model: int = 1,
    dssp: PathLike | None = None,
    max_size: int | None = None,
) -> dovel.Domain:
    """Load one protein chain of a PDB or mmCIF file (plain or gzip-compressed) as a ``dovel.Domain``.

    Every amino-acid residue of the chain's polymer with a C-alpha atom in the chosen model gives
    one point (its first alternate location), in file order, also where the numbering starts
    again; modified residues (MSE, SEP, ...) take their parent's one-letter code, and water,
    ligands (free amino acids after the chain's TER among them) and nucleic acids are skipped.
    ``chain=None`` takes the first chain holding a protein residue; a blank chain id is named
    ``"_"``. ``model`` counts the file's models from 1. The domain id is ``<stem>_<chain>``
    (``1abc_A``); its ``chain`` holds the first character of the chain id. With ``dssp`` the
    secondary structure comes from that DSSP file, which must describe this chain (ValueError
    naming the first residue that differs). ``max_size`` bounds the structure text read (see
    ``read_structure``).

    Raises OSError when a file cannot be read, ValueError naming the path otherwise.
    """
    stem, data = read_chain(path, chain, model, max_size, labelled=dssp is not None)
    return _domain(stem, data, dssp)


def read_chain(path: PathLike, chain: str | None = None, model: int = 1, max_size: int | None = None,
               labelled: bool = False) -> tuple[str, ChainData]:
    """The file's stem and one chain's residues, read as ``load`` reads them (same arguments, same
    errors), without building a domain (and without NumPy); ``labelled`` keeps the residue labels."""
    if chain is not None and not isinstance(chain, str):
        raise TypeError(f"chain must be a str or None, not {type(chain).__name__}")
    fspath = _fspath(path)
    structure = _read(fspath, max_size, ca_only=True)
    selected = _model(structure, fspath, model)
    try:
        return _read_chain(selected, fspath, chain, labelled)
    except UnicodeDecodeError:
        raise _not_text(fspath, max_size) from None


def _not_text(path: str, max_size: int | None) -> ValueError:
    """The error of a file whose chain ids or residue names are not UTF-8 text, naming the first
    atom record (else the first line) holding such bytes."""
    data = _read_file(path, check_max_size(max_size))
    if data[:2] == b"\x1f\x8b":
        data = _gunzip(data, check_max_size(max_size), path)
    at = _undecodable_atom(data)
    if at is None:
        try:
            data.decode("utf-8")
            at = 0
        except UnicodeDecodeError as exc:
            at = exc.start
    return ValueError(f"{path}, line {_line_of(data, at)}: chain or residue names that are not UTF-8 text")


def _undecodable_atom(data: bytes) -> int | None:
    """Where the first atom record holding bytes that are not UTF-8 text begins, or None."""
    if data.isascii():
        return None
    for found in re.finditer(rb"^(?:ATOM|HETATM)[^\n]*?[\x80-\xff][^\n]*", data, re.MULTILINE):
        try:
            found.group().decode("utf-8")
        except UnicodeDecodeError:
            return found.start()
    return None


def _read_chain(selected: gemmi.Model, fspath: str, chain: str | None, labelled: bool) -> tuple[str, ChainData]:
    parts = _chain_parts(selected)
    if chain is None:
        for gchains in parts.values():
            data = _whole_chain(gchains, labelled)
            if data is not None:
                return file_stem(fspath), data
        raise ValueError(f"no protein chain in {fspath}")
    found = parts.get(chain)
    if found is None:
        raise ValueError(f"no chain '{chain}' in {fspath} (chains: {', '.join(parts) or 'none'})")
    data = _whole_chain(found, labelled)
    if data is None:
        raise ValueError(f"chain '{chain}' of {fspath} holds no amino-acid residue with a C-alpha atom")
    return file_stem(fspath), data


def domain_id(stem: str, data: ChainData) -> str:
    """The id ``load`` gives the domain of chain ``data`` of a file named ``stem``: ``1abc_A``."""
    return printable(display_path(f"{stem}_{data.chain}"))


def load_chains(path: PathLike, model: int = 1, max_size: int | None = None) -> list[dovel.Domain]:
    """Every chain of the file that holds a protein residue, in file order, as ``dovel.Domain`` objects
    (read as ``load`` reads one).

    Raises OSError when the file cannot be read, ValueError naming the path otherwise (also when
    the file holds no protein chain).
    """
    fspath = _fspath(path)
    structure = _read(fspath, max_size, ca_only=True)
    try:
        chains = _protein_chains(_model(structure, fspath, model))
    except UnicodeDecodeError:
        raise _not_text(fspath, max_size) from None
    if not chains:
        raise ValueError(f"no protein chain in {fspath}")
    stem = file_stem(fspath)
    return [_domain(stem, data, None) for data in chains]
