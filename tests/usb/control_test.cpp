// Control transfers as the bus puts them on the wire: the setup packet each
// URB function stands for, in both directions, with the data stage; and the
// standard requests the bus answers itself (status, configuration, endpoint
// halt, alternate settings).
#include <gtest/gtest.h>

#include "tests/usb/usbkit.h"

namespace {

using namespace sim::usb;

// A device that records every class and vendor request and answers IN
// requests with bytes 0, 1, 2, ...; its interface 0 has two alternate
// settings, the second with one more bulk endpoint.
class Recorder : public DeviceModel {
 public:
  Recorder() {
    set_.device = DeviceDescriptor(0x0200, 0, 64, 0x5E1A, 0x0D00, 0x0001, 0, 0, 0);
    Bytes config = ConfigurationHeader(1, 1, 0, USB_CONFIG_SELF_POWERED | 0x80, 0);
    Append(config, InterfaceDescriptor(0, 0, 1, 0xFF, 0, 0));
    Append(config, EndpointDescriptor(0x81, USB_ENDPOINT_TYPE_BULK, 64, 0));
    Append(config, InterfaceDescriptor(0, 1, 2, 0xFF, 0, 0));
    Append(config, EndpointDescriptor(0x81, USB_ENDPOINT_TYPE_BULK, 64, 0));
    Append(config, EndpointDescriptor(0x02, USB_ENDPOINT_TYPE_BULK, 64, 0));
    set_.configurations.push_back(config);
  }
  Speed DeviceSpeed() const override { return Speed::Full; }
  const DescriptorSet& Descriptors() const override { return set_; }
  PacketResult Control(const SetupPacket& setup, std::span<uint8_t> data) override {
    setups.push_back(setup);
    stages.emplace_back(data.begin(), data.end());
    if (!setup.In()) return {Handshake::Ack, 0};
    size_t n = std::min<size_t>(data.size(), answer);
    for (size_t i = 0; i < n; ++i) data[i] = (uint8_t)i;
    return {Handshake::Ack, n};
  }
  PacketResult In(UCHAR, std::span<uint8_t>) override { return {Handshake::Nak, 0}; }
  Handshake Out(UCHAR, std::span<const uint8_t>) override { return Handshake::Ack; }
  void EndpointReset(UCHAR endpoint) override { resets.push_back(endpoint); }

  std::vector<SetupPacket> setups;
  std::vector<std::vector<uint8_t>> stages;
  std::vector<UCHAR> resets;
  size_t answer = 3;

 private:
  DescriptorSet set_;
};

class Control : public ::testing::Test {
 protected:
  Control() {
    device = std::make_shared<Recorder>();
    port = bus.Plug(device);
    top = bus.Top(port);
    selected = usbkit::SelectFirstConfiguration(top);
  }
  usbkit::Bus bus;
  std::shared_ptr<Recorder> device;
  int port = 0;
  PDEVICE_OBJECT top = nullptr;
  usbkit::Selected selected;
};

TEST_F(Control, VendorAndClassFunctionsBuildTheirSetupPackets) {
  struct Case {
    USHORT function;
    UCHAR requestType;  // for a host-to-device request
  };
  const Case cases[] = {
      {URB_FUNCTION_VENDOR_DEVICE, 0x40},   {URB_FUNCTION_VENDOR_INTERFACE, 0x41}, {URB_FUNCTION_VENDOR_ENDPOINT, 0x42},
      {URB_FUNCTION_VENDOR_OTHER, 0x43},    {URB_FUNCTION_CLASS_DEVICE, 0x20},     {URB_FUNCTION_CLASS_INTERFACE, 0x21},
      {URB_FUNCTION_CLASS_ENDPOINT, 0x22},  {URB_FUNCTION_CLASS_OTHER, 0x23},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    uint8_t out[7] = {1, 2, 3, 4, 5, 6, 7};
    URB urb = usbkit::VendorUrb(c.function, false, 0x20, 0x1234, 0x0002, out, sizeof out);
    ASSERT_EQ(usbkit::SendAndWait(top, &urb), STATUS_SUCCESS);
    const SetupPacket& s = device->setups.back();
    EXPECT_EQ(s.requestType, c.requestType);
    EXPECT_EQ(s.request, 0x20);
    EXPECT_EQ(s.value, 0x1234);
    EXPECT_EQ(s.index, 0x0002);
    EXPECT_EQ(s.length, 7);
    EXPECT_EQ(device->stages.back(), std::vector<uint8_t>(out, out + 7)) << "the data stage as sent";

    uint8_t in[8] = {};
    URB read = usbkit::VendorUrb(c.function, true, 0x21, 0, 0, in, sizeof in);
    ASSERT_EQ(usbkit::SendAndWait(top, &read), STATUS_SUCCESS);
    EXPECT_EQ(device->setups.back().requestType, c.requestType | 0x80);
    EXPECT_EQ(read.UrbControlVendorClassRequest.TransferBufferLength, 3u) << "the device answered 3 of 8 bytes";
    EXPECT_EQ(in[2], 2);
  }
}

TEST_F(Control, ControlTransferUrbCarriesItsOwnSetupPacket) {
  uint8_t data[2] = {};
  URB urb{};
  urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_TRANSFER);
  urb.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
  auto& c = urb.UrbControlTransfer;
  c.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_DEFAULT_PIPE_TRANSFER;
  c.TransferBuffer = data;
  c.TransferBufferLength = sizeof data;
  const UCHAR setup[8] = {0xC1, 0x05, 0x34, 0x12, 0x01, 0x00, 0x02, 0x00};
  std::memcpy(c.SetupPacket, setup, 8);
  ASSERT_EQ(usbkit::SendAndWait(top, &urb), STATUS_SUCCESS);
  const SetupPacket& s = device->setups.back();
  EXPECT_EQ(s.requestType, 0xC1);
  EXPECT_EQ(s.request, 0x05);
  EXPECT_EQ(s.value, 0x1234);
  EXPECT_EQ(s.index, 1);
  EXPECT_EQ(c.TransferBufferLength, 2u);
}

TEST_F(Control, StandardRequestsAreAnsweredFromTheDescriptors) {
  USHORT status = 0xFFFF;
  URB urb{};
  UsbBuildGetStatusRequest(&urb, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, &status, nullptr, nullptr);
  ASSERT_EQ(usbkit::SendAndWait(top, &urb), STATUS_SUCCESS);
  EXPECT_EQ(status, 1) << "self-powered";

  UCHAR value = 0;
  URB config{};
  config.UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST);
  config.UrbHeader.Function = URB_FUNCTION_GET_CONFIGURATION;
  config.UrbControlGetConfigurationRequest.TransferBuffer = &value;
  config.UrbControlGetConfigurationRequest.TransferBufferLength = 1;
  ASSERT_EQ(usbkit::SendAndWait(top, &config), STATUS_SUCCESS);
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(device->setups.empty()) << "none of these reached the device's own handler";
}

TEST_F(Control, EndpointHaltIsSetAndClearedWithFeatureRequests) {
  URB set{};
  UsbBuildFeatureRequest(&set, URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x81, nullptr);
  ASSERT_EQ(usbkit::SendAndWait(top, &set), STATUS_SUCCESS);
  USHORT status = 0;
  URB get{};
  UsbBuildGetStatusRequest(&get, URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x81, &status, nullptr, nullptr);
  ASSERT_EQ(usbkit::SendAndWait(top, &get), STATUS_SUCCESS);
  EXPECT_EQ(status, 1) << "halted";
  uint8_t buffer[64];
  URB read = usbkit::BulkUrb(selected.pipes[0].PipeHandle, buffer, 64, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(usbkit::SendAndWait(top, &read), STATUS_UNSUCCESSFUL);
  URB clear{};
  UsbBuildFeatureRequest(&clear, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x81, nullptr);
  ASSERT_EQ(usbkit::SendAndWait(top, &clear), STATUS_SUCCESS);
  EXPECT_EQ(device->resets, std::vector<UCHAR>{0x81});
  ASSERT_EQ(usbkit::SendAndWait(top, &get), STATUS_SUCCESS);
  EXPECT_EQ(status, 0);
}

// A reset of the host's pipe leaves the device's own halt alone: the next
// transaction stalls again. Only the reset that also clears the stall
// (CLEAR_FEATURE to the device) lets transfers through.
TEST_F(Control, APipeResetLeavesTheDevicesHaltAndTheClearingResetEndsIt) {
  URB set{};
  UsbBuildFeatureRequest(&set, URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x81, nullptr);
  ASSERT_EQ(usbkit::SendAndWait(top, &set), STATUS_SUCCESS);
  uint8_t buffer[64];
  URB read = usbkit::BulkUrb(selected.pipes[0].PipeHandle, buffer, 64, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(usbkit::SendAndWait(top, &read), STATUS_UNSUCCESSFUL);
  URB reset = usbkit::PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE, selected.pipes[0].PipeHandle);
  ASSERT_EQ(usbkit::SendAndWait(top, &reset), STATUS_SUCCESS);
  read = usbkit::BulkUrb(selected.pipes[0].PipeHandle, buffer, 64, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(usbkit::SendAndWait(top, &read), STATUS_UNSUCCESSFUL) << "the device's endpoint is still halted";
  EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_STALL_PID);
  USHORT status = 0;
  URB get{};
  UsbBuildGetStatusRequest(&get, URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x81, &status, nullptr, nullptr);
  ASSERT_EQ(usbkit::SendAndWait(top, &get), STATUS_SUCCESS);
  EXPECT_EQ(status, 1) << "the device still reports its endpoint halted";
  URB clearing = usbkit::PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, selected.pipes[0].PipeHandle);
  ASSERT_EQ(usbkit::SendAndWait(top, &clearing), STATUS_SUCCESS);
  ASSERT_EQ(usbkit::SendAndWait(top, &get), STATUS_SUCCESS);
  EXPECT_EQ(status, 0);
}

TEST_F(Control, SelectInterfaceSwitchesToTheAlternateSettingsPipes) {
  ASSERT_EQ(selected.pipes.size(), 1u);
  std::vector<uint8_t> storage(GET_SELECT_INTERFACE_REQUEST_SIZE(2));
  auto urb = (PURB)storage.data();
  UsbBuildSelectInterfaceRequest(urb, (USHORT)storage.size(), selected.configuration, 0, 1);
  auto& interface = urb->UrbSelectInterface.Interface;
  interface.Pipes[0].MaximumTransferSize = interface.Pipes[1].MaximumTransferSize = 4096;
  ASSERT_EQ(usbkit::SendAndWait(top, urb), STATUS_SUCCESS);
  ASSERT_EQ(interface.NumberOfPipes, 2u);
  EXPECT_EQ(interface.Pipes[1].EndpointAddress, 0x02);
  EXPECT_NE(interface.Pipes[0].PipeHandle, selected.pipes[0].PipeHandle) << "the old pipes are closed";
  uint8_t data[4] = {};
  URB write = usbkit::BulkUrb(interface.Pipes[1].PipeHandle, data, 4, 0);
  EXPECT_EQ(usbkit::SendAndWait(top, &write), STATUS_SUCCESS);
  URB stale = usbkit::BulkUrb(selected.pipes[0].PipeHandle, data, 4, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(usbkit::SendAndWait(top, &stale), STATUS_INVALID_PARAMETER);

  urb->UrbSelectInterface.ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(uintptr_t)0x99;
  EXPECT_EQ(usbkit::SendAndWait(top, urb), STATUS_INVALID_PARAMETER) << "a configuration handle the device never had";
}

TEST_F(Control, BulkTransferSentAtDispatchLevelPendsAndCancels) {
  // Function drivers send bulk transfers from completion routines and DPCs.
  uint8_t data[4] = {};
  URB read = usbkit::BulkUrb(selected.pipes[0].PipeHandle, data, 4, USBD_TRANSFER_DIRECTION_IN);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &read;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
        KeSetEvent((PKEVENT)context, 0, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &done, TRUE, TRUE, TRUE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  NTSTATUS status = IoCallDriver(top, irp);
  KeLowerIrql(old);
  EXPECT_EQ(status, STATUS_PENDING) << "the device NAKs";
  IoCancelIrp(irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  IoFreeIrp(irp);
}

}  // namespace
