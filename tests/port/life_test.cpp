// A port's whole life on one machine, with the values the INF writes: the
// port installed before its adapter is plugged in, hidden until its first
// binding, then open, set up and carrying data both ways through an unplug
// and replug with the handle open, a system sleep and wake, a query-stop the
// system cancels, and finally closed and removed, both drivers unloading.
#include "sim/kernel/power.h"
#include "tests/port/write_kit.h"
#include "tests/sim/pnp_kit.h"

namespace stacktest {
namespace {

bool Hidden(StackRig& rig) { return rig.PortNode()->DeviceState() & PNP_DEVICE_DONT_DISPLAY_IN_UI; }

// One line each way: the application writes, the far end answers.
bool Exchange(StackRig& rig, HANDLE port, const std::string& out, const std::string& in) {
  PendingRead read(port, (DWORD)in.size());
  PendingWrite write(port, Text(out));
  rig.Adapter().PeerSend(std::span((const uint8_t*)in.data(), in.size()));
  std::vector<uint8_t> sent;
  rig.RunUntil([&] {
    std::vector<uint8_t> more = rig.Adapter().PeerTake();
    sent.insert(sent.end(), more.begin(), more.end());
    return sent.size() >= out.size();
  });
  return write.Finish().bytes == out.size() && read.Finish().bytes == in.size() && read.Bytes() == Text(in) &&
         sent == Text(out);
}

TEST(PortLife, FromInstallToUnload) {
  StackConfig config{.endPointCaps = 3, .portFirst = true};
  config.portValues = {{u"CxPollPeriod", sim::RegistryValue::Dword(0)}};
  config.pipe.plug = false;
  StackRig rig(config);
  EXPECT_TRUE(Hidden(rig)) << "never bound: hidden from the user interface";
  ASSERT_TRUE(rig.Pipe().Plug());
  ASSERT_TRUE(rig.WaitBound());
  EXPECT_TRUE(rig.RunUntil([&] { return !Hidden(rig); })) << "shown from the first binding on";

  HANDLE port = rig.Open(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  std::unique_ptr<void, BOOL (*)(HANDLE)> closer(port, CloseHandle);  // also when a check below fails
  EXPECT_TRUE(rig.Adapter().PortOpen()) << "the device was told the port is open";
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 0));
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 38400;
  dcb.Parity = EVENPARITY;
  ASSERT_TRUE(SetCommState(port, &dcb)) << std::hex << LastNtStatus();
  EXPECT_EQ(rig.Adapter().Line().baud, 38400u);
  EXPECT_TRUE(Exchange(rig, port, "hello", "world"));

  rig.Pipe().Unplug();
  ASSERT_TRUE(rig.WaitUnbound());
  EXPECT_FALSE(Hidden(rig)) << "still shown while its adapter is unplugged";
  rig.Pipe().Replug();
  ASSERT_TRUE(rig.WaitBound());
  EXPECT_EQ(rig.Adapter().Line().baud, 38400u) << "the settings replayed at the new binding";
  EXPECT_TRUE(Exchange(rig, port, "again", "later"));

  ASSERT_TRUE(rig.Machine().Power().Sleep(PowerSystemSleeping3));
  rig.Machine().Power().Wake();
  ASSERT_TRUE(rig.RunUntil([&] { return !ReadShared(rig.Port()->SleepPrepared) && LoopActive(rig.Port()->InputPipe); }));
  EXPECT_EQ(rig.Adapter().Line().baud, 38400u) << "the settings replayed after the wake";
  EXPECT_TRUE(Exchange(rig, port, "awake", "hi"));

  EXPECT_EQ(pnpkit::SendPnp(rig.PortDevice(), IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_EQ(pnpkit::SendPnp(rig.PortDevice(), IRP_MN_CANCEL_STOP_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_EQ(rig.Port()->PnpState, (ULONG)PortStarted);
  EXPECT_TRUE(Exchange(rig, port, "still", "here"));

  ASSERT_TRUE(CloseHandle(closer.release()));
  ASSERT_TRUE(rig.RunUntil([&] { return !rig.Adapter().PortOpen(); })) << "the device was told the port is closed";
  ASSERT_TRUE(rig.Machine().Pnp().RemoveDevice(rig.PortNode()));
  EXPECT_EQ(rig.PortDriver(), nullptr) << "tolvane unloaded with nothing left";
  PPIPE_TABLE_ENTRY table = rig.Pipe().Extension()->ConfigRecord->PipeTable;
  for (int pipe = 0; pipe < 3; ++pipe) EXPECT_EQ(table[pipe].PipeInfo->PipeFlags, 0u) << "\\PIPE0" << pipe << " closed";
  rig.Pipe().Unplug();
  EXPECT_TRUE(rig.RunUntil([&] { return rig.Pipe().Driver() == nullptr; })) << "merrow unloaded with its device";
}

}  // namespace
}  // namespace stacktest
