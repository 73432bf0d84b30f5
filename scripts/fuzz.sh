#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs each for SECONDS (default 60), starting from the seed
# corpus in tests/fuzz/corpus/<target> and growing a work corpus under
# build/fuzz/corpus/<target>. A crash, a leak or a broken invariant stops
# that target, leaves its input in build/fuzz/artifacts/ and fails the run.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_dispatch fuzz_ini fuzz_serial_reports fuzz_parsing fuzz_journal_line fuzz_agent_settings fuzz_fleet_messages
  fuzz_pairings fuzz_mqtt_packets)
# The preset configures the whole tree, the agent's libraries included.
scripts/ensure-packages.sh cmake make clang libclang-rt-14-dev libssl-dev libboost-dev libmosquitto-dev pkg-config libcli11-dev \
  nlohmann-json3-dev || exit 1

log=$(mktemp)
if ! { cmake --preset fuzz -DCASHDRAWER_WERROR=ON && cmake --build --preset fuzz -j2; } >"$log" 2>&1; then
  cat "$log"
  echo "fuzz: build FAILED"
  exit 1
fi

passed=0
failed=0
mkdir -p build/fuzz/artifacts
for target in "${targets[@]}"; do
  work=build/fuzz/corpus/$target
  mkdir -p "$work"
  if build/fuzz/bin/"$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
       -artifact_prefix=build/fuzz/artifacts/"$target"- "$work" tests/fuzz/corpus/"$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(grep -o 'exec/s: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    edges=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    printf '%-22s %s runs, %s per second, %s edges: no crash\n' "$target" "${runs:-?}" "${rate:-?}" "${edges:-?}"
    passed=$((passed + 1))
  else
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -n 8
    printf '%-22s FAILED (input in build/fuzz/artifacts/)\n' "$target"
    failed=$((failed + 1))
  fi
done
rm -f "$log"
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
