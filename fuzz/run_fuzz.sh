#!/usr/bin/env bash
# run_fuzz.sh FUZZER SEED_CORPUS DICT WORKDIR SECONDS
# Runs a libFuzzer target for SECONDS on a fresh copy of the seed corpus in
# WORKDIR, so that the inputs it finds and the reproducers of any crash stay
# in WORKDIR (under the build tree), never in the source tree. Prints and
# keeps (WORKDIR/executions) the number of inputs it ran.
set -euo pipefail
fuzzer=$1 seeds=$2 dict=$3 work=$4 seconds=$5

rm -rf "$work/corpus"
mkdir -p "$work/corpus" "$work/artifacts"
cp -- "$seeds"/* "$work/corpus/"
cd "$work"

status=0
"$fuzzer" "$work/corpus" -dict="$dict" -max_len=1024 -max_total_time="$seconds" \
  -artifact_prefix="$work/artifacts/" -print_final_stats=1 >"$work/output.log" 2>&1 || status=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/output.log" | tail -n 1)
if [ "$status" -ne 0 ] || [ -z "$runs" ]; then
  tail -n 60 "$work/output.log"
  echo "$(basename "$fuzzer") failed (exit status $status); reproducers in $work/artifacts/"
  exit 1
fi
echo "$runs" >"$work/executions"
echo "$(basename "$fuzzer"): $runs executions in $seconds s, corpus of $(ls "$work/corpus" | wc -l) inputs"
