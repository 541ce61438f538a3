#!/usr/bin/env bash
# The Wine check: a new Wine prefix under the build folder (unique per run),
# the port installed in it as a device installer would (install_port.exe), the
# kernel32 client run on \\.\COM5 (comm_client.exe), then Wine shut down.
# Every step is bounded by a timeout; the prefix is removed after a pass and
# kept after a failure. Usage: tests/wine/run.sh <build folder of the wine preset>
set -uo pipefail

build=$(realpath "${1:?usage: $0 <build folder of the wine preset>}")
out=$build/wine
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX=$build/prefix-$(date +%Y%m%d-%H%M%S)-$$
export WINEDEBUG=-all
# No Mono or Gecko (their installers would try to download), no display.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY

started=$SECONDS
result=1
finish() {
  timeout 30 "$wineserver" -k 2>/dev/null
  if ((result == 0)); then rm -rf "$WINEPREFIX"; else echo "wine-check: prefix kept for inspection: $WINEPREFIX"; fi
  echo "wine-check: $((SECONDS - started)) s"
}
trap finish EXIT

step() {  # step <seconds> <what> <command...>
  local limit=$1 what=$2
  shift 2
  if timeout --kill-after=10 "$limit" "$@"; then return 0; fi
  echo "wine-check: $what failed or took over $limit s"
  exit 1
}

echo "wine-check: $("$wine" --version), prefix $WINEPREFIX"
step 300 "creating the prefix" "$wine" wineboot --init
step 120 "waiting for wineboot" "$wineserver" --wait
mkdir -p "$WINEPREFIX/drive_c/tolvane"
cp "$out/package/tolvane.sys" "$out/package/tolvane.inf" "$out/install_port.exe" "$out/comm_client.exe" \
  "$WINEPREFIX/drive_c/tolvane/"
echo "wine-check: prefix ready after $((SECONDS - started)) s"
step 120 "installing the port" "$wine" 'C:\tolvane\install_port.exe' 'C:\tolvane\tolvane.inf'
step 120 "the client" "$wine" 'C:\tolvane\comm_client.exe' COM5
result=0
