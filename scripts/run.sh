#!/usr/bin/env bash
# Installs what is missing, builds tovu-voice into build/ and runs it once.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" --target tovu-voice -j "$(nproc)" >/dev/null
exec "$root/build/tovu-voice" "$@"
