#!/bin/sh
# An application built against the installed library, as a Linux integrator
# builds it: cmake --install into an empty prefix, then a C program found
# through the CMake package and one through pkg-config, both run.
#   install_consumer.sh BUILD_DIR C_COMPILER [PRELOAD]
# PRELOAD: the sanitizer runtime a sanitized library needs loaded first.
# The programs run as an unprivileged user, as a till application should:
# the port drawer must then answer -2 with the reason, and no test of the
# suite writes a real I/O port of the machine it runs on.
set -u
build=$1 cc=$2 preload=${3:-}
work=$(mktemp -d /tmp/cashdrawer-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
as_unprivileged() {
  if [ "$(id -u)" = 0 ]; then
    setpriv --reuid=65534 --regid=65534 --clear-groups --no-new-privs "$@"
  else
    "$@"
  fi
}
cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
mkdir -p "$work/app"
cat >"$work/app/till.c" <<'C'
#include <stdio.h>
#include "cash_drawer.h"
int main(void) {
    char version[32];
    char why[512];
    GetCashDrawerVersion(version, sizeof version);
    int result = OpenCash("RN340_CashA"); /* unprivileged: -2, with the reason */
    GetCashDrawerError(why, sizeof why);
    printf("%s %d %s\n", version, result, why);
    return result == CASH_DRAWER_UNREACHABLE ? 0 : 1;
}
C
cat >"$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(till C)
find_package(CashDrawer 0.2 CONFIG REQUIRED)
add_executable(till till.c)
target_link_libraries(till PRIVATE CashDrawer::CashDrawer)
CMAKE
cmake -S "$work/app" -B "$work/app/build" -DCMAKE_PREFIX_PATH="$work/prefix" >"$work/cfg.log" 2>&1 &&
  cmake --build "$work/app/build" >"$work/build.log" 2>&1 || { cat "$work/cfg.log" "$work/build.log"; exit 1; }
flags=$(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs cashdrawer) ||
  { echo "FAILED: pkg-config does not know cashdrawer"; exit 1; }
# shellcheck disable=SC2086
"$cc" "$work/app/till.c" $flags -o "$work/till-pc" || exit 1
for program in "$work/app/build/till" "$work/till-pc"; do
  output=$(LD_LIBRARY_PATH="$work/prefix/lib" LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0 \
    as_unprivileged "$program") ||
    { echo "FAILED: $program: $output"; exit 1; }
  echo "$output"
  case $output in
    *" -2 the port I/O library could not be used: iopl(3) was refused ("*) ;;
    *) echo "FAILED: $program said '$output'"; exit 1 ;;
  esac
done

# The simulated library is a drop-in: its folder first on LD_LIBRARY_PATH,
# the same program runs on the simulated terminal and its kick goes out.
output=$(LD_LIBRARY_PATH="$work/prefix/lib/cashdrawer-sim:$work/prefix/lib" LD_PRELOAD="$preload" \
  ASAN_OPTIONS=detect_leaks=0 as_unprivileged "$work/app/build/till")
case $output in
  *" 1 "*) echo "$output (the simulated library, chosen by LD_LIBRARY_PATH)" ;;
  *) echo "FAILED: with the simulated library first, the program said '$output'"; exit 1 ;;
esac
[ -f "$work/prefix/include/cash_drawer_sim.h" ] || { echo "FAILED: cash_drawer_sim.h is not installed"; exit 1; }
# The tool comes with the library.
version=$(LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0 "$work/prefix/bin/cashdrawer" --version) ||
  { echo "FAILED: the installed tool does not run"; exit 1; }
echo "$version"

# The agent's systemd unit names the programs and settings of the prefix it
# was installed under, whichever that was: here, and the system's own under
# a staging root (DESTDIR), as a package builds it.
unit="$work/prefix/lib/systemd/system/cashdrawer-agent.service"
expected="ExecStart=$work/prefix/bin/cashdrawer-agent --config $work/prefix/etc/cashdrawer/cashdrawer-agent.ini serve --no-console"
grep -qxF "$expected" "$unit" || { echo "FAILED: the unit under $work/prefix: $(grep ExecStart "$unit")"; exit 1; }
[ -x "$work/prefix/bin/cashdrawer-agent" ] || { echo "FAILED: the unit's program is not installed"; exit 1; }
DESTDIR="$work/staged" cmake --install "$build" --prefix /usr >"$work/staged.log" 2>&1 || { cat "$work/staged.log"; exit 1; }
expected="ExecStart=/usr/bin/cashdrawer-agent --config /etc/cashdrawer/cashdrawer-agent.ini serve --no-console"
grep -qxF "$expected" "$work/staged/usr/lib/systemd/system/cashdrawer-agent.service" ||
  { echo "FAILED: the unit under /usr: $(grep ExecStart "$work/staged/usr/lib/systemd/system/cashdrawer-agent.service")"; exit 1; }
[ -x "$work/staged/usr/bin/cashdrawer-agent" ] || { echo "FAILED: /usr/bin/cashdrawer-agent is not staged"; exit 1; }
echo "the agent's unit follows the install prefix"
