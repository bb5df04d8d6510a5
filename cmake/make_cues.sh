#!/bin/sh
# make_cues.sh OUTDIR
# Generates the three sound cues that tovu-voice plays: start.wav (a quick
# rising two-note chime), stop.wav (a slower chime falling) and error.wav (a
# low double buzz). 44.1 kHz, 16-bit, mono, each well under half a second.
# The start cue is the shortest: tovu-voice listens only once it is over,
# so every millisecond of it is one that a quick speaker must wait.
# sox runs in repeatable mode without dither, so the files are the same on
# every build.
set -eu
out=$1
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sox_() { sox -R -D -V1 "$@"; }
rate=44100

# One bell-like note: a sine with a quiet octave above it, a 10 ms attack
# and a long fade, so that it rings out instead of clicking off.
note() { # FILE FREQUENCY SECONDS FADE_OUT_SECONDS
  sox_ -r $rate -c 2 -n -b 16 "$1" synth "$3" sine "$2" sine "$(($2 * 2))" \
    remix 1v0.8,2v0.2 fade q 0.01 "$3" "$4"
}

# Two notes, the second starting DELAY seconds after the first, mixed
# together; each fades out over all but its first 20 ms.
chime() { # OUT FIRST_HZ FIRST_SECONDS FIRST_FADE SECOND_HZ SECOND_SECONDS SECOND_FADE DELAY
  note "$work/a.wav" "$2" "$3" "$4"
  note "$work/b.wav" "$5" "$6" "$7"
  sox_ "$work/b.wav" "$work/b_late.wav" pad "$8" 0
  sox_ -m -v 0.45 "$work/a.wav" -v 0.45 "$work/b_late.wav" -b 16 "$1.tmp.wav"
  mv "$1.tmp.wav" "$1"
}

# G5 up to C6 in 0.12 s, and back down at leisure.
chime "$out/start.wav" 784 0.06 0.04 1047 0.08 0.06 0.04
chime "$out/stop.wav" 1047 0.22 0.2 784 0.30 0.28 0.11

# Two short bursts of a soft, low square wave with a gap between them.
sox_ -n -r $rate -c 1 -b 16 "$work/buzz.wav" synth 0.12 square 170 \
  lowpass 1200 lowpass 1200 fade q 0.01 0.12 0.03 vol 0.3
sox_ -n -r $rate -c 1 -b 16 "$work/gap.wav" trim 0 0.07
sox_ "$work/buzz.wav" "$work/gap.wav" "$work/buzz.wav" "$out/error.wav.tmp.wav"
mv "$out/error.wav.tmp.wav" "$out/error.wav"
