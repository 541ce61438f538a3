// The read and write timers racing the completions they would cut short,
// under the delay fuzzer (tests/port/race_kit.h). A timeout is set so that
// it expires before, about when, or after the bytes are through. After each
// seed: every request ended exactly once, what the reads returned is what
// the far end sent and what the far end received is what the writes
// reported, byte for byte and in order, and the port works both ways.
#include "tests/port/race_kit.h"

namespace stacktest {
namespace {

// Reads of `length` until everything sent was read (or 200 reads went by);
// each must end in full or cut short by its timer.
void ReadAll(PortRace& race, size_t total, DWORD length) {
  for (int round = 0; round < 200 && race.read.size() < total; ++round) {
    PendingRead each(race.port, length);
    IoResult result = each.Finish();
    EXPECT_TRUE(EndedOnce(result, length)) << std::hex << result.status;
    std::vector<uint8_t> bytes = each.Bytes();
    race.read.insert(race.read.end(), bytes.begin(), bytes.end());
  }
}

TEST(TimerRaces, TheReadTotalTimerAgainstBytesArriving) {
  ForEachSeed("timer against completion", [](uint32_t seed) {
    PortRace race(seed);
    ASSERT_NE(race.port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetTimeouts(race.port, 0, 0, 1 + seed % 12));
    std::vector<uint8_t> sent = Pattern(150 + seed % 90, (uint8_t)seed);
    race.FarEndSends(sent, 8 + seed % 56, 1 + seed % 9);
    ReadAll(race, sent.size(), 30);
    race.Join();
    race.ReadQueued(sent.size());
    EXPECT_EQ(race.read, sent) << "the reads lost, doubled or reordered bytes";
    EXPECT_TRUE(race.WorksBothWays());
  });
}

TEST(TimerRaces, TheReadIntervalTimerAgainstBytesArriving) {
  ForEachSeed("timer against completion", [](uint32_t seed) {
    PortRace race(seed);
    ASSERT_NE(race.port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetTimeouts(race.port, 1 + seed % 6, 0, 0));
    std::vector<uint8_t> sent = Pattern(150 + seed % 90, (uint8_t)seed);
    race.FarEndSends(sent, 4 + seed % 40, seed % 8);
    ReadAll(race, sent.size(), 50);
    race.Join();
    race.ReadQueued(sent.size());
    EXPECT_EQ(race.read, sent) << "the reads lost, doubled or reordered bytes";
    EXPECT_TRUE(race.WorksBothWays());
  });
}

// Paced writes longer than the adapter's FIFO against their total timer: the
// far end must receive, for each write, exactly the first bytes it reported.
TEST(TimerRaces, TheWriteTotalTimerAgainstThePipeWriteCompleting) {
  ForEachSeed("timer against completion", [](uint32_t seed) {
    PortRace race(seed, true);
    ASSERT_NE(race.port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetWriteTimeouts(race.port, 0, 5 + seed % 40));
    std::vector<uint8_t> reported;
    for (int round = 0; round < 3; ++round) {
      PendingWrite write(race.port, Pattern(280 + seed % 64, (uint8_t)(seed + round)));
      IoResult result = write.Finish();
      EXPECT_TRUE(EndedOnce(result, (DWORD)write.buffer.size())) << std::hex << result.status;
      reported.insert(reported.end(), write.buffer.begin(), write.buffer.begin() + result.bytes);
    }
    EXPECT_EQ(race.FarEndReceived(reported.size()), reported) << "the far end got other bytes than the writes reported";
    EXPECT_EQ(OutQueue(race.port), 0u);
    ASSERT_TRUE(SetWriteTimeouts(race.port, 0, 0));
    EXPECT_TRUE(race.WorksBothWays());
  });
}

}  // namespace
}  // namespace stacktest
