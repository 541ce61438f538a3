#!/usr/bin/env bash
# Static analysis of the driver code, as CI runs it:
# 1. clang-tidy (checks in .clang-tidy: the clang analyzer and bug-finding
#    checks) over every source of port/ and pipe/, with the host build's
#    compile database, so common/ and the drivers' headers are analysed too;
# 2. a second compiler: clang for the i686 mingw-w64 target against the real
#    DDK headers, -Wall -Wextra as errors (unused parameters aside: dispatch
#    routines take what the I/O manager passes).
# Every finding fails the run; one that is no fault is suppressed at its line
# with NOLINT and a one-line reason. Usage: scripts/analyze.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
sources=(port/*/*.cpp pipe/*.cpp)
[[ -f $build/compile_commands.json ]] || { echo "analyze: no $build/compile_commands.json; build the host preset first" >&2; exit 1; }

echo "analyze: clang-tidy over ${#sources[@]} driver sources"
printf '%s\n' "${sources[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet

echo "analyze: clang for i686-w64-mingw32 against the DDK headers"
printf '%s\n' "${sources[@]}" | xargs -P "$(nproc)" -I{} clang++ --target=i686-w64-mingw32 -std=c++17 -fsyntax-only \
  -I. -isystem /usr/i686-w64-mingw32/include/ddk -isystem /usr/i686-w64-mingw32/include \
  -fno-exceptions -fno-rtti -ffreestanding -Wall -Wextra -Werror -Wno-unused-parameter \
  -Wno-missing-field-initializers -Wno-unknown-pragmas {}
echo "analyze: no findings"
