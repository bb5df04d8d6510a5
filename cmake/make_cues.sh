#!/bin/sh
# make_cues.sh OUTDIR
# Generates the three sound cues that tovu-voice plays: start.wav (a rising
# two-note chime), stop.wav (the same chime falling) and error.wav (a low
# double buzz). 44.1 kHz, 16-bit, mono, each well under half a second.
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

# Two notes, the second starting 0.11 s after the first, mixed together.
chime() { # OUT FIRST_HZ SECOND_HZ
  note "$work/a.wav" "$2" 0.22 0.2
  note "$work/b.wav" "$3" 0.30 0.28
  sox_ "$work/b.wav" "$work/b_late.wav" pad 0.11 0
  sox_ -m -v 0.45 "$work/a.wav" -v 0.45 "$work/b_late.wav" -b 16 "$1.tmp.wav"
  mv "$1.tmp.wav" "$1"
}

# G5 up to C6, and back down.
chime "$out/start.wav" 784 1047
chime "$out/stop.wav" 1047 784

# Two short bursts of a soft, low square wave with a gap between them.
sox_ -n -r $rate -c 1 -b 16 "$work/buzz.wav" synth 0.12 square 170 \
  lowpass 1200 lowpass 1200 fade q 0.01 0.12 0.03 vol 0.3
sox_ -n -r $rate -c 1 -b 16 "$work/gap.wav" trim 0 0.07
sox_ "$work/buzz.wav" "$work/gap.wav" "$work/buzz.wav" "$out/error.wav.tmp.wav"
mv "$out/error.wav.tmp.wav" "$out/error.wav"
