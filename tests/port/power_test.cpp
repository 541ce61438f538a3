// System sleep and wake through the whole stack, with the simulated power
// manager: the port stops its pipe reads and its write path before the sleep,
// keeps its pipes open and its pending reads queued, and after the wake
// brings the device back into its open state (the settings replayed on the
// bus) and restarts reading and writing on the same handle. Also a sleep
// another driver vetoes, a device that refuses the port-state message, an
// unplug during the sleep, a closed port, and a stack whose power requests
// would reach the port at DISPATCH_LEVEL.
#include "sim/kernel/faultrun.h"
#include "sim/kernel/power.h"
#include "tests/port/write_kit.h"
#include "tests/sim/pnp_kit.h"

namespace stacktest {
namespace {

using Message = std::vector<uint8_t>;

bool Contains(const std::vector<Message>& messages, const Message& wanted) {
  return std::find(messages.begin(), messages.end(), wanted) != messages.end();
}

class Power : public Writes {
 protected:
  explicit Power(StackConfig config = {.endPointCaps = 2}) : Writes(std::move(config)) {}
  void SetUp() override {
    Writes::SetUp();
    ASSERT_TRUE(UseHardwareFlow(port_));
    ReleaseFarEnd();
  }
  sim::PowerManager& Manager() { return rig_.Machine().Power(); }
  // The wake's resume work has run: the loops read again.
  bool Resumed() {
    return rig_.RunUntil([&] {
      PPORT_EXTENSION port = rig_.Port();
      return !ReadShared(port->SleepPrepared) && LoopActive(port->InputPipe) && BusyCount(port) <= 3;
    });
  }
  void FarEndSends(const std::string& text) {
    rig_.Adapter().PeerSend(std::span((const uint8_t*)text.data(), text.size()));
  }
};

TEST_F(Power, SleepStopsTheDataPathAndTheWakeBringsItBackOnTheSameHandle) {
  PendingWrite before(port_, Text("before"));
  EXPECT_EQ(before.Finish().bytes, 6u);
  EXPECT_EQ(FarEndTakes(6), Text("before"));
  PendingRead read(port_, 10);
  FarEndSends("0123");
  ASSERT_TRUE(rig_.RunUntil([&] {
    return CurrentReadBytes(rig_.Port()) == 4u;
  }));
  size_t messages = rig_.Adapter().Messages().size();

  ASSERT_TRUE(Manager().Sleep(PowerSystemSleeping3));
  PPORT_EXTENSION port = rig_.Port();
  EXPECT_FALSE(port->InputPipe.LoopActive || port->StatusPipe.LoopActive) << "the pipe reads stopped";
  EXPECT_TRUE(port->OutputPipeOpen && port->InputPipeOpen && port->StatusPipeOpen) << "the pipes stay open";
  EXPECT_FALSE(read.Done()) << "a pending read stays queued";
  PendingWrite during(port_, Text("during"));
  Sleep(100);
  EXPECT_FALSE(during.Done()) << "a write issued while the system sleeps waits for the wake";

  Manager().Wake();
  ASSERT_TRUE(Resumed());
  std::vector<Message> replayed = rig_.MessagesSince(messages);
  EXPECT_TRUE(Contains(replayed, Message{MSG_MODEM_CONTROL, 0x03})) << "DTR and RTS raised again";
  EXPECT_TRUE(std::any_of(replayed.begin(), replayed.end(), [](const Message& m) { return m[0] == MSG_LINE_SETTINGS; }))
      << "the line settings replayed";
  EXPECT_EQ(during.Finish().bytes, 6u);
  EXPECT_EQ(FarEndTakes(6), Text("during"));
  FarEndSends("456789");
  EXPECT_EQ(read.Finish().bytes, 10u);
  EXPECT_EQ(read.Bytes(), Text("0123456789")) << "the bytes before the sleep and after it, in order";
  EXPECT_EQ(OutQueue(port_), 0u);
}

TEST_F(Power, AWriteInFlightAtTheSleepEndsWithTheBytesThatWentOut) {
  rig_.Adapter().PeerSetLines(sim::usb::kLineDsr);
  PendingWrite stalled(port_, Pattern(1000));
  ASSERT_TRUE(rig_.RunUntil([&] { return InFlight(); }));
  ASSERT_TRUE(Manager().Sleep(PowerSystemSleeping3));
  EXPECT_EQ(stalled.Finish().status, STATUS_CANCELLED);
  EXPECT_LT(stalled.result.bytes, 1000u);
  Manager().Wake();
  ASSERT_TRUE(Resumed());
  ReleaseFarEnd();
  EXPECT_EQ(FarEndTakes(stalled.result.bytes).size(), stalled.result.bytes);
  PendingWrite after(port_, Text("after"));
  EXPECT_EQ(after.Finish().bytes, 5u);
  EXPECT_EQ(OutQueue(port_), 0u);
}

TEST_F(Power, AClosedPortSleepsAndWakesWithNothingSentToTheDevice) {
  CloseHandle(port_);
  port_ = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(rig_.RunUntil([&] { return !ReadShared(rig_.Port()->PortOpen); }));
  size_t messages = rig_.Adapter().Messages().size();
  ASSERT_TRUE(Manager().Sleep(PowerSystemSleeping3));
  Manager().Wake();
  Sleep(200);
  EXPECT_EQ(rig_.Adapter().Messages().size(), messages);
  EXPECT_FALSE(rig_.Port()->InputPipe.LoopActive);
  port_ = rig_.Open(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(port_, INVALID_HANDLE_VALUE);
  PendingWrite write(port_, Text("hello"));
  EXPECT_EQ(write.Finish().bytes, 5u);
}

TEST_F(Power, AnUnplugDuringTheSleepLeavesTheHandleToTheReplug) {
  PendingRead read(port_, 4);
  ASSERT_TRUE(Manager().Sleep(PowerSystemSleeping3));
  rig_.Pipe().Unplug();
  Manager().Wake();
  ASSERT_TRUE(rig_.WaitUnbound());
  EXPECT_EQ(read.Finish().status, STATUS_CANCELLED);
  rig_.Pipe().Replug();
  ASSERT_TRUE(rig_.WaitBound());
  ASSERT_TRUE(UseHardwareFlow(port_));
  ReleaseFarEnd();
  PendingRead again(port_, 4);
  FarEndSends("back");
  EXPECT_EQ(again.Finish().bytes, 4u);
}

TEST_F(Power, RequestsOutOfTheUsualOrderLeaveThePortWorking) {
  PDEVICE_OBJECT pdo = rig_.PortNode()->PhysicalDeviceObject();
  auto send = [&](UCHAR minor, SYSTEM_POWER_STATE state) { return Manager().SendSystemRequestForTest(pdo, minor, state); };
  auto works = [&](const std::string& text) {
    PendingRead read(port_, (DWORD)text.size());
    FarEndSends(text);
    PendingWrite write(port_, Text(text));
    return read.Finish().bytes == text.size() && write.Finish().bytes == text.size() && FarEndTakes(text.size()) == Text(text);
  };
  size_t messages = rig_.Adapter().Messages().size();
  EXPECT_EQ(send(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
  Sleep(100);
  EXPECT_EQ(rig_.Adapter().Messages().size(), messages) << "a wake without a sleep replays nothing";
  EXPECT_TRUE(works("one"));

  EXPECT_EQ(send(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(send(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS) << "a second query";
  EXPECT_TRUE(rig_.Port()->SleepPrepared);
  EXPECT_EQ(send(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
  ASSERT_TRUE(Resumed());
  EXPECT_TRUE(works("two"));

  EXPECT_EQ(send(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS) << "a sleep nobody asked about first";
  EXPECT_TRUE(rig_.Port()->SleepPrepared && !rig_.Port()->InputPipe.LoopActive) << "prepared for at the set";
  EXPECT_EQ(send(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
  ASSERT_TRUE(Resumed());
  EXPECT_TRUE(works("three"));
}

TEST_F(Power, TheRemovalOfThePortDuringTheSleepLeavesNothingForTheWake) {
  ASSERT_TRUE(Manager().Sleep(PowerSystemSleeping3));
  CloseHandle(port_);
  port_ = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(rig_.Machine().Pnp().RemoveDevice(rig_.PortNode()));
  EXPECT_EQ(rig_.PortDriver(), nullptr);
  Manager().Wake();
  EXPECT_TRUE(rig_.Pipe().Extension() != nullptr) << "merrow woke on its own";
}

// Another root device refuses the sleep after the port agreed and stopped
// its data path; the power manager then sets the working state again.
StackConfig WithVetoingDevice(pnpkit::Script& vetoer, pnpkit::Log& log) {
  StackConfig config{.endPointCaps = 2};
  config.beforePort = [&vetoer, &log](sim::Machine& machine) {
    vetoer.systemQueryAnswer = STATUS_UNSUCCESSFUL;
    pnpkit::Install(machine, u"Vetoer", vetoer, log);
    machine.Pnp().Bind({u"ROOT\\VETOER", u"Vetoer"});
    machine.Pnp().AddRootDevice(pnpkit::Root(u"ROOT\\VETOER\\0000", {u"ROOT\\VETOER"}));
  };
  return config;
}

// Built before the rig, which installs the vetoing driver.
struct VetoingDriver {
  pnpkit::Script vetoer_;
  pnpkit::Log log_;
};

class VetoedPower : protected VetoingDriver, public Power {
 protected:
  VetoedPower() : Power(WithVetoingDevice(vetoer_, log_)) {}
};

TEST_F(VetoedPower, AVetoedSleepBringsThePortBackWithoutAReopen) {
  PendingRead read(port_, 5);
  size_t messages = rig_.Adapter().Messages().size();
  EXPECT_FALSE(Manager().Sleep(PowerSystemSleeping3));
  EXPECT_TRUE(log_.Contains("Vetoer: AddDevice"));
  ASSERT_TRUE(Resumed());
  EXPECT_TRUE(Contains(rig_.MessagesSince(messages), Message{MSG_MODEM_CONTROL, 0x03})) << "the device replayed";
  FarEndSends("still");
  EXPECT_EQ(read.Finish().bytes, 5u);
  PendingWrite write(port_, Text("there"));
  EXPECT_EQ(write.Finish().bytes, 5u);
  EXPECT_EQ(FarEndTakes(5), Text("there"));
}

// A filter below the port refuses the sleep the port had already prepared
// for; the power manager tells that stack nothing more, so the port brings
// itself back.
StackConfig WithVetoingFilter(pnpkit::Script& vetoer, pnpkit::Log& log) {
  StackConfig config{.endPointCaps = 2};
  config.portLowerFilters = {u"Vetoer"};
  config.beforePort = [&vetoer, &log](sim::Machine& machine) {
    vetoer.systemQueryAnswer = STATUS_UNSUCCESSFUL;
    pnpkit::Install(machine, u"Vetoer", vetoer, log);
  };
  return config;
}

class VetoedBelowPower : protected VetoingDriver, public Power {
 protected:
  VetoedBelowPower() : Power(WithVetoingFilter(vetoer_, log_)) {}
};

TEST_F(VetoedBelowPower, ASleepRefusedBelowThePortBringsItBack) {
  PendingRead read(port_, 4);
  EXPECT_FALSE(Manager().Sleep(PowerSystemSleeping3));
  ASSERT_TRUE(Resumed()) << "the port stayed stopped";
  FarEndSends("back");
  EXPECT_EQ(read.Finish().bytes, 4u);
  PendingWrite write(port_, Text("again"));
  EXPECT_EQ(write.Finish().bytes, 5u);
}

class PortStatePower : public Power {
 protected:
  PortStatePower() : Power({.endPointCaps = 3}) {}
  void RefuseVendorRequests(bool refuse) {
    sim::usb::DeviceFaults faults;
    faults.failControlAll = refuse;
    rig_.Pipe().Usb().SetFaults(rig_.Pipe().Port(), faults);
  }
};

TEST_F(PortStatePower, APortStateTheDeviceRefusesIsTriedTenTimesThenTheReplayGoesOn) {
  ASSERT_TRUE(Manager().Sleep(PowerSystemSleeping3));
  RefuseVendorRequests(true);
  LONGLONG woke = porttest::Now();
  Manager().Wake();
  Sleep(8500);
  EXPECT_TRUE(rig_.Port()->InputPipe.Stopped) << "still trying the port-state message";
  ASSERT_TRUE(Resumed());
  EXPECT_NEAR((double)MsSince(woke), 9000, 150) << "ten attempts a second apart";
  RefuseVendorRequests(false);
  PendingWrite write(port_, Text("on"));
  EXPECT_EQ(write.Finish().bytes, 2u);
}

TEST_F(PortStatePower, AnUnplugDuringThePortStateAttemptsEndsThemAtOnce) {
  ASSERT_TRUE(Manager().Sleep(PowerSystemSleeping3));
  RefuseVendorRequests(true);
  Manager().Wake();
  Sleep(2500);
  LONGLONG unplugged = porttest::Now();
  rig_.Pipe().Unplug();
  ASSERT_TRUE(rig_.WaitUnbound());
  EXPECT_LT(MsSince(unplugged), 300) << "the target's removal waited for the remaining attempts";
}

// On a stack that is not power-pagable the port would get its power
// requests at DISPATCH_LEVEL, where it cannot stop its data path: it refuses
// the sleep instead of waiting there.
TEST_F(Power, AStackThatIsNotPowerPagableHasTheSleepRefused) {
  rig_.Port()->DeviceObject->Flags &= ~DO_POWER_PAGABLE;
  EXPECT_FALSE(Manager().Sleep(PowerSystemSleeping3));
  EXPECT_FALSE(rig_.Port()->SleepPrepared);
  PendingRead read(port_, 2);
  FarEndSends("ok");
  EXPECT_EQ(read.Finish().bytes, 2u) << "the data path never stopped";
  rig_.Port()->DeviceObject->Flags |= DO_POWER_PAGABLE;
}

// Every allocation of tolvane failing in turn through a sleep and a wake of
// an open port: the port works afterwards (its resume work item is allocated
// when the device is added, so a wake needs no memory); nothing leaks or hangs.
bool SleepAndWake(const sim::MachineOptions& options) {
  StackRig rig({.endPointCaps = 2}, options);
  if (!rig.Port() || rig.PortNode()->State() != sim::NodeState::Started || !rig.WaitBound()) return true;
  HANDLE port = rig.Open(FILE_FLAG_OVERLAPPED);
  if (port == INVALID_HANDLE_VALUE) return LastNtStatus() == STATUS_INSUFFICIENT_RESOURCES;
  SetTimeouts(port, 0, 0, 500);
  rig.Machine().Power().Sleep(PowerSystemSleeping3);
  rig.Machine().Power().Wake();
  Sleep(100);
  PendingRead read(port, 3);
  rig.Adapter().PeerSend(std::span((const uint8_t*)"abc", 3));
  IoResult result = read.Finish();
  CloseHandle(port);
  if (result.status == STATUS_SUCCESS && (result.bytes == 3 || result.bytes == 0)) return true;
  std::fprintf(stderr, "read after the wake: 0x%08X, %u bytes\n", (unsigned)result.status, (unsigned)result.bytes);
  return false;
}

TEST(PowerFaults, EveryAllocationOfASleepAndWakeFailingInTurnIsSurvived) {
  sim::MachineOptions options;
  options.faults.driver = "tolvane";
  sim::FaultRunReport report = sim::RunFailingEachSite(SleepAndWake, options);
  EXPECT_TRUE(report.AllSurvived()) << report.Describe();
}

}  // namespace
}  // namespace stacktest
