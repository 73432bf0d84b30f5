#!/bin/sh
# The browser test in a folder of its own: puppeteer-core from the lock file
# (npm ci, once; each package checked against the lock's sha512), then the
# run against the agent. A machine that cannot reach the npm registry (no
# route, or a TLS proxy whose certificate it does not trust) skips the test
# and says why (exit 77); any other npm failure fails it.
#   browser_test.sh WORK_DIR AGENT SIM_LIBRARY_DIR DEMO_DIR CHROMIUM
set -u
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$1
shift
mkdir -p "$work" || exit 1
cp "$source_dir/package.json" "$source_dir/package-lock.json" "$source_dir"/*.mjs "$work/" || exit 1
cd "$work" || exit 1
if [ ! -d node_modules/puppeteer-core ]; then
  if ! npm ci --no-audit --no-fund --loglevel=error --fetch-retries=1 --fetch-timeout=30000 >npm.log 2>&1; then
    cat npm.log
    if grep -Eq 'SELF_SIGNED_CERT|UNABLE_TO_GET_ISSUER_CERT|UNABLE_TO_VERIFY_LEAF|CERT_UNTRUSTED|ENOTFOUND|EAI_AGAIN|ECONNREFUSED|ETIMEDOUT|ENETUNREACH' npm.log; then
      echo "browser test skipped: the npm registry cannot be reached from this machine, so puppeteer-core cannot be installed"
      exit 77
    fi
    exit 1
  fi
fi
exec node browser_test.mjs "$@"
