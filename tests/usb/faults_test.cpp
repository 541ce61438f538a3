// Faults injected per device: stalls, endless NAKs, refused control messages,
// unplugging in the middle of a transfer, malformed descriptors, slow
// responses and forced pending.
#include <gtest/gtest.h>

#include "sim/kernel/thread.h"
#include "tests/usb/usbkit.h"

namespace {

using sim::usb::DeviceFaults;
using sim::usb::MalformedDescriptor;
using sim::usb::SerialAdapter;

constexpr ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

class Faults : public ::testing::Test {
 protected:
  void Start(DeviceFaults faults = {}) {
    adapter = std::make_shared<SerialAdapter>();
    port = bus.Plug(adapter, faults);
    top = bus.Top(port);
    selected = usbkit::SelectFirstConfiguration(top);
  }
  NTSTATUS Message(std::vector<uint8_t> bytes, USBD_STATUS* usbd = nullptr) {
    URB urb = usbkit::VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 0x0B, 0, 0, bytes.data(), (ULONG)bytes.size());
    NTSTATUS status = usbkit::SendAndWait(top, &urb);
    if (usbd) *usbd = urb.UrbHeader.Status;
    return status;
  }

  usbkit::Bus bus;
  std::shared_ptr<SerialAdapter> adapter;
  int port = 0;
  PDEVICE_OBJECT top = nullptr;
  usbkit::Selected selected;
};

TEST_F(Faults, StalledEndpointFailsEveryTransferUntilResetAndStallsAgainAfter) {
  DeviceFaults faults;
  faults.stall = {0x01};
  Start(faults);
  uint8_t data[4] = {};
  URB write = usbkit::BulkUrb(selected.pipes[0].PipeHandle, data, 4, 0);
  EXPECT_EQ(usbkit::SendAndWait(top, &write), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(write.UrbHeader.Status, USBD_STATUS_STALL_PID);
  bus.controller->SetFaults(port, {});  // the device recovers, but the pipe stays halted
  EXPECT_EQ(usbkit::SendAndWait(top, &write), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(write.UrbHeader.Status, USBD_STATUS_STALL_PID);
  URB reset = usbkit::PipeUrb(URB_FUNCTION_RESET_PIPE, selected.pipes[0].PipeHandle);
  EXPECT_EQ(usbkit::SendAndWait(top, &reset), STATUS_SUCCESS);
  EXPECT_EQ(usbkit::SendAndWait(top, &write), STATUS_SUCCESS);
}

TEST_F(Faults, NakForeverLeavesTransfersPendingUntilCancelled) {
  DeviceFaults faults;
  faults.nakForever = {0x01};
  Start(faults);
  uint8_t data[4] = {};
  URB write = usbkit::BulkUrb(selected.pipes[0].PipeHandle, data, 4, 0);
  auto call = usbkit::Send(top, &write);
  ASSERT_EQ(call->returned, STATUS_PENDING);
  bus.machine.Sleep(10 * sim::kTicksPerSecond);
  EXPECT_FALSE(call->Done());
  call->Cancel();
  EXPECT_EQ(call->Wait(), STATUS_CANCELLED);
  EXPECT_EQ(write.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
}

TEST_F(Faults, FirstControlMessagesAreRefused) {
  DeviceFaults faults;
  faults.failControlFirst = 2;
  Start(faults);
  USBD_STATUS usbd;
  EXPECT_EQ(Message({0x03, 0x01}, &usbd), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
  EXPECT_EQ(Message({0x03, 0x01}), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Message({0x03, 0x01}), STATUS_SUCCESS);
  EXPECT_TRUE(adapter->PortOpen());
  EXPECT_EQ(adapter->Messages().size(), 1u) << "the refused ones never reached the device";

  bus.controller->SetFaults(port, DeviceFaults{.failControlAll = true});
  EXPECT_EQ(Message({0x03, 0x00}), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(adapter->PortOpen());
}

TEST_F(Faults, UnplugInTheMiddleOfATransferKeepsWhatMoved) {
  DeviceFaults faults;
  faults.unplugAfterBytes = 100;
  Start(faults);
  adapter->WireScript();
  std::vector<uint8_t> data(256, 0x33);
  URB write = usbkit::BulkUrb(selected.pipes[0].PipeHandle, data.data(), (ULONG)data.size(), 0);
  auto call = usbkit::Send(top, &write);
  EXPECT_EQ(call->Wait(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(write.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(write.UrbBulkOrInterruptTransfer.TransferBufferLength, 128u) << "two packets had crossed when it went";
  EXPECT_EQ(adapter->PeerTake().size(), 128u);
  bus.machine.Sleep(sim::kTicksPerMs);
  EXPECT_EQ(bus.controller->Pdo(port), nullptr) << "the port is empty";
}

TEST_F(Faults, MalformedConfigurationDescriptorsReachTheDriverWithoutHarm) {
  struct Case {
    MalformedDescriptor kind;
    size_t length;         // what GET_DESCRIPTOR returns
    USHORT totalLength;    // what the descriptor says
    NTSTATUS select;       // selecting it as the driver's copy holds it
    size_t pipes;
  };
  const Case cases[] = {
      {MalformedDescriptor::ZeroLength, 39, 39, STATUS_INVALID_PARAMETER, 0},
      {MalformedDescriptor::ShortLength, 39, 39, STATUS_INVALID_PARAMETER, 0},
      // The driver's copy holds the 39 bytes that came; the walk stops there.
      {MalformedDescriptor::TotalLengthTooLarge, 39, 103, STATUS_SUCCESS, 3},
      {MalformedDescriptor::NoInterface, 9, 9, STATUS_SUCCESS, 0},
      {MalformedDescriptor::NoEndpoints, 18, 18, STATUS_SUCCESS, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((int)c.kind);
    DeviceFaults faults;
    faults.malformedConfiguration = c.kind;
    sim::usb::AdapterConfig config;  // each its own serial number: its own device node
    config.serial = u"M" + std::u16string(1, (char16_t)(u'0' + (int)c.kind));
    int p = bus.Plug(std::make_shared<SerialAdapter>(config), faults);
    PDEVICE_OBJECT stack = bus.Top(p);
    std::vector<uint8_t> buffer(521);
    URB urb = usbkit::DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer.data(), (ULONG)buffer.size());
    ASSERT_EQ(usbkit::SendAndWait(stack, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, c.length);
    EXPECT_EQ(buffer[2] | buffer[3] << 8, c.totalLength);
    usbkit::Selected s = usbkit::SelectFirstConfiguration(stack);
    EXPECT_EQ(s.status, c.select);
    EXPECT_EQ(s.pipes.size(), c.pipes);
    bus.controller->Unplug(p);
  }
}

TEST_F(Faults, SlowResponsesDelayCompletion) {
  DeviceFaults faults;
  faults.slowResponse = 20 * sim::kTicksPerMs;
  Start(faults);
  sim::Tick start = bus.machine.Sched().Now();
  EXPECT_EQ(Message({0x01, 0x03}), STATUS_SUCCESS);
  EXPECT_EQ(bus.machine.Sched().Now() - start, 20 * sim::kTicksPerMs);
}

TEST_F(Faults, ForcedPendingCompletesEveryRequestFromTheControllerThread) {
  DeviceFaults faults;
  faults.forcePending = true;
  Start(faults);
  ASSERT_EQ(selected.status, STATUS_SUCCESS);
  URB frame{};
  frame.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
  frame.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  auto call = usbkit::Send(top, &frame);
  EXPECT_EQ(call->returned, STATUS_PENDING) << "even what could be answered at once";
  EXPECT_EQ(call->Wait(), STATUS_SUCCESS);
  ULONG status = 0;
  auto portStatus = usbkit::Send(top, &status, IOCTL_INTERNAL_USB_GET_PORT_STATUS);
  EXPECT_EQ(portStatus->returned, STATUS_PENDING);
  EXPECT_EQ(portStatus->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(status, (ULONG)(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
  uint8_t data[4] = {9, 9, 9, 9};
  URB write = usbkit::BulkUrb(selected.pipes[0].PipeHandle, data, 4, 0);
  auto w = usbkit::Send(top, &write);
  EXPECT_EQ(w->returned, STATUS_PENDING);
  EXPECT_EQ(w->Wait(), STATUS_SUCCESS);
}

}  // namespace
