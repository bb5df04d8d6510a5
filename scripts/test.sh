#!/usr/bin/env bash
# Installs what is missing (tools of the test suite included), builds
# everything into build/ and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
"$root/scripts/setup.sh" --tests
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" -j "$jobs"
ctest --test-dir "$root/build" -j "$jobs" --output-on-failure
