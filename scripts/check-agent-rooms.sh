#!/usr/bin/env bash
# The agent's rooms, lowest first, and the one rule between them: a file
# includes only from its own room or a room below it. bridge and fleet
# stand side by side (both read the journal; neither knows the other), and
# the benchmarks in bench/ may use any room. No source file stands in
# agent/ itself.
#   scripts/check-agent-rooms.sh [AGENT_FOLDER]     default: agent
set -uo pipefail
cd "$(dirname "$0")/.."
folder=${1:-agent}

declare -A rank=([os]=1 [core]=2 [journal]=3 [watch]=4 [bridge]=5 [fleet]=5 [app]=6 [bench]=7)
faults=0
fault() {
  echo "$1" >&2
  faults=$((faults + 1))
}

while IFS= read -r file; do
  relative=${file#"$folder"/}
  room=${relative%%/*}
  if [ "$room" = "$relative" ]; then
    fault "$file: a source file outside the rooms"
    continue
  fi
  if [ -z "${rank[$room]:-}" ]; then
    fault "$file: $room/ is not one of the rooms (${!rank[*]})"
    continue
  fi
  while IFS= read -r line; do
    number=${line%%:*}
    target=$(sed -E 's/^[0-9]+:#include "([^"]*)".*/\1/' <<<"$line")
    used=${target%%/*}
    [ "$used" != "$target" ] && [ -n "${rank[$used]:-}" ] || continue # not an agent room
    if [ "${rank[$used]}" -gt "${rank[$room]}" ]; then
      fault "$file:$number: $room/ includes $target, from a room above it"
    elif [ "${rank[$used]}" -eq "${rank[$room]}" ] && [ "$used" != "$room" ]; then
      fault "$file:$number: $room/ includes $target, from the room beside it"
    fi
  done < <(grep -n '^#include "' "$file")
done < <(find "$folder" -name '*.cpp' -o -name '*.h' | sort)

if [ "$faults" -gt 0 ]; then
  echo "agent rooms: $faults fault(s)" >&2
  exit 1
fi
echo "agent rooms: every include runs down"
