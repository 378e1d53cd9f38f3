#!/usr/bin/env bash
# Sets everything up (the test tools included), builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --tests
ctest --test-dir build --output-on-failure -j"$(nproc)"
