#!/usr/bin/env bash
# Installs what is missing (tools of the test suite included), builds
# everything and runs the whole test suite three times:
#   1. against the normal build (build/), fuzz test included;
#   2. against an AddressSanitizer + UndefinedBehaviorSanitizer build
#      (build-asan/), leak detection on;
#   3. with every run of the program under valgrind's memcheck: any memory
#      error or leak (definite, indirect or possible) fails the test; all but
#      the realtime tier (tests against a real sound server).
#
#   scripts/test.sh [--quick]    --quick: the first pass only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
jobs=$(nproc)
quick=0
[ "${1:-}" = "--quick" ] && quick=1

build_tree() {
    local build=$1
    shift
    cmake -S "$root" -B "$build" "$@" >/dev/null
    cmake --build "$build" -j "$jobs"
}

# Each run of the program gets a /tmp of its own, which would hide a tree
# that lies under /tmp: the program, its models and audio.
case "$root/" in
  /tmp/*)
    echo "test: the tests give each run of the program a /tmp of its own, which hides $root;" >&2
    echo "      clone the repository somewhere else, such as your home directory" >&2
    exit 1 ;;
esac

# The tests need root: every run of the program gets mount namespaces of its
# own. A user with sudo runs the whole suite through it, asked once; what
# root then makes in the clone (build trees, .deps/) is given back to that
# user at the end, whatever the outcome.
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "test: the tests need root (each run of the program gets private mounts): run this as root, or as a user with sudo" >&2
    exit 1
  fi
  echo "test: the tests need root; running them through sudo (what root makes here goes back to $(id -un))"
  exec sudo env TOVU_TEST_OWNER="$(id -u):$(id -g)" \
    ${TOVU_VOSK_LIBRARY:+TOVU_VOSK_LIBRARY="$TOVU_VOSK_LIBRARY"} "$root/scripts/test.sh" "$@"
fi
# Given back is what root made: entries of root's, and of those that are not
# folders only the ones with no other name (a hard link to a file of root's
# elsewhere is not the run's). The walk never enters a folder that someone
# else may write (the mode-1777 folders of the tests and of the valgrind
# pass; a folder of another user's), where anyone could plant such a link or
# swap an entry between the look and the chown: what root made in there
# stays root's, and the folder itself, when root's, is given back. A folder
# that the user's own group may write is entered: with a umask of 002, on a
# system of private user groups, every folder of the user's is.
if [ -n "${TOVU_TEST_OWNER:-}" ]; then
  give_back() {
    find "$root" -xdev \( -type d \( -perm -o+w -o -perm -g+w ! -gid 0 ! -gid "${TOVU_TEST_OWNER#*:}" \
      -o ! -uid 0 ! -uid "${TOVU_TEST_OWNER%:*}" \) -prune -o -true \) \
      -uid 0 \( -type d -o -links 1 \) -exec chown -h "$TOVU_TEST_OWNER" {} + || true
  }
  trap give_back EXIT
  trap 'exit 130' INT TERM HUP
fi

"$root/scripts/setup.sh" --tests

echo "== Test suite"
build_tree "$root/build"
ctest --test-dir "$root/build" -j "$jobs" --output-on-failure
[ "$quick" = 1 ] && exit 0

echo "== Test suite, AddressSanitizer and UndefinedBehaviorSanitizer"
build_tree "$root/build-asan" -DTOVU_SANITIZE=address,undefined
# The realtime tier too. The program is slower here, and every bound on its
# time and CPU time scales by a factor stated with allowed() in the tests.
ctest --test-dir "$root/build-asan" -j "$jobs" --output-on-failure -LE fuzz

echo "== Test suite, the program under valgrind memcheck"
# valgrind keeps its own files out of the test's /tmp, which some tests fill;
# the program runs as other users too.
# The wrapper is shell text: its paths are quoted (a clone's path may have a
# space in it).
vg_tmp="$root/build/valgrind-tmp"
mkdir -p "$vg_tmp"
chmod 1777 "$vg_tmp"
valgrind=$(command -v valgrind)
suppressions=$root/tests/valgrind.supp
export TOVU_RUN_WRAPPER="TMPDIR=${vg_tmp@Q} ${valgrind@Q} -q --vgdb=no --error-exitcode=99 \
--leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
--show-leak-kinds=definite,indirect,possible --suppressions=${suppressions@Q}"
# Not the realtime tier: valgrind runs the program some 30 times slower,
# which no longer keeps pace with audio that arrives in real time.
ctest --test-dir "$root/build" -j "$jobs" --output-on-failure -LE 'fuzz|realtime'
