// The close against the port's one-second timer, under the delay fuzzer
// (tests/port/race_kit.h): a wait-on-mask and a write in flight were
// cancelled, which the timer's sweep finishes on its next tick, and the
// application closes the handle just before, at or just after that tick.
// After each seed: the wait, the write and the write queued behind it ended
// exactly once (the verifier stops on a second completion, the hang detector
// on none), the port closes, and it opens again and works both ways.
#include "tests/port/race_kit.h"

namespace stacktest {
namespace {

// Milliseconds from now to `offsetMs` after the next whole second of the
// kernel clock, when the I/O timer ticks (at least 0).
DWORD UntilNextTick(int offsetMs) {
  LONGLONG now = porttest::Now(), second = 1000 * kMs;
  LONGLONG due = (now / second + 1) * second + offsetMs * kMs;
  return due > now ? (DWORD)((due - now) / kMs) : 0;
}

struct PendingWait {
  explicit PendingWait(HANDLE port) : port(port) {
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    started = !WaitCommEvent(port, &events, &overlapped) && GetLastError() == ERROR_IO_PENDING;
  }
  ~PendingWait() { CloseHandle(overlapped.hEvent); }
  // Cancelled by the sweep, or ended by the close's cleanup with no events.
  bool EndedOnce() {
    DWORD done = 0;
    BOOL ok = GetOverlappedResult(port, &overlapped, &done, TRUE);
    return ok ? events == 0 : (NTSTATUS)overlapped.Internal == STATUS_CANCELLED;
  }
  HANDLE port;
  DWORD events = ~0u;
  OVERLAPPED overlapped{};
  bool started = false;
};

TEST(CloseRaces, CloseAgainstTheOneSecondTimerSweepingCancelledRequests) {
  ForEachSeed("close against the one-second timer", [](uint32_t seed) {
    PortRace race(seed, true);
    ASSERT_NE(race.port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(race.port, EV_RXCHAR));
    race.rig.Adapter().PeerSetLines(sim::usb::kLineDsr);  // CTS low: the write stays in flight
    {
      PendingWait wait(race.port);
      ASSERT_TRUE(wait.started);
      PendingWrite write(race.port, Pattern(300)), queued(race.port, Pattern(10));
      ASSERT_TRUE(write.started && queued.started);
      CancelIo(race.port);  // the wait and the write in flight are left to the sweep
      Sleep(UntilNextTick((int)(seed % 9) - 4));
      CloseHandle(race.port);
      race.port = INVALID_HANDLE_VALUE;
      EXPECT_TRUE(wait.EndedOnce());
      IoResult first = write.Finish(), second = queued.Finish();
      EXPECT_TRUE(EndedOnce(first, 300)) << std::hex << first.status;
      EXPECT_TRUE(EndedOnce(second, 10)) << std::hex << second.status;
    }
    ASSERT_TRUE(race.rig.RunUntil([&] { return !race.rig.Port()->PortOpen; }));
    race.port = race.rig.Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(race.port, INVALID_HANDLE_VALUE) << "the reopen found the port busy";
    ASSERT_TRUE(UseHardwareFlow(race.port));
    race.rig.Adapter().PeerSetLines(sim::usb::kLineCts | sim::usb::kLineDsr);
    race.FarEndReceived(~0u);  // what was left in the adapter's FIFO drains
    EXPECT_TRUE(race.WorksBothWays());
  });
}

}  // namespace
}  // namespace stacktest
