#!/usr/bin/env bash
# `pip install .` as a user does it, in a fresh virtual environment that sees Debian's
# packages, from a copy of the source tree in a temporary directory (the tree itself is never
# written to); then the module is imported from the environment and the example is run.
#   tests/install/pip_install.sh [python] [kept-dir]
# With a kept directory (CTest passes one in its build tree) the copy of the tree is made there
# afresh on every run, at the same place and with the files' own times, and the module's CMake
# build directory beside it is kept: pip still builds from a copy of the tree through setup.py
# into a fresh environment, and a rerun compiles only the sources changed since the last one.
set -euo pipefail
python="${1:-/usr/bin/python3}"
kept="${2:-}"
src="$(cd "$(dirname "$0")/../.." && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
unset PYTHONPATH

copy="$tmp/src"
if [[ -n "$kept" ]]; then
  mkdir -p "$kept"
  copy="$kept/src"
  rm -rf "$copy"
  export VARN_CMAKE_BUILD_DIR="$kept/cmake"
fi
mkdir "$copy"
tar -C "$src" --exclude='./build*' --exclude='./.git' --exclude='./fuzz/corpus-run' \
    --exclude='*.egg-info' --exclude='__pycache__' -cf - . | tar -C "$copy" -xf -

"$python" -m venv --system-site-packages "$tmp/venv"
"$tmp/venv/bin/python" -m pip install --no-build-isolation --no-index --quiet "$copy"

cd "$tmp"
"$tmp/venv/bin/python" - "$tmp/venv" <<'PY'
import inspect
import pathlib
import sys

import varn_calculations

where = pathlib.Path(varn_calculations.__file__).resolve()
venv = pathlib.Path(sys.argv[1]).resolve()
assert venv in where.parents, f"imported from {where}, not from the environment"
assert (where.parent / "varn_calculations.pyi").is_file(), "type stubs not installed beside the module"
# A single module ships no py.typed: at the top of site-packages it would mark every module
# there as typed.
assert not (where.parent / "py.typed").exists(), "py.typed installed at the top of the library directory"
for f, arg in ((varn_calculations.calculate_from_json, "json_data"),
               (varn_calculations.calculate_from_file, "path"),
               (varn_calculations.load_varn_from_file, "path")):
    assert str(inspect.signature(f)) == f"({arg})", f
print("installed:", where)
PY
out="$("$tmp/venv/bin/python" "$src/examples/analyse.py")"
echo "$out"
grep -q "^combination 'ULS 1.35 G + 1.5 W'" <<<"$out"
