#!/usr/bin/env bash
# Every test layer: the native unit tests (with AddressSanitizer and
# UndefinedBehaviorSanitizer), then the Windows DLL's integration tests
# under Wine, then a few seconds of each fuzz target, then the Debian
# packages built and checked by lintian. Ends with one summary
# line per layer and a total.
set -uo pipefail
cd "$(dirname "$0")/.."
# The 32-bit DLL's tests run under 32-bit Wine (Debian's wine32, an i386
# package): the architecture is added once, when it is missing.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  [ "$(id -u)" -eq 0 ] || { echo "Run as root, or add the i386 architecture first: dpkg --add-architecture i386" >&2; exit 1; }
  dpkg --add-architecture i386
fi
scripts/ensure-packages.sh cmake make g++ libgtest-dev g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 wine32:i386 zip unzip \
  libcli11-dev nlohmann-json3-dev libssl-dev libboost-dev libmosquitto-dev mosquitto mosquitto-clients openssl clang \
  libclang-rt-14-dev python3 python3-pip python3-venv flit \
  binutils pkg-config util-linux nodejs chromium curl || exit 1
# npm from Debian, unless the installed Node.js brought its own (some
# builds of it conflict with Debian's npm package).
command -v npm >/dev/null 2>&1 || scripts/ensure-packages.sh npm || exit 1

summary=()
total_passed=0
total_failed=0

# Runs one layer: configure, build, ctest; records its counts.
run_layer() {
  local title=$1 preset=$2 log
  log=$(mktemp)
  echo "=== $title ==="
  # Warnings are errors here: a warning that lands is a fault left for later.
  if ! { cmake --preset "$preset" -DCASHDRAWER_WERROR=ON && cmake --build --preset "$preset" -j2; } >"$log" 2>&1; then
    cat "$log"
    summary+=("$(printf '%-32s build FAILED' "$title:")")
    total_failed=$((total_failed + 1))
    return
  fi
  ctest --preset "$preset" -j2 2>&1 | tee "$log"
  local line passed=0 failed=0
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    failed=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$(( $(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line") - failed ))
  else
    failed=1
  fi
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  summary+=("$(printf '%-32s %d passed, %d failed' "$title:" "$passed" "$failed")")
}

run_layer "native unit tests" native
source scripts/wine-env.sh
run_layer "Windows DLL under Wine" win64
run_layer "Windows x86 DLL under Wine" win32

# Fuzzing smoke: each target a few seconds from its seed corpus.
echo "=== fuzz targets, ${CASHDRAWER_FUZZ_SECONDS:-5} s each ==="
fuzz_log=$(mktemp)
scripts/fuzz.sh "${CASHDRAWER_FUZZ_SECONDS:-5}" 2>&1 | tee "$fuzz_log"
fuzz_line=$(grep -E '^fuzz: [0-9]+ passed, [0-9]+ failed' "$fuzz_log" | tail -n 1)
if [ -n "$fuzz_line" ]; then
  fuzz_passed=$(sed -E 's/^fuzz: ([0-9]+) passed.*/\1/' <<<"$fuzz_line")
  fuzz_failed=$(sed -E 's/.* ([0-9]+) failed/\1/' <<<"$fuzz_line")
else
  fuzz_passed=0
  fuzz_failed=1
fi
total_passed=$((total_passed + fuzz_passed))
total_failed=$((total_failed + fuzz_failed))
summary+=("$(printf '%-32s %d passed, %d failed' "fuzz targets:" "$fuzz_passed" "$fuzz_failed")")

# The Debian packages: built for /usr and checked by lintian (installing
# them is for a throwaway machine: scripts/packages.sh --try-install).
echo "=== Debian packages ==="
if scripts/packages.sh; then
  total_passed=$((total_passed + 1))
  summary+=("$(printf '%-32s %s' "Debian packages:" "built, lintian clean")")
else
  total_failed=$((total_failed + 1))
  summary+=("$(printf '%-32s %s' "Debian packages:" "FAILED")")
fi

echo
echo "=== Summary ==="
printf '%s\n' "${summary[@]}"
echo "total: $total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
