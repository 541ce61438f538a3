// Races of the write path under the delay fuzzer, which yields at kernel calls
// in an order each seed shuffles: a caller's cancel against the pipe write's
// completion against the write timer and the one-second sweep; a close
// against a write completing; a purge against writes starting. After each:
// every write ended exactly once (the verifier stops on a second completion,
// the hang detector on none), the byte counts the writes reported are what
// the far end received, the output queue count is 0, and the port writes
// again. RACE_SEEDS sets the number of seeds per race (tests/port/race_kit.h).
#include "tests/port/race_kit.h"
#include "tests/port/write_kit.h"

namespace stacktest {
namespace {

// The adapter sends at 115200 baud: a write longer than its 256-byte transmit
// FIFO stays in flight for milliseconds, long enough to be raced.
StackConfig PacedAdapter() {
  StackConfig config{.endPointCaps = 2};
  config.pipe.adapter.pacing = true;
  return config;
}

// One bound, open port on a machine fuzzed with `seed`, the far end letting
// everything through.
struct Race {
  explicit Race(uint32_t seed) : rig(PacedAdapter(), {.delayFuzzSeed = seed}) {
    if (!rig.WaitBound()) return;
    port = rig.Open(FILE_FLAG_OVERLAPPED);
    if (port != INVALID_HANDLE_VALUE && UseHardwareFlow(port))
      rig.Adapter().PeerSetLines(sim::usb::kLineCts | sim::usb::kLineDsr);
  }
  ~Race() {
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  }
  // All the far end received, once `count` bytes are there (or a second passed).
  size_t FarEndCount(size_t count) {
    rig.RunUntil([&] {
      received += rig.Adapter().PeerTake().size();
      return received >= count;
    });
    received += rig.Adapter().PeerTake().size();
    return received;
  }
  // The port still works: a write goes through and the far end gets it.
  bool WritesAgain() {
    PendingWrite write(port, Text("ok"));
    size_t before = received;
    return write.Finish().bytes == 2 && FarEndCount(before + 2) == before + 2;
  }

  StackRig rig;
  HANDLE port = INVALID_HANDLE_VALUE;
  size_t received = 0;
};

bool Ended(IoResult result, DWORD length) {
  return (result.status == STATUS_SUCCESS && result.bytes == length) ||
         (result.status == STATUS_CANCELLED && result.bytes <= length);
}

TEST(WriteRaces, CancelAgainstCompletionAgainstTheTimerAndTheSweep) {
  ForEachSeed("cancel against completion", [](uint32_t seed) {
    Race race(seed);
    ASSERT_NE(race.port, INVALID_HANDLE_VALUE);
    // The timer expires before, about when, or after the write is through.
    ASSERT_TRUE(SetWriteTimeouts(race.port, 0, seed % 30));
    size_t reported = 0;
    for (int round = 0; round < 3; ++round) {
      PendingWrite first(race.port, Pattern(300 + seed % 64)), second(race.port, Pattern(30));
      Sleep((seed + round) % 40);
      CancelIo(race.port);
      for (PendingWrite* write : {&first, &second}) {
        IoResult result = write->Finish();
        EXPECT_TRUE(Ended(result, (DWORD)write->buffer.size())) << std::hex << result.status << " " << result.bytes;
        reported += result.bytes;
      }
    }
    EXPECT_EQ(race.FarEndCount(reported), reported) << "the far end got other bytes than the writes reported";
    EXPECT_EQ(OutQueue(race.port), 0u);
    ASSERT_TRUE(SetWriteTimeouts(race.port, 0, 0));
    EXPECT_TRUE(race.WritesAgain());
  });
}

TEST(WriteRaces, CloseAgainstAWriteCompleting) {
  ForEachSeed("close against completion", [](uint32_t seed) {
    Race race(seed);
    ASSERT_NE(race.port, INVALID_HANDLE_VALUE);
    {
      PendingWrite write(race.port, Pattern(300)), queued(race.port, Pattern(10));
      Sleep(seed % 12);
      CloseHandle(race.port);
      race.port = INVALID_HANDLE_VALUE;
      EXPECT_TRUE(Ended(write.Finish(), 300));
      EXPECT_TRUE(Ended(queued.Finish(), 10));
    }
    ASSERT_TRUE(race.rig.RunUntil([&] { return !race.rig.Port()->PortOpen; }));
    race.port = race.rig.Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(race.port, INVALID_HANDLE_VALUE) << "the reopen found the port busy";
    race.FarEndCount(~0u);  // what was in the adapter's FIFO drains
    EXPECT_TRUE(race.WritesAgain());
  });
}

TEST(WriteRaces, PurgeAgainstWritesStarting) {
  ForEachSeed("purge against writes starting", [](uint32_t seed) {
    Race race(seed);
    ASSERT_NE(race.port, INVALID_HANDLE_VALUE);
    sim::Thread purger("purger", [&] {
      for (int i = 0; i < 3; ++i) {
        Sleep(1 + (seed * (i + 1)) % 25);
        PurgeComm(race.port, i % 2 ? PURGE_TXCLEAR : PURGE_TXABORT);
      }
    });
    size_t reported = 0;
    for (int round = 0; round < 6; ++round) {
      PendingWrite write(race.port, Pattern(260 + round)), next(race.port, Pattern(20));
      for (PendingWrite* each : {&write, &next}) {
        IoResult result = each->Finish();
        EXPECT_TRUE(Ended(result, (DWORD)each->buffer.size())) << std::hex << result.status;
        reported += result.bytes;
      }
    }
    purger.Join();
    EXPECT_EQ(race.FarEndCount(reported), reported);
    EXPECT_EQ(OutQueue(race.port), 0u);
    EXPECT_TRUE(race.WritesAgain()) << "the write queue was left busy";
  });
}

}  // namespace
}  // namespace stacktest
