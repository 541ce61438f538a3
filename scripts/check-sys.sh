#!/usr/bin/env bash
# Checks the Windows drivers in a folder: each must be a PE32 image (Magic 010b)
# of the native subsystem (Subsystem 1) that imports only from the kernel and
# HAL, plus USBD.SYS for merrow. Anything else would fail to load on Windows.
# Usage: scripts/check-sys.sh [folder]      (default build/windows/out)
set -euo pipefail

dir=${1:-build/windows/out}
objdump=$(command -v i686-w64-mingw32-objdump || command -v objdump)
declare -A allowed=(
  [tolvane.sys]="ntoskrnl.exe HAL.dll"
  [merrow.sys]="ntoskrnl.exe HAL.dll USBD.SYS"
)

failed=0
fail() { echo "check-sys: $1: $2" >&2; failed=1; }

for sys in tolvane.sys merrow.sys; do
  file=$dir/$sys
  if [[ ! -f $file ]]; then fail "$sys" "missing (looked for $file)"; continue; fi
  if ! headers=$("$objdump" -p "$file" 2>&1); then fail "$sys" "not an image objdump can read: $headers"; continue; fi
  grep -Eq '^Magic[[:space:]]+010b' <<<"$headers" || fail "$sys" "not a PE32 image (Magic is not 010b)"
  grep -Eq '^Subsystem[[:space:]]+0+1[[:space:]]' <<<"$headers" || fail "$sys" "not a native-subsystem image (Subsystem is not 1)"
  # DLL names compare without case, as the Windows loader compares them.
  while read -r dll; do
    [[ " ${allowed[$sys],,} " == *" ${dll,,} "* ]] ||
      fail "$sys" "imports from $dll; a driver may import only from: ${allowed[$sys]}"
  done < <(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' <<<"$headers")
done

((failed == 0)) && echo "check-sys: tolvane.sys and merrow.sys are native PE32 images with allowed imports"
exit $failed
