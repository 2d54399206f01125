#!/usr/bin/env bash
# Runs the bridge's end-to-end tests in headless browsers against a build:
# installs the test driver (puppeteer-core, from package-lock.json) when it is
# missing or out of date, then runs each browser's suite and says how long
# it took.
#
#   bash scripts/browser-test.sh [BUILD_DIR] [chromium|firefox ...]
#
# The browsers are the machine's own (Debian's chromium and firefox-esr; or
# the programs named by CHROMIUM and FIREFOX). A browser that is not installed
# has its suite skipped, and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift $(($# > 0 ? 1 : 0))
browsers=("$@")
[ ${#browsers[@]} -gt 0 ] || browsers=(chromium firefox)

OSTREL_BIN=$(realpath "$build/bin")
export OSTREL_BIN
for program in ostrel ostrel-bridge OSTREL.OCX; do
  [ -e "$OSTREL_BIN/$program" ] || { echo "browser-test: $OSTREL_BIN/$program is not built" >&2; exit 1; }
done

if [ ! -f node_modules/.package-lock.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  echo "== npm ci (the browser test driver)"
  npm ci --no-audit --no-fund
fi

status=0
for browser in "${browsers[@]}"; do
  echo "== Browser tests: $browser"
  start=$SECONDS
  node --test "tests/hosts/bridge/browser/$browser.test.mjs" || status=1
  echo "== $browser: $((SECONDS - start)) s"
done
exit $status
