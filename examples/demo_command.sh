#!/bin/sh
# The dovel command on bundled structures: a pairwise alignment across formats (PDB against
# gzip-compressed mmCIF), a multiple alignment with a report, and a database search.
# Run from this directory after installing (make demo does both); PYTHON picks the interpreter.
set -eu
PY=${PYTHON:-python3}
FAM=../tests/data/families
OUT=output/command
rm -rf "$OUT"
mkdir -p "$OUT"
dovel() { "$PY" -m dovelkit "$@"; }

echo
echo "dovel align: horse cytochrome c (PDB) against yeast iso-1 cytochrome c (gzip mmCIF)"
echo "-----------------------------------------------------------------------------------"
"$PY" -c "import gemmi, sys; s = gemmi.read_structure(sys.argv[1]); s.setup_entities(); \
s.make_mmcif_document().write_file(sys.argv[2])" "$FAM/cytochrome_c/1ycc.pdb" "$OUT/1ycc.cif"
gzip -f "$OUT/1ycc.cif"
dovel align "$FAM/cytochrome_c/1hrc.pdb" "$OUT/1ycc.cif.gz" -o "$OUT/1ycc_on_1hrc.cif.gz" \
    --html "$OUT/pairwise.html"

echo
echo "dovel msa: four cytochromes c, written moved into $OUT/aligned"
echo "--------------------------------------------------------------"
dovel msa "$FAM"/cytochrome_c/1hrc.pdb "$FAM"/cytochrome_c/1ycc.pdb "$FAM"/cytochrome_c/1co6.pdb \
    "$FAM"/cytochrome_c/1crc.pdb -o "$OUT/aligned" --fasta "$OUT/cytochrome_c.fasta" --html "$OUT/multiple.html"

echo
echo "dovel db create / dovel search: every bundled family chain, searched with 1hrc"
echo "------------------------------------------------------------------------------"
dovel db create "$OUT/families.parquet" "$FAM"
dovel search "$FAM/cytochrome_c/1hrc.pdb" "$OUT/families.parquet" --top 8 --cutoff 0.01 --sensitive \
    --html "$OUT/search.html"

echo
echo "Reports to open in a browser: $OUT/pairwise.html, $OUT/multiple.html, $OUT/search.html"
