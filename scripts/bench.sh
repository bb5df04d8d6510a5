#!/usr/bin/env bash
# Builds tovu-voice and its benchmarks with optimisation into build-bench/
# and prints the benchmark table: the program against its baselines (bare
# Vosk calls, arecord), measured side by side in one run, then the
# micro-benchmarks. Needs root (private mount namespaces, as the tests). The
# last rows run in real time against a private PulseAudio server and a
# private PipeWire reached through its own ALSA plugin (about three minutes:
# on each, three runs of a 10 s capture, arecord and two stops, and of the
# microphone check listening 8 s beside arecord), and on all three routes
# the time from the start cue to the first read; the plugin is fetched from
# the Debian mirror once, as for the tests.
#
#   scripts/bench.sh [RUNS]      RUNS: runs per measure (default 15)
#
# TOVU_BENCH_BUILD chooses another build folder. The machine should be
# otherwise idle: the figures are medians, but the shell commands that the
# program runs are sensitive to load.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-15}
build=${TOVU_BENCH_BUILD:-$root/build-bench}
"$root/scripts/setup.sh" --tests >/dev/null
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOVU_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tovu-voice tovu-voice-check-mic bare_vosk \
  vad_capture processor_stub tovu_probe bench_run bench_micro tovu_cues >/dev/null
"$root/testbed/make_fixtures.sh" "$build/fixtures"
"$root/testbed/fetch_pipewire_alsa.sh" "$build/pipewire-alsa"

"$build/bench/bench_run" --binary "$build/tovu-voice" --bench-dir "$build/bench" \
  --fixtures "$build/fixtures" --pipewire-alsa "$build/pipewire-alsa" --work "$build/bench-work" \
  --check-mic "$build/tovu-voice-check-mic" --cues "$build/cues" --runs "$runs"
echo
"$build/bench/bench_micro" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.2
