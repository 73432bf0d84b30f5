#!/usr/bin/env bash
# Makes the release an integrator drops in: dist/cash-drawer-VERSION-win64.zip
# and dist/SHA256SUMS, from the win64 build (configured and built here).
#   scripts/release.sh [--no-build] [--out DIR] [--build-dir DIR]
# --no-build packs what the build folder holds (the tests use it); --out
# writes elsewhere than dist/; --build-dir builds in another folder than
# build/win64 (CI builds twice to show that the bytes do not change).
# The same commit gives the same bytes: file times come from
# SOURCE_DATE_EPOCH (the commit's time when it is not set), the DLL and
# the tool carry no link time, the import libraries no member times, and
# the archive lists its files in one order.
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
    --build-dir) build=$2; shift ;;
    *) echo "usage: scripts/release.sh [--no-build] [--out DIR] [--build-dir DIR]" >&2; exit 1 ;;
  esac
  shift
done
# g++ for the host-side serial device simulator the configure step sets
# up; CLI11 and nlohmann-json for the tool.
# python3-pip and flit (its flit_core) for the Python package's wheel.
scripts/ensure-packages.sh cmake make g++ g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 zip \
  libcli11-dev nlohmann-json3-dev python3 python3-pip flit >&2

stage=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-release.XXXXXX")
trap 'rm -rf "$stage"' EXIT
if [ "$do_build" -eq 1 ]; then
  { cmake --preset win64 -B "$build" && cmake --build "$build" -j2 --target Cash_Drawer_DLL cashdrawer; } \
    >"$stage/build.log" 2>&1 || { cat "$stage/build.log" >&2; exit 1; }
  rm -f "$stage/build.log"
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $build/CMakeCache.txt" >&2; exit 1; }
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 1767225600)
fi
# strip and objcopy write it into the PE headers they rewrite, in place of
# the time they run at.
export SOURCE_DATE_EPOCH
name=cash-drawer-$version-win64
objcopy=x86_64-w64-mingw32-objcopy
strip=x86_64-w64-mingw32-strip
dlltool=x86_64-w64-mingw32-dlltool

top=$stage/$name
mkdir -p "$top"/{bin/sim,debug,include,lib/cmake/CashDrawer,examples}

# The DLL stripped, its debug information apart, linked by .gnu_debuglink
# (name and CRC of the debug file) so a debugger finds it.
"$objcopy" --only-keep-debug "$build/bin/Cash_Drawer_DLL.dll" "$top/debug/Cash_Drawer_DLL.dll.debug"
"$strip" --strip-all -o "$top/bin/Cash_Drawer_DLL.dll" "$build/bin/Cash_Drawer_DLL.dll"
(cd "$top/debug" && "$objcopy" --add-gnu-debuglink=Cash_Drawer_DLL.dll.debug "$top/bin/Cash_Drawer_DLL.dll")
"$strip" --strip-all -o "$top/bin/cashdrawer.exe" "$build/bin/cashdrawer.exe"
for double in WinIo64.dll QuorlinIO.dll; do
  "$strip" --strip-all -o "$top/bin/sim/$double" "$build/bin/sim/$double"
done

cp include/cash_drawer.h "$top/include/"
cp src/interface/Cash_Drawer_DLL.def "$top/lib/"
# Both import libraries from the same .def, with no member times: one for
# mingw's linker, one for MSVC's.
# (Made in the folder itself: dlltool names the members after the path it
# is given.)
for implib in libCash_Drawer_DLL.dll.a Cash_Drawer_DLL.lib; do
  (cd "$top/lib" && "$dlltool" --deterministic-libraries --input-def Cash_Drawer_DLL.def \
    --dllname Cash_Drawer_DLL.dll --output-lib "$implib")
done
cp cmake/CashDrawerConfig.cmake "$build/generated/CashDrawerConfigVersion.cmake" "$top/lib/cmake/CashDrawer/"
cp -r examples/c examples/csharp examples/python "$top/examples/"
# The Python package's wheel, built offline from a copy of its folder.
mkdir -p "$top/python" "$stage/wheel"
cp -r python "$stage/wheel/source"
# Debian's Python, whose flit_core the build uses (not another one first
# on PATH).
/usr/bin/python3 -m pip wheel --no-deps --no-build-isolation --no-index --disable-pip-version-check -q \
  -w "$top/python" "$stage/wheel/source" >"$stage/wheel/log" 2>&1 || { cat "$stage/wheel/log" >&2; exit 1; }
# The integrators' README, not the developers'.
cp docs/integrators/README.md "$top/README.md"
cp CHANGELOG.md "$top/"

# The same bytes for the same sources: fixed times, sorted names, no
# extra attributes, the same permissions whatever the umask.
find "$top" -type d -exec chmod 755 {} +
find "$top" -type f -exec chmod 644 {} +
find "$top" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out/$name.zip"
(cd "$stage" && find "$name" -type f | LC_ALL=C sort | TZ=UTC zip -X -D -q "$out/$name.zip" -@)
(cd "$out" && sha256sum "$name.zip" > SHA256SUMS)
echo "$out/$name.zip"
