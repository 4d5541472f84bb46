#!/bin/sh
# The dovel command on bundled structures: a pairwise alignment across formats (gzip-compressed
# PDB against gzip-compressed mmCIF), a multiple alignment with a report, and a database search.
# Run from this directory after installing (make demo does both); PYTHON picks the interpreter.
set -eu
PY=${PYTHON:-python3}
DATA=data
OUT=output/command
rm -rf "$OUT"
mkdir -p "$OUT"
dovel() { "$PY" -m dovelkit "$@"; }

echo
echo "dovel align: CsdE (gzip PDB) against the NMR structure ER75 (gzip mmCIF, model 1)"
echo "---------------------------------------------------------------------------------"
"$PY" -c "import gemmi, sys; s = gemmi.read_structure(sys.argv[1]); s.setup_entities(); \
s.make_mmcif_document().write_file(sys.argv[2])" "$DATA/1ni7.pdb.gz" "$OUT/1ni7.cif"
gzip -f "$OUT/1ni7.cif"
dovel align "$DATA/5eep.pdb.gz" "$OUT/1ni7.cif.gz" -o "$OUT/1ni7_on_5eep.cif.gz" \
    --html "$OUT/pairwise.html"

echo
echo "dovel msa: three zinc fingers, written moved into $OUT/aligned"
echo "--------------------------------------------------------------"
dovel msa "$DATA/1sp1.pdb" "$DATA/1sp2.pdb" "$DATA/3znf.pdb" \
    -o "$OUT/aligned" --fasta "$OUT/zinc_fingers.fasta" --html "$OUT/multiple.html"

echo
echo "dovel db create / dovel search: every bundled chain, searched with 1sp1"
echo "-----------------------------------------------------------------------"
dovel db create "$OUT/examples.parquet" "$DATA"
dovel search "$DATA/1sp1.pdb" "$OUT/examples.parquet" --top 8 --html "$OUT/search.html"

echo
echo "Reports to open in a browser: $OUT/pairwise.html, $OUT/multiple.html, $OUT/search.html"
