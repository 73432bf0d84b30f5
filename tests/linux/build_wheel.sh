#!/bin/sh
# Builds the Python package's wheel, offline, with Debian's flit_core, and
# checks what it holds.
#   build_wheel.sh PYTHON SOURCE OUT
set -u
python=$1 source=$2 out=$3
rm -rf "$out" && mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-wheel.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -r "$source"/. "$work/"   # setuptools writes its build files beside the sources
cp "$source/../LICENSE" "$work/" # as the release builds it: the licence in the metadata
"$python" -m pip wheel --no-deps --no-build-isolation --no-index -w "$out" "$work" >"$out/log" 2>&1 ||
  { cat "$out/log"; exit 1; }
wheel=$(ls "$out"/cashdrawer-*.whl 2>/dev/null | head -n 1)
[ -n "$wheel" ] || { echo "FAILED: no wheel"; exit 1; }
unzip -Z1 "$wheel" | grep -q '^cashdrawer/__init__.py$' || { echo "FAILED: the wheel lacks the package"; exit 1; }
unzip -Z1 "$wheel" | grep -q '^cashdrawer/py.typed$' || { echo "FAILED: the wheel lacks its type marker"; exit 1; }
unzip -Z1 "$wheel" | grep -q '^cashdrawer-[^/]*\.dist-info/LICENSE$' || { echo "FAILED: the wheel lacks its licence"; exit 1; }
echo "built $(basename "$wheel")"
