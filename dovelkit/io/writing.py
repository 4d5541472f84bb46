"""Writing whole structures moved by an alignment's transform, as PDB or mmCIF, plain or gzip.

gemmi reads the source and writes the output. Every atom of every model moves (anisotropic
displacement parameters rotate with it); the header travels as far as the output format can hold
it. Output goes to a temporary file beside the target that is renamed into place once complete,
so a failure or an interrupt never leaves a half-written file behind.
"""

from __future__ import annotations

import gzip
import os

import gemmi

import dovel

from dovelkit.io.atomic import write_atomically
from dovelkit.io.paths import PathLike
from dovelkit.io.reading import file_stem, read_structure

PDB_SUFFIXES = (".pdb", ".ent")
MMCIF_SUFFIXES = (".cif", ".mmcif")

# Descriptive PDB header records that gemmi's writer does not reproduce; they do not depend on the
# coordinates, so they are copied from a PDB source as they are. The order is the one the format
# prescribes for header records; gemmi's own header lines are merged into it.
_HEADER_ORDER = (
    "HEADER", "OBSLTE", "TITLE", "SPLIT", "CAVEAT", "COMPND", "SOURCE", "KEYWDS", "EXPDTA",
    "NUMMDL", "MDLTYP", "AUTHOR", "REVDAT", "SPRSDE", "JRNL", "REMARK", "DBREF", "DBREF1", "DBREF2",
    "SEQADV", "SEQRES", "MODRES", "HET", "HETNAM", "HETSYN", "FORMUL", "HELIX", "SHEET", "SSBOND",
    "LINK", "CISPEP", "SITE", "CRYST1", "ORIGX1", "ORIGX2", "ORIGX3", "SCALE1", "SCALE2", "SCALE3",
    "MTRIX1", "MTRIX2", "MTRIX3",
)
_COPIED_RECORDS = frozenset({
    "OBSLTE", "SPLIT", "CAVEAT", "COMPND", "SOURCE", "NUMMDL", "MDLTYP", "AUTHOR", "REVDAT",
    "SPRSDE", "JRNL", "HETNAM", "HETSYN", "FORMUL", "SITE",
})


def output_format(path: PathLike) -> tuple[str, bool]:
    """("pdb" or "mmcif", gzip?) as the output file name asks; ValueError for any other name."""
    name = os.path.basename(os.fspath(path)).lower()
    compressed = name.endswith(".gz")
    if compressed:
        name = name[:-3]
    if name.endswith(PDB_SUFFIXES):
        return "pdb", compressed
    if name.endswith(MMCIF_SUFFIXES):
        return "mmcif", compressed
    raise ValueError(f"{os.fspath(path)}: output name must end in .pdb, .ent, .cif or .mmcif "
                     "(optionally followed by .gz)")


def _gemmi_transform(transform: dovel.Transform) -> gemmi.Transform:
    tr = gemmi.Transform()
    tr.mat.fromlist(transform.rotation.tolist())
    tr.vec.fromlist(transform.translation.tolist())
    return tr


def _record(line: str) -> str:
    return line[:6].rstrip()


def _pdb_text(structure: gemmi.Structure, source_lines: list[str] | None) -> str:
    options = gemmi.PdbWriteOptions()
    options.conect_records = True
    options.preserve_serial = bool(structure.conect_map)
    text = structure.make_pdb_string(options)
    if not source_lines:
        return text
    lines = text.splitlines()
    body_start = next((k for k, line in enumerate(lines) if _record(line) in ("MODEL", "ATOM", "HETATM")),
                      len(lines))
    header, body = lines[:body_start], lines[body_start:]
    present = {_record(line) for line in header}
    extra = [line.rstrip("\r") for line in source_lines
             if _record(line) in _COPIED_RECORDS and _record(line) not in present]
    if not extra:
        return text
    rank = {name: k for k, name in enumerate(_HEADER_ORDER)}
    merged = sorted(header + extra, key=lambda line: rank.get(_record(line), len(rank)))
    return "\n".join(merged + body) + "\n"


def _source_text(source: PathLike) -> str:
    """The source file's text (gzip undone), for the header records of a PDB source."""
    with open(source, "rb") as fh:
        data = fh.read()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    return data.decode("latin-1")


def _mmcif_block(source: PathLike) -> gemmi.cif.Block:
    with open(source, "rb") as fh:
        data = fh.read()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    return gemmi.cif.read_string(data.decode("latin-1")).sole_block()


def render_moved(source: PathLike, transform: dovel.Transform, fmt: str) -> str:
    """The text of ``source`` with every atom moved by ``transform``, in ``fmt`` ("pdb" or "mmcif")."""
    structure = read_structure(source)
    if structure.name in ("", "string"):  # read from memory: name it as the file does
        info = structure.info
        structure.name = (info["_entry.id"] if "_entry.id" in info else "") or file_stem(source)
    from_mmcif = structure.input_format == gemmi.CoorFormat.Mmcif
    tr = _gemmi_transform(transform)
    for model in structure:
        model.transform_pos_and_adp(tr)
    try:
        if fmt == "mmcif":
            if from_mmcif:
                # Update the source's own block: every category it had is kept.
                block = _mmcif_block(source)
                structure.update_mmcif_block(block)
                return str(block.as_string())
            return str(structure.make_mmcif_document().as_string())
        source_lines = None if from_mmcif else _source_text(source).splitlines()
        return _pdb_text(structure, source_lines)
    except (RuntimeError, ValueError) as exc:
        kind = "mmCIF" if fmt == "mmcif" else "PDB"
        hint = " (try an .cif output name)" if fmt == "pdb" else ""
        raise ValueError(f"{os.fspath(source)}: cannot write as {kind}: {exc}{hint}") from None


def write_moved(source: PathLike, transform: dovel.Transform, out_path: PathLike) -> None:
    """Write the whole structure of ``source`` moved by ``transform`` to ``out_path``.

    ``source`` is a PDB or mmCIF file, plain or gzip-compressed (any file ``dovelkit.load``
    reads). Every atom of every model is moved, anisotropic displacement parameters rotated with
    it. The output format follows ``out_path``: ``.pdb``/``.ent`` PDB, ``.cif``/``.mmcif`` mmCIF,
    a further ``.gz`` compresses. An mmCIF source written as mmCIF keeps all its categories; a PDB
    source written as PDB keeps its header records (COMPND, SOURCE, JRNL, REMARK, ...) and CONECT
    records; across formats the header goes as far as gemmi converts it. Crystal cell and symmetry
    records still describe the original frame.

    The file appears complete or not at all. Raises ValueError for an output name of another
    format or a structure that does not fit the format (e.g. long chain names in PDB), OSError
    when reading or writing fails, TypeError for a transform that is not a ``dovel.Transform``.
    """
    if not isinstance(transform, dovel.Transform):
        raise TypeError(f"transform must be a dovel.Transform, not {type(transform).__name__}")
    fmt, compressed = output_format(out_path)
    data = render_moved(source, transform, fmt).encode("utf-8")
    if compressed:
        data = gzip.compress(data, mtime=0)
    write_atomically(out_path, data)
