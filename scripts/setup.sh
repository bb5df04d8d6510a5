#!/usr/bin/env bash
# Installs what tovu-voice needs to build, run, install and be tested, then
# fetches the Vosk library. Safe to run again: it only does what is still
# missing.
#
#   scripts/setup.sh            build, runtime, install and package dependencies
#   scripts/setup.sh --tests    also the tools the test suite uses
#
# The Vosk library (libvosk.so) is taken, in this order, from
#   1. the file named by the environment variable TOVU_VOSK_LIBRARY (CMake
#      takes it from there too, and remembers it in the build tree);
#   2. the system, where CMake finds it: /usr/local/lib, /usr/lib and their
#      multiarch folders;
#   3. the npm package vosk@0.3.39, fetched once into .deps/. Only this needs
#      npm and Node.js, which are then installed too.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
want_tests=0
[ "${1:-}" = "--tests" ] && want_tests=1

# curl and python3: scripts/get-model.sh, which fetches and unpacks a model.
# libsystemd-dev: sd-bus, through which a run tells the desktop why it failed.
packages=(g++ cmake make pkg-config libasound2-dev libsystemd-dev alsa-utils ca-certificates sox
          file dpkg-dev curl python3)
if [ "$want_tests" = 1 ]; then
  packages+=(googletest libgtest-dev libgmock-dev espeak-ng libfst-tools util-linux
             clang libclang-rt-14-dev valgrind
             # dbus-daemon and dbus-send: a private session bus for the tests
             # of the desktop notifications.
             dbus
             libbenchmark-dev man-db
             # Debian's own package checker, run on the package that the
             # README's commands build.
             lintian
             # Real sound servers for the realtime tier; their ALSA hooks are
             # then present on every run, which the suite must not notice.
             # Never pipewire-alsa: it makes every ALSA client's default
             # device PipeWire, on the whole machine (the tests fetch its
             # plugin into the build tree instead).
             pulseaudio pulseaudio-utils libasound2-plugins pipewire pipewire-pulse wireplumber)
fi

# Where libvosk comes from (see the top): "given", "system", "fetched" (in
# .deps/ already) or "fetch".
vosk_version=0.3.39
vosk_integrity="sha512-/pWD6KLLxV/0Pu/ZfovNWadFC6q01hyvzY5DTEQY5r/6QlQMg60FaY1bjK0qcWN42roNOOnRrBxtAOqk7/OGkw=="
vosk_dir="$root/.deps/vosk-$vosk_version"
# A libvosk that CMake's find_library finds without being told.
system_vosk() {
  local f
  for f in /usr/local/lib/*-linux-gnu*/libvosk.so /usr/local/lib/libvosk.so \
           /usr/lib/*-linux-gnu*/libvosk.so /usr/lib/libvosk.so; do
    [ -f "$f" ] && return 0
  done
  return 1
}
# The one that the build tree of scripts/run.sh and scripts/test.sh remembers.
remembered_vosk=$(sed -n 's/^TOVU_VOSK_LIBRARY:FILEPATH=//p' "$root/build/CMakeCache.txt" 2>/dev/null || true)
if [ -n "${TOVU_VOSK_LIBRARY:-}" ]; then
  if [ ! -f "$TOVU_VOSK_LIBRARY" ] || [ ! -r "$TOVU_VOSK_LIBRARY" ]; then
    echo "setup: TOVU_VOSK_LIBRARY=$TOVU_VOSK_LIBRARY is not a readable file; it must name a libvosk.so" >&2
    exit 1
  fi
  vosk_source=given
elif [ -n "$remembered_vosk" ] && [ -f "$remembered_vosk" ]; then
  vosk_source=given
elif system_vosk; then
  vosk_source=system
elif [ -f "$vosk_dir/libvosk.so" ]; then
  vosk_source=fetched
else
  vosk_source=fetch
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
# npm may come from Debian or from a Node.js installed another way; only ask
# for Debian's when there is none at all, and only when it is needed.
if [ "$vosk_source" = fetch ] && ! command -v npm >/dev/null; then
  echo "setup: npm and Node.js are needed once, to fetch libvosk (about 470 packages on a minimal"
  echo "       system); to do without them, see TOVU_VOSK_LIBRARY in README.md"
  missing+=(npm)
fi
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The Vosk C library: the prebuilt Linux x86_64 build inside the npm package,
# checked against the package's published integrity before it is used.
if [ "$vosk_source" = fetch ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  registry=$(cd "$work" && npm config get registry 2>/dev/null) || registry="the npm registry"
  echo "setup: fetching vosk@$vosk_version with npm from $registry"
  # npm's own error goes to standard error; the notices of a good fetch are
  # left out.
  if ! (cd "$work" && npm pack --loglevel=error "vosk@$vosk_version" >/dev/null); then
    cat >&2 <<EOF
setup: could not fetch vosk@$vosk_version from $registry (npm's error is above)
setup: to go on without npm, use a libvosk.so that you have (for example from the
       vosk-linux-x86_64 zip of a release at https://github.com/alphacep/vosk-api/releases):
         - put it where CMake finds it, such as /usr/local/lib/libvosk.so, and start again; or
         - name it: TOVU_VOSK_LIBRARY=/path/to/libvosk.so scripts/run.sh (or scripts/test.sh)
       Behind a proxy, npm's settings apply: see 'npm help config' (proxy, https-proxy, cafile).
EOF
    exit 1
  fi
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
