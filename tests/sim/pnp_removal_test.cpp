// Stopping and removing devices in NT's order: rebalance with and without a
// veto, orderly removal with the target-device-change notifications around
// it and vetoes by a callback, a driver or files still open, and surprise
// removal, the only removal that waits for the last handle.
#include <gtest/gtest.h>

#include <atomic>

#include "sim/kernel/iomanager.h"
#include "sim/kernel/object.h"
#include "sim/kernel/ustring.h"
#include "sim/win32/win32.h"
#include "tests/sim/pnp_kit.h"
#include "tests/sim/testkit.h"

using pnpkit::Client;
using pnpkit::Log;
using pnpkit::Root;
using pnpkit::Script;
using Lines = std::vector<std::string>;

namespace {

// A machine with one started device node served by the scripted driver
// "Function", and a client driver that can watch it.
struct OneDevice {
  explicit OneDevice(Script& script) : client(machine, u"Client", log) {
    pnpkit::Install(machine, u"Function", script, log);
    machine.Pnp().Bind({u"ROOT\\TEST", u"Function"});
    node = machine.Pnp().AddRootDevice(Root(u"ROOT\\TEST\\0000", {u"ROOT\\TEST"}));
    path = machine.Objects().NameOf(node->PhysicalDeviceObject());
    log.Clear();
  }
  ~OneDevice() { client.Unregister(); }

  // Opens the device as a driver does (IoGetDeviceObjectPointer), for a
  // target-device-change registration on the file object.
  PFILE_OBJECT OpenAsDriver() {
    UNICODE_STRING name = sim::View(path);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    testkit::AsDriver(client.driver, [&] { EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS); });
    return file;
  }

  HANDLE OpenAsApplication() { return win32::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, win32::OPEN_EXISTING, 0); }

  Log log;  // outlives the machine, whose shutdown its drivers still log to
  sim::Machine machine;
  Client client;
  sim::DeviceNode* node = nullptr;
  std::u16string path;
};

// A removal refused once the drivers were asked: the registrants hear of it
// first and last.
const Lines kRefusedAfterTheQuery = {"Client: query-remove", "Function: IRP_MN_QUERY_REMOVE_DEVICE",
                                     "Function: IRP_MN_CANCEL_REMOVE_DEVICE", "Client: remove-cancelled"};

std::optional<NTSTATUS> FailMinor(PIRP irp, UCHAR minor, NTSTATUS status) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != minor) return std::nullopt;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

TEST(PnpRemoval, RebalanceStopsAndStartsTheStackAgain) {
  Script function;
  OneDevice test(function);
  EXPECT_TRUE(test.machine.Pnp().Rebalance(test.node));
  EXPECT_EQ(test.log.Lines(), (Lines{"Function: IRP_MN_QUERY_STOP_DEVICE", "Function: IRP_MN_STOP_DEVICE",
                                     "Function: IRP_MN_START_DEVICE", "Function: IRP_MN_QUERY_CAPABILITIES"}))
      << "no IRP_MN_QUERY_PNP_DEVICE_STATE after the start that follows a rebalancing stop";
  EXPECT_EQ(test.node->State(), sim::NodeState::Started);
}

TEST(PnpRemoval, ARebalanceADriverRefusesIsCancelled) {
  Script function;
  function.onPnp = [](PDEVICE_OBJECT, PIRP irp) { return FailMinor(irp, IRP_MN_QUERY_STOP_DEVICE, STATUS_DEVICE_BUSY); };
  OneDevice test(function);
  EXPECT_FALSE(test.machine.Pnp().Rebalance(test.node));
  EXPECT_EQ(test.log.Lines(), (Lines{"Function: IRP_MN_QUERY_STOP_DEVICE", "Function: IRP_MN_CANCEL_STOP_DEVICE"}));
  EXPECT_EQ(test.node->State(), sim::NodeState::Started);
}

TEST(PnpRemoval, ARestartThatFailsIsASurpriseRemoval) {
  Script function;
  bool stopped = false;
  function.onPnp = [&](PDEVICE_OBJECT, PIRP irp) -> std::optional<NTSTATUS> {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_STOP_DEVICE) stopped = true;
    return stopped ? FailMinor(irp, IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_CONNECTED) : std::nullopt;
  };
  OneDevice test(function);
  EXPECT_FALSE(test.machine.Pnp().Rebalance(test.node));
  EXPECT_EQ(test.log.Lines(), (Lines{"Function: IRP_MN_QUERY_STOP_DEVICE", "Function: IRP_MN_STOP_DEVICE",
                                     "Function: IRP_MN_START_DEVICE", "Function: IRP_MN_SURPRISE_REMOVAL",
                                     "Function: IRP_MN_REMOVE_DEVICE"}));
  EXPECT_EQ(test.node->State(), sim::NodeState::Removed);
}

// A registrant that does what Microsoft asks: at query-remove it lets go of
// its file object, at remove-complete it unregisters.
TEST(PnpRemoval, OrderlyRemovalAsksRegistrantsThenDriversThenRemoves) {
  Script function;
  OneDevice test(function);
  PFILE_OBJECT file = test.OpenAsDriver();
  ASSERT_EQ(test.client.WatchTarget(file), STATUS_SUCCESS);
  test.log.Clear();
  test.client.react = [&](const GUID& event, PVOID notification) {
    auto removal = (PTARGET_DEVICE_REMOVAL_NOTIFICATION)notification;
    EXPECT_EQ(removal->Version, 1);
    EXPECT_EQ(removal->Size, sizeof(TARGET_DEVICE_REMOVAL_NOTIFICATION));
    if (event == GUID_TARGET_DEVICE_QUERY_REMOVE) {
      EXPECT_EQ(removal->FileObject, file);
      ObDereferenceObject(file);
    }
    if (event == GUID_TARGET_DEVICE_REMOVE_COMPLETE) test.client.Unregister();
    return STATUS_SUCCESS;
  };
  EXPECT_TRUE(test.machine.Pnp().RemoveDevice(test.node));
  EXPECT_EQ(test.log.Lines(), (Lines{"Client: query-remove", "Function: IRP_MN_QUERY_REMOVE_DEVICE",
                                     "Client: remove-complete", "Function: IRP_MN_REMOVE_DEVICE"}));
  EXPECT_EQ(test.node->State(), sim::NodeState::Removed);
  EXPECT_EQ(function.unloads, 1);
}

TEST(PnpRemoval, ACallbackVetoCancelsTheRemoval) {
  Script function;
  OneDevice test(function);
  PFILE_OBJECT file = test.OpenAsDriver();
  ASSERT_EQ(test.client.WatchTarget(file), STATUS_SUCCESS);
  test.log.Clear();
  test.client.react = [](const GUID& event, PVOID) {
    return event == GUID_TARGET_DEVICE_QUERY_REMOVE ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  };
  EXPECT_FALSE(test.machine.Pnp().RemoveDevice(test.node));
  // The drivers never saw the query; they are told the removal is off, then the registrants.
  EXPECT_EQ(test.log.Lines(), (Lines{"Client: query-remove", "Function: IRP_MN_CANCEL_REMOVE_DEVICE",
                                     "Client: remove-cancelled"}));
  EXPECT_EQ(test.node->State(), sim::NodeState::Started);
  HANDLE handle = test.OpenAsApplication();
  EXPECT_NE(handle, win32::INVALID_HANDLE_VALUE) << "the device is still there";
  win32::CloseHandle(handle);
  test.client.Unregister();
  ObDereferenceObject(file);
}

TEST(PnpRemoval, ADriverVetoCancelsTheRemoval) {
  Script function;
  function.onPnp = [](PDEVICE_OBJECT, PIRP irp) { return FailMinor(irp, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY); };
  OneDevice test(function);
  PFILE_OBJECT file = test.OpenAsDriver();
  ASSERT_EQ(test.client.WatchTarget(file), STATUS_SUCCESS);
  test.log.Clear();
  EXPECT_FALSE(test.machine.Pnp().RemoveDevice(test.node));
  EXPECT_EQ(test.log.Lines(), kRefusedAfterTheQuery);
  EXPECT_EQ(test.node->State(), sim::NodeState::Started);
  test.client.Unregister();
  ObDereferenceObject(file);
}

// A file whose last reference goes at DISPATCH_LEVEL is closed by a worker
// thread; until that close has been through the driver, the file still keeps
// the surprise-removed stack from its IRP_MN_REMOVE_DEVICE.
TEST(PnpRemoval, SurpriseRemovalWaitsForACloseDeferredToAWorker) {
  Script function;
  OneDevice test(function);
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  std::atomic<int> closes{0};
  function.onClose = [&] {
    if (closes++ == 0) KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
    test.log.Add("Function: close");
  };
  PFILE_OBJECT deferred = test.OpenAsDriver();
  PFILE_OBJECT other = test.OpenAsDriver();
  test.machine.Pnp().SurpriseRemove(test.node);
  test.machine.Pnp().WaitIdle();
  testkit::AsDriver(test.client.driver, [&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ObDereferenceObject(deferred);
    KeLowerIrql(old);
  });
  LARGE_INTEGER step{.QuadPart = -10 * 1000};
  while (closes == 0) KeDelayExecutionThread(KernelMode, FALSE, &step);  // the worker is inside the close
  testkit::AsDriver(test.client.driver, [&] { ObDereferenceObject(other); });
  test.machine.Pnp().WaitIdle();
  EXPECT_EQ(test.node->State(), sim::NodeState::SurpriseRemoved) << "a close is still in the driver";

  KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
  for (int i = 0; i < 100 && test.node->State() != sim::NodeState::Removed; ++i)
    KeDelayExecutionThread(KernelMode, FALSE, &step);
  Lines lines = test.log.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
            (Lines{"Function: close", "Function: close", "Function: IRP_MN_REMOVE_DEVICE"}));
}

// An open still in the driver when the device goes counts as a file on the
// stack; when the driver then fails it, no close follows, and the file's
// going must still let IRP_MN_REMOVE_DEVICE come.
TEST(PnpRemoval, AnOpenFailedAfterTheSurpriseRemovalStillLetsTheRemoveCome) {
  Script function;
  OneDevice test(function);
  KEVENT inside, release;
  KeInitializeEvent(&inside, NotificationEvent, FALSE);
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  function.onCreate = [&] {
    KeSetEvent(&inside, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
    return STATUS_DELETE_PENDING;
  };
  HANDLE handle = nullptr;
  sim::Thread opener("opener", [&] { handle = test.OpenAsApplication(); });
  KeWaitForSingleObject(&inside, Executive, KernelMode, FALSE, nullptr);
  test.machine.Pnp().SurpriseRemove(test.node);
  test.machine.Pnp().WaitIdle();
  EXPECT_EQ(test.node->State(), sim::NodeState::SurpriseRemoved) << "an open is still in the driver";

  KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
  opener.Join();
  EXPECT_EQ(handle, win32::INVALID_HANDLE_VALUE);
  test.machine.Pnp().WaitIdle();
  EXPECT_EQ(test.node->State(), sim::NodeState::Removed);
  EXPECT_EQ(test.log.Lines().back(), "Function: IRP_MN_REMOVE_DEVICE");
}

TEST(PnpRemoval, SurpriseRemovalSendsRemoveOnlyAfterTheLastHandleCloses) {
  Script function;
  OneDevice test(function);
  HANDLE handle = test.OpenAsApplication();
  ASSERT_NE(handle, win32::INVALID_HANDLE_VALUE);
  PFILE_OBJECT file = test.OpenAsDriver();
  ASSERT_EQ(test.client.WatchTarget(file), STATUS_SUCCESS);
  test.log.Clear();
  test.client.react = [&](const GUID& event, PVOID) {
    if (event == GUID_TARGET_DEVICE_REMOVE_COMPLETE) {
      test.client.Unregister();
      ObDereferenceObject(file);  // the client's reference goes; the application's handle stays
    }
    return STATUS_SUCCESS;
  };
  test.machine.Pnp().SurpriseRemove(test.node);
  test.machine.Pnp().WaitIdle();
  EXPECT_EQ(test.log.Lines(), (Lines{"Function: IRP_MN_SURPRISE_REMOVAL", "Client: remove-complete"}));
  EXPECT_EQ(test.node->State(), sim::NodeState::SurpriseRemoved);

  // The I/O manager refuses new opens of a surprise-removed stack.
  EXPECT_EQ(test.OpenAsApplication(), win32::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win32::LastNtStatus(), STATUS_DELETE_PENDING);

  EXPECT_TRUE(win32::CloseHandle(handle));
  test.machine.Pnp().WaitIdle();
  EXPECT_EQ(test.log.Lines().back(), "Function: IRP_MN_REMOVE_DEVICE");
  EXPECT_EQ(test.node->State(), sim::NodeState::Removed);
  EXPECT_EQ(function.unloads, 1);

  // After IRP_MN_REMOVE_DEVICE the root bus deleted the PDO, and its name with it.
  EXPECT_EQ(test.OpenAsApplication(), win32::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win32::LastNtStatus(), STATUS_OBJECT_NAME_NOT_FOUND);
}

// The application does not hear of the query: its handle stays open, and the
// PnP manager calls the removal off once the drivers agreed to it.
TEST(PnpRemoval, AnApplicationsOpenHandleVetoesTheRemoval) {
  Script function;
  OneDevice test(function);
  HANDLE handle = test.OpenAsApplication();
  ASSERT_NE(handle, win32::INVALID_HANDLE_VALUE);
  PFILE_OBJECT file = test.OpenAsDriver();
  ASSERT_EQ(test.client.WatchTarget(file), STATUS_SUCCESS);
  test.client.react = [&](const GUID& event, PVOID) {
    if (event == GUID_TARGET_DEVICE_QUERY_REMOVE) ObDereferenceObject(file);  // the registrant lets go
    return STATUS_SUCCESS;
  };
  test.log.Clear();
  testing::internal::CaptureStderr();
  bool removed = test.machine.Pnp().RemoveDevice(test.node);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(removed);
  EXPECT_EQ(test.log.Lines(), kRefusedAfterTheQuery);
  EXPECT_NE(said.find("vetoed: PNP_VetoOutstandingOpen, 1 file still open"), std::string::npos) << said;
  EXPECT_EQ(test.node->State(), sim::NodeState::Started);
  HANDLE another = test.OpenAsApplication();
  EXPECT_NE(another, win32::INVALID_HANDLE_VALUE) << "the device is still there";
  win32::CloseHandle(another);

  EXPECT_TRUE(win32::CloseHandle(handle));
  test.client.react = nullptr;
  EXPECT_TRUE(test.machine.Pnp().RemoveDevice(test.node)) << "nothing is open any more";
  EXPECT_EQ(test.node->State(), sim::NodeState::Removed);
  EXPECT_EQ(function.unloads, 1);
}

// A registrant that ignores the query keeps its IoGetDeviceObjectPointer file
// open, and that file vetoes the removal as an application's handle does.
TEST(PnpRemoval, ARegistrantThatKeepsItsFileOpenVetoesTheRemoval) {
  Script function;
  OneDevice test(function);
  PFILE_OBJECT file = test.OpenAsDriver();
  ASSERT_EQ(test.client.WatchTarget(file), STATUS_SUCCESS);
  test.log.Clear();
  EXPECT_FALSE(test.machine.Pnp().RemoveDevice(test.node));
  EXPECT_EQ(test.log.Lines(), kRefusedAfterTheQuery);
  EXPECT_EQ(test.node->State(), sim::NodeState::Started);

  test.client.Unregister();
  testkit::AsDriver(test.client.driver, [&] { ObDereferenceObject(file); });
  EXPECT_TRUE(test.machine.Pnp().RemoveDevice(test.node));
  EXPECT_EQ(test.node->State(), sim::NodeState::Removed);
}

// A file let go at DISPATCH_LEVEL is closed by a worker thread. A removal
// that starts while that close is still in the driver is not vetoed for it:
// the driver gets the close, then IRP_MN_REMOVE_DEVICE.
TEST(PnpRemoval, AFileLetGoJustBeforeTheRemovalDoesNotVetoIt) {
  Script function;
  OneDevice test(function);
  function.onClose = [&] {
    LARGE_INTEGER slow{.QuadPart = -50 * 10 * 1000};  // 50 ms: still inside when the files are counted
    KeDelayExecutionThread(KernelMode, FALSE, &slow);
    test.log.Add("Function: close");
  };
  PFILE_OBJECT file = test.OpenAsDriver();
  test.log.Clear();
  testkit::AsDriver(test.client.driver, [&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ObDereferenceObject(file);
    KeLowerIrql(old);
  });
  EXPECT_TRUE(test.machine.Pnp().RemoveDevice(test.node));
  EXPECT_EQ(test.log.Lines(), (Lines{"Function: IRP_MN_QUERY_REMOVE_DEVICE", "Function: close",
                                     "Function: IRP_MN_REMOVE_DEVICE"}));
  EXPECT_EQ(test.node->State(), sim::NodeState::Removed);
}
