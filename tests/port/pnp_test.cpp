// The port's own device node as the Plug and Play manager drives it: shown or
// hidden in the user interface, its state across queries and their
// cancellations, an orderly removal vetoed by the application's handle,
// surprise removal waiting for that handle, the requests the I/O manager
// answers for it, and every allocation of its life failing in turn.
#include <set>

#include "sim/kernel/faultrun.h"
#include "sim/kernel/iomanager.h"
#include "sim/kernel/object.h"
#include "sim/kernel/thread.h"
#include "tests/port/port_kit.h"
#include "tests/sim/pnp_kit.h"

namespace porttest {
namespace {

using sim::RegistryValue;

TEST(PortVisibility, APortNeverPluggedInIsHiddenFromTheUserInterface) {
  PortRig rig;
  EXPECT_TRUE(rig.Node()->DeviceState() & PNP_DEVICE_DONT_DISPLAY_IN_UI);
}

TEST(PortVisibility, APortThatHasHadADeviceIsShown) {
  PortRig rig({.values = {{u"HasPluggedIn", RegistryValue::Dword(1)}}});
  EXPECT_FALSE(rig.Node()->DeviceState() & PNP_DEVICE_DONT_DISPLAY_IN_UI);
}

TEST(PortVisibility, TheAnswerFollowsTheRegistryWhenTheStateIsAskedAgain) {
  PortRig rig;
  rig.Machine().Reg().SetValue(rig.HardwareKey(), u"HasPluggedIn", RegistryValue::Dword(1));
  rig.Pnp().InvalidateDeviceState(rig.Node()->PhysicalDeviceObject());
  rig.Pnp().WaitIdle();
  EXPECT_FALSE(rig.Node()->DeviceState() & PNP_DEVICE_DONT_DISPLAY_IN_UI);
  rig.Machine().Reg().SetValue(rig.HardwareKey(), u"HasPluggedIn", RegistryValue::String(u""));
  rig.Pnp().InvalidateDeviceState(rig.Node()->PhysicalDeviceObject());
  rig.Pnp().WaitIdle();
  EXPECT_TRUE(rig.Node()->DeviceState() & PNP_DEVICE_DONT_DISPLAY_IN_UI) << "an empty value reads as 0";
}

// A lower filter that can veto the queries, and records the port's state as
// each request passes it on the way down.
class PortStates : public ::testing::Test {
 protected:
  PortStates()
      : rig_({.lowerFilters = {u"veto"}, .beforeAdd = [this](sim::Machine& machine) {
                script_.onPnp = [this](PDEVICE_OBJECT, PIRP irp) { return OnPnp(irp); };
                pnpkit::Install(machine, u"veto", script_, log_);
              }}) {
    ext_ = rig_.Extension();
  }

  std::optional<NTSTATUS> OnPnp(PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (ext_) seen_.push_back({minor, ext_->PnpState, ext_->PreviousPnpState});
    bool veto = (minor == IRP_MN_QUERY_STOP_DEVICE && vetoStop_) || (minor == IRP_MN_QUERY_REMOVE_DEVICE && vetoRemove_);
    if (!veto) return std::nullopt;
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
  }
  // The port's state when the request of `minor` passed below it last.
  std::pair<ULONG, ULONG> StateAt(UCHAR minor) {
    for (auto it = seen_.rbegin(); it != seen_.rend(); ++it)
      if (it->minor == minor) return {it->state, it->previous};
    ADD_FAILURE() << "request " << (int)minor << " did not pass the port";
    return {99, 99};
  }

  struct Seen {
    UCHAR minor;
    ULONG state;
    ULONG previous;
  };
  pnpkit::Script script_;
  pnpkit::Log log_;
  std::vector<Seen> seen_;
  bool vetoStop_ = false;
  bool vetoRemove_ = false;
  PPORT_EXTENSION ext_ = nullptr;  // before rig_: the filter reads it while the port starts
  PortRig rig_;
};

TEST_F(PortStates, AVetoedStopReturnsThePortToItsFormerState) {
  ASSERT_EQ(ext_->PnpState, (ULONG)PortStarted);
  vetoStop_ = true;
  EXPECT_FALSE(rig_.Pnp().Rebalance(rig_.Node()));
  EXPECT_EQ(StateAt(IRP_MN_QUERY_STOP_DEVICE), std::make_pair((ULONG)PortStopped, (ULONG)PortStarted));
  EXPECT_EQ(ext_->PnpState, (ULONG)PortStarted) << "cancel-stop restores the state before the query";
}

TEST_F(PortStates, AVetoedRemovalReturnsThePortToItsFormerState) {
  vetoRemove_ = true;
  EXPECT_FALSE(rig_.Remove());
  EXPECT_EQ(StateAt(IRP_MN_QUERY_REMOVE_DEVICE), std::make_pair((ULONG)PortRemovePending, (ULONG)PortStarted));
  EXPECT_EQ(ext_->PnpState, (ULONG)PortStarted);
  EXPECT_FALSE(ext_->Removed);
  vetoRemove_ = false;
}

TEST_F(PortStates, AStopAndRestartPassThroughStoppedBackToStarted) {
  ext_->CommStatus.Errors = SERIAL_ERROR_OVERRUN;
  ASSERT_TRUE(rig_.Pnp().Rebalance(rig_.Node()));
  EXPECT_EQ(StateAt(IRP_MN_STOP_DEVICE).first, (ULONG)PortStopped);
  EXPECT_EQ(ext_->PnpState, (ULONG)PortStarted);
  EXPECT_EQ(ext_->PreviousPnpState, (ULONG)PortStopped);
  EXPECT_EQ(ext_->CommStatus.Errors, 0u) << "a stop clears the error word";
}

TEST_F(PortStates, SurpriseRemovalMarksThePortAndTheRemovalFollows) {
  rig_.Pnp().SurpriseRemove(rig_.Node());
  rig_.Pnp().WaitIdle();
  EXPECT_EQ(StateAt(IRP_MN_SURPRISE_REMOVAL).first, (ULONG)PortSurpriseRemovePending);
  EXPECT_EQ(StateAt(IRP_MN_REMOVE_DEVICE).first, (ULONG)PortSurpriseRemovePending)
      << "removal passes the request down before it records PortRemoved";
  ext_ = nullptr;
  EXPECT_EQ(rig_.Driver(), nullptr);
}

// With the application's handle open an orderly removal is called off and
// the port works on. Only a surprise removal goes ahead under the handle: new
// work is refused from then, and IRP_MN_REMOVE_DEVICE waits for the close,
// whose cleanup ends what was pending.
TEST(PortRemoval, AnOpenHandleVetoesTheRemovalWhileASurpriseRemovalWaitsForIt) {
  PortRig rig;
  HANDLE port = rig.Open(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  PPORT_EXTENSION ext = rig.Extension();
  ASSERT_TRUE(SetCommMask(port, EV_CTS));
  OVERLAPPED wait = WithEvent();
  DWORD events = 0;
  EXPECT_FALSE(WaitCommEvent(port, &events, &wait));
  COMMTIMEOUTS timeouts{0, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  OVERLAPPED read = WithEvent();
  UCHAR buffer[4];
  EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &read));

  EXPECT_FALSE(rig.Remove()) << "the open handle vetoes the removal";
  EXPECT_EQ(rig.Node()->State(), sim::NodeState::Started);
  EXPECT_EQ(ext->PnpState, (ULONG)PortStarted);
  EXPECT_FALSE(ext->Removed);
  EXPECT_EQ(WaitForSingleObject(wait.hEvent, 0), WAIT_TIMEOUT) << "the pending wait is still pending";
  const UCHAR bytes[4] = {1, 2, 3, 4};
  rig.AsDriver([&] {
    StoreReceivedBytes(ext, bytes, sizeof bytes);
    ServiceCurrentRead(ext);
  });
  DWORD done = 0;
  EXPECT_TRUE(GetOverlappedResult(port, &read, &done, TRUE)) << "the pending read is served";
  EXPECT_EQ(done, 4u);

  EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &read));
  rig.Pnp().SurpriseRemove(rig.Node());
  rig.Pnp().WaitIdle();
  EXPECT_EQ(rig.Node()->State(), sim::NodeState::SurpriseRemoved) << "IRP_MN_REMOVE_DEVICE waits for the handle";
  EXPECT_NE(rig.Driver(), nullptr);
  EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  EXPECT_FALSE(SetCommBreak(port));
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  EXPECT_EQ(WaitForSingleObject(wait.hEvent, 0), WAIT_TIMEOUT) << "the pending wait is still pending";

  CloseHandle(port);
  rig.Pnp().WaitIdle();
  EXPECT_EQ((NTSTATUS)wait.Internal, STATUS_SUCCESS) << "cleanup ended the wait";
  EXPECT_EQ((NTSTATUS)read.Internal, STATUS_CANCELLED) << "cleanup ended the read";
  EXPECT_EQ(rig.Node()->State(), sim::NodeState::Removed);
  EXPECT_EQ(rig.Driver(), nullptr);
  CloseHandle(wait.hEvent);
  CloseHandle(read.hEvent);
}

TEST(PortRemoval, AfterSurpriseRemovalTheHandleWorksOnlyToBeClosed) {
  PortRig rig;
  HANDLE port = rig.Open(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  rig.Pnp().SurpriseRemove(rig.Node());
  UCHAR buffer[4] = {1, 2, 3, 4};
  DWORD done = 0;
  OVERLAPPED overlapped = WithEvent();
  EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &done, &overlapped));
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  EXPECT_FALSE(WriteFile(port, buffer, sizeof buffer, &done, &overlapped));
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR)) << "the mask requests have no removal check";
  EXPECT_FALSE(WaitCommEvent(port, &done, &overlapped));
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  DCB dcb{};
  EXPECT_FALSE(GetCommState(port, &dcb));
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  EXPECT_EQ(CreateFileW(rig.Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_NE(rig.Driver(), nullptr) << "the port stays until its handle goes";
  CloseHandle(port);
  rig.Pnp().WaitIdle();
  EXPECT_EQ(rig.Node()->State(), sim::NodeState::Removed);
  EXPECT_EQ(rig.Driver(), nullptr);
  CloseHandle(overlapped.hEvent);
}

// An application keeps issuing requests while the device node is
// surprise-removed under it: each answers with a documented status.
TEST(PortRemoval, RequestsRacingASurpriseRemovalGetDocumentedStatuses) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    sim::MachineOptions options;
    options.delayFuzzSeed = seed;
    PortRig rig({}, options);
    HANDLE port = rig.Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const std::set<NTSTATUS> documented = {STATUS_SUCCESS, STATUS_DELETE_PENDING, STATUS_INVALID_PARAMETER};
    std::vector<NTSTATUS> unexpected;
    sim::Thread application("application 2", [&] {
      SERIAL_BAUD_RATE baud{9600};
      UCHAR buffer[8];
      // A fixed count: in virtual time the clock stands still while this thread runs.
      for (int round = 0; round < 300; ++round) {
        for (ULONG code : {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_COMMSTATUS,
                           IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_PURGE}) {
          NTSTATUS status = Ioctl(port, code, &baud, sizeof baud, buffer, sizeof buffer).status;
          if (!documented.count(status)) unexpected.push_back(status);
        }
        DWORD done = 0;
        if (!ReadFile(port, buffer, sizeof buffer, &done, nullptr) && !documented.count(LastNtStatus()))
          unexpected.push_back(LastNtStatus());
      }
    });
    rig.Pnp().SurpriseRemove(rig.Node());
    application.Join();
    EXPECT_TRUE(unexpected.empty()) << "seed " << seed << ": first unexpected status 0x" << std::hex
                                    << (unexpected.empty() ? 0 : (ULONG)unexpected[0]);
    CloseHandle(port);
    rig.Pnp().WaitIdle();
    EXPECT_EQ(rig.Driver(), nullptr) << "seed " << seed;
  }
}

TEST(PortRequests, RequestsThePortDoesNotHandleGetTheIoManagersAnswer) {
  PortRig rig;
  PDRIVER_OBJECT driver = rig.Driver();
  PDRIVER_DISPATCH fallback = driver->MajorFunction[IRP_MJ_QUERY_INFORMATION];
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_SET_INFORMATION], fallback);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], fallback);
  EXPECT_NE(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], fallback);
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(sim::OpenFile({u"\\??\\COM7"}, &file), STATUS_SUCCESS);
  EXPECT_EQ(sim::SendFileRequest(file, IRP_MJ_QUERY_INFORMATION), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(sim::SendFileRequest(file, IRP_MJ_SET_INFORMATION), STATUS_INVALID_DEVICE_REQUEST);
  rig.Machine().Objects().Dereference(file);
}

TEST(PortFaults, AnInterfaceThatCannotBeRegisteredFailsAddDeviceWithNothingLeftAttached) {
  sim::MachineOptions options;
  options.faults.failTag = 'I' | 'o' << 8 | 'D' << 16 | 'I' << 24;  // the link name IoRegisterDeviceInterface returns
  PortRig rig({}, options);
  EXPECT_EQ(rig.Node()->State(), sim::NodeState::AddDeviceFailed);
  EXPECT_EQ(rig.Node()->PhysicalDeviceObject()->AttachedDevice, nullptr) << "the port never stays attached";
  EXPECT_EQ(rig.Driver(), nullptr) << "tolvane unloaded without a device, leaving nothing behind";
  EXPECT_TRUE(rig.Machine().Notify().EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).empty());
}

// A lower filter that fails the start: the port's start fails with it, and
// the port is not named (no COM7 link), so the Plug and Play manager removes it.
TEST(PortStart, AStartTheLowerDriverFailsFailsThePort) {
  pnpkit::Script filter;
  pnpkit::Log log;
  filter.onPnp = [](PDEVICE_OBJECT, PIRP irp) -> std::optional<NTSTATUS> {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_START_DEVICE) return std::nullopt;
    irp->IoStatus.Status = STATUS_DEVICE_REMOVED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_REMOVED;
  };
  PortRig rig({.lowerFilters = {u"Failer"},
               .beforeAdd = [&](sim::Machine& machine) { pnpkit::Install(machine, u"Failer", filter, log); }});
  EXPECT_NE(rig.Node()->State(), sim::NodeState::Started);
  for (const auto& [link, target] : rig.Machine().Objects().Links())
    EXPECT_NE(sim::Upcase(link), u"\\??\\COM7") << "a port whose start failed was named";
  EXPECT_EQ(rig.Driver(), nullptr) << "tolvane unloaded with nothing left";
}

// A lower filter that completes the start later, from another thread: the
// port waits for it, then starts and names itself; the verifier checks that
// the pending rules hold on the way.
TEST(PortStart, AStartTheLowerDriverPendsIsWaitedFor) {
  pnpkit::Script filter;
  pnpkit::Log log;
  std::unique_ptr<sim::Thread> finisher;
  PDEVICE_OBJECT pdo = nullptr;
  filter.onAdded = [&](PDEVICE_OBJECT, PDEVICE_OBJECT below) { pdo = below; };
  filter.onPnp = [&](PDEVICE_OBJECT device, PIRP irp) -> std::optional<NTSTATUS> {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_START_DEVICE) return std::nullopt;
    IoMarkIrpPending(irp);
    PDRIVER_OBJECT driver = device->DriverObject;
    finisher = std::make_unique<sim::Thread>("finisher", [=] {
      Sleep(20);
      pnpkit::AtIrql(driver, PASSIVE_LEVEL, [&] {
        IoCopyCurrentIrpStackLocationToNext(irp);  // the copy leaves this location's pending mark behind
        IofCallDriver(pdo, irp);
      });
    });
    return STATUS_PENDING;
  };
  PortRig rig({.lowerFilters = {u"Pender"},
               .beforeAdd = [&](sim::Machine& machine) { pnpkit::Install(machine, u"Pender", filter, log); }});
  finisher->Join();
  EXPECT_EQ(rig.Node()->State(), sim::NodeState::Started);
  EXPECT_EQ(rig.Extension()->PnpState, (ULONG)PortStarted);
  HANDLE port = rig.Open();
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
  CloseHandle(port);
}

// A port's whole life with each of tolvane's allocation sites failing once in
// turn: creation, start, open, settings, a queue size, a wait, close and
// removal. Every run must end without a crash, a verifier stop or a leak.
bool PortLife(const sim::MachineOptions& options) {
  PortRig rig({.endPointCaps = 3, .values = {{u"CxPollPeriod", RegistryValue::Dword(5)}}}, options);
  if (rig.Node()->State() != sim::NodeState::Started) return true;  // creation or naming failed cleanly
  HANDLE port = rig.Open();
  if (port == INVALID_HANDLE_VALUE) return LastNtStatus() == STATUS_INSUFFICIENT_RESOURCES;
  DCB dcb{};
  GetCommState(port, &dcb);
  dcb.BaudRate = 9600;
  SetCommState(port, &dcb);
  SetupComm(port, 1024, 1024);
  SetCommMask(port, EV_RXCHAR);
  rig.AsDriver([&] { RaiseWaitEvents(rig.Device(), SERIAL_EV_RXCHAR); });
  DWORD events = 0;
  WaitCommEvent(port, &events, nullptr);
  CloseHandle(port);
  return rig.Remove();
}

TEST(PortFaults, EveryAllocationOfAPortsLifeFailingInTurnIsSurvived) {
  sim::MachineOptions options;
  options.faults.driver = "tolvane";
  sim::FaultRunReport report = sim::RunFailingEachSite(PortLife, options);
  EXPECT_TRUE(report.AllSurvived()) << report.Describe();
  EXPECT_GE(report.sites.size(), 5u) << report.Describe();
}

}  // namespace
}  // namespace porttest
