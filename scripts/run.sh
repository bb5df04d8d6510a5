#!/usr/bin/env bash
# Installs what is missing, builds tovu-voice and tovu-voice-check-mic into
# build/ with all that `cmake --install build` and `cpack` take (manual
# pages, sound cues), fetches a speech model with scripts/get-model.sh when
# tovu-voice would find none (TOVU_NO_MODEL_FETCH=1 skips that), and runs
# tovu-voice once.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" --target tovu_installable -j "$(nproc)" >/dev/null

# Whether tovu-voice finds a model: a readable directory on its search list,
# the first of which it takes. One with an empty am/final.mdl, which a crash
# during an install can leave, is no model: the installer is run, and says
# what to do about it if it is the installer's destination.
finds_model() {
  local dir
  for dir in /usr/share/extras/tovu/model /usr/share/vosk-model-en-us-0.22 \
             /usr/share/vosk-model-small-en-us-0.15 /usr/share/vosk/model \
             ${VOSK_MODEL_PATH:+"$VOSK_MODEL_PATH"}; do
    if [ -d "$dir" ] && [ -r "$dir" ]; then
      [ ! -f "$dir/am/final.mdl" ] || [ -s "$dir/am/final.mdl" ]
      return
    fi
  done
  return 1
}

if [ "${TOVU_NO_MODEL_FETCH:-}" != 1 ] && ! finds_model; then
  # The model goes below /usr/share: as set-up does for apt-get, through
  # sudo when not root, which keeps none of the variables the installer
  # reads unless they are passed on.
  as_root=()
  if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null; then
    as_root=(sudo env)
    for name in TOVU_MODEL_URL TOVU_MODEL_SHA256 http_proxy https_proxy HTTPS_PROXY \
                all_proxy ALL_PROXY no_proxy NO_PROXY; do
      [ -z "${!name:-}" ] || as_root+=("$name=${!name}")
    done
  fi
  # The installer's first line says what it fetches, from where, how big and
  # into where; how to skip it is added to it. Its failure is one line as
  # well, after which the program runs without a model, as it would have.
  # Ctrl-C stops the installer, which cleans up, and then this script.
  trap 'exit 130' INT
  "${as_root[@]}" "$root/scripts/get-model.sh" | sed -u '1s/$/ (TOVU_NO_MODEL_FETCH=1 skips this)/' ||
    true
  trap - INT
fi
exec "$root/build/tovu-voice" "$@"
