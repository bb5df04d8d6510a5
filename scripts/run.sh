#!/usr/bin/env bash
# Installs what is missing, builds tovu-voice into build/ with all that
# `cmake --install build` and `cpack` take (manual page, sound cues) and runs
# it once.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" --target tovu_installable -j "$(nproc)" >/dev/null
exec "$root/build/tovu-voice" "$@"
