#!/usr/bin/env bash
# The web till page's real states for the README: builds the Linux agent
# and the simulated library, then photographs docs/images/demo-*.png in
# headless Chromium (puppeteer-core from the browser test's lock file).
#   scripts/screenshots.sh [OUT_DIR]      default: docs/images
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh cmake make g++ pkg-config libcli11-dev nlohmann-json3-dev libssl-dev libboost-dev \
  libmosquitto-dev nodejs chromium >&2
command -v npm >/dev/null 2>&1 || scripts/ensure-packages.sh npm >&2
out=$(realpath -m "${1:-docs/images}")
logs=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-shots.XXXXXX")
trap 'rm -rf "$logs"' EXIT
# A build of its own (optimised, no tests): the agent and the simulated library.
build=build/screenshots
{
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCASHDRAWER_TESTS=OFF &&
    cmake --build "$build" -j2 --target cashdrawer-agent cashdrawer_sim_shared
} >"$logs/build.log" 2>&1 || { cat "$logs/build.log" >&2; exit 1; }
work=$build/browser
mkdir -p "$work"
cp tests/browser/package.json tests/browser/package-lock.json tests/browser/*.mjs "$work/"
[ -d "$work/node_modules/puppeteer-core" ] ||
  (cd "$work" && npm ci --no-audit --no-fund --loglevel=error) >"$logs/npm.log" 2>&1 || { cat "$logs/npm.log" >&2; exit 1; }
sim_dir=$build/bin/sim # the simulated library, named as the real one so the agent loads it
cd "$work"
node screenshots.mjs "$OLDPWD/$build/bin/cashdrawer-agent" "$OLDPWD/$sim_dir" "$OLDPWD/bindings/js" \
  "$(command -v chromium)" "$out"
