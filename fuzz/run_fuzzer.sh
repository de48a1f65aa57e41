#!/bin/sh
# run_fuzzer.sh FUZZER SEED_CORPUS [SECONDS]
#
# Runs one libFuzzer harness for SECONDS (default: $NMB_FUZZ_SECONDS, else 60)
# on a scratch copy of its seed corpus (the committed seeds stay as they are),
# then prints how many inputs it tried.
# A crash leaves its input in the scratch folder's crash- file and fails.
# Must run in a private network namespace, like everything that runs the
# plug-in's code.
set -eu
fuzzer=$1
seeds=$2
seconds=${3:-${NMB_FUZZ_SECONDS:-60}}
work=$(mktemp -d "${TMPDIR:-/tmp}/nmb-fuzz.XXXXXX")
mkdir -p "$work/corpus"
cp "$seeds"/* "$work/corpus/" 2>/dev/null || true
status=0
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  "$fuzzer" -max_total_time="$seconds" -max_len=1024 -timeout=20 -rss_limit_mb=2048 \
  -artifact_prefix="$work/" -print_final_stats=1 "$work/corpus" >"$work/log" 2>&1 || status=$?
grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|Done [0-9]+ runs' "$work/log" || true
if [ $status -ne 0 ]; then
  tail -n 60 "$work/log"
  echo "fuzzer failed; artefacts in $work"
  exit $status
fi
echo "corpus: $(ls "$work/corpus" | wc -l) inputs"
rm -rf "$work"
