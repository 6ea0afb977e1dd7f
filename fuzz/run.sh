#!/usr/bin/env bash
# fuzz/run.sh SECONDS [TARGET...]: runs each fuzz target built in build-fuzz/
# for SECONDS, two at a time at the lowest priority, seeded with the
# conformance suites and the kept inputs in fuzz/regressions/. Logs, the
# growing corpora and any crashing input stay in build-fuzz/.
set -uo pipefail
secs=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
B=build-fuzz
CONFORMANCE=${ZUB_SHARED:-../shared}/conformance
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in json json5 toml yaml; do targets+=(zub_fuzz_${f}_load zub_fuzz_${f}_roundtrip); done
fi

# Seeds per format, named by content so that repeats collapse.
seed() {
  local format=$1 dir=$B/seeds/$1
  [ -d "$dir" ] && return 0
  mkdir -p "$dir.tmp"
  local -a find_args
  case $format in
    json) find_args=("$CONFORMANCE/JSONTestSuite" -name '*.json') ;;
    json5) find_args=("$CONFORMANCE/json5-tests" '(' -name '*.json5' -o -name '*.json' -o -name '*.js' -o -name '*.txt' ')') ;;
    toml) find_args=("$CONFORMANCE/toml-test" -name '*.toml') ;;
    yaml) find_args=("$CONFORMANCE/yaml-test-suite" -name '*.yaml') ;;
  esac
  find "${find_args[@]}" -type f -print0 | xargs -0 sha1sum | while read -r sum path; do
    cp "$path" "$dir.tmp/$sum"
  done
  mv "$dir.tmp" "$dir"
}

run_one() {
  local t=$1 format=${1#zub_fuzz_}
  format=${format%_*}
  mkdir -p "$B/corpus/$t" "$B/artifacts/$t" "$B/logs"
  local -a dirs=("$B/corpus/$t" "$B/seeds/$format")
  [ -d "fuzz/regressions/$format" ] && dirs+=("fuzz/regressions/$format")
  # The timeout counts wall-clock time on a shared, busy machine: generous.
  nice -n 19 "$B/$t" -max_total_time="$secs" -max_len=16384 -timeout=120 -print_final_stats=1 \
    -artifact_prefix="$B/artifacts/$t/" "${dirs[@]}" >"$B/logs/$t.log" 2>&1
}

# Leaks inside libfyaml are the library's (fuzz/lsan-suppressions.txt).
export LSAN_OPTIONS=suppressions=fuzz/lsan-suppressions.txt
for f in json json5 toml yaml; do seed $f; done
failed=()
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pair=("${targets[@]:i:2}")
  pids=()
  for t in "${pair[@]}"; do run_one "$t" & pids+=($!); done
  for k in "${!pids[@]}"; do
    t=${pair[$k]}
    if wait "${pids[$k]}"; then status=clean; else status=FAILED; failed+=("$t"); fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$B/logs/$t.log" | grep -o '[0-9]*$')
    took=$(grep -o 'Done [0-9]* runs in [0-9]* second' "$B/logs/$t.log" | grep -o '[0-9]* second' | grep -o '[0-9]*' || true)
    echo "$t: $status, ${runs:-?} executions in ${took:-less than $secs} s (log: $B/logs/$t.log)"
  done
done
[ ${#failed[@]} -eq 0 ] || { echo "failing: ${failed[*]} (inputs in $B/artifacts/)"; exit 1; }
