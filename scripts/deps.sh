#!/usr/bin/env bash
# Installs what a build target needs and this machine lacks (Debian packages, as root).
# Usage: scripts/deps.sh host|windows|wine|bench|fuzz|tsan|analyze|lab|all
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
# The x64 drivers and the port checked under Wine (make windows-x64, make wine-check).
wine() {
  windows
  want g++-mingw-w64-x86-64 x86_64-w64-mingw32-g++
  want binutils-mingw-w64-x86-64 x86_64-w64-mingw32-objdump
  want wine64 /usr/lib/wine/wine64
}
bench() {
  host
  want libbenchmark-dev /usr/include/benchmark/benchmark.h
  want valgrind /usr/include/valgrind/callgrind.h  # callgrind and its client requests (bench/programs/stack_cost.cpp)
  want gnuplot-nox gnuplot   # the throughput plot
  want socat socat           # the pty pair the latency figures are compared with
  want time /usr/bin/time    # the test suite's wall time
  want python3 /usr/bin/python3  # bench/summary.py
}
# The ThreadSanitizer build (make tsan): g++'s TSan runtime.
tsan() {
  host
  want libtsan2 /usr/lib/x86_64-linux-gnu/libtsan.so.2
}
# The fuzz harnesses of merrow and tolvane (make fuzz): clang 14 and its libFuzzer and sanitizer runtimes.
fuzz() {
  host
  want clang-14 clang++-14
  want libclang-rt-14-dev "$(compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' | head -1)"
}
# The serial lab's clients (tests/lab): Linux serial programs on the bridged port.
lab() {
  want python3-serial /usr/lib/python3/dist-packages/serial/__init__.py
  want lrzsz sz
  want picocom picocom
  want expect expect
}
analyze() {
  host
  windows
  want clang-tidy clang-tidy
  want clang clang++
}

case "${1:-all}" in
  host) host; lab ;;
  lab) lab ;;
  windows) windows ;;
  wine) wine ;;
  bench) bench ;;
  fuzz) fuzz ;;
  tsan) tsan ;;
  analyze) analyze ;;
  all) host; lab; windows; wine; bench; fuzz; tsan; analyze ;;
  *) echo "usage: $0 host|windows|wine|bench|fuzz|tsan|analyze|lab|all" >&2; exit 2 ;;
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
