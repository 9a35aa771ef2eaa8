#!/usr/bin/env bash
# `pip install .` as a user does it, in a fresh virtual environment that sees Debian's
# packages, from a copy of the source tree in a temporary directory (the tree itself is never
# written to); then the module is imported from the environment and the example is run.
#   tests/install/pip_install.sh [python]
set -euo pipefail
python="${1:-/usr/bin/python3}"
src="$(cd "$(dirname "$0")/../.." && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
unset PYTHONPATH

mkdir "$tmp/src"
tar -C "$src" --exclude='./build*' --exclude='./.git' --exclude='./fuzz/corpus-run' \
    --exclude='*.egg-info' --exclude='__pycache__' -cf - . | tar -C "$tmp/src" -xf -

"$python" -m venv --system-site-packages "$tmp/venv"
"$tmp/venv/bin/python" -m pip install --no-build-isolation --no-index --quiet "$tmp/src"

cd "$tmp"
"$tmp/venv/bin/python" - "$tmp/venv" <<'PY'
import inspect
import pathlib
import sys

import varn_calculations

where = pathlib.Path(varn_calculations.__file__).resolve()
venv = pathlib.Path(sys.argv[1]).resolve()
assert venv in where.parents, f"imported from {where}, not from the environment"
for name in ("varn_calculations.pyi", "py.typed"):
    assert (where.parent / name).is_file(), f"{name} not installed beside the module"
for f, arg in ((varn_calculations.calculate_from_json, "json_data"),
               (varn_calculations.calculate_from_file, "path"),
               (varn_calculations.load_varn_from_file, "path")):
    assert str(inspect.signature(f)) == f"({arg})", f
print("installed:", where)
PY
out="$("$tmp/venv/bin/python" "$src/examples/analyse.py")"
echo "$out"
grep -q "^combination 'ULS 1.35 G + 1.5 W'" <<<"$out"
