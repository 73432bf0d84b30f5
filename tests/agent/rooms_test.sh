#!/usr/bin/env bash
# The rooms' check passes on the agent as it is, and fails on each kind of
# fault planted in a copy: an include from a room above, one from the room
# beside, a file outside the rooms, a folder that is no room.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
check=$root/scripts/check-agent-rooms.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-rooms.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

"$check" >/dev/null && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED: the agent as it is"; "$check"; }

# plant NAME EXPECTED_WORDS FILE LINE: appends LINE to FILE in a fresh copy
plant() {
  name=$1 expected=$2 file=$3 line=$4
  rm -rf "$work/agent"
  cp -r "$root/agent" "$work/agent"
  mkdir -p "$(dirname "$work/agent/$file")"
  printf '%s\n' "$line" >>"$work/agent/$file"
  if output=$("$check" "$work/agent" 2>&1); then
    failed=$((failed + 1))
    echo "FAILED $name: the check passed"
  elif grep -qF -- "$expected" <<<"$output"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED $name: $output"
  fi
}
plant "up one room" "os/random.cpp:" os/random.cpp '#include "core/settings.h"'
plant "journal up to watch" "journal/journal.h:" journal/journal.h '#include "watch/statistics.h"'
plant "the lowest to the highest" "includes app/serve.h, from a room above it" core/settings.cpp '#include "app/serve.h"'
plant "bridge beside fleet" "includes fleet/fleet_view.h, from the room beside it" bridge/bridge.cpp '#include "fleet/fleet_view.h"'
plant "fleet beside bridge" "from the room beside it" fleet/fleet_view.h '#include "bridge/pairing.h"'
plant "a file outside the rooms" "a source file outside the rooms" stray.cpp '#include "os/hex.h"'
plant "a folder that is no room" "misc/ is not one of the rooms" misc/helper.h '#include "os/hex.h"'
# Down and within a room are allowed, and so is any room from bench/.
rm -rf "$work/agent"; cp -r "$root/agent" "$work/agent"
printf '#include "os/hex.h"\n#include "app/serve.h"\n' >>"$work/agent/bench/agent_bench.cpp"
printf '#include "core/event.h"\n#include "watch/drawer_board.h"\n' >>"$work/agent/fleet/fleet_view.h"
"$check" "$work/agent" >/dev/null && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED: includes that run down were refused"; }

echo "agent rooms: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
