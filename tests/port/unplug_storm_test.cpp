// The adapter unplugged and plugged in again many times, at random moments
// (seeded), while the application reads and writes through the port and the
// far end sends all the while. After every cycle: the application's handle
// still works, nothing hangs, memory stays bounded, every byte a write
// reported as written reached the far end in order, and every byte the
// application read was sent by the far end, in order, once. STORM_CYCLES and
// STORM_SEED set the run (CI runs a short one; `make reliability` 1000).
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>

#include "sim/kernel/thread.h"
#include "tests/port/stream_check.h"
#include "tests/port/write_kit.h"

namespace stacktest {
namespace {

uint32_t EnvNumber(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  return text && std::strtoul(text, nullptr, 10) > 0 ? (uint32_t)std::strtoul(text, nullptr, 10) : fallback;
}

// What moved, guarded by one lock: the streams at both ends of each direction.
struct Traffic {
  std::mutex lock;
  std::vector<uint8_t> farSent, appRead;          // far end to application (may lose)
  std::vector<uint8_t> acknowledged, farReceived;  // application to far end (must not)
  void Append(std::vector<uint8_t>& to, const uint8_t* bytes, size_t count) {
    std::lock_guard guard(lock);
    to.insert(to.end(), bytes, bytes + count);
  }
};

class Storm {
 public:
  explicit Storm(uint32_t seed) : seed_(seed) {}

  void Run(uint32_t cycles) {
    ASSERT_TRUE(rig_.WaitBound());
    port_ = rig_.Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetTimeouts(port_, MAXULONG, MAXULONG, 20));  // what is there, or wait 20 ms for a byte
    auto wallStart = std::chrono::steady_clock::now();
    LONGLONG start = porttest::Now();
    {
      sim::Thread reader("app reader", [&] { Reader(); });
      sim::Thread writer("app writer", [&] { Writer(); });
      sim::Thread farEnd("far end", [&] { FarEnd(); });
      std::mt19937 random(seed_);
      for (uint32_t cycle = 1; cycle <= cycles && !HasFatalFailure() && !stop_; cycle++) Cycle(cycle, random);
      stop_ = true;
    }
    DrainFarEnd();
    CheckStreams(true, cycles);
    CloseHandle(port_);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::printf("reliability: unplug storm seed %u: %u cycles, %zu bytes written and received, %zu read of %zu sent "
                "(%zu lost with the device), %.1f virtual s, %.1f wall s\n",
                seed_, cycles, traffic_.acknowledged.size(), traffic_.appRead.size(), traffic_.farSent.size(),
                readCheck_.Lost(), (double)(porttest::Now() - start) / 1e7, wall);
  }

 private:
  static bool HasFatalFailure() { return ::testing::Test::HasFatalFailure(); }

  void Cycle(uint32_t cycle, std::mt19937& random) {
    LONGLONG begun = porttest::Now();
    Sleep(2 + random() % 30);
    rig_.Pipe().Unplug();
    Sleep(random() % 10);
    ASSERT_TRUE(rig_.Pipe().Replug()) << "cycle " << cycle << ", seed " << seed_;
    ASSERT_TRUE(rig_.WaitBound()) << "cycle " << cycle << ", seed " << seed_;
    COMSTAT status{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port_, &errors, &status)) << "the handle went bad at cycle " << cycle;
    ASSERT_LT(porttest::Now() - begun, 5 * kSecond) << "cycle " << cycle << " took too long";
    size_t blocks = rig_.Machine().Pool().Outstanding(rig_.PortDriver()).size() +
                    rig_.Machine().Pool().Outstanding(rig_.Pipe().Driver()).size();
    ASSERT_LT(blocks, 200u) << "pool blocks of both drivers at cycle " << cycle;
    CheckStreams(false, cycle);
  }

  void CheckStreams(bool final, uint32_t cycle) {
    std::lock_guard guard(traffic_.lock);
    std::string read = readCheck_.Check(traffic_.farSent, traffic_.appRead, final);
    EXPECT_EQ(read, "") << "reads, cycle " << cycle << ", seed " << seed_;
    std::string written = CheckAcknowledged(traffic_.acknowledged, traffic_.farReceived, final);
    EXPECT_EQ(written, "") << "writes, cycle " << cycle << ", seed " << seed_;
    if (!read.empty() || !written.empty()) stop_ = true;
  }

  void Reader() {
    while (!stop_) {
      PendingRead read(port_, 64);
      IoResult result = read.Finish();
      if (result.bytes > read.buffer.size()) {
        ADD_FAILURE() << "a read of " << read.buffer.size() << " bytes reported " << result.bytes << ", status 0x"
                      << std::hex << result.status;
        stop_ = true;
        return;
      }
      traffic_.Append(traffic_.appRead, read.buffer.data(), result.bytes);
    }
  }

  // Writes of random sizes, a few milliseconds apart (on an instant bus a
  // write takes no virtual time, and a writer that never waits would stop the
  // clock); an unbound port takes none of a write's bytes.
  void Writer() {
    RandomBytes bytes(seed_ * 2 + 1);
    std::mt19937 random(seed_ + 1);
    while (!stop_) {
      PendingWrite write(port_, bytes.Next(1 + random() % 300));
      IoResult result = write.Finish();
      traffic_.Append(traffic_.acknowledged, write.buffer.data(), result.bytes);
      Sleep(1 + random() % 3);
    }
  }

  void FarEnd() {
    RandomBytes bytes(seed_ * 2 + 2);
    std::mt19937 random(seed_ + 2);
    while (!stop_) {
      std::vector<uint8_t> chunk = bytes.Next(1 + random() % 100);
      rig_.Adapter().PeerSend(chunk);
      traffic_.Append(traffic_.farSent, chunk.data(), chunk.size());
      TakeAtFarEnd();
      Sleep(1 + random() % 3);
    }
  }

  void TakeAtFarEnd() {
    std::vector<uint8_t> taken = rig_.Adapter().PeerTake();
    traffic_.Append(traffic_.farReceived, taken.data(), taken.size());
  }

  // The last acknowledged bytes may still be on their way to the far end.
  void DrainFarEnd() {
    rig_.RunUntil([&] {
      TakeAtFarEnd();
      std::lock_guard guard(traffic_.lock);
      return traffic_.farReceived.size() >= traffic_.acknowledged.size();
    });
  }

  uint32_t seed_;
  StackRig rig_{{.endPointCaps = 2}};
  HANDLE port_ = INVALID_HANDLE_VALUE;
  std::atomic<bool> stop_{false};
  Traffic traffic_;
  LossyStreamCheck readCheck_;
};

TEST(UnplugStorm, TrafficBothWaysSurvivesEveryCycleWithNothingAcknowledgedLost) {
  uint32_t seed = EnvNumber("STORM_SEED", 1);
  Storm(seed).Run(EnvNumber("STORM_CYCLES", 100));
}

}  // namespace
}  // namespace stacktest
