#!/usr/bin/env bash
# Runs the fuzz harnesses of merrow and tolvane: each replays its seed corpus
# (fuzz/corpus/<name>), then fuzzes for a bounded time, and prints a summary:
# executions, executions per second, coverage (libFuzzer's cov and ft) and the
# findings it saved. FUZZ_HARNESSES="a b" runs only those harnesses.
#
# Usage: fuzz/run.sh [--fresh] <build-dir> [libFuzzer flags...]
#   --fresh  start from the seeds only (CI); otherwise the corpus grown by
#            earlier runs in <build-dir>/corpus/<name> is kept and extended.
# Flags given override the defaults (-max_total_time=60 -timeout=30 ...).
# -entropic=0: libFuzzer's entropic schedule spent more time on its feature
# bookkeeping than the harnesses spend running (about half the executions).
# -detect_leaks=0 while fuzzing: the machine lives across inputs, so almost
# every input ends with host allocations outstanding, and libFuzzer then ran
# a full LeakSanitizer scan of the heap after it (two thirds of the CPU
# time). The drivers' leaks are the harnesses' own check (the pool at the
# unload or after the input); the seed replay still runs with leak detection.
# Exit status 1 when any harness found something.
set -uo pipefail

fresh=0
if [[ ${1:-} == --fresh ]]; then fresh=1; shift; fi
build=${1:?usage: fuzz/run.sh [--fresh] <build-dir> [libFuzzer flags...]}
shift
here=$(cd "$(dirname "$0")" && pwd)
harnesses=(${FUZZ_HARNESSES:-descriptors control_codes port_requests})

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:handle_abort=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

stat() {  # stat <log> <name>: a final statistic libFuzzer printed
  sed -n "s/^stat::$2: *//p" "$1" | tail -1
}

# Findings are the inputs libFuzzer saved for a crash, a leak, a timeout or
# running out of memory. It also saves the slowest input once one takes more
# than 10 s (slow-unit-*); on a loaded machine that says more about the load
# than about the drivers, so it is reported, not failed on.
count() {  # count <artifacts dir> <prefix>...
  local dir=$1 n=0 prefix
  shift
  for prefix in "$@"; do n=$((n + $(find "$dir" -type f -name "$prefix-*" | wc -l))); done
  echo $n
}

failed=0
summary=()
for name in "${harnesses[@]}"; do
  binary=$build/fuzz/${name}_fuzz
  seeds=$here/corpus/$name
  work=$build/corpus/$name
  artifacts=$build/artifacts/$name/
  log=$build/logs/$name.log
  [[ $fresh == 1 ]] && rm -rf "$work"
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  before=$(count "$artifacts" crash leak timeout oom)
  slow_before=$(count "$artifacts" slow-unit)

  echo "== $name: replaying $(find "$seeds" -type f | wc -l) seeds"
  if ! "$binary" -runs=0 -timeout=30 -artifact_prefix="$artifacts" "$seeds" >"$log.replay" 2>&1; then
    tail -40 "$log.replay"
    echo "== $name: a seed fails (log: $log.replay)"
    failed=1
    summary+=("$name: a seed of fuzz/corpus/$name fails; see $log.replay")
    continue
  fi

  echo "== $name: fuzzing"
  "$binary" -max_total_time=60 -entropic=0 -detect_leaks=0 -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$artifacts" "$@" "$work" "$seeds" >"$log" 2>&1
  status=$?
  found=$(($(count "$artifacts" crash leak timeout oom) - before))
  slow=$(($(count "$artifacts" slow-unit) - slow_before))
  ((status != 0 || found > 0)) && { failed=1; tail -60 "$log"; }
  runs=$(stat "$log" number_of_executed_units)
  speed=$(stat "$log" average_exec_per_sec)
  coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  line="$name: ${runs:-?} executions, ${speed:-?} exec/s, ${coverage:-cov: ?}, corpus $(find "$work" -type f | wc -l) inputs, $found finding(s)"
  ((found > 0)) && line+=" in $artifacts"
  ((slow > 0)) && line+=", $slow input(s) slower than 10 s kept in $artifacts"
  ((status != 0 && found == 0)) && line+=", libFuzzer exited with $status"
  summary+=("$line")
done

echo
echo "== fuzzing summary"
printf '   %s\n' "${summary[@]}"
exit $failed
