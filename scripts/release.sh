#!/usr/bin/env bash
# Makes the release an integrator drops in: dist/cash-drawer-VERSION-win64.zip
# (the DLL for 64-bit applications) and dist/cash-drawer-VERSION-win32.zip
# (for 32-bit ones: VB6, older Delphi, .NET set to x86, OPOS hosts), and
# dist/SHA256SUMS over both, from the win64 and win32 builds (configured
# and built here).
#   scripts/release.sh [--no-build] [--arch win64|win32] [--out DIR] [--build-root DIR]
# --no-build packs what the build folders hold (the tests use it); --arch
# makes one archive only; --out writes elsewhere than dist/; --build-root
# builds in DIR/win64 and DIR/win32 rather than build/ (CI builds twice to
# show that the bytes do not change).
# The same commit gives the same bytes: file times come from
# SOURCE_DATE_EPOCH (the commit's time when it is not set), the DLLs and the
# tools carry no link time, the import libraries no member times, and the
# archives list their files in one order.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build_root=build
out=dist
do_build=1
arches="win64 win32"
while [ $# -gt 0 ]; do
  case $1 in
    --no-build) do_build=0 ;;
    --arch) arches=$2; shift ;;
    --out) out=$2; shift ;;
    --build-root) build_root=$2; shift ;;
    *) echo "usage: scripts/release.sh [--no-build] [--arch win64|win32] [--out DIR] [--build-root DIR]" >&2; exit 1 ;;
  esac
  shift
done
for arch in $arches; do
  case $arch in win64|win32) ;; *) echo "unknown --arch '$arch': win64 or win32" >&2; exit 1 ;; esac
done
# g++ for the host-side serial device simulator the configure step sets
# up; CLI11 and nlohmann-json for the tool; python3-pip and flit (its
# flit_core) for the Python package's wheel.
scripts/ensure-packages.sh cmake make g++ g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 g++-mingw-w64-i686 \
  binutils-mingw-w64-i686 zip libcli11-dev nlohmann-json3-dev libboost-dev python3 python3-pip flit >&2

stage=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-release.XXXXXX")
trap 'rm -rf "$stage"' EXIT
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 1767225600)
fi
# strip and objcopy write it into the PE headers they rewrite, in place of
# the time they run at.
export SOURCE_DATE_EPOCH

# The Python package's wheel, built offline from a copy of its folder with
# Debian's Python, whose flit_core the build uses (not another one first on
# PATH). One wheel serves both: it picks the DLL of the interpreter's kind.
mkdir -p "$stage/wheel"
cp -r python "$stage/wheel/source"
cp LICENSE "$stage/wheel/source/" # flit puts it in the wheel's metadata
/usr/bin/python3 -m pip wheel --no-deps --no-build-isolation --no-index --disable-pip-version-check -q \
  -w "$stage/wheel/out" "$stage/wheel/source" >"$stage/wheel/log" 2>&1 || { cat "$stage/wheel/log" >&2; exit 1; }

mkdir -p "$out"
out=$(cd "$out" && pwd)
sums=()
for arch in $arches; do
  case $arch in
    win64) triple=x86_64-w64-mingw32 port_io=WinIo64.dll def=Cash_Drawer_DLL.def kill_at= ;;
    win32) triple=i686-w64-mingw32 port_io=WinIo32.dll def=Cash_Drawer_DLL.x86.def kill_at=--kill-at ;;
  esac
  build=$build_root/$arch
  if [ "$do_build" -eq 1 ]; then
    { cmake --preset "$arch" -B "$build" && cmake --build "$build" -j2 --target Cash_Drawer_DLL cashdrawer cashdrawer-agent; } \
      >"$stage/build-$arch.log" 2>&1 || { cat "$stage/build-$arch.log" >&2; exit 1; }
  fi
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  [ -n "$version" ] || { echo "no project version in $build/CMakeCache.txt" >&2; exit 1; }
  name=cash-drawer-$version-$arch
  top=$stage/$arch/$name
  mkdir -p "$top"/{bin/sim,debug,include,lib/cmake/CashDrawer,examples/agent,python}

  # The DLL stripped, its debug information apart, linked by .gnu_debuglink
  # (name and CRC of the debug file) so a debugger finds it.
  "$triple-objcopy" --only-keep-debug "$build/bin/Cash_Drawer_DLL.dll" "$top/debug/Cash_Drawer_DLL.dll.debug"
  "$triple-strip" --strip-all -o "$top/bin/Cash_Drawer_DLL.dll" "$build/bin/Cash_Drawer_DLL.dll"
  (cd "$top/debug" && "$triple-objcopy" --add-gnu-debuglink=Cash_Drawer_DLL.dll.debug "$top/bin/Cash_Drawer_DLL.dll")
  "$triple-strip" --strip-all -o "$top/bin/cashdrawer.exe" "$build/bin/cashdrawer.exe"
  "$triple-strip" --strip-all -o "$top/bin/cashdrawer-agent.exe" "$build/bin/cashdrawer-agent.exe"
  for double in "$port_io" QuorlinIO.dll; do
    "$triple-strip" --strip-all -o "$top/bin/sim/$double" "$build/bin/sim/$double"
  done

  cp include/cash_drawer.h "$top/include/"
  cp src/interface/Cash_Drawer_DLL.def "$top/lib/"
  # Both import libraries from the .def, with no member times: one for
  # mingw's linker, one for MSVC's. (Made in the folder itself: dlltool
  # names the members after the path it is given.) On x86 the .def names
  # the __stdcall decorations callers' compilers use, and --kill-at points
  # them at the plain names the DLL exports.
  cp "src/interface/$def" "$stage/$arch/"
  for implib in libCash_Drawer_DLL.dll.a Cash_Drawer_DLL.lib; do
    (cd "$top/lib" && "$triple-dlltool" --deterministic-libraries $kill_at --input-def "$stage/$arch/$def" \
      --dllname Cash_Drawer_DLL.dll --output-lib "$implib")
  done
  cp cmake/CashDrawerConfig.cmake "$build/generated/CashDrawerConfigVersion.cmake" "$top/lib/cmake/CashDrawer/"
  cp -r examples/c examples/csharp examples/python "$top/examples/"
  cp agent/cashdrawer-agent.ini "$top/examples/agent/"
  cp "$stage"/wheel/out/cashdrawer-*.whl "$top/python/"
  # The integrators' README, not the developers'.
  cp docs/integrators/README.md "$top/README.md"
  cp CHANGELOG.md LICENSE THIRD-PARTY-NOTICES "$top/"

  # The same bytes for the same sources: fixed times, sorted names, no
  # extra attributes, the same permissions whatever the umask.
  find "$top" -type d -exec chmod 755 {} +
  find "$top" -type f -exec chmod 644 {} +
  # A zip entry's time counts in steps of 2 s, and zip rounds an odd second
  # up (at hh:mm:59 into the next minute): the files get the even second at
  # or before the commit's.
  find "$top" -exec touch -h -d "@$((SOURCE_DATE_EPOCH - SOURCE_DATE_EPOCH % 2))" {} +
  rm -f "$out/$name.zip"
  (cd "$stage/$arch" && find "$name" -type f | LC_ALL=C sort | TZ=UTC zip -X -D -q "$out/$name.zip" -@)
  sums+=("$name.zip")
done
(cd "$out" && sha256sum "${sums[@]}" > SHA256SUMS)
for zip in "${sums[@]}"; do
  echo "$out/$zip"
done
