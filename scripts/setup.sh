#!/usr/bin/env bash
# Installs what tovu-voice needs to build, run and be tested, then fetches the
# Vosk library. Safe to run again: it only does what is still missing.
#
#   scripts/setup.sh            build and runtime dependencies
#   scripts/setup.sh --tests    also the tools the test suite uses
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
want_tests=0
[ "${1:-}" = "--tests" ] && want_tests=1

packages=(g++ cmake make pkg-config libasound2-dev alsa-utils ca-certificates sox)
if [ "$want_tests" = 1 ]; then
  packages+=(googletest libgtest-dev libgmock-dev espeak-ng sox libfst-tools util-linux
             python3 clang libclang-rt-14-dev valgrind
             libbenchmark-dev dpkg-dev file man-db
             # Real sound servers for the realtime tier; their ALSA hooks are
             # then present on every run, which the suite must not notice.
             # Never pipewire-alsa: it makes every ALSA client's default
             # device PipeWire, on the whole machine.
             pulseaudio pulseaudio-utils libasound2-plugins pipewire pipewire-pulse wireplumber)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
# npm may come from Debian or from a Node.js installed another way; only ask
# for Debian's when there is none at all.
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The Vosk C library: the prebuilt Linux x86_64 build inside the npm package,
# checked against the package's published integrity before it is used.
vosk_version=0.3.39
vosk_integrity="sha512-/pWD6KLLxV/0Pu/ZfovNWadFC6q01hyvzY5DTEQY5r/6QlQMg60FaY1bjK0qcWN42roNOOnRrBxtAOqk7/OGkw=="
vosk_dir="$root/.deps/vosk-$vosk_version"
if [ ! -f "$vosk_dir/libvosk.so" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  echo "setup: fetching vosk@$vosk_version"
  (cd "$work" && npm pack --silent "vosk@$vosk_version" >/dev/null)
  tarball="$work/vosk-$vosk_version.tgz"
  got="sha512-$(node -e 'process.stdout.write(require("crypto").createHash("sha512").update(require("fs").readFileSync(process.argv[1])).digest("base64"))' "$tarball")"
  if [ "$got" != "$vosk_integrity" ]; then
    echo "setup: vosk-$vosk_version.tgz does not match its published integrity" >&2
    echo "  expected $vosk_integrity" >&2
    echo "  got      $got" >&2
    exit 1
  fi
  tar -xzf "$tarball" -C "$work" package/lib/linux-x86_64/libvosk.so
  mkdir -p "$vosk_dir"
  install -m 0644 "$work/package/lib/linux-x86_64/libvosk.so" "$vosk_dir/libvosk.so.tmp"
  mv "$vosk_dir/libvosk.so.tmp" "$vosk_dir/libvosk.so"
fi
