// The private control codes as a client uses them: what each puts on the bus
// (setup packets and data stages in the capture), what it returns, the hub
// port codes, a stalled endpoint, and the refusals while the device is not
// usable.
#include "sim/usb/capture.h"
#include "tests/pipe/io_kit.h"

namespace pipetest {
namespace {

using sim::usb::kPcapControl;
using sim::usb::kStageData;
using sim::usb::kStageSetup;

// The control records of the capture at one stage.
std::vector<BusRecord> ControlStage(BusLog& bus, int stage) {
  std::vector<BusRecord> out;
  for (const BusRecord& r : bus.Records())
    if (r.transfer == kPcapControl && !r.completion && r.stage == stage) out.push_back(r);
  return out;
}

std::vector<uint8_t> SetupBytes(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  return {type, request, (uint8_t)value, (uint8_t)(value >> 8), (uint8_t)index, (uint8_t)(index >> 8),
          (uint8_t)length, (uint8_t)(length >> 8)};
}

// The adapter, also answering vendor request 0x05 to the device (0xC0) with
// five bytes, whatever length the host asks for.
class AnsweringAdapter : public sim::usb::SerialAdapter {
 public:
  using SerialAdapter::SerialAdapter;
  sim::usb::PacketResult Control(const sim::usb::SetupPacket& setup, std::span<uint8_t> data) override {
    if (setup.requestType != 0xC0 || setup.request != 0x05) return SerialAdapter::Control(setup, data);
    size_t n = std::min<size_t>(5, data.size());
    for (size_t i = 0; i < n; ++i) data[i] = (uint8_t)(0xA0 + i);
    return {sim::usb::Handshake::Ack, n};
  }
};

class ControlCodes : public PipeTest {
 protected:
  static PipeConfig Answering() {
    PipeConfig config;
    config.model = std::make_shared<AnsweringAdapter>(config.adapter);
    return config;
  }
  ControlCodes() : PipeTest(Answering()) { device_ = rig_.Open(u""); }
  ~ControlCodes() override { CloseHandle(device_); }
  HANDLE device_;
};

TEST_F(ControlCodes, VendorCommandPutsItsInputOnTheBusAsRequest0x0B) {
  BusLog bus(rig_);
  UCHAR message[3] = {sim::usb::kMsgFlowChars, 0x11, 0x13};
  IoctlResult r = Ioctl(device_, IOCTL_PIPE_VENDOR_COMMAND, message, 3);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.returned, 0u);
  std::vector<BusRecord> setups = ControlStage(bus, kStageSetup), data = ControlStage(bus, kStageData);
  ASSERT_EQ(setups.size(), 1u);
  EXPECT_EQ(setups[0].data, SetupBytes(0x40, 0x0B, 0, 0, 3));
  EXPECT_EQ(setups[0].function, URB_FUNCTION_VENDOR_DEVICE);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].data, (std::vector<uint8_t>{sim::usb::kMsgFlowChars, 0x11, 0x13}));
  EXPECT_EQ(rig_.Adapter()->XonChar(), 0x11);
}

TEST_F(ControlCodes, VendorCommandWithoutInputHasNoDataStage) {
  BusLog bus(rig_);
  IoctlResult r = Ioctl(device_, IOCTL_PIPE_VENDOR_COMMAND);
  EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL) << "the adapter stalls an empty message; the bus's status comes back";
  std::vector<BusRecord> setups = ControlStage(bus, kStageSetup);
  ASSERT_EQ(setups.size(), 1u);
  EXPECT_EQ(setups[0].data, SetupBytes(0x40, 0x0B, 0, 0, 0));
  EXPECT_TRUE(ControlStage(bus, kStageData).empty());
}

TEST_F(ControlCodes, ControlTransferToTheDeviceSendsTheDataAfterTheSetupPacket) {
  BusLog bus(rig_);
  std::vector<uint8_t> input = SetupBytes(0x21, 0x20, 0x1234, 0x0001, 7);
  for (uint8_t i = 1; i <= 7; ++i) input.push_back(i);
  IoctlResult r = Ioctl(device_, IOCTL_PIPE_CONTROL_TRANSFER, input.data(), 15);
  EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL) << "the adapter stalls class requests";
  EXPECT_EQ(r.returned, 0u);
  std::vector<BusRecord> setups = ControlStage(bus, kStageSetup), data = ControlStage(bus, kStageData);
  ASSERT_EQ(setups.size(), 1u);
  EXPECT_EQ(setups[0].function, URB_FUNCTION_CLASS_INTERFACE);
  EXPECT_EQ(setups[0].data, SetupBytes(0x21, 0x20, 0x1234, 0x0001, 7));
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(ControlCodes, ControlTransferRefusesWhatItCannotSend) {
  BusLog bus(rig_);
  std::vector<uint8_t> input = SetupBytes(0x21, 0x20, 0, 0, 7);
  input.resize(14);
  EXPECT_EQ(Ioctl(device_, IOCTL_PIPE_CONTROL_TRANSFER, input.data(), 14).status, STATUS_INVALID_PARAMETER)
      << "one byte of the data stage missing";
  for (uint8_t type : {0x00, 0x80, 0x60, 0x44, 0x5F, 0xC4}) {
    std::vector<uint8_t> setup = SetupBytes(type, 1, 0, 0, 0);
    uint8_t out[8];
    EXPECT_EQ(Ioctl(device_, IOCTL_PIPE_CONTROL_TRANSFER, setup.data(), 8, out, 8).status, STATUS_INVALID_PARAMETER)
        << "request type 0x" << std::hex << (int)type;
  }
  std::vector<uint8_t> in = SetupBytes(0xC0, 0x05, 0, 0, 16);
  uint8_t out[15];
  EXPECT_EQ(Ioctl(device_, IOCTL_PIPE_CONTROL_TRANSFER, in.data(), 8, out, 15).status, STATUS_INVALID_PARAMETER)
      << "no room for the data stage";
  EXPECT_TRUE(ControlStage(bus, kStageSetup).empty()) << "nothing refused reaches the bus";
}

// A device-to-host transfer reports the bytes the device sent, which the
// application receives from the start of its output buffer.
TEST_F(ControlCodes, ControlTransferFromTheDeviceReturnsTheBytesReceived) {
  std::vector<uint8_t> setup = SetupBytes(0xC0, 0x05, 0, 0, 16);
  std::vector<uint8_t> out(16, 0xEE);
  IoctlResult r = Ioctl(device_, IOCTL_PIPE_CONTROL_TRANSFER, setup.data(), 8, out.data(), 16);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.returned, 5u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 5), (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4}));
}

TEST_F(ControlCodes, PipeInformationAndPacketSizeDescribeTheFilesPipe) {
  HANDLE in = rig_.Open(u"\\PIPE01"), status = rig_.Open(u"\\PIPE02");
  PIPE_INFO_OUTPUT info{};
  IoctlResult r = Ioctl(in, IOCTL_PIPE_GET_PIPE_INFO, nullptr, 0, &info, sizeof info);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(info.EndpointAddress, 0x82);
  EXPECT_EQ(info.PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(info.MaximumPacketSize, 64);
  EXPECT_EQ(info.MaximumTransferSize, 4096u);
  EXPECT_EQ(info.PipeFlags, 1u) << "the caller's own open pipe";
  EXPECT_EQ(info.PipeHandle, Ext()->ConfigRecord->PipeTable[1].PipeInfo->PipeHandle);
  ULONG packet = 0;
  EXPECT_EQ(Ioctl(in, IOCTL_PIPE_GET_MAX_PACKET_SIZE, nullptr, 0, &packet, 4).returned, 4u);
  EXPECT_EQ(packet, 64u);
  EXPECT_EQ(Ioctl(status, IOCTL_PIPE_GET_MAX_PACKET_SIZE, nullptr, 0, &packet, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(packet, 8u);
  CloseHandle(in);
  CloseHandle(status);
}

TEST_F(ControlCodes, ConfigurationDescriptorIsTheStoredOne) {
  std::vector<uint8_t> out(600, 0xEE);
  IoctlResult r = Ioctl(device_, IOCTL_PIPE_GET_CONFIG_DESCRIPTOR, nullptr, 0, out.data(), 600);
  PUSB_CONFIGURATION_DESCRIPTOR stored = Ext()->ConfigRecord->ConfigurationDescriptor;
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.returned, stored->wTotalLength);
  EXPECT_EQ(0, memcmp(out.data(), stored, r.returned));
  EXPECT_EQ(out[r.returned], 0xEE);
}

TEST_F(ControlCodes, EnsurePortEnabledReEnablesADisabledPort) {
  EXPECT_EQ(Ioctl(device_, IOCTL_PIPE_ENSURE_PORT_ENABLED).status, STATUS_SUCCESS) << "enabled: nothing to do";
  rig_.Usb().DisablePort(rig_.Port());
  ASSERT_EQ(rig_.Usb().PortStatus(rig_.Port()), (ULONG)USBD_PORT_CONNECTED);
  EXPECT_EQ(Ioctl(device_, IOCTL_PIPE_ENSURE_PORT_ENABLED).status, STATUS_SUCCESS);
  EXPECT_EQ(rig_.Usb().PortStatus(rig_.Port()), (ULONG)(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
  UCHAR message[2] = {0x01, 0x00};
  EXPECT_EQ(Ioctl(device_, IOCTL_PIPE_VENDOR_COMMAND, message, 2).status, STATUS_SUCCESS) << "the device answers again";
}

TEST_F(ControlCodes, ResetPortKeepsTheDeviceUsable) {
  HANDLE out = rig_.Open(u"\\PIPE00");
  EXPECT_EQ(Ioctl(device_, IOCTL_PIPE_RESET_PORT).status, STATUS_SUCCESS);
  uint8_t bytes[4] = {1, 2, 3, 4};
  EXPECT_EQ(WritePipe(out, bytes, 4).bytes, 4u);
  CloseHandle(out);
}

TEST_F(ControlCodes, CyclePortMakesTheDeviceComeBackAsANewNode) {
  sim::DeviceNode* before = rig_.Node();
  EXPECT_EQ(Ioctl(device_, IOCTL_PIPE_CYCLE_PORT).status, STATUS_SUCCESS);
  CloseHandle(device_);
  device_ = INVALID_HANDLE_VALUE;
  // The hub replugs the device after the request completed, on its own thread.
  EXPECT_TRUE(RunUntil(rig_, [&] {
    return rig_.Node() && rig_.Node() != before && rig_.Extension() && rig_.Extension()->Started;
  }));
}

// The codes that wait for the bus refuse to cycle the port above
// PASSIVE_LEVEL; the request comes from another driver at DISPATCH_LEVEL.
TEST_F(ControlCodes, CyclePortAbovePassiveLevelIsRefused) {
  NTSTATUS status = 0;
  rig_.AsDriver([&] {
    KEVENT done;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_PIPE_CYCLE_PORT, rig_.Device(), nullptr, 0, nullptr, 0, FALSE,
                                             &done, &iosb);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    status = IoCallDriver(rig_.Device(), irp);
    KeLowerIrql(old);
  });
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
}

TEST(StalledDevice, ControlCodesReturnTheBusStatusAndPipeResetStillWorks) {
  PipeConfig config;
  config.faults.stall = {0x00, 0x82};
  PipeRig rig(config);
  HANDLE device = rig.Open(u""), in = rig.Open(u"\\PIPE01");
  UCHAR message[2] = {0x01, 0x03};
  EXPECT_EQ(Ioctl(device, IOCTL_PIPE_VENDOR_COMMAND, message, 2).status, STATUS_UNSUCCESSFUL);
  uint8_t buffer[64];
  EXPECT_EQ(ReadPipe(in, buffer, 64).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Ioctl(in, IOCTL_PIPE_RESET_PIPE).status, STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(in, IOCTL_PIPE_ABORT_PIPE).status, STATUS_SUCCESS);
  CloseHandle(in);
  CloseHandle(device);
}

TEST_F(ControlCodes, EveryCodeIsRefusedWhileTheDeviceIsNotUsable) {
  HANDLE in = rig_.Open(u"\\PIPE01");
  BusLog bus(rig_);
  Ext()->RemovePending = TRUE;  // as between query-remove and removal
  for (ULONG function = 0; function < PIPE_IOCTL_COUNT; ++function) {
    uint8_t buffer[64] = {};
    IoctlResult r = Ioctl(function % 2 ? in : device_, PIPE_CTL_CODE(function), buffer, 16, buffer, 64);
    EXPECT_EQ(r.status, STATUS_DELETE_PENDING) << "function " << function;
  }
  Ext()->RemovePending = FALSE;
  EXPECT_TRUE(bus.Records().empty());
  CloseHandle(in);
}

}  // namespace
}  // namespace pipetest
