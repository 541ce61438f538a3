// URBs on the default pipe and the configuration: descriptors read back with
// the lengths a real bus reports, select configuration filling the pipe
// handles and honouring the maximum transfer sizes, and bad URBs failed with
// the statuses a real bus gives.
#include <gtest/gtest.h>

#include "tests/usb/usbkit.h"

namespace {

using sim::usb::AdapterConfig;
using sim::usb::SerialAdapter;

class Urbs : public ::testing::Test {
 protected:
  Urbs() {
    adapter = std::make_shared<SerialAdapter>();
    port = bus.Plug(adapter);
    top = bus.Top(port);
  }
  usbkit::Bus bus;
  std::shared_ptr<SerialAdapter> adapter;
  int port = 0;
  PDEVICE_OBJECT top = nullptr;
};

TEST_F(Urbs, DeviceDescriptorReturnsAtMostWhatWasAskedAndReportsWhatItReturned) {
  uint8_t buffer[64] = {};
  URB urb = usbkit::DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, sizeof buffer);
  ASSERT_EQ(usbkit::SendAndWait(top, &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u) << "a 64-byte request gets the 18 bytes there are";
  auto d = (PUSB_DEVICE_DESCRIPTOR)buffer;
  EXPECT_EQ(d->bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
  EXPECT_EQ(d->idVendor, 0x5E1A);
  EXPECT_EQ(d->idProduct, 0x0C01);
  EXPECT_EQ(d->bNumConfigurations, 1);

  uint8_t eight[8] = {};
  urb = usbkit::DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, eight, sizeof eight);
  ASSERT_EQ(usbkit::SendAndWait(top, &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 8u);
  EXPECT_EQ(eight[7], 64) << "bMaxPacketSize0";
}

TEST_F(Urbs, ConfigurationDescriptorListsTheVendorInterfaceWithItsThreeEndpointsInOrder) {
  std::vector<uint8_t> config = usbkit::ReadConfiguration(top);
  ASSERT_EQ(config.size(), 9u + 9u + 3 * 7u);
  EXPECT_EQ(config[2] | config[3] << 8, (int)config.size()) << "wTotalLength";
  EXPECT_EQ(config[9 + 5], USB_DEVICE_CLASS_VENDOR_SPECIFIC);
  const uint8_t* e = &config[18];
  EXPECT_EQ(e[2], 0x01);
  EXPECT_EQ(e[3], USB_ENDPOINT_TYPE_BULK);
  EXPECT_EQ(e[7 + 2], 0x82);
  EXPECT_EQ(e[14 + 2], 0x83);
  EXPECT_EQ(e[14 + 3], USB_ENDPOINT_TYPE_INTERRUPT);
}

TEST_F(Urbs, StringDescriptorsCarryTheSerialNumber) {
  uint8_t buffer[255] = {};
  URB urb = usbkit::DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, buffer, sizeof buffer);
  ASSERT_EQ(usbkit::SendAndWait(top, &urb), STATUS_SUCCESS);
  std::u16string serial;
  for (ULONG i = 2; i + 1 < urb.UrbControlDescriptorRequest.TransferBufferLength; i += 2)
    serial += (char16_t)(buffer[i] | buffer[i + 1] << 8);
  EXPECT_EQ(serial, u"SIM0001");
}

TEST_F(Urbs, SelectConfigurationFillsPipeHandlesAndHonoursMaximumTransferSize) {
  usbkit::Selected s = usbkit::SelectFirstConfiguration(top, 4096);
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(s.usbd, USBD_STATUS_SUCCESS);
  EXPECT_NE(s.configuration, nullptr);
  EXPECT_EQ(s.interfaceClass, USB_DEVICE_CLASS_VENDOR_SPECIFIC);
  ASSERT_EQ(s.pipes.size(), 3u);
  EXPECT_EQ(s.pipes[0].EndpointAddress, 0x01);
  EXPECT_EQ(s.pipes[1].EndpointAddress, 0x82);
  EXPECT_EQ(s.pipes[2].EndpointAddress, 0x83);
  EXPECT_EQ(s.pipes[0].PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(s.pipes[2].PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(s.pipes[1].MaximumPacketSize, 64);
  EXPECT_EQ(s.pipes[2].Interval, 1);
  for (auto& p : s.pipes) {
    EXPECT_NE(p.PipeHandle, nullptr);
    EXPECT_EQ(p.MaximumTransferSize, 4096u);
  }
  EXPECT_NE(s.pipes[0].PipeHandle, s.pipes[1].PipeHandle);

  // A transfer longer than the pipe's maximum transfer size is refused.
  std::vector<uint8_t> big(4097);
  URB urb = usbkit::BulkUrb(s.pipes[0].PipeHandle, big.data(), (ULONG)big.size(), 0);
  EXPECT_EQ(usbkit::SendAndWait(top, &urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(Urbs, HighSpeedAdapterHas512BytePackets) {
  AdapterConfig config;
  config.speed = sim::usb::Speed::High;
  int hs = bus.Plug(std::make_shared<SerialAdapter>(config));
  usbkit::Selected s = usbkit::SelectFirstConfiguration(bus.Top(hs));
  ASSERT_EQ(s.pipes.size(), 3u);
  EXPECT_EQ(s.pipes[0].MaximumPacketSize, 512);
  EXPECT_EQ(s.pipes[1].MaximumPacketSize, 512);
}

TEST_F(Urbs, UnconfiguringEndsPendingTransfersAndInvalidatesHandles) {
  usbkit::Selected s = usbkit::SelectFirstConfiguration(top);
  uint8_t buffer[64];
  URB read = usbkit::BulkUrb(s.pipes[1].PipeHandle, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  auto pending = usbkit::Send(top, &read);
  ASSERT_EQ(pending->returned, STATUS_PENDING) << "nothing to read yet";

  URB unconfigure{};
  UsbBuildSelectConfigurationRequest(&unconfigure, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(usbkit::SendAndWait(top, &unconfigure), STATUS_SUCCESS);
  EXPECT_EQ(pending->Wait(), STATUS_CANCELLED);
  EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_CANCELED);

  URB again = usbkit::BulkUrb(s.pipes[1].PipeHandle, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(usbkit::SendAndWait(top, &again), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(again.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(Urbs, BadUrbsFailWithTheBusStatusesNeverACrash) {
  usbkit::Selected s = usbkit::SelectFirstConfiguration(top);
  uint8_t buffer[64];

  URB unknown{};
  unknown.UrbHeader.Length = sizeof(struct _URB_HEADER);
  unknown.UrbHeader.Function = URB_FUNCTION_RESERVED_0X0016;
  EXPECT_EQ(usbkit::SendAndWait(top, &unknown), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(unknown.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);

  URB shortHeader = usbkit::BulkUrb(s.pipes[0].PipeHandle, buffer, 8, 0);
  shortHeader.UrbHeader.Length = sizeof(struct _URB_HEADER);
  EXPECT_EQ(usbkit::SendAndWait(top, &shortHeader), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(shortHeader.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

  URB bogus = usbkit::BulkUrb((USBD_PIPE_HANDLE)(uintptr_t)0x1234, buffer, 8, 0);
  EXPECT_EQ(usbkit::SendAndWait(top, &bogus), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bogus.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

  URB noBuffer = usbkit::BulkUrb(s.pipes[0].PipeHandle, nullptr, 8, 0);
  EXPECT_EQ(usbkit::SendAndWait(top, &noBuffer), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(noBuffer.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

  URB isochOnBulk{};
  isochOnBulk.UrbHeader.Length = (USHORT)GET_ISO_URB_SIZE(1);
  isochOnBulk.UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  isochOnBulk.UrbIsochronousTransfer.PipeHandle = s.pipes[1].PipeHandle;
  isochOnBulk.UrbIsochronousTransfer.NumberOfPackets = 1;
  isochOnBulk.UrbIsochronousTransfer.TransferBuffer = buffer;
  isochOnBulk.UrbIsochronousTransfer.TransferBufferLength = 8;
  EXPECT_EQ(usbkit::SendAndWait(top, &isochOnBulk), STATUS_INVALID_PARAMETER);

  EXPECT_EQ(usbkit::SendAndWait(top, nullptr), STATUS_INVALID_PARAMETER) << "no URB at all";
}

TEST_F(Urbs, StaleAndForeignPipeHandlesAreRefused) {
  usbkit::Selected first = usbkit::SelectFirstConfiguration(top);
  usbkit::Selected second = usbkit::SelectFirstConfiguration(top);
  ASSERT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_NE(first.pipes[0].PipeHandle, second.pipes[0].PipeHandle) << "a new configuration gets new handles";
  uint8_t buffer[8] = {};
  URB stale = usbkit::BulkUrb(first.pipes[0].PipeHandle, buffer, sizeof buffer, 0);
  EXPECT_EQ(usbkit::SendAndWait(top, &stale), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

  int other = bus.Plug(std::make_shared<SerialAdapter>());
  usbkit::Selected theirs = usbkit::SelectFirstConfiguration(bus.Top(other));
  URB foreign = usbkit::BulkUrb(theirs.pipes[0].PipeHandle, buffer, sizeof buffer, 0);
  EXPECT_EQ(usbkit::SendAndWait(top, &foreign), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(foreign.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(Urbs, SelectConfigurationChecksTheInterfaceList) {
  std::vector<uint8_t> bytes = usbkit::ReadConfiguration(top);
  auto config = (PUSB_CONFIGURATION_DESCRIPTOR)bytes.data();
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(config, &size);
  ASSERT_NE(urb, nullptr);
  urb->UrbSelectConfiguration.Interface.InterfaceNumber = 7;
  EXPECT_EQ(usbkit::SendAndWait(top, urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
  urb->UrbSelectConfiguration.Interface.InterfaceNumber = 0;
  urb->UrbHeader.Length = (USHORT)(size - sizeof(USBD_PIPE_INFORMATION));
  EXPECT_EQ(usbkit::SendAndWait(top, urb), STATUS_INVALID_PARAMETER) << "the URB is too short for its pipes";
  ExFreePool(urb);
}

TEST_F(Urbs, VendorRequestReachesTheDeviceAndAStallFailsTheTransfer) {
  uint8_t message[2] = {sim::usb::kMsgModemControl, 0x03};
  URB urb = usbkit::VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 0x0B, 0, 0, message, sizeof message);
  EXPECT_EQ(usbkit::SendAndWait(top, &urb), STATUS_SUCCESS);
  EXPECT_EQ(adapter->ModemControl(), 0x03);

  uint8_t answer[4];
  URB unknown = usbkit::VendorUrb(URB_FUNCTION_VENDOR_DEVICE, true, 0x42, 0, 0, answer, sizeof answer);
  EXPECT_EQ(usbkit::SendAndWait(top, &unknown), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(unknown.UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(unknown.UrbControlVendorClassRequest.TransferBufferLength, 0u);
}

TEST_F(Urbs, CurrentFrameNumberFollowsTheKernelClock) {
  URB urb{};
  urb.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
  urb.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  urb.UrbGetCurrentFrameNumber.FrameNumber = 0xFFFFFFFF;
  auto call = usbkit::Send(top, &urb);
  EXPECT_EQ(call->returned, STATUS_SUCCESS) << "answered before the call returns";
  ULONG first = urb.UrbGetCurrentFrameNumber.FrameNumber;
  EXPECT_EQ(first, bus.controller->FrameNumber());
  bus.machine.Sleep(5 * sim::kTicksPerMs);
  EXPECT_EQ(usbkit::SendAndWait(top, &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbGetCurrentFrameNumber.FrameNumber, first + 5);
}

}  // namespace
