#!/usr/bin/env bash
# Runs the port's life scenarios with every allocation site of tolvane, then
# of merrow, failing once in turn (Stack/LifeFaults.*), one process per
# driver, both at once, and prints the table of both at the end with the
# wall time. SITES limits the sites per row ("all" by default). Logs:
# <tests dir>/faults/<driver>.log. Exits nonzero when a run failed.
# Usage: tests/port/run_faults.sh <port_tests binary> [SITES]
set -uo pipefail

binary=$1 sites=${2:-all}
logs=$(dirname "$binary")/faults
rm -rf "$logs" && mkdir -p "$logs"

start=$SECONDS
status=0
for driver in tolvane merrow; do
  FAULT_SITES=$sites "$binary" --gtest_filter="Stack/LifeFaults.*_$driver" >"$logs/$driver.log" 2>&1 &
done
for driver in tolvane merrow; do wait -n || status=1; done

echo
echo "Systematic allocation failures through the whole stack ($sites sites per row, $((SECONDS - start)) s wall):"
grep -h '^reliability: faults | scenario' "$logs/tolvane.log" | head -1
for driver in tolvane merrow; do
  grep -h '^reliability: faults' "$logs/$driver.log" | grep -v '^reliability: faults | scenario' ||
    echo "reliability: faults-failure | - | $driver | - | no table: the test program stopped (see $logs/$driver.log)"
done
exit $status
