#!/usr/bin/env bash
# Installs what a build target needs and this machine lacks (Debian packages, as root).
# Usage: scripts/deps.sh host|windows|bench|analyze|all
set -euo pipefail

need=()
want() {  # want <package> <file-or-command that proves it is installed>
  local pkg=$1 probe=$2
  if [[ $probe == /* ]]; then [[ -e $probe ]] || need+=("$pkg")
  else command -v "$probe" >/dev/null 2>&1 || need+=("$pkg"); fi
}

host() {
  want cmake cmake
  want ninja-build ninja
  want g++ g++
  want libgtest-dev /usr/include/gtest/gtest.h
  want libgmock-dev /usr/include/gmock/gmock.h
  want binutils objdump
  want tshark tshark  # decodes the bus captures (tests/usb/capture_test.cpp, scripts/check-capture.sh)
}
windows() {
  want cmake cmake
  want ninja-build ninja
  want g++-mingw-w64-i686 i686-w64-mingw32-g++
  want binutils-mingw-w64-i686 i686-w64-mingw32-objdump
  want python3-pefile /usr/lib/python3/dist-packages/pefile.py  # scripts/check-sys.py
}
bench() { host; want libbenchmark-dev /usr/include/benchmark/benchmark.h; }
analyze() {
  host
  windows
  want clang-tidy clang-tidy
  want clang clang++
}

case "${1:-all}" in
  host) host ;;
  windows) windows ;;
  bench) bench ;;
  analyze) analyze ;;
  all) host; windows; bench; analyze ;;
  *) echo "usage: $0 host|windows|bench|analyze|all" >&2; exit 2 ;;
esac

((${#need[@]})) || exit 0
readarray -t need < <(printf '%s\n' "${need[@]}" | sort -u)
echo "Installing missing packages: ${need[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "error: installing needs root; run: sudo apt-get install -y ${need[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq || echo "warning: apt-get update failed; trying the install anyway" >&2
apt-get install -y -qq --no-install-recommends "${need[@]}"
