#!/usr/bin/env bash
# Sets everything up (the test tools included), builds, and runs every test,
# then the Windows programs under wine (scripts/test-windows.sh).
# Then the same tests once more in build-asan/, built by clang with
# AddressSanitizer and UndefinedBehaviorSanitizer (undefined behaviour ends
# the program), together with every fuzz target run once over its seeds and
# regression files (fuzz/README.md).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --tests
ctest --test-dir build --output-on-failure -j"$(nproc)"

# The Windows build of blockgen and convert, run under wine: every output
# must equal the Linux programs' byte for byte.
bash scripts/test-windows.sh

start=$SECONDS
export UBSAN_OPTIONS=print_stacktrace=1
bash fuzz/run.sh build
ctest --test-dir build-asan --output-on-failure -j"$(nproc)"
echo "run-tests: sanitizer build and tests took $((SECONDS - start)) s"
