// The adapter going away while the port binds to it, under the delay fuzzer
// (tests/port/race_kit.h): the arrival's binding work (opening the pipes,
// starting the loops of an open port) against an unplug or an orderly
// removal at a moment each seed moves. After each seed nothing of the port
// holds merrow's device (merrow unloads), the port is unbound with its
// handle valid, and an adapter plugged in again is bound and works.
#include "tests/port/race_kit.h"

namespace stacktest {
namespace {

StackConfig PortBeforeAdapter() {
  StackConfig config{.endPointCaps = 2, .portFirst = true};
  config.pipe.plug = false;
  return config;
}

enum class Removal { Unplug, Orderly };

void RemoveWhileBinding(uint32_t seed, Removal removal) {
  StackRig rig(PortBeforeAdapter(), {.delayFuzzSeed = seed});
  // Odd seeds: the application has the port open, so the binding starts its loops too.
  HANDLE port = seed % 2 ? rig.Open(FILE_FLAG_OVERLAPPED) : INVALID_HANDLE_VALUE;
  ASSERT_TRUE(rig.Pipe().Plug(false));
  Sleep(seed % 5);
  if (removal == Removal::Unplug) rig.Pipe().Unplug();
  else EXPECT_TRUE(rig.Pipe().Remove()) << "the port held the removal back";
  EXPECT_TRUE(rig.WaitUnbound());
  EXPECT_TRUE(rig.RunUntil([&] { return rig.Machine().Pnp().LoadedDriver(u"merrow") == nullptr; }))
      << "something of the port still holds merrow's device";
  if (port == INVALID_HANDLE_VALUE) port = rig.Open(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << "the unbound port does not open";
  DCB dcb{};
  EXPECT_TRUE(GetCommState(port, &dcb));
  if (removal == Removal::Unplug) {
    ASSERT_TRUE(rig.Pipe().Replug());
    ASSERT_TRUE(rig.WaitBound());
    ASSERT_TRUE(SetTimeouts(port, 0, 0, 0));
    PendingRead read(port, 4);
    rig.Adapter().PeerSend(std::span((const uint8_t*)"back", 4));
    EXPECT_EQ(read.Finish().bytes, 4u);
    EXPECT_EQ(read.Bytes(), Text("back"));
  }
  CloseHandle(port);
}

TEST(BindingRaces, TheAdapterUnpluggedWhileThePortBinds) {
  ForEachSeed("binding against removal", [](uint32_t seed) { RemoveWhileBinding(seed, Removal::Unplug); });
}

TEST(BindingRaces, TheAdapterRemovedInOrderWhileThePortBinds) {
  ForEachSeed("binding against removal", [](uint32_t seed) { RemoveWhileBinding(seed, Removal::Orderly); });
}

}  // namespace
}  // namespace stacktest
