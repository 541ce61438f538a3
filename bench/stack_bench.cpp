// The whole stack, as an application uses it, beside merrow's raw pipes:
//
// - loopback throughput in the bus's instant mode: WriteFile on \\.\COM7
//   while a ReadFile of the same length waits, through tolvane, merrow, the
//   bus and the adapter's loopback plug and back; the same bytes written on
//   the adapter's \PIPE00 and read on its \PIPE01 with tolvane not loaded;
// - the receive engine's ceiling on a timed bus: data waiting at the far end,
//   read by the application, in the machine's virtual time, against one
//   packet per frame (full speed) or microframe (high speed); and input paced
//   at 921600 baud at high speed, checked for bytes lost in the adapter;
// - scale: 1, 8 and 64 adapters with a port each, streaming at once.
//
// Wall-clock figures use real time (the work runs on the machine's threads,
// not the benchmark's). Every adapter is high speed (512-byte packets). A
// loopback runs with RTS/CTS handshake, set through the port (SetCommState)
// or, for the raw pipes, sent to the adapter as merrow's vendor commands, so
// the adapter's receive FIFO never overruns.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>

#include "bench/stack_rig.h"
#include "sim/kernel/thread.h"

namespace {

using namespace win32;
using bench::Bytes;
using bench::StackMachine;
using bench::StackOptions;
using sim::usb::Speed;

// Bytes a second of `state`'s loop, with the length of one transfer.
void CountBytes(benchmark::State& state, size_t length) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * (int64_t)length);
}

void Loopback(benchmark::State& state, bool throughPort) {
  size_t length = (size_t)state.range(0);
  StackMachine rig({.ports = throughPort});
  HANDLE out = throughPort ? rig.OpenPort(0, true) : rig.OpenPipe(0, false);
  HANDLE in = throughPort ? out : rig.OpenPipe(0, true);
  bool handshake = throughPort || rig.UseAdapterHandshake(0);
  if (!rig.Ready() || !handshake || out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE) {
    state.SkipWithError("the stack did not start");
    return;
  }
  Bytes sent = bench::Pattern(length, 3), received;
  bool same = true;
  for (auto _ : state) {
    if (!bench::WriteAndReadBack(out, in, sent, received)) {
      state.SkipWithError("a transfer failed");
      break;
    }
    same = same && received == sent;
  }
  if (!same) state.SkipWithError("bytes read back differ from those written");
  CountBytes(state, length);
  CloseHandle(out);
  if (in != out) CloseHandle(in);
}

// Virtual seconds of the machine's clock.
double VirtualSeconds() { return (double)sim::CurrentMachine().Sched().Now() / sim::kTicksPerSecond; }

// One packet per frame (full speed) or microframe (high speed), in bytes a second.
double Ceiling(Speed speed) { return speed == Speed::Full ? 64.0 * 1000 : 512.0 * 8000; }

// A virtual second's worth of the ceiling waits at the far end; the
// application reads it in 64 KB reads. Reported: bytes a virtual second and
// the fraction of the ceiling.
void TimedReceive(benchmark::State& state, Speed speed) {
  size_t total = (size_t)Ceiling(speed);
  StackMachine rig({.speed = speed, .timed = true, .loopback = false, .receiveFifo = total});
  HANDLE port = rig.OpenPort(0);
  if (!rig.Ready() || port == INVALID_HANDLE_VALUE) {
    state.SkipWithError("the stack did not start");
    return;
  }
  Bytes sent = bench::Pattern(total, 9), received(total);
  double seconds = 0;
  for (auto _ : state) {
    double start = VirtualSeconds();
    rig.Adapter(0).PeerSend(sent);
    for (size_t at = 0; at < total;) {
      DWORD chunk = (DWORD)std::min<size_t>(64 * 1024, total - at);
      long got = bench::Transfer(port, received.data() + at, chunk, false).Finish();
      if (got <= 0) break;
      at += (size_t)got;
    }
    seconds += VirtualSeconds() - start;
  }
  if (received != sent) state.SkipWithError("bytes read differ from those sent");
  double rate = seconds > 0 ? (double)total * (double)state.iterations() / seconds : 0;
  state.counters["virtual_Bps"] = rate;
  state.counters["of_ceiling"] = rate / Ceiling(speed);
  CountBytes(state, total);
  CloseHandle(port);
}

// 921600 baud 8N1 (92160 bytes a second) from the far end for a virtual
// second, sent every millisecond as the bytes come due; the application reads
// 4 KB at a time. Reported: bytes lost in the adapter's receive FIFO (the
// port leaves what its ring cannot take in the device) and bytes missing.
void PacedInput921600(benchmark::State& state) {
  constexpr size_t kRate = 921600 / 10, kTotal = kRate;
  StackMachine rig({.speed = Speed::High, .timed = true, .loopback = false});
  HANDLE port = rig.OpenPort(0);
  if (!rig.Ready() || port == INVALID_HANDLE_VALUE) {
    state.SkipWithError("the stack did not start");
    return;
  }
  Bytes sent = bench::Pattern(kTotal, 5), received(kTotal);
  size_t at = 0;
  for (auto _ : state) {
    at = 0;
    sim::Thread farEnd("far end", [&] {
      for (size_t due = 0, ms = 1; due < kTotal; ++ms) {
        size_t next = std::min(kTotal, ms * kRate / 1000);
        rig.Adapter(0).PeerSend(std::span(sent).subspan(due, next - due));
        due = next;
        Sleep(1);
      }
    });
    while (at < kTotal) {
      long got = bench::Transfer(port, received.data() + at, (DWORD)std::min<size_t>(4096, kTotal - at), false).Finish();
      if (got <= 0) break;
      at += (size_t)got;
    }
    farEnd.Join();
  }
  state.counters["overruns"] = (double)rig.Adapter(0).Overruns();
  state.counters["missing"] = (double)(kTotal - at);
  state.counters["intact"] = received == sent ? 1 : 0;
  CountBytes(state, kTotal);
  CloseHandle(port);
}

// Every port writes and reads back 64 KB at once; one application thread
// keeps all the requests in flight.
void ScaleAdapters(benchmark::State& state) {
  int count = (int)state.range(0);
  constexpr size_t kLength = 64 * 1024;
  StackMachine rig({.adapters = count});
  std::vector<HANDLE> ports;
  for (int i = 0; i < count; ++i) ports.push_back(rig.OpenPort(i, true));
  if (!rig.Ready() || std::count(ports.begin(), ports.end(), INVALID_HANDLE_VALUE)) {
    state.SkipWithError("the stack did not start");
    return;
  }
  Bytes sent = bench::Pattern(kLength, 1);
  std::vector<Bytes> received(count, Bytes(kLength));
  for (auto _ : state) {
    std::vector<std::unique_ptr<bench::Transfer>> reads, writes;
    for (int i = 0; i < count; ++i) {
      reads.push_back(std::make_unique<bench::Transfer>(ports[i], received[i].data(), (DWORD)kLength, false));
      writes.push_back(std::make_unique<bench::Transfer>(ports[i], sent.data(), (DWORD)kLength, true));
    }
    for (int i = 0; i < count; ++i)
      if (writes[i]->Finish() != (long)kLength || reads[i]->Finish() != (long)kLength)
        state.SkipWithError("a transfer failed");
  }
  for (const Bytes& each : received)
    if (each != sent) state.SkipWithError("bytes read back differ from those written");
  CountBytes(state, kLength * count);
  for (HANDLE port : ports) CloseHandle(port);
}

}  // namespace

static void BM_PortLoopback(benchmark::State& state) { Loopback(state, true); }
static void BM_PipeLoopback(benchmark::State& state) { Loopback(state, false); }
#define LOOPBACK_SIZES Arg(1)->Arg(64)->Arg(1024)->Arg(4096)->Arg(65536)->Arg(1 << 20)
BENCHMARK(BM_PortLoopback)->LOOPBACK_SIZES->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PipeLoopback)->LOOPBACK_SIZES->UseRealTime()->Unit(benchmark::kMicrosecond);

static void BM_TimedReceiveFull(benchmark::State& state) { TimedReceive(state, Speed::Full); }
static void BM_TimedReceiveHigh(benchmark::State& state) { TimedReceive(state, Speed::High); }
BENCHMARK(BM_TimedReceiveFull)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TimedReceiveHigh)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
static void BM_PacedInput921600(benchmark::State& state) { PacedInput921600(state); }
BENCHMARK(BM_PacedInput921600)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

static void BM_Scale(benchmark::State& state) { ScaleAdapters(state); }
BENCHMARK(BM_Scale)->Arg(1)->Arg(8)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);
