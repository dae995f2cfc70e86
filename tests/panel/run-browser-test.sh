#!/usr/bin/env bash
# Runs the panel's browser test: installs the locked playwright-core once (npm ci, no
# browser download), then node's test runner. Called by CTest from this folder.
set -euo pipefail
cd "$(dirname "$0")"
if [[ ! -f node_modules/playwright-core/package.json ]]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
exec node --test panel.test.mjs
