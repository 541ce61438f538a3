// One loopback through the whole stack, alone, for callgrind and perf: boots
// the stack of the loopback benchmark (instant bus, high speed, one adapter,
// RTS/CTS handshake),
// warms it with one 64 KB loopback, then turns callgrind's instrumentation on
// for one loopback of the given length (1 MB by default) and off again, so
// the count holds that transfer alone, on every thread of the machine.
// "pipe" as the second argument does the same on the adapter's raw pipes
// (\PIPE00 to \PIPE01) with tolvane not loaded, to compare.
//
//   valgrind --tool=callgrind --instr-atstart=no build/host-release/bench/stack_cost [bytes] [port|pipe]
//
// Prints the wall time and the machine's virtual time the transfer took.
#include <valgrind/callgrind.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/stack_rig.h"

namespace {

// The loopback of `length` bytes on `rig`, measured.
bool MeasuredLoopback(bench::StackMachine& rig, HANDLE out, HANDLE in, size_t length) {
  bench::Bytes warm = bench::Pattern(64u << 10, 1), sent = bench::Pattern(length, 2), received;
  bool ok = bench::WriteAndReadBack(out, in, warm, received);
  auto wallStart = std::chrono::steady_clock::now();
  sim::Tick virtualStart = rig.Machine().Sched().Now();
  CALLGRIND_ZERO_STATS;
  CALLGRIND_START_INSTRUMENTATION;
  ok = ok && bench::WriteAndReadBack(out, in, sent, received);
  CALLGRIND_STOP_INSTRUMENTATION;
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  double simulated = (double)(rig.Machine().Sched().Now() - virtualStart) / sim::kTicksPerSecond;
  ok = ok && received == sent;
  std::printf("stack_cost: %zu bytes written and read back: %s, in %.3f s (%.3f s of the machine's clock)\n", length,
              ok ? "ok" : "FAILED", wall, simulated);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  size_t length = argc > 1 ? std::strtoul(argv[1], nullptr, 0) : 1u << 20;
  bool throughPort = argc <= 2 || std::strcmp(argv[2], "pipe") != 0;
  bench::StackMachine rig({.ports = throughPort});
  HANDLE out = throughPort ? rig.OpenPort(0, true) : rig.OpenPipe(0, false);
  HANDLE in = throughPort ? out : rig.OpenPipe(0, true);
  bool ok = rig.Ready() && out != win32::INVALID_HANDLE_VALUE && in != win32::INVALID_HANDLE_VALUE &&
            (throughPort || rig.UseAdapterHandshake(0));
  if (!ok) std::fprintf(stderr, "stack_cost: the stack did not start\n");
  else ok = MeasuredLoopback(rig, out, in, length);
  if (out != win32::INVALID_HANDLE_VALUE) win32::CloseHandle(out);
  if (in != out && in != win32::INVALID_HANDLE_VALUE) win32::CloseHandle(in);
  return ok ? 0 : 1;
}
