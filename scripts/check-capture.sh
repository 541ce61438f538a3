#!/usr/bin/env bash
# Runs the simulator with its bus capture on and decodes the capture with
# tshark: every record must decode, none "Malformed". CI runs it after the
# tests. Usage: scripts/check-capture.sh [simulator]   (default build/host/simulator)
set -euo pipefail
simulator=${1:-build/host/simulator}
capture=$(mktemp --suffix=.pcap)
trap 'rm -f "$capture"' EXIT
"$simulator" --pcap "$capture" >/dev/null
decoded=$(tshark -r "$capture" 2>&1)
records=$(wc -l <<<"$decoded")
if grep -qi malformed <<<"$decoded"; then
  echo "check-capture: tshark found malformed records in the simulator's capture:" >&2
  grep -i malformed <<<"$decoded" | head -5 >&2
  exit 1
fi
echo "check-capture: tshark decoded all $records records of the simulator's capture"
