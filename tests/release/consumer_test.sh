#!/bin/sh
# An integrator's CMake project, in an empty folder, against the unpacked
# release: find_package, link CashDrawer::CashDrawer through the import
# library, cross-build with mingw, and run under Wine with the doubles
# copied beside the program for this test only. The program kicks
# RN340_CashA and prints what the recording double saw.
#   consumer_test.sh SOURCE_DIR OUT_DIR TOOLCHAIN WINE_RUN BUILD_DIR
# BUILD_DIR is build/win64 or build/win32: its last part names the kind.
set -u
source_dir=$1 out=$2 toolchain=$3 wine_run=$4 build_dir=$5
arch=$(basename "$build_dir")
case $arch in
  win64) triple=x86_64-w64-mingw32 processor=x86_64 port_io=WinIo64.dll ;;
  win32) triple=i686-w64-mingw32 processor=x86 port_io=WinIo32.dll ;;
  *) echo "the build folder's name, '$arch', is neither win64 nor win32"; exit 1 ;;
esac
zip=$(bash "$source_dir/scripts/release.sh" --no-build --arch "$arch" --build-root "$(dirname "$build_dir")" \
  --out "$out" | tail -n 1) || exit 1
work=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
unzip -q "$zip" -d "$work"
release=$(ls -d "$work"/cash-drawer-*-"$arch")
mkdir -p "$work/app"
cat >"$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(till C)
find_package(CashDrawer 0.2 CONFIG REQUIRED)
add_executable(till till.c)
target_compile_definitions(till PRIVATE PORT_IO="${PORT_IO}")
target_link_libraries(till PRIVATE CashDrawer::CashDrawer)
CMAKE
cat >"$work/app/till.c" <<'C'
#include <stdio.h>
#include <windows.h>
#include "cash_drawer.h"

struct SimRecord { unsigned long long timeMicros; int op; unsigned port, width, value; };
typedef int(__stdcall *RecordAt)(int, struct SimRecord *);

int main(void) {
    int result = OpenCash("RN340_CashA");
    printf("OpenCash = %d\n", result);
    /* What the recording double beside us saw. */
    RecordAt at = (RecordAt)(void (*)(void))GetProcAddress(GetModuleHandleA(PORT_IO), "SimRecordAt");
    struct SimRecord r;
    for (int i = 0; at != NULL && at(i, &r); ++i) {
        if (r.op == 3 && r.port == 0x50E) {
            printf("write 0x%04X <- 0x%02X at %llu us\n", r.port, r.value, r.timeMicros);
        }
    }
    return result == CASH_DRAWER_KICKED ? 0 : 1;
}
C
# An integrator's own mingw toolchain file, of the usual kind: it searches
# its root only, so CMAKE_PREFIX_PATH alone would be looked for under
# /usr/x86_64-w64-mingw32 - unless the toolchain takes the prefixes as
# roots too, as the integrators' README shows.
cat >"$work/mingw-toolchain.cmake" <<CMAKE
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $processor)
set(CMAKE_C_COMPILER $triple-gcc)
set(CMAKE_RC_COMPILER $triple-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triple \${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
CMAKE
# Found both ways: CashDrawer_DIR with the project's toolchain, and
# CMAKE_PREFIX_PATH with the integrator's.
cmake -S "$work/app" -B "$work/app/by-dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCashDrawer_DIR="$release/lib/cmake/CashDrawer" -DPORT_IO="$port_io" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; exit 1; }
cmake -S "$work/app" -B "$work/app/build" -DCMAKE_TOOLCHAIN_FILE="$work/mingw-toolchain.cmake" \
  -DCMAKE_PREFIX_PATH="$release" -DPORT_IO="$port_io" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$work/app/build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
# Linked through the import library: the program imports the DLL by name.
$triple-objdump -p "$work/app/build/till.exe" | grep -q 'DLL Name: Cash_Drawer_DLL.dll' ||
  { echo "till.exe does not import Cash_Drawer_DLL.dll"; exit 1; }
cp "$release/bin/Cash_Drawer_DLL.dll" "$release/bin/sim/$port_io" "$work/app/build/"
output=$(cd "$work/app/build" && "$wine_run" ./till.exe 2>&1 | tr -d '\r')
echo "$output"
# The pulse: bit 3 of port 0x50E low, then high again.
echo "$output" | grep -q '^OpenCash = 1$' || { echo "FAILED: no kick"; exit 1; }
echo "$output" | grep -q 'write 0x050E <- 0xF7' && echo "$output" | tail -n 1 | grep -q 'write 0x050E <- 0xFF' ||
  { echo "FAILED: no pulse on the drive line"; exit 1; }
echo "consumer: built against the release and kicked RN340_CashA"

# The README's "Testing your own program", as written there: the C example
# built in the unpacked archive, the DLL and the stand-ins beside it in a
# test bed, the drawer springing open and shutting, then jammed.
mkdir -p "$release/test-bed"
(cd "$release" && $triple-gcc examples/c/open_drawer.c -I include -L lib -lCash_Drawer_DLL -o test-bed/open_drawer.exe &&
  cp bin/Cash_Drawer_DLL.dll "bin/sim/$port_io" bin/sim/QuorlinIO.dll test-bed/) ||
  { echo "FAILED: the example does not build as the README says"; exit 1; }
example() {
  (cd "$release" && "$wine_run" test-bed/open_drawer.exe RN340_CashA 2>&1 | tr -d '\r')
}
output=$(example)
echo "$output"
echo "$output" | grep -q '^kicked RN340_CashA: it opened$' && echo "$output" | grep -q '^RN340_CashA is shut again$' ||
  { echo "FAILED: the simulated drawer did not open and shut"; exit 1; }
output=$(CASHDRAWER_SIM_DRAWER_JAMMED=RN340_CashA example)
echo "$output"
echo "$output" | grep -q '^kicked RN340_CashA: its sensor did not change' ||
  { echo "FAILED: the jammed drawer opened"; exit 1; }
echo "consumer: the README's test bed opens and jams the simulated drawer"
