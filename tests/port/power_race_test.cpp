// The wake's resume work racing what else may happen to the port at that
// moment, under the delay fuzzer (tests/port/race_kit.h): the application
// closing the port, the port's own device node being removed, the adapter
// being unplugged. Whatever the order, nothing hangs or leaks, and the port
// ends as the competitor left it: closed with its loops stopped, gone with
// tolvane unloaded, or unbound.
#include "sim/kernel/power.h"
#include "sim/kernel/thread.h"
#include "tests/port/race_kit.h"
#include "tests/port/write_kit.h"

namespace stacktest {
namespace {

enum class Competitor { Close, RemovePort, Unplug };

void RaceTheResume(uint32_t seed, Competitor competitor) {
  StackRig rig({.endPointCaps = 2}, {.delayFuzzSeed = seed});
  ASSERT_TRUE(rig.WaitBound());
  HANDLE port = rig.Open(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(rig.Machine().Power().Sleep(PowerSystemSleeping3));
  rig.Machine().Power().Wake();
  sim::Thread other("competitor", [&] {
    Sleep(seed % 3);
    if (competitor == Competitor::Unplug) rig.Pipe().Unplug();
    else CloseHandle(port);
    if (competitor == Competitor::RemovePort) {
      EXPECT_TRUE(rig.Machine().Pnp().RemoveDevice(rig.PortNode()));
    }
  });
  other.Join();
  switch (competitor) {
    case Competitor::Close:
      EXPECT_TRUE(rig.RunUntil([&] {
        PPORT_EXTENSION p = rig.Port();
        return !ReadShared(p->PortOpen) && !ReadShared(p->SleepPrepared) && !LoopActive(p->InputPipe) &&
               !LoopActive(p->StatusPipe);
      })) << "a loop the resume started outlived the close";
      break;
    case Competitor::RemovePort:
      EXPECT_EQ(rig.PortDriver(), nullptr);
      break;
    case Competitor::Unplug:
      EXPECT_TRUE(rig.WaitUnbound());
      CloseHandle(port);
      break;
  }
}

TEST(PowerRaces, TheResumeAgainstACloseARemovalOfThePortAndAnUnplug) {
  ForEachSeed("resume against close, removal and unplug", [](uint32_t seed) {
    for (Competitor competitor : {Competitor::Close, Competitor::RemovePort, Competitor::Unplug})
      RaceTheResume(seed, competitor);
  });
}

}  // namespace
}  // namespace stacktest
