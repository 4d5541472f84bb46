"""Reading protein chains from the files people have: PDB and mmCIF, plain or gzip-compressed.

gemmi parses the files; this module picks the residues the aligner needs (one C-alpha point per
amino-acid residue) and builds ``dovel.Domain`` objects from them.
"""

from __future__ import annotations

import os
import re
import tempfile
import zlib
from dataclasses import dataclass


import gemmi
import numpy as np

import dovel

from dovelkit.paths import PathLike

try:  # ISA-L's inflate reads gzip files several times faster than zlib, with the same checks
    from isal import isal_zlib as _inflate
except ImportError:  # pragma: no cover - a platform without isal wheels
    _inflate = zlib  # type: ignore[misc]
_INFLATE_ERRORS: tuple[type[BaseException], ...] = (zlib.error, getattr(_inflate, "error", zlib.error))


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
    coordinates: np.ndarray  # (N, 3) float64
    labels: list[str]  # residue number and insertion code, as in the file ("52", "52A")


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


def _gunzip(data: bytes) -> bytes:
    """Every member of gzip data, checked to its end (a cut or damaged file is an error)."""
    parts = []
    while True:
        inflater = _inflate.decompressobj(16 + zlib.MAX_WBITS)
        parts.append(inflater.decompress(data))
        if not inflater.eof:
            raise zlib.error("compressed data ends before the end-of-stream marker")
        data = inflater.unused_data
        if not data.strip(b"\0"):  # some tools pad the end with zero bytes
            return b"".join(parts)
        if data[:2] != b"\x1f\x8b":
            raise zlib.error("unexpected data after the compressed stream")


def read_structure(path: PathLike) -> gemmi.Structure:
    """Read a whole structure, the format and compression told apart by the content.

    Raises OSError when the file cannot be read and ValueError (naming the path) when its content
    is not a readable PDB or mmCIF structure.
    """
    fspath = _fspath(path)
    with open(fspath, "rb", buffering=0) as fh:
        data = fh.readall()
    if data[:2] == b"\x1f\x8b":
        try:
            data = _gunzip(data)
        except _INFLATE_ERRORS as exc:
            raise ValueError(f"{fspath}: damaged gzip data ({exc})") from None
    if not data or data.isspace():
        raise ValueError(f"{fspath}: empty file")
    fmt = _sniff_format(data)
    if fmt is None:
        raise ValueError(f"{fspath}: unknown format (neither PDB nor mmCIF)")
    try:
        structure = gemmi.read_structure_string(data, format=fmt)
    except (RuntimeError, ValueError, UnicodeError) as exc:
        kind = "mmCIF" if fmt == gemmi.CoorFormat.Mmcif else "PDB"
        raise ValueError(f"{fspath}: cannot read as {kind}: {exc}") from None
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


def _chain_data(chain: gemmi.Chain, labelled: bool = False) -> ChainData | None:
    """The chain's amino-acid residues with a C-alpha atom; residue labels only when `labelled`."""
    sequence: list[str] = []
    coords: list[float] = []
    labels: list[str] = []
    code_of, add_code, add_xyz = _CODES.get, sequence.append, coords.extend
    polymer = gemmi.EntityType.Polymer
    # first_conformer() gives one residue per sequence position: the first of a residue written
    # twice with different names (microheterogeneity). This loop runs once per residue of every
    # file read, so it keeps to the fewest calls into gemmi.
    for residue in chain.first_conformer():
        code = code_of(residue.name)
        if code is None:
            code = _residue_code(residue.name)
        if not code:
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
    array = np.array(coords, dtype=np.float64).reshape(len(sequence), 3)
    return ChainData(chain.name, "".join(sequence), array, labels)


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
    domain = dovel.Domain.from_arrays(f"{stem}_{data.chain}", data.coordinates, data.sequence, data.chain[0])
    if dssp is not None:
        _apply_dssp(domain, data, dssp)
    return domain


def _apply_dssp(domain: dovel.Domain, data: ChainData, dssp: PathLike) -> None:
    """Apply a DSSP file through the module's DSSP reader.

    The module matches DSSP lines to residues by their labels, and a domain built from arrays is
    labelled 1, 2, 3, ... So the DSSP lines of this chain are relabelled to those positions (the
    residue number columns rewritten, chain column cleared) before the module reads them.
    """
    path = _fspath(dssp)
    position = {label: i + 1 for i, label in reversed(list(enumerate(data.labels)))}
    chain = data.chain
    out: list[str] = []
    with open(path, "rb") as fh:
        raw = fh.read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise ValueError(f"{path}: not a DSSP file (not UTF-8 text)") from None
    in_residues = False
    for line in text.split("\n"):
        line = line.rstrip("\r")
        if not in_residues:
            out.append(line)
            in_residues = "  #  RESIDUE" in line
            continue
        if len(line) <= 16 or line[13] == "!":
            continue
        line_chain = line[11]
        if line_chain != " " and line_chain != chain[0]:
            continue
        # Newer DSSP writes the full chain id at columns 160-163; honour it when present.
        if len(line) >= 163 and line[159:163].strip() and line[159:163].strip() != chain:
            continue
        label = line[5:10].strip() + line[10].strip()
        pos = position.get(label)
        if pos is None:
            continue
        out.append(f"{line[:5]}{pos:>5}  {line[12:]}")  # insertion code and chain cleared
    if not in_residues:
        raise ValueError(f"{path}: not a DSSP file (no residue table header)")
    with tempfile.NamedTemporaryFile("w", suffix=".dssp", encoding="utf-8", delete=False) as tmp:
        tmp.write("\n".join(out) + "\n")
    try:
        domain.load_dssp(tmp.name)
    finally:
        os.unlink(tmp.name)


def _protein_chains(model: gemmi.Model) -> list[ChainData]:
    chains = []
    for chain in model:
        data = _chain_data(chain)
        if data is not None:
            chains.append(data)
    return chains


def load(
    path: PathLike,
    chain: str | None = None,
    model: int = 1,
    dssp: PathLike | None = None,
) -> dovel.Domain:
    """Load one protein chain of a PDB or mmCIF file (plain or gzip-compressed) as a ``dovel.Domain``.

    Every amino-acid residue with a C-alpha atom in the chosen model gives one point (its first
    alternate location); modified residues (MSE, SEP, ...) take their parent's one-letter code, and
    water, ligands and nucleic acids are skipped. ``chain=None`` takes the first chain holding a
    protein residue; ``model`` counts the file's models from 1. The domain id is ``<stem>_<chain>``
    (``1abc_A``); its ``chain`` holds the first character of the chain id. With ``dssp`` the
    secondary structure comes from that DSSP file.

    Raises OSError when a file cannot be read, ValueError naming the path otherwise.
    """
    if chain is not None and not isinstance(chain, str):
        raise TypeError(f"chain must be a str or None, not {type(chain).__name__}")
    fspath = _fspath(path)
    structure = read_structure(fspath)
    selected = _model(structure, fspath, model)
    if chain is None:
        for gchain in selected:
            data = _chain_data(gchain, dssp is not None)
            if data is not None:
                return _domain(file_stem(fspath), data, dssp)
        raise ValueError(f"no protein chain in {fspath}")
    names = list(dict.fromkeys(c.name for c in selected))
    if chain not in names:
        raise ValueError(f"no chain '{chain}' in {fspath} (chains: {', '.join(names) or 'none'})")
    data = _chain_data(selected[chain], dssp is not None)
    if data is None:
        raise ValueError(f"chain '{chain}' of {fspath} holds no amino-acid residue with a C-alpha atom")
    return _domain(file_stem(fspath), data, dssp)


def load_chains(path: PathLike, model: int = 1) -> list[dovel.Domain]:
    """Every chain of the file that holds a protein residue, in file order, as ``dovel.Domain`` objects.

    Raises OSError when the file cannot be read, ValueError naming the path otherwise (also when
    the file holds no protein chain).
    """
    fspath = _fspath(path)
    structure = read_structure(fspath)
    chains = _protein_chains(_model(structure, fspath, model))
    if not chains:
        raise ValueError(f"no protein chain in {fspath}")
    stem = file_stem(fspath)
    return [_domain(stem, data, None) for data in chains]
