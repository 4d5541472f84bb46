#!/usr/bin/env bash
# Installs what building and testing need, and nothing that is already there.
#   tools/install-deps.sh          build and test dependencies
#   tools/install-deps.sh --bench  also the peers the benchmarks compare against (TM-align, tmtools)
#   tools/install-deps.sh --fuzz   also clang for the libFuzzer targets
#   tools/install-deps.sh --demo   only what building, installing and running dovel needs (no test tools)
set -euo pipefail

PYTHON=${PYTHON:-python3}
# Building and running: the compiler, Eigen, the build backend and what dovelkit imports.
apt_pkgs=(g++ make libeigen3-dev mustang)  # mustang: its example zinc fingers (below)
pip_pkgs=(numpy scikit-build-core nanobind cmake ninja gemmi isal pyarrow dask distributed plotly tqdm
          molstar-cli starlette uvicorn python-multipart)  # the viewer in reports; dovel serve
# Testing: GoogleTest, chromium (the report tests open pages in it), pytest, mypy and build.
test_apt=(libgtest-dev chromium)
test_pip=(pytest mypy build)
tests=1
# The packaging test makes virtual environments: Debian's own Python needs python3-venv for that.
"$PYTHON" -c "import ensurepip" >/dev/null 2>&1 || test_apt+=(python3-venv)
for arg in "$@"; do
  case "$arg" in
    --bench) apt_pkgs+=(tm-align); pip_pkgs+=(tmtools) ;;
    --fuzz) apt_pkgs+=(clang libclang-rt-14-dev) ;;
    --demo) tests=0 ;;
    *) echo "unknown option $arg" >&2; exit 2 ;;
  esac
done

if ((tests)); then
  apt_pkgs+=("${test_apt[@]}")
  pip_pkgs+=("${test_pip[@]}")
fi

missing=()
for p in "${apt_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing system packages: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

missing=()
for p in "${pip_pkgs[@]}"; do
  mod=${p//-/_}
  case "$p" in
    cmake|ninja) command -v "$p" >/dev/null 2>&1 || missing+=("$p") ;;
    *) (cd / && "$PYTHON" -c "import $mod") >/dev/null 2>&1 || missing+=("$p") ;;  # not the build/ folder
  esac
done
if ((${#missing[@]})); then
  echo "installing Python packages: ${missing[*]}"
  "$PYTHON" -m pip install -q "${missing[@]}"
fi

# The README's and the demos' zinc fingers: real entries shipped by Debian's mustang package,
# copied into examples/data (not kept in the project).
root=$(cd "$(dirname "$0")/.." && pwd)
for f in 1sp1 1sp2 3znf; do
  [ -f "$root/examples/data/$f.pdb" ] || cp "/usr/share/doc/mustang/examples/$f.pdb" "$root/examples/data/$f.pdb"
done
