#!/usr/bin/env bash
# The main job: on a simulated terminal, kick a drawer through the real
# Windows DLL under Wine and read its state, printing every port access and
# the drive line's pulse, as the technicians' tool shows them.
#   scripts/demo.sh [drawer identifier]      default: RN340_CashA
set -euo pipefail
cd "$(dirname "$0")/.."
# g++: the configure step also sets up the host-side serial device
# simulator of the Windows tests, built with the host's compiler.
scripts/ensure-packages.sh cmake make g++ g++-mingw-w64-x86-64 wine wine64 libcli11-dev nlohmann-json3-dev >&2
logs=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-demo.XXXXXX")
trap 'rm -rf "$logs"' EXIT
{
  cmake --preset win64
  cmake --build --preset win64 -j2 --target cashdrawer
} >"$logs/build.log" 2>&1 || { cat "$logs/build.log" >&2; exit 1; }
source scripts/wine-env.sh
drawer=${1:-RN340_CashA}
echo "\$ cashdrawer open $drawer --simulate"
wine build/win64/bin/cashdrawer.exe open "$drawer" --simulate
echo
echo "\$ cashdrawer status $drawer --simulate"
wine build/win64/bin/cashdrawer.exe status "$drawer" --simulate
