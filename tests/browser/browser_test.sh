#!/bin/sh
# The browser test in a folder of its own: puppeteer-core from the lock file
# (npm ci, once), then the run against the agent.
#   browser_test.sh WORK_DIR AGENT SIM_LIBRARY_DIR DEMO_DIR CHROMIUM
set -eu
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$1
shift
mkdir -p "$work"
cp "$source_dir/package.json" "$source_dir/package-lock.json" "$source_dir/browser_test.mjs" "$work/"
cd "$work"
[ -d node_modules/puppeteer-core ] || npm ci --no-audit --no-fund --loglevel=error
exec node browser_test.mjs "$@"
