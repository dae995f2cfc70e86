#!/usr/bin/env bash
# Builds the TypeScript client and runs one of its test files with Node's test runner:
# installs the locked npm packages once (npm ci; no browser download), compiles with tsc.
# Called by CTest from this folder with the test file as argument.
set -euo pipefail
cd "$(dirname "$0")"
if [[ ! -f node_modules/typescript/package.json || ! -f node_modules/playwright-core/package.json ]]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
node_modules/.bin/tsc -p .
exec node --experimental-websocket --test "$@"
