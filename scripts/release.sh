#!/usr/bin/env bash
# Makes the release an integrator drops in: dist/cash-drawer-VERSION-win64.zip
# and dist/SHA256SUMS, from the win64 build (configured and built here).
#   scripts/release.sh [--no-build] [--out DIR]
# --no-build packs what build/win64 holds (the tests use it); --out writes
# elsewhere than dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/win64
out=dist
do_build=1
while [ $# -gt 0 ]; do
  case $1 in
    --no-build) do_build=0 ;;
    --out) out=$2; shift ;;
    *) echo "usage: scripts/release.sh [--no-build] [--out DIR]" >&2; exit 1 ;;
  esac
  shift
done
# g++ for the host-side serial device simulator the configure step sets
# up; CLI11 and nlohmann-json for the tool.
scripts/ensure-packages.sh cmake make g++ g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 zip \
  libcli11-dev nlohmann-json3-dev >&2

stage=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-release.XXXXXX")
trap 'rm -rf "$stage"' EXIT
if [ "$do_build" -eq 1 ]; then
  { cmake --preset win64 && cmake --build --preset win64 -j2 --target Cash_Drawer_DLL cashdrawer; } \
    >"$stage/build.log" 2>&1 || { cat "$stage/build.log" >&2; exit 1; }
  rm -f "$stage/build.log"
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $build/CMakeCache.txt" >&2; exit 1; }
name=cash-drawer-$version-win64
objcopy=x86_64-w64-mingw32-objcopy
strip=x86_64-w64-mingw32-strip

mkdir -p "$stage"/{bin/sim,debug,include,lib/cmake/CashDrawer,examples}

# The DLL stripped, its debug information apart, linked by .gnu_debuglink
# (name and CRC of the debug file) so a debugger finds it.
"$objcopy" --only-keep-debug "$build/bin/Cash_Drawer_DLL.dll" "$stage/debug/Cash_Drawer_DLL.dll.debug"
"$strip" --strip-all -o "$stage/bin/Cash_Drawer_DLL.dll" "$build/bin/Cash_Drawer_DLL.dll"
(cd "$stage/debug" && "$objcopy" --add-gnu-debuglink=Cash_Drawer_DLL.dll.debug "$stage/bin/Cash_Drawer_DLL.dll")
"$strip" --strip-all -o "$stage/bin/cashdrawer.exe" "$build/bin/cashdrawer.exe"
for double in WinIo64.dll QuorlinIO.dll; do
  "$strip" --strip-all -o "$stage/bin/sim/$double" "$build/bin/sim/$double"
done

cp include/cash_drawer.h "$stage/include/"
cp src/interface/Cash_Drawer_DLL.def "$stage/lib/"
cp "$build/libCash_Drawer_DLL.dll.a" "$stage/lib/"
# The import library for MSVC's linker, made from the same .def.
x86_64-w64-mingw32-dlltool --input-def src/interface/Cash_Drawer_DLL.def --dllname Cash_Drawer_DLL.dll \
  --output-lib "$stage/lib/Cash_Drawer_DLL.lib"
cp cmake/CashDrawerConfig.cmake "$build/generated/CashDrawerConfigVersion.cmake" "$stage/lib/cmake/CashDrawer/"
cp -r examples/c examples/csharp examples/python "$stage/examples/"
cp README.md CHANGELOG.md "$stage/"

# The same bytes for the same sources: fixed times, sorted names, no
# extra attributes.
find "$stage" -exec touch -h -d "2026-01-01 00:00:00 UTC" {} +
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out/$name.zip"
(cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | zip -X -q "$out/$name.zip" -@)
(cd "$out" && sha256sum "$name.zip" > SHA256SUMS)
echo "$out/$name.zip"
