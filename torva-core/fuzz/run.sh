#!/usr/bin/env bash
# Runs the libFuzzer targets built in BUILD_DIR (cmake -DTORVA_BUILD_FUZZ=ON
# with CXX=clang++) for SECONDS each (default 60). The working corpus lives in
# BUILD_DIR/fuzz-corpus and grows from run to run; crash reproducers are left in
# BUILD_DIR/fuzz-artifacts. Exit status is non-zero when a target fails.
#   torva-core/fuzz/run.sh build-fuzz [SECONDS]
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [SECONDS]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

target="$build/torva-core/fuzz/fuzz_io"
if [ ! -x "$target" ]; then
  echo "no fuzz target at $target (configure with CXX=clang++ -DTORVA_BUILD_FUZZ=ON)" >&2
  exit 2
fi

corpus="$build/fuzz-corpus/io"
artifacts="$build/fuzz-artifacts/io"
mkdir -p "$corpus" "$artifacts"
# Seeds: the synthetic ones kept here and small real entries of the shared data beside the checkout.
cp -n "$here"/seeds/* "$corpus"/ 2>/dev/null || true
for f in "$root"/../shared/data/*.dssp "$root"/../shared/data/1orc.pdb "$root"/examples/data/1sp1.pdb; do
  [ -f "$f" ] && cp -n "$f" "$corpus/seed_$(basename "$f")"
done

echo "fuzz_io: ${seconds}s, corpus $corpus"
"$target" "$corpus" \
  -dict="$here/io.dict" \
  -max_total_time="$seconds" \
  -max_len=16384 \
  -timeout=10 \
  -rss_limit_mb=2048 \
  -artifact_prefix="$artifacts/" \
  -print_final_stats=1
echo "fuzz_io: no failure in ${seconds}s"
