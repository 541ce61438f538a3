#!/usr/bin/env bash
# make reliability: the long runs of the reliability suite, one after the
# other, each logged in build/reliability/<item>.log with its exit status,
# then the one-page summary (scripts/reliability_summary.py). A failing item
# does not stop the others. Settings (environment):
#   STORM_CYCLES (1000), STORM_SEED (a random one, printed),
#   FUZZ_SECONDS (600 per harness), RACE_SEEDS (1000),
#   RELIABILITY_SKIP: items to leave out, e.g. "tsan fuzz".
set -uo pipefail

out=build/reliability
mkdir -p "$out"
rm -f "$out"/*.log "$out"/*.status
storm_seed=${STORM_SEED:-$((RANDOM * 32768 + RANDOM))}
echo "$storm_seed" >"$out/storm.seed"

item() {  # item <name> <command...>: runs it unless skipped, logs its output and status
  local name=$1
  shift
  if [[ " ${RELIABILITY_SKIP:-} " == *" $name "* ]]; then
    echo "skipped" >"$out/$name.status"
    return
  fi
  echo "== reliability: $name ($(date +%H:%M:%S))"
  local start=$SECONDS
  "$@" 2>&1 | tee "$out/$name.log"
  echo "${PIPESTATUS[0]} $((SECONDS - start))" >"$out/$name.status"
}

scripts/deps.sh host
cmake --preset host >/dev/null && cmake --build --preset host --target port_tests || exit 1

item faults make --no-print-directory reliability-faults
item storm env STORM_CYCLES="${STORM_CYCLES:-1000}" STORM_SEED="$storm_seed" \
  build/host/tests/port_tests --gtest_filter='UnplugStorm.*'
item fuzz make --no-print-directory fuzz ARGS="-max_total_time=${FUZZ_SECONDS:-600}"
item races make --no-print-directory reliability-races RACE_SEEDS="${RACE_SEEDS:-1000}"
item tsan make --no-print-directory tsan

/usr/bin/python3 scripts/reliability_summary.py "$out" | tee "$out/summary.txt"
