// Races of the read path under the delay fuzzer (tests/port/race_kit.h): the
// far end's bytes arriving while the application aborts its reads. Reads have
// no cancel routine; PurgeComm(PURGE_RXABORT) is what ends them early, with
// no bytes (what the current read had taken is dropped with it). After each
// seed: every read ended exactly once (the verifier stops on a second
// completion, the hang detector on none), each in full or aborted empty; the
// bytes the reads returned and the bytes still queued are what the far end
// sent, in order and never twice; and the port works both ways.
#include "tests/port/race_kit.h"

namespace stacktest {
namespace {

TEST(ReadRaces, AbortAgainstBytesArriving) {
  ForEachSeed("cancel against completion", [](uint32_t seed) {
    PortRace race(seed);
    ASSERT_NE(race.port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetTimeouts(race.port, 0, 0, 0));  // a read waits for its length
    std::vector<uint8_t> sent = Pattern(120 + seed % 100, (uint8_t)seed);
    race.FarEndSends(sent, 16 + seed % 48, seed % 4);
    size_t full = 0;
    for (int round = 0; round < 3; ++round) {
      PendingRead first(race.port, 40 + round), second(race.port, 25);
      Sleep((seed + round) % 6);
      PurgeComm(race.port, PURGE_RXABORT);
      for (PendingRead* each : {&first, &second}) {
        IoResult result = each->Finish();
        bool inFull = result.status == STATUS_SUCCESS && result.bytes == each->buffer.size();
        EXPECT_TRUE(inFull || (result.status == STATUS_CANCELLED && result.bytes == 0))
            << std::hex << result.status << " " << result.bytes;
        std::vector<uint8_t> bytes = each->Bytes();
        race.read.insert(race.read.end(), bytes.begin(), bytes.end());
        full += inFull ? 1 : 0;
      }
    }
    race.Join();
    race.ReadQueued(sent.size());
    EXPECT_TRUE(InOrderOnce(race.read, sent)) << "the reads reordered or doubled bytes";
    if (full == 6) {
      EXPECT_EQ(race.read, sent) << "no read was aborted, yet bytes were lost";
    }
    EXPECT_TRUE(race.WorksBothWays());
  });
}

}  // namespace
}  // namespace stacktest
