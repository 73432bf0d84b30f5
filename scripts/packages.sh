#!/usr/bin/env bash
# The Debian packages: libcashdrawer0, libcashdrawer-dev, cashdrawer (the
# tool with the simulated library) and cashdrawer-agent, built for /usr into
# build/deb/packages and checked with lintian (an error fails).
#   scripts/packages.sh                 build and check them
#   scripts/packages.sh --try-install   then install them with dpkg, start the
#                                       agent from its unit's command line on
#                                       the simulated library, and purge them:
#                                       ONLY on a throwaway machine, e.g.
#                                       ../shared/tools/fresh-machine 'scripts/packages.sh --try-install'
set -euo pipefail
cd "$(dirname "$0")/.."
try_install=0
[ "${1:-}" = --try-install ] && try_install=1
scripts/ensure-packages.sh cmake make g++ libcli11-dev nlohmann-json3-dev libssl-dev libboost-dev libmosquitto-dev \
  pkg-config dpkg-dev fakeroot file lintian >&2
build=build/deb
logs=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-deb.XXXXXX")
trap 'rm -rf "$logs"' EXIT
# The commit's time stands for "now" in the packages: the same commit, the same changelog.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
{
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DCASHDRAWER_TESTS=OFF \
    -DCASHDRAWER_DEB=ON -DCASHDRAWER_SYSTEMD_UNIT_DIR=/lib/systemd/system &&
    cmake --build "$build" -j2 &&
    rm -rf "$build/packages" &&
    (cd "$build" && cpack -G DEB -B "$PWD/packages")
} >"$logs/build.log" 2>&1 || { cat "$logs/build.log" >&2; exit 1; }
packages=$(ls "$build"/packages/*.deb)
status=0
for deb in $packages; do
  echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
  # Errors fail; warnings are shown (a tool without a manual page, ...).
  lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' >"$logs/lintian.log" || true
  sed 's/^/  /' "$logs/lintian.log"
  if grep -q '^E: ' "$logs/lintian.log"; then status=1; fi
done
[ $status -eq 0 ] || { echo "lintian found errors (E:) above" >&2; exit 1; }
[ $try_install -eq 1 ] || exit 0

# A throwaway machine from here on: the packages go in, run, and go out.
fail() { echo "FAILED: $*" >&2; exit 1; }
export DEBIAN_FRONTEND=noninteractive
# shellcheck disable=SC2086
apt-get install -y -q $(printf './%s ' $packages) >"$logs/install.log" 2>&1 || { cat "$logs/install.log"; fail "install"; }
getent passwd cashdrawer >/dev/null || fail "no cashdrawer account"
[ -d /var/lib/cashdrawer ] || fail "no state folder"
cashdrawer --version
cashdrawer status RN340_CashA --simulate | tail -1
pkg-config --modversion cashdrawer
# The agent as its unit starts it (no systemd in a chroot), on the simulated
# library, with the package's settings given a drawer and no bridge.
exec_start=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/cashdrawer-agent.service)
echo "the unit runs: $exec_start"
sim=$(dirname "$(dpkg -L cashdrawer | grep '/cashdrawer-sim/libcashdrawer.so.0$')")/libcashdrawer.so.0
sed -i "s|^BridgePort=.*|BridgePort=0|; s|^\[Agent\]|[Agent]\nLibrary=$sim|" /etc/cashdrawer/cashdrawer-agent.ini
cashdrawer-agent --config /etc/cashdrawer/cashdrawer-agent.ini check || fail "the package's settings"
# shellcheck disable=SC2086
$exec_start 2>"$logs/agent.log" &
agent=$!
for _ in $(seq 1 100); do grep -q 'closed  drawer=RN340_CashA' "$logs/agent.log" && break; sleep 0.1; done
kill -TERM "$agent"; wait "$agent" || fail "the agent's stop: $(cat "$logs/agent.log")"
cat "$logs/agent.log"
cashdrawer-agent journal verify --folder /var/lib/cashdrawer/journal || fail "the journal"
# Out again: every file of the packages gone, the settings purged, the journal kept.
files=$(dpkg -L libcashdrawer0 libcashdrawer-dev cashdrawer cashdrawer-agent | sort -u)
apt-get purge -y -q libcashdrawer0 libcashdrawer-dev cashdrawer cashdrawer-agent >"$logs/purge.log" 2>&1 ||
  { cat "$logs/purge.log"; fail "purge"; }
grep 'journal stays' "$logs/purge.log" || fail "the purge said nothing of the journal"
left=""
for file in $files; do
  # (Folders stay when other packages use them: /lib is even a link to usr/lib.)
  if [ ! -d "$file" ] && { [ -e "$file" ] || [ -L "$file" ]; }; then left="$left $file"; fi
done
[ -z "$left" ] || fail "left after the purge:$left"
[ ! -e /etc/cashdrawer ] || fail "/etc/cashdrawer left after the purge"
[ -n "$(ls /var/lib/cashdrawer/journal)" ] || fail "the journal went with the purge"
echo "the packages installed, ran and were purged cleanly"
