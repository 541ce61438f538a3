// One-byte latency in real time, both ways, beside a pseudo-terminal pair
// made by socat in the same run:
//
// - device to application: a read of one byte waits on \\.\COM7; the far end
//   of the adapter's line sends a byte; the time until the read completes;
// - application to device: WriteFile of one byte until the byte has left the
//   adapter's UART at the far end;
// - the same two through socat's pty pair (write on one side, the blocking
//   read on the other returns).
//
// The machine runs on the real clock with the bus timed (1 ms frames, a
// full-speed adapter, as the default one is). Reported in microseconds: p50,
// p99 and max of each direction over kTrips round trips.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "bench/stack_rig.h"

extern char** environ;

namespace {

using namespace win32;
using Clock = std::chrono::steady_clock;

constexpr int kTrips = 10000;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// p50, p99 and max of `samples` as counters named `prefix`_p50_us...
void Report(benchmark::State& state, const std::string& prefix, std::vector<double> samples) {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) { return samples[std::min(samples.size() - 1, (size_t)(q * (double)samples.size()))]; };
  state.counters[prefix + "_p50_us"] = at(0.50);
  state.counters[prefix + "_p99_us"] = at(0.99);
  state.counters[prefix + "_max_us"] = samples.back();
}

// The far end sends a byte while a one-byte read waits.
bool DeviceToApplication(bench::StackMachine& rig, HANDLE port, std::vector<double>& samples) {
  uint8_t byte = 0x5A, got = 0;
  bench::Transfer read(port, &got, 1, false);
  Clock::time_point start = Clock::now();
  rig.Adapter(0).PeerSend(std::span(&byte, 1));
  bool ok = read.Finish() == 1 && got == byte;
  samples.push_back(Micros(Clock::now() - start));
  return ok;
}

// A one-byte write, until the byte is at the far end.
bool ApplicationToDevice(bench::StackMachine& rig, HANDLE port, std::vector<double>& samples) {
  uint8_t byte = 0xA5;
  Clock::time_point start = Clock::now();
  bench::Transfer write(port, &byte, 1, true);
  std::vector<uint8_t> seen;
  Clock::time_point limit = start + std::chrono::seconds(5);
  while (seen.empty() && Clock::now() < limit) {
    seen = rig.Adapter(0).PeerTake();
    if (seen.empty()) std::this_thread::yield();
  }
  samples.push_back(Micros(Clock::now() - start));
  return write.Finish() == 1 && seen.size() == 1 && seen[0] == byte;
}

void StackLatency(benchmark::State& state) {
  bench::StackMachine rig({.speed = sim::usb::Speed::Full, .timed = true, .virtualTime = false, .loopback = false});
  HANDLE port = rig.OpenPort(0);
  if (!rig.Ready() || port == INVALID_HANDLE_VALUE) {
    state.SkipWithError("the stack did not start");
    return;
  }
  std::vector<double> in, out;
  for (auto _ : state) {
    for (int i = 0; i < kTrips; ++i) {
      if (!DeviceToApplication(rig, port, in) || !ApplicationToDevice(rig, port, out)) {
        state.SkipWithError("a byte was lost");
        break;
      }
    }
  }
  Report(state, "dev_to_app", in);
  Report(state, "app_to_dev", out);
  CloseHandle(port);
}

// socat's two pseudo-terminals, raw, linked under /tmp by this process's id.
struct PtyPair {
  PtyPair() {
    std::string base = "/tmp/bench-pty-" + std::to_string(getpid());
    a = base + "-a";
    b = base + "-b";
    std::string left = "pty,raw,echo=0,link=" + a, right = "pty,raw,echo=0,link=" + b;
    char* argv[] = {(char*)"socat", (char*)left.c_str(), (char*)right.c_str(), nullptr};
    if (posix_spawnp(&pid, "socat", nullptr, nullptr, argv, environ) != 0) pid = 0;
    for (int tries = 0; pid && tries < 500 && (sideA < 0 || sideB < 0); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (sideA < 0) sideA = open(a.c_str(), O_RDWR | O_NOCTTY);
      if (sideB < 0) sideB = open(b.c_str(), O_RDWR | O_NOCTTY);
    }
  }
  ~PtyPair() {
    if (sideA >= 0) close(sideA);
    if (sideB >= 0) close(sideB);
    if (pid) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
  bool Ready() const { return sideA >= 0 && sideB >= 0; }

  std::string a, b;
  pid_t pid = 0;
  int sideA = -1, sideB = -1;
};

bool OneByte(int from, int to, std::vector<double>& samples) {
  uint8_t byte = 0x5A, got = 0;
  Clock::time_point start = Clock::now();
  bool ok = write(from, &byte, 1) == 1 && read(to, &got, 1) == 1 && got == byte;
  samples.push_back(Micros(Clock::now() - start));
  return ok;
}

void SocatLatency(benchmark::State& state) {
  PtyPair pair;
  if (!pair.Ready()) {
    state.SkipWithError("socat did not make its pty pair");
    return;
  }
  std::vector<double> ab, ba;
  for (auto _ : state) {
    for (int i = 0; i < kTrips; ++i) {
      if (!OneByte(pair.sideA, pair.sideB, ab) || !OneByte(pair.sideB, pair.sideA, ba)) {
        state.SkipWithError("a byte was lost");
        break;
      }
    }
  }
  Report(state, "a_to_b", ab);
  Report(state, "b_to_a", ba);
}

}  // namespace

static void BM_StackLatency(benchmark::State& state) { StackLatency(state); }
BENCHMARK(BM_StackLatency)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
static void BM_SocatLatency(benchmark::State& state) { SocatLatency(state); }
BENCHMARK(BM_SocatLatency)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
