// merrow's Plug and Play: the request gate through the device's life (before
// start, query-stop, query-remove, surprise removal), stop and restart with
// the configuration's lifetime, removal waiting for the requests inside the
// driver, and the capability query.
#include "tests/pipe/pipe_kit.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "sim/kernel/thread.h"

namespace pipetest {
namespace {

constexpr sim::Tick kSecond = sim::kTicksPerSecond;

// A file object as the I/O manager would pass it, bound to a pipe by hand.
struct FakeFile {
  FILE_OBJECT object{};
};

TEST(PipeGate, ClosedBeforeStartWhileTheInterfaceIsAlreadyEnabled) {
  UrbFilter filter;
  std::atomic<int> checked{0};
  std::atomic<bool> closed{true};
  filter.answer = [&](PURB) -> std::optional<NTSTATUS> {
    if (PDEVICE_OBJECT merrow = filter.upper) {
      if (CanAcceptRequests(merrow)) closed = false;
      ++checked;
    }
    return std::nullopt;
  };
  PipeRig rig({.filter = &filter});
  filter.answer = nullptr;
  EXPECT_GT(checked, 0) << "start sends URBs before the device counts as started";
  EXPECT_TRUE(closed) << "no request is accepted while the start is configuring the device";
  EXPECT_TRUE(CanAcceptRequests(rig.Device()));
}

TEST(PipeGate, QueryStopClosesItUntilCancelStop) {
  PipeRig rig;
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  EXPECT_EQ(SendPnp(rig.Device(), IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_TRUE(ext->StopPending);
  EXPECT_FALSE(CanAcceptRequests(rig.Device()));
  EXPECT_EQ(SendPnp(rig.Device(), IRP_MN_CANCEL_STOP_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_FALSE(ext->StopPending);
  EXPECT_TRUE(CanAcceptRequests(rig.Device()));
}

TEST(PipeGate, QueryRemoveDoesNotBlockAndClosesItUntilCancelRemove) {
  PipeRig rig;
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  EXPECT_EQ(SendPnp(rig.Device(), IRP_MN_QUERY_REMOVE_DEVICE).Status, STATUS_SUCCESS)
      << "NoPendingIoEvent was set when the start request left";
  EXPECT_TRUE(ext->RemovePending);
  EXPECT_FALSE(CanAcceptRequests(rig.Device()));
  EXPECT_EQ(SendPnp(rig.Device(), IRP_MN_CANCEL_REMOVE_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_FALSE(ext->RemovePending);
  EXPECT_TRUE(CanAcceptRequests(rig.Device()));
}

// After a stop the device stays closed until the next start; queries and
// cancellations on a device that is not started change no state byte.
TEST(PipeGate, StoppedDeviceStaysClosedUntilStartedAgain) {
  UrbFilter filter;
  PipeRig rig({.filter = &filter});
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  ULONG generation = ext->ConfigGeneration;
  SendPnp(rig.Device(), IRP_MN_QUERY_STOP_DEVICE);
  EXPECT_EQ(SendPnp(rig.Device(), IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_FALSE(ext->Started);
  EXPECT_FALSE(ext->StopPending);
  EXPECT_EQ(ext->ConfigRecord, nullptr) << "the configuration was released";
  std::vector<UrbRecord> selects = filter.Of(URB_FUNCTION_SELECT_CONFIGURATION);
  ASSERT_EQ(selects.size(), 2u);
  EXPECT_FALSE(selects[1].configuration) << "the device was set unconfigured";
  for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                      IRP_MN_CANCEL_REMOVE_DEVICE}) {
    SendPnp(rig.Device(), minor);
    EXPECT_FALSE(ext->StopPending || ext->RemovePending || ext->Started) << "minor " << (int)minor;
    EXPECT_FALSE(CanAcceptRequests(rig.Device()));
  }
  EXPECT_EQ(SendPnp(rig.Device(), IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_TRUE(CanAcceptRequests(rig.Device()));
  EXPECT_NE(ext->ConfigRecord, nullptr);
  EXPECT_EQ(ext->ConfigGeneration, generation + 1);
}

// Rebalance through the Plug and Play manager: query-stop, stop, start. A
// pipe file bound before the stop no longer reaches a pipe afterwards, even
// if the new table happens to sit where the old one was.
TEST(PipeStop, RestartBuildsANewConfigurationAndRetiresOldPipeFiles) {
  PipeRig rig;
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  FakeFile before;
  rig.AsDriver([&] { BindPipeFile(rig.Device(), &before.object, &ext->ConfigRecord->PipeTable[1]); });
  EXPECT_EQ(PipeFromFile(rig.Device(), &before.object), &ext->ConfigRecord->PipeTable[1]);
  ASSERT_TRUE(rig.Pnp().Rebalance(rig.Node()));
  EXPECT_TRUE(CanAcceptRequests(rig.Device()));
  ASSERT_NE(ext->ConfigRecord, nullptr);
  EXPECT_EQ(PipeFromFile(rig.Device(), &before.object), nullptr) << "bound to a released configuration";
  FakeFile after;
  rig.AsDriver([&] { BindPipeFile(rig.Device(), &after.object, &ext->ConfigRecord->PipeTable[1]); });
  EXPECT_EQ(PipeFromFile(rig.Device(), &after.object), &ext->ConfigRecord->PipeTable[1]);
  rig.AsDriver([&] { UnbindPipeFile(&after.object); });
  EXPECT_EQ(PipeFromFile(rig.Device(), &after.object), nullptr);
  EXPECT_EQ(PipeFromFile(rig.Device(), nullptr), nullptr) << "no file object at all";
}

// The unconfigure request failing at stop: the configuration is released all
// the same, so the stop completes as stops must (with success) and the
// device counts as stopped; nothing reaches the released table.
TEST(PipeStop, FailedUnconfigureStillStopsAndReleasesTheConfiguration) {
  UrbFilter filter;
  PipeRig rig({.filter = &filter});
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  FakeFile file;
  rig.AsDriver([&] { BindPipeFile(rig.Device(), &file.object, &ext->ConfigRecord->PipeTable[0]); });
  filter.answer = [](PURB urb) -> std::optional<NTSTATUS> {
    if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION && !urb->UrbSelectConfiguration.ConfigurationDescriptor)
      return STATUS_UNSUCCESSFUL;
    return std::nullopt;
  };
  SendPnp(rig.Device(), IRP_MN_QUERY_STOP_DEVICE);
  EXPECT_EQ(SendPnp(rig.Device(), IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_FALSE(ext->Started);
  EXPECT_EQ(ext->ConfigRecord, nullptr);
  EXPECT_FALSE(CanAcceptRequests(rig.Device()));
  EXPECT_EQ(PipeFromFile(rig.Device(), &file.object), nullptr);
  EXPECT_EQ(SendPnp(rig.Device(), IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_EQ(PipeFromFile(rig.Device(), &file.object), nullptr) << "still bound to the released configuration";
  filter.answer = nullptr;
}

// A request inside the driver when the stop arrives: the stop aborts the
// pipes and waits until it has left before it releases the configuration.
TEST(PipeStop, StopWaitsForRequestsInsideTheDriver) {
  UrbFilter filter;
  PipeRig rig({.filter = &filter});
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  PUSB_CONFIG_RECORD original = ext->ConfigRecord;
  rig.AsDriver([&] { IncrementIoCount(rig.Device()); });
  filter.Clear();
  std::atomic<bool> restarted{false};
  sim::Thread rebalancer("rebalancer", [&] { restarted = rig.Pnp().Rebalance(rig.Node()); });
  rig.Machine().Sleep(kSecond);
  EXPECT_FALSE(restarted);
  EXPECT_EQ(ext->ConfigRecord, original) << "not released while a request is inside";
  EXPECT_FALSE(filter.Of(URB_FUNCTION_ABORT_PIPE).empty()) << "the pipes were aborted to end pending transfers";
  EXPECT_TRUE(filter.Of(URB_FUNCTION_SELECT_CONFIGURATION).empty());
  rig.AsDriver([&] { DecrementIoCount(rig.Device()); });
  rebalancer.Join();
  EXPECT_TRUE(restarted);
  EXPECT_TRUE(CanAcceptRequests(rig.Device()));
}

// A request that no abort ends (a lower driver that never completes it) does
// not hold the stop for good: after its bounded drain the stop completes and
// keeps the configuration the request still uses. The next start fails while
// the request is inside and succeeds once it has left.
TEST(PipeStop, ARequestNoAbortEndsBoundsTheStopAndKeepsTheConfiguration) {
  UrbFilter filter;
  PipeRig rig({.filter = &filter});
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  PUSB_CONFIG_RECORD original = ext->ConfigRecord;
  rig.AsDriver([&] { IncrementIoCount(rig.Device()); });
  filter.Clear();
  SendPnp(rig.Device(), IRP_MN_QUERY_STOP_DEVICE);
  sim::Tick before = rig.Machine().Sched().Now();
  EXPECT_EQ(SendPnp(rig.Device(), IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_GE(rig.Machine().Sched().Now() - before, kSecond) << "the stop gave the request time to end";
  EXPECT_FALSE(ext->Started);
  EXPECT_EQ(ext->ConfigRecord, original) << "the table a request still uses was released";
  EXPECT_TRUE(filter.Of(URB_FUNCTION_SELECT_CONFIGURATION).empty());
  EXPECT_EQ(SendPnp(rig.Device(), IRP_MN_START_DEVICE).Status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(ext->ConfigRecord, original);
  rig.AsDriver([&] { DecrementIoCount(rig.Device()); });
  EXPECT_EQ(SendPnp(rig.Device(), IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_TRUE(CanAcceptRequests(rig.Device()));
  std::vector<UrbRecord> selects = filter.Of(URB_FUNCTION_SELECT_CONFIGURATION);
  ASSERT_EQ(selects.size(), 2u) << "unconfigured, then configured anew";
  EXPECT_FALSE(selects[0].configuration);
}

TEST(PipeRemoval, RemovalWaitsForTheRequestsInsideTheDriver) {
  PipeRig rig;
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  rig.AsDriver([&] { IncrementIoCount(rig.Device()); });
  std::atomic<bool> removed{false};
  sim::Thread remover("remover", [&] { removed = rig.Remove(); });
  rig.Machine().Sleep(5 * kSecond);
  EXPECT_FALSE(removed) << "a request inside the driver holds the removal";
  EXPECT_TRUE(ext->Removed);
  EXPECT_FALSE(CanAcceptRequests(rig.Device()));
  EXPECT_NE(ext->ConfigRecord, nullptr) << "the configuration outlives the requests inside the driver, as at stop";
  rig.AsDriver([&] { DecrementIoCount(rig.Device()); });
  remover.Join();
  EXPECT_TRUE(removed);
  EXPECT_EQ(rig.Driver(), nullptr);
  EXPECT_TRUE(rig.Links().empty()) << "the interface was disabled";
}

// A request that entered after the removal's drain is the last to leave: its
// DecrementIoCount signals RemoveEvent under IoCountLock and lets go of the
// lock after. The device must outlive that. The request enters while the
// removal unconfigures the device; the test then plays its leaving and keeps
// the lock a while after the signal.
TEST(PipeRemoval, TheDeviceOutlivesTheLastRequestsHoldOfTheCountLock) {
  UrbFilter filter;
  std::atomic<bool> armed{false};
  std::atomic<PDEVICE_OBJECT> device{nullptr};
  filter.answer = [&](PURB urb) -> std::optional<NTSTATUS> {
    if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION && armed.exchange(false)) IncrementIoCount(device);
    return std::nullopt;
  };
  PipeRig rig({.filter = &filter});
  device = rig.Device();
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  std::atomic<bool> removed{false};
  armed = true;
  sim::Thread remover("remover", [&] { removed = rig.Remove(); });
  auto lastInside = [&] { return !armed && InterlockedCompareExchange(&ext->PendingIoCount, 0, 0) == 1; };
  for (int ms = 0; ms < 1000 && !lastInside(); ++ms) rig.Machine().Sleep(sim::kTicksPerMs);
  ASSERT_TRUE(lastInside()) << "the removal gave back its counts; the late request is the last inside";
  rig.AsDriver([&] {
    KIRQL irql = KfAcquireSpinLock(&ext->IoCountLock);
    InterlockedDecrement(&ext->PendingIoCount);
    KeSetEvent(&ext->RemoveEvent, IO_NO_INCREMENT, FALSE);
    for (int ms = 0; ms < 200 && !removed; ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(removed) << "the device was deleted while its count lock was still held";
    KfReleaseSpinLock(&ext->IoCountLock, irql);
  });
  remover.Join();
  EXPECT_TRUE(removed);
  EXPECT_EQ(rig.Driver(), nullptr);
}

TEST(PipeRemoval, RemovalAbortsOpenPipesBeforeUnconfiguring) {
  UrbFilter filter;
  PipeRig rig({.filter = &filter});
  PPIPE_TABLE_ENTRY pipe = &rig.Extension()->ConfigRecord->PipeTable[1];
  pipe->PipeInfo->PipeFlags = 1;
  USBD_PIPE_HANDLE handle = pipe->PipeInfo->PipeHandle;
  filter.Clear();
  ASSERT_TRUE(rig.Remove());
  std::vector<UrbRecord> urbs = filter.Records();
  ASSERT_GE(urbs.size(), 2u);
  EXPECT_EQ(urbs[0].function, URB_FUNCTION_ABORT_PIPE);
  EXPECT_EQ(urbs[0].pipe, handle);
  EXPECT_EQ(urbs[1].function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_FALSE(urbs[1].configuration);
}

TEST(PipeRemoval, SurpriseRemovalClosesTheGateAndTheRemovalFollows) {
  PipeRig rig;
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  PDEVICE_OBJECT device = rig.Device();
  sim::DeviceNode* node = rig.Node();
  rig.AsDriver([&] { IncrementIoCount(device); });
  sim::Thread unplugger("unplugger", [&] { rig.Unplug(); });
  rig.Machine().Sleep(kSecond);
  EXPECT_TRUE(ext->SurpriseRemoved);
  EXPECT_TRUE(ext->Removed);
  EXPECT_FALSE(CanAcceptRequests(device));
  rig.AsDriver([&] { DecrementIoCount(device); });
  unplugger.Join();
  EXPECT_EQ(node->State(), sim::NodeState::Removed);
  EXPECT_EQ(rig.Driver(), nullptr);
}

TEST(PipeCapabilities, TooSmallOrTooOldRecordIsRefusedWithoutPassingItDown) {
  PipeRig rig;
  for (auto [size, version] : {std::pair<USHORT, USHORT>{64, 0}, {32, 1}, {0, 0}}) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = size;
    caps.Version = version;
    IO_STACK_LOCATION parameters{};
    parameters.Parameters.DeviceCapabilities.Capabilities = &caps;
    IO_STATUS_BLOCK answer = SendPnp(rig.Device(), IRP_MN_QUERY_CAPABILITIES, parameters);
    EXPECT_EQ(answer.Status, STATUS_UNSUCCESSFUL) << "size " << size << ", version " << version;
    EXPECT_EQ(answer.Information, 0u);
    EXPECT_EQ(caps.Address, 0u) << "the bus never saw it";
  }
}

TEST(PipeCapabilities, DeviceIsReportedSafeForSurpriseRemoval) {
  PipeRig rig;
  EXPECT_TRUE(rig.Node()->Capabilities().SurpriseRemovalOK) << "as the PnP manager recorded it at start";
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  IO_STACK_LOCATION parameters{};
  parameters.Parameters.DeviceCapabilities.Capabilities = &caps;
  IO_STATUS_BLOCK answer = SendPnp(rig.Device(), IRP_MN_QUERY_CAPABILITIES, parameters);
  EXPECT_EQ(answer.Status, STATUS_SUCCESS);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_EQ(caps.Address, (ULONG)rig.Port()) << "the bus filled in the rest";
}

}  // namespace
}  // namespace pipetest
