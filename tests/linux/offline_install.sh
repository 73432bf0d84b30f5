#!/bin/sh
# The Python package installed where a till is: no network (a network
# namespace of its own, with nothing in it), in a fresh virtual
# environment - from the wheel, and from the source folder without build
# isolation (the build backend, flit_core, is Debian's: the environment
# sees the system's packages for it).
#   offline_install.sh PYTHON WHEEL_DIR SOURCE
set -u
python=$1 wheels=$2 source=$3
wheel=$(ls "$wheels"/cashdrawer-*.whl 2>/dev/null | head -n 1)
[ -n "$wheel" ] || { echo "FAILED: no wheel in $wheels"; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-offline.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Root makes the namespace directly; another user as its own root.
if [ "$(id -u)" = 0 ]; then offline="unshare -n"; else offline="unshare -rn"; fi
$offline true 2>/dev/null || { echo "FAILED: no network namespace can be made here"; exit 1; }

check() { # VENV: the package imports, with its version and its type marker
  "$1/bin/python" -c 'import cashdrawer, os, sys
assert cashdrawer.__version__ == "0.2.0", cashdrawer.__version__
assert os.path.exists(os.path.join(os.path.dirname(cashdrawer.__file__), "py.typed"))
print(cashdrawer.__file__)'
}

"$python" -m venv "$work/from-wheel" || exit 1
$offline "$work/from-wheel/bin/pip" install --no-index --disable-pip-version-check "$wheel" >"$work/wheel.log" 2>&1 ||
  { cat "$work/wheel.log"; echo "FAILED: the wheel did not install offline"; exit 1; }
check "$work/from-wheel" || { echo "FAILED: installed from the wheel, it does not import"; exit 1; }

"$python" -m venv --system-site-packages "$work/from-source" || exit 1
cp -r "$source" "$work/source"
$offline "$work/from-source/bin/pip" install --no-index --no-build-isolation --disable-pip-version-check \
  "$work/source" >"$work/source.log" 2>&1 ||
  { cat "$work/source.log"; echo "FAILED: the source folder did not install offline"; exit 1; }
check "$work/from-source" || { echo "FAILED: installed from the source, it does not import"; exit 1; }
echo "installed offline from the wheel and from the source folder"
