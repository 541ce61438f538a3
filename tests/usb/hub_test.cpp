// The root hub and the PDO it gives a device: port status, enable, reset and
// cycle; unplugging at any moment; the IDs, capabilities and texts a USB
// hub's PDO reports to the Plug and Play manager.
#include <gtest/gtest.h>

#include "sim/kernel/object.h"
#include "tests/usb/usbkit.h"

namespace {

using sim::usb::AdapterConfig;
using sim::usb::SerialAdapter;

constexpr ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

std::vector<std::u16string> MultiString(ULONG_PTR information) {
  std::vector<std::u16string> out;
  for (auto p = (const char16_t*)information; p && *p;) {
    std::u16string s(p);
    out.push_back(s);
    p += s.size() + 1;
  }
  return out;
}

class Hub : public ::testing::Test {
 protected:
  void Start(AdapterConfig config = {}) {
    adapter = std::make_shared<SerialAdapter>(config);
    port = bus.Plug(adapter);
    top = bus.Top(port);
    selected = usbkit::SelectFirstConfiguration(top);
  }
  ULONG PortStatus(PDEVICE_OBJECT stack) {
    ULONG status = 0xFFFFFFFF;
    EXPECT_EQ(usbkit::SendAndWait(stack, &status, IOCTL_INTERNAL_USB_GET_PORT_STATUS), STATUS_SUCCESS);
    return status;
  }
  NTSTATUS Write(PDEVICE_OBJECT stack, USBD_PIPE_HANDLE pipe) {
    uint8_t data[4] = {1, 2, 3, 4};
    URB urb = usbkit::BulkUrb(pipe, data, 4, 0);
    return usbkit::SendAndWait(stack, &urb);
  }
  std::vector<std::u16string> QueryId(BUS_QUERY_ID_TYPE type) {
    IO_STACK_LOCATION stack{};
    stack.Parameters.QueryId.IdType = type;
    IO_STATUS_BLOCK result = usbkit::SendPnp(top, IRP_MN_QUERY_ID, stack);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    std::vector<std::u16string> ids = MultiString(result.Information);
    if (result.Information) ExFreePool((PVOID)result.Information);
    return ids;
  }

  usbkit::Bus bus;
  std::shared_ptr<SerialAdapter> adapter;
  int port = 0;
  PDEVICE_OBJECT top = nullptr;
  usbkit::Selected selected;
};

TEST_F(Hub, DisabledPortFailsTransfersUntilTheDriverEnablesIt) {
  Start();
  EXPECT_EQ(PortStatus(top), (ULONG)(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
  bus.controller->DisablePort(port);
  EXPECT_EQ(PortStatus(top), (ULONG)USBD_PORT_CONNECTED);
  EXPECT_EQ(Write(top, selected.pipes[0].PipeHandle), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(usbkit::SendAndWait(top, nullptr, IOCTL_INTERNAL_USB_ENABLE_PORT), STATUS_SUCCESS);
  EXPECT_EQ(PortStatus(top), (ULONG)(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
  EXPECT_EQ(Write(top, selected.pipes[0].PipeHandle), STATUS_SUCCESS);
}

TEST_F(Hub, ResetPortEndsTransfersAndKeepsTheConfiguration) {
  Start();
  uint8_t buffer[64];
  URB read = usbkit::BulkUrb(selected.pipes[1].PipeHandle, buffer, 64, kReadFlags);
  auto pending = usbkit::Send(top, &read);
  ASSERT_EQ(pending->returned, STATUS_PENDING);
  UCHAR address = bus.controller->Address(port);
  EXPECT_EQ(usbkit::SendAndWait(top, nullptr, IOCTL_INTERNAL_USB_RESET_PORT), STATUS_SUCCESS);
  EXPECT_EQ(pending->Wait(), STATUS_CANCELLED);
  EXPECT_EQ(bus.controller->Address(port), address) << "the hub gives the device its address back";
  EXPECT_EQ(Write(top, selected.pipes[0].PipeHandle), STATUS_SUCCESS) << "and its configuration: the handles still work";
}

TEST_F(Hub, UnplugEndsTransfersInFlightAndEverythingAfterFails) {
  Start();
  uint8_t buffer[64];
  URB read = usbkit::BulkUrb(selected.pipes[1].PipeHandle, buffer, 64, kReadFlags);
  auto pending = usbkit::Send(top, &read);
  ASSERT_EQ(pending->returned, STATUS_PENDING);
  bus.controller->Unplug(port);
  EXPECT_EQ(pending->Wait(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(Write(top, selected.pipes[0].PipeHandle), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(PortStatus(top), 0u);
  EXPECT_EQ(usbkit::SendAndWait(top, nullptr, IOCTL_INTERNAL_USB_RESET_PORT), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(bus.controller->Pdo(port), nullptr);
}

TEST_F(Hub, CyclePortReplugsTheDeviceAsANewNode) {
  Start();
  PDEVICE_OBJECT oldPdo = bus.controller->Pdo(port);
  EXPECT_EQ(usbkit::SendAndWait(top, nullptr, IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_SUCCESS);
  bus.machine.Sleep(sim::kTicksPerMs);
  PDEVICE_OBJECT newPdo = bus.controller->Pdo(port);
  ASSERT_NE(newPdo, nullptr);
  EXPECT_NE(newPdo, oldPdo);
  EXPECT_EQ(Write(top, selected.pipes[0].PipeHandle), STATUS_DEVICE_NOT_CONNECTED) << "the old node's device is gone";
  EXPECT_EQ(bus.controller->Model(port), adapter) << "the same device came back";
}

TEST_F(Hub, PdoReportsUsbIdsAndTheSerialNumberAsInstance) {
  Start();
  EXPECT_EQ(QueryId(BusQueryDeviceID), std::vector<std::u16string>{u"USB\\VID_5E1A&PID_0C01"});
  EXPECT_EQ(QueryId(BusQueryHardwareIDs),
            (std::vector<std::u16string>{u"USB\\VID_5E1A&PID_0C01&REV_0100", u"USB\\VID_5E1A&PID_0C01"}));
  EXPECT_EQ(QueryId(BusQueryCompatibleIDs),
            (std::vector<std::u16string>{u"USB\\Class_ff&SubClass_00&Prot_00", u"USB\\Class_ff&SubClass_00", u"USB\\Class_ff"}));
  EXPECT_EQ(QueryId(BusQueryInstanceID), std::vector<std::u16string>{u"SIM0001"});

  IO_STACK_LOCATION text{};
  text.Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
  IO_STATUS_BLOCK r = usbkit::SendPnp(top, IRP_MN_QUERY_DEVICE_TEXT, text);
  ASSERT_EQ(r.Status, STATUS_SUCCESS);
  EXPECT_EQ(std::u16string((const char16_t*)r.Information), u"USB Serial Adapter") << "the product string read at enumeration";
  ExFreePool((PVOID)r.Information);
}

TEST_F(Hub, DeviceWithoutSerialNumberGetsAPortInstance) {
  AdapterConfig config;
  config.serial.clear();
  Start(config);
  std::vector<std::u16string> id = QueryId(BusQueryInstanceID);
  ASSERT_EQ(id.size(), 1u);
  EXPECT_EQ(id[0], u"6&1&0&" + std::u16string(1, (char16_t)(u'0' + port)));
}

TEST_F(Hub, SecondDeviceWithTheSameSerialNumberIsKnownByItsPort) {
  Start();
  int second = bus.Plug(std::make_shared<SerialAdapter>());
  IO_STACK_LOCATION stack{};
  stack.Parameters.QueryId.IdType = BusQueryInstanceID;
  IO_STATUS_BLOCK r = usbkit::SendPnp(bus.Top(second), IRP_MN_QUERY_ID, stack);
  ASSERT_EQ(r.Status, STATUS_SUCCESS);
  EXPECT_EQ(std::u16string((const char16_t*)r.Information), u"6&1&0&" + std::u16string(1, (char16_t)(u'0' + second)));
  ExFreePool((PVOID)r.Information);
  EXPECT_EQ(QueryId(BusQueryInstanceID), std::vector<std::u16string>{u"SIM0001"}) << "the first keeps its serial number";
}

TEST_F(Hub, CapabilitiesMapSystemStatesAndReportSurpriseRemovalOkPerDevice) {
  Start();
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  IO_STACK_LOCATION stack{};
  stack.Parameters.DeviceCapabilities.Capabilities = &caps;
  ASSERT_EQ(usbkit::SendPnp(top, IRP_MN_QUERY_CAPABILITIES, stack).Status, STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3) << "no remote wakeup";
  EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
  EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
  EXPECT_TRUE(caps.Removable);
  EXPECT_TRUE(caps.UniqueID);
  EXPECT_FALSE(caps.SurpriseRemovalOK);
  EXPECT_EQ(caps.Address, (ULONG)port);

  bus.controller->SetSurpriseRemovalOk(port, true);
  ASSERT_EQ(usbkit::SendPnp(top, IRP_MN_QUERY_CAPABILITIES, stack).Status, STATUS_SUCCESS);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
}

// What a wait-wake request's completion function was given.
struct WakeRequest {
  static void NTAPI Done(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
    auto* request = (WakeRequest*)context;
    request->status = status->Status;
    ++request->calls;
  }
  NTSTATUS Send(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE from = PowerSystemSleeping3) {
    POWER_STATE state;
    state.SystemState = from;
    return PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, state, Done, this, &irp);
  }
  PIRP irp = nullptr;
  NTSTATUS status = STATUS_PENDING;
  int calls = 0;
};

TEST_F(Hub, WaitWakeIsFailedByADeviceWithoutRemoteWakeup) {
  Start();
  WakeRequest wake;
  EXPECT_EQ(wake.Send(bus.controller->Pdo(port)), STATUS_PENDING);
  EXPECT_EQ(wake.calls, 1);
  EXPECT_EQ(wake.status, STATUS_NOT_SUPPORTED);
  EXPECT_FALSE(bus.controller->RemoteWakeup(port));
}

TEST_F(Hub, WaitWakeIsHeldUntilTheDeviceSignalsRemoteWakeup) {
  AdapterConfig config;
  config.remoteWakeup = true;
  Start(config);
  PDEVICE_OBJECT pdo = bus.controller->Pdo(port);
  WakeRequest tooDeep, wake, second;
  tooDeep.Send(pdo, PowerSystemHibernate);
  EXPECT_EQ(tooDeep.status, STATUS_INVALID_DEVICE_STATE) << "the device cannot wake the system from S4";

  wake.Send(pdo);
  EXPECT_EQ(wake.calls, 0) << "held by the PDO";
  second.Send(pdo);
  EXPECT_EQ(second.status, STATUS_DEVICE_BUSY) << "one wait-wake per PDO";

  EXPECT_TRUE(bus.controller->RemoteWakeup(port));
  EXPECT_EQ(wake.calls, 1);
  EXPECT_EQ(wake.status, STATUS_SUCCESS);
  EXPECT_FALSE(bus.controller->RemoteWakeup(port)) << "nothing held any more";
}

TEST_F(Hub, AHeldWaitWakeEndsWhenCancelledOrWhenTheDeviceIsUnplugged) {
  AdapterConfig config;
  config.remoteWakeup = true;
  Start(config);
  WakeRequest cancelled, unplugged;
  cancelled.Send(bus.controller->Pdo(port));
  EXPECT_TRUE(IoCancelIrp(cancelled.irp));
  EXPECT_EQ(cancelled.status, STATUS_CANCELLED);

  unplugged.Send(bus.controller->Pdo(port));
  bus.controller->Unplug(port);
  LARGE_INTEGER step{.QuadPart = -10 * 1000 * 10};  // let the surprise removal reach the PDO
  for (int i = 0; i < 100 && !unplugged.calls; ++i) KeDelayExecutionThread(KernelMode, FALSE, &step);
  EXPECT_EQ(unplugged.calls, 1);
  EXPECT_EQ(unplugged.status, STATUS_NO_SUCH_DEVICE);
}

void RemoveWithTransferOutstanding() {
  usbkit::Bus bus;
  int port = bus.Plug(std::make_shared<SerialAdapter>());
  usbkit::Selected s = usbkit::SelectFirstConfiguration(bus.Top(port));
  uint8_t buffer[64];
  URB read = usbkit::BulkUrb(s.pipes[1].PipeHandle, buffer, 64, kReadFlags);
  auto pending = usbkit::Send(bus.Top(port), &read);
  usbkit::SendPnp(bus.Top(port), IRP_MN_REMOVE_DEVICE);
}

TEST(HubDeathTest, RemoveWithTransfersOutstandingIsAnUrbLeak) {
  EXPECT_DEATH(RemoveWithTransferOutstanding(), "VERIFIER STOP: UrbLeak.*1 transfers still outstanding");
}

}  // namespace
