#!/usr/bin/env bash
# make_fixtures.sh OUTDIR
# Generates what the end-to-end tests feed the program: synthetic speech
# models and raw S16_LE 16 kHz mono audio. Every audio file ends with more
# trailing silence than a whole capture can read, because the ALSA file
# plugin repeats the last chunk once its input file has run out.
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")" && pwd)
stamp="$out/.complete"
[ -f "$stamp" ] && [ "$stamp" -nt "$0" ] && [ "$stamp" -nt "$here/make_model.sh" ] && exit 0

rm -rf "$out.new"
mkdir -p "$out.new"
cd "$out.new"

"$here/make_model.sh" model "hey tovu open the browser"
"$here/make_model.sh" model_prefix_only "hey tovu"
# Decodes nothing from less than about 3 s of audio: {"text": ""}.
FRAMES_PER_CHUNK=300 "$here/make_model.sh" model_deaf "hey tovu open the browser"

to_raw() { sox "$1" -r 16000 -c 1 -b 16 -e signed-integer -t raw "$2" "${@:3}"; }

espeak-ng -w speech.wav "hey tovu open the browser"
# 0.5 s of silence before the words, 12 s after.
to_raw speech.wav speech.raw pad 0.5 12
# Nobody speaks: 12 s of digital silence.
sox -n -r 16000 -c 1 -b 16 -e signed-integer -t raw silence.raw trim 0 12
# Speech for longer than the 10 s budget: a tone with short gaps that never
# add up to 1.5 s of quiet, then silence.
sox -n -r 16000 -c 1 -b 16 -e signed-integer -t raw long_speech.raw \
  synth 0.5 sine 440 vol 0.3 pad 0 0.3 repeat 14 pad 0 12

# The request 25 dB quieter, as a laptop's built-in microphone gives it.
sox -t raw -r 16000 -c 1 -b 16 -e signed-integer speech.raw -t raw quiet_speech.raw vol -25dB
# The request 6 dB louder, where it clips.
sox -t raw -r 16000 -c 1 -b 16 -e signed-integer speech.raw -t raw loud_speech.raw vol 6dB 2>/dev/null
# A steady request just too quiet through a source at 150 % (x3.375): RMS 590 there.
sox -n -r 16000 -c 1 -b 16 -e signed-integer -t raw faint_tone.raw synth 1 sine 440 vol 0.0076 pad 0.5 12
# The request over a room's steady noise at about RMS 750.
sox -n -r 16000 -c 1 -b 16 -e signed-integer -t raw noise.raw synth 13 whitenoise vol 0.07
sox -m -v 1 -t raw -r 16000 -c 1 -b 16 -e signed-integer speech.raw \
  -v 1 -t raw -r 16000 -c 1 -b 16 -e signed-integer noise.raw -t raw noisy_speech.raw
rm noise.raw

touch .complete
cd ..
rm -rf "$out"
mv "$out.new" "$out"
