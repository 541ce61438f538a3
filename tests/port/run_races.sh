#!/usr/bin/env bash
# Runs every race test of port_tests (*Races.*) with SEEDS delay-fuzzer seeds
# each, one process per test (two at a time), and prints per race family the
# seeds run, the failures and the seeds that failed. A test that stops its
# process (verifier stop, hang report) counts as one failure at the seed it
# stopped at; its other seeds count as not run. Logs: <tests dir>/races/.
# Usage: tests/port/run_races.sh <port_tests binary> [SEEDS] [JOBS]
set -uo pipefail

binary=$1 seeds=${2:-1000} jobs=${3:-2}
logs=$(dirname "$binary")/races
rm -rf "$logs" && mkdir -p "$logs"

mapfile -t tests < <("$binary" --gtest_list_tests --gtest_filter='*Races.*' |
  awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }')

run_one() {  # run_one <test>: its log, then its result line in <log>.result
  local test=$1 log=$logs/$1.log
  RACE_SEEDS=$seeds "$binary" --gtest_filter="$test" >"$log" 2>&1
  local status=$?
  if grep -q '^\[ race     \] [^a]' "$log"; then
    grep '^\[ race     \] [^a]' "$log" | sed "s/^\[ race     \] //; s/\$/ | $test | $status/"
  else  # stopped: the abort line names the family and the seed
    local stop family seed
    stop=$(grep -m1 '^\[ race     \] aborted: ' "$log" | sed 's/^\[ race     \] aborted: //')
    family=${stop% seed *} seed=${stop##* seed }
    echo "${family:-$test} | ${seed:-0} seeds | 1 failed | ${seed:-?} (stopped) | $test | $status"
  fi >"$log.result"
}

start=$SECONDS
running=0
for test in "${tests[@]}"; do
  run_one "$test" &
  if ((++running >= jobs)); then wait -n; ((running--)); fi
done
wait

echo
echo "Race families, $seeds delay-fuzzer seeds per test ($((SECONDS - start)) s wall):"
cat "$logs"/*.result | awk -F' [|] ' '
  { family = $1; split($2, s, " "); split($3, f, " ")
    if (!(family in runs)) order[++n] = family
    runs[family] += s[1]; fails[family] += f[1]; tests[family]++
    if (f[1] > 0 || $6 != 0) { bad = 1; which[family] = which[family] " " $5 ": " $4 } }
  END {
    printf "%-42s %5s %9s %8s  %s\n", "family", "tests", "seeds run", "failures", "failed seeds"
    for (i = 1; i <= n; i++) { fam = order[i]
      printf "%-42s %5d %9d %8d  %s\n", fam, tests[fam], runs[fam], fails[fam], which[fam] == "" ? "-" : which[fam] }
    exit bad }'
