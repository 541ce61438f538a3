// The adapter unplugged (a surprise removal) at a moment each delay-fuzzer
// seed moves, while the application reads and writes and the far end sends
// (tests/port/race_kit.h). After each seed: every read and write ended
// exactly once; every byte a write reported reached the far end, in order and
// once; every byte the application read was sent by the far end, in order and
// once; the handle stays valid, and after the replug the port works both ways.
#include <atomic>

#include "tests/port/race_kit.h"

namespace stacktest {
namespace {

// A request the unplug cut short: ended in part as cancelled, or refused
// with no bytes by the port (removal pending, no device) or by merrow (the
// device is not connected any more).
bool CutByTheUnplug(IoResult result, DWORD length) {
  switch (result.status) {
    case STATUS_CANCELLED:
      return result.bytes <= length;
    case STATUS_DELETE_PENDING:
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_DEVICE_NOT_CONNECTED:
      return result.bytes == 0;
    default:
      return result.status == STATUS_SUCCESS && result.bytes <= length;
  }
}

// Writes `stream` in pieces of 50 until one does not go through in full;
// returns the bytes the writes reported.
size_t WriteUntilCut(HANDLE port, const std::vector<uint8_t>& stream) {
  size_t reported = 0;
  for (size_t at = 0; at < stream.size(); at += 50) {
    PendingWrite write(port, std::vector<uint8_t>(stream.begin() + (long)at, stream.begin() + (long)at + 50));
    IoResult result = write.Finish();
    EXPECT_TRUE(CutByTheUnplug(result, 50)) << std::hex << result.status << " " << result.bytes;
    reported += result.bytes;
    if (result.status != STATUS_SUCCESS || result.bytes != 50) break;
  }
  return reported;
}

// Reads of 20 bytes until one ends short (the unplug cancels it, or the
// unplugger's purges end a read started once the port was unbound).
void ReadUntilCut(PortRace& race) {
  for (;;) {
    PendingRead read(race.port, 20);
    IoResult result = read.Finish();
    EXPECT_TRUE(CutByTheUnplug(result, 20)) << std::hex << result.status << " " << result.bytes;
    std::vector<uint8_t> bytes = read.Bytes();
    race.read.insert(race.read.end(), bytes.begin(), bytes.end());
    if (result.status != STATUS_SUCCESS || result.bytes != 20) return;
  }
}

TEST(RemovalRaces, UnplugAgainstReadsAndWritesInFlight) {
  ForEachSeed("surprise removal against read and write", [](uint32_t seed) {
    PortRace race(seed);
    ASSERT_NE(race.port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetTimeouts(race.port, 0, 0, 0));  // a read waits for its length
    std::vector<uint8_t> sent = Pattern(250, (uint8_t)seed), written = Pattern(250, (uint8_t)(seed + 101));
    race.FarEndSends(sent, 10 + seed % 30, 1 + seed % 3);
    size_t reported = 0;
    std::atomic<bool> readerDone{false};
    sim::Thread writer("writer", [&] { reported = WriteUntilCut(race.port, written); });
    sim::Thread unplugger("unplugger", [&] {
      Sleep(seed % 12);
      race.rig.Pipe().Unplug();
      EXPECT_TRUE(race.rig.WaitUnbound());
      // Unbound, the port still takes reads, which nothing would end.
      while (!readerDone) {
        PurgeComm(race.port, PURGE_RXABORT);
        Sleep(1);
      }
    });
    ReadUntilCut(race);
    readerDone = true;
    writer.Join();
    unplugger.Join();
    race.Join();

    DCB dcb{};
    EXPECT_TRUE(GetCommState(race.port, &dcb)) << "the handle stays valid";
    const std::vector<uint8_t>& received = race.FarEndReceived(reported);
    ASSERT_GE(received.size(), reported) << "bytes a write reported never reached the far end";
    ASSERT_LE(received.size(), written.size());
    EXPECT_TRUE(std::equal(received.begin(), received.end(), written.begin()))
        << "the far end got bytes out of order or twice";
    ASSERT_TRUE(race.rig.Pipe().Replug());
    ASSERT_TRUE(race.rig.WaitBound());
    race.ReadQueued(sent.size());  // what the adapter still held comes in after the replug
    EXPECT_TRUE(InOrderOnce(race.read, sent)) << "the application read bytes out of order or twice";
    race.received.clear();
    EXPECT_TRUE(race.WorksBothWays());
  });
}

}  // namespace
}  // namespace stacktest
