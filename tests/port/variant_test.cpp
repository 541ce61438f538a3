// Each device variant (EndPointCaps 0 to 3) against an adapter that speaks
// only its messages: what the open, settings and close send, in which form,
// as the adapter took them and as the bus capture shows them; the variant
// without a status pipe, whose lines the port makes up while it is bound.
#include <atomic>

#include "sim/usb/capture.h"
#include "tests/port/stack_kit.h"

namespace stacktest {
namespace {

using Message = std::vector<uint8_t>;

struct Frame {
  DWORD baud;
  BYTE byteSize, parity, stopBits;
  bool hardwareFlow, softwareFlow;
  Message shortForm, longForm;  // empty: the form cannot carry the frame
};

const Frame kFrames[] = {
    {115200, 8, NOPARITY, ONESTOPBIT, false, false, {0x00, 0x07}, {0x00, 0x08, 0x01}},
    {9600, 7, EVENPARITY, ONESTOPBIT, false, false, {0x00, 0x10}, {0x00, 0x04, 0x04}},
    {38400, 8, NOPARITY, ONESTOPBIT, false, true, {0x00, 0x86}, {0x00, 0x06, 0x21}},
    {1200, 8, NOPARITY, ONESTOPBIT, false, false, {}, {0x00, 0x01, 0x01}},
    {76800, 7, EVENPARITY, TWOSTOPBITS, false, false, {}, {0x00, 0x07, 0x06}},
    // Last: RTS stays a handshake line from here on and can no longer be set by hand.
    {19200, 8, ODDPARITY, TWOSTOPBITS, true, false, {0x00, 0x6D}, {0x00, 0x05, 0x1B}},
};

struct Variant {
  ULONG caps;
  bool statusPipe;
};

StackConfig ConfigFor(const Variant& variant) {
  StackConfig config{.endPointCaps = variant.caps, .cxPollPeriod = variant.statusPipe ? 0 : -1};
  config.pipe.adapter.variant = (int)variant.caps;
  config.pipe.adapter.statusEndpoint = variant.statusPipe;
  return config;
}

// The messages the capture shows: the data stage of each vendor request 0x0B,
// each after its setup packet 40 0B 0000 0000 with the message's length.
std::vector<Message> CapturedMessages(pipetest::BusLog& bus) {
  std::vector<Message> out;
  std::vector<pipetest::BusRecord> records = bus.Records();
  for (size_t i = 0; i + 1 < records.size(); ++i) {
    const pipetest::BusRecord& setup = records[i];
    if (setup.transfer != sim::usb::kPcapControl || setup.completion || setup.stage != sim::usb::kStageSetup) continue;
    const pipetest::BusRecord& data = records[i + 1];
    EXPECT_EQ(setup.data, (Message{0x40, 0x0B, 0, 0, 0, 0, (uint8_t)data.data.size(), 0}));
    out.push_back(data.data);
  }
  return out;
}

DCB DcbOf(HANDLE port, const Frame& frame) {
  DCB dcb{};
  GetCommState(port, &dcb);
  dcb.BaudRate = frame.baud;
  dcb.ByteSize = frame.byteSize;
  dcb.Parity = frame.parity;
  dcb.StopBits = frame.stopBits;
  dcb.fOutxCtsFlow = frame.hardwareFlow;
  dcb.fRtsControl = frame.hardwareFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = dcb.fInX = frame.softwareFlow;
  return dcb;
}

class DeviceVariants : public ::testing::TestWithParam<Variant> {};

TEST_P(DeviceVariants, OpenSettingsAndCloseInTheVariantsOwnMessages) {
  const Variant variant = GetParam();
  StackRig rig(ConfigFor(variant));
  ASSERT_TRUE(rig.WaitBound());
  pipetest::BusLog bus(rig.Pipe());
  size_t start = rig.Adapter().Messages().size();
  HANDLE port = rig.Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  if (variant.caps == 3)
    EXPECT_EQ(rig.MessagesSince(start), (std::vector<Message>{{0x03, 0x01}, {0x01, 0x03}})) << "port open, DTR and RTS up";
  else
    EXPECT_TRUE(rig.MessagesSince(start).empty());

  for (const Frame& frame : kFrames) {
    SCOPED_TRACE(frame.baud);
    size_t before = rig.Adapter().Messages().size();
    DCB dcb = DcbOf(port, frame);
    const Message& expected = variant.caps == 3 ? frame.longForm : frame.shortForm;
    BOOL accepted = SetCommState(port, &dcb);
    std::vector<Message> lineSettings;
    for (const Message& m : rig.MessagesSince(before))
      if (m[0] == 0x00) lineSettings.push_back(m);
    if (variant.caps == 0) {
      EXPECT_TRUE(accepted && lineSettings.empty()) << "variant 0 takes every frame and is told none";
    } else if (expected.empty()) {
      EXPECT_FALSE(accepted);
      EXPECT_EQ(LastNtStatus(), STATUS_INVALID_PARAMETER);
      EXPECT_TRUE(lineSettings.empty());
    } else {
      EXPECT_TRUE(accepted);
      ASSERT_FALSE(lineSettings.empty());
      EXPECT_EQ(lineSettings.back(), expected);
      EXPECT_EQ(rig.Adapter().Line().baud, frame.baud);
    }
  }
  for (const sim::usb::AdapterMessage& m : rig.Adapter().Messages()) EXPECT_TRUE(m.accepted) << "a message the adapter does not speak";
  if (variant.caps == 2) {
    EXPECT_TRUE(rig.Adapter().Rts()) << "hardware flow control raised RTS";
  }

  size_t beforeClose = rig.Adapter().Messages().size();
  CloseHandle(port);
  if (variant.caps == 3) {
    EXPECT_EQ(rig.MessagesSince(beforeClose), (std::vector<Message>{{0x03, 0x00}}));
  }
  EXPECT_FALSE(rig.Adapter().PortOpen());
  std::vector<Message> sent = rig.MessagesSince(start);
  EXPECT_EQ(CapturedMessages(bus), sent) << "the capture shows what the adapter took, in order";
}

INSTANTIATE_TEST_SUITE_P(EndPointCaps, DeviceVariants,
                         ::testing::Values(Variant{0, false}, Variant{1, true}, Variant{2, true}, Variant{3, true},
                                           Variant{3, false}),
                         [](const auto& info) {
                           return "Caps" + std::to_string(info.param.caps) + (info.param.statusPipe ? "" : "NoStatusPipe");
                         });

// Without a status pipe the device cannot report its lines: they are taken
// as CTS and DSR up from the binding until the device goes away.
TEST(DeviceVariantsWithoutStatusPipe, TheLinesAreUpWhileTheDeviceIsBound) {
  StackRig rig(ConfigFor({3, false}));
  ASSERT_TRUE(rig.WaitBound());
  EXPECT_EQ(rig.Port()->StatusPipe.ModemStatus, (ULONG)(SERIAL_MSR_CTS | SERIAL_MSR_DSR));
  HANDLE port = rig.Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DWORD status = 0;
  EXPECT_TRUE(GetCommModemStatus(port, &status));
  EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON);
  ASSERT_TRUE(SetCommMask(port, EV_CTS | EV_DSR));
  rig.Pipe().Unplug();
  DWORD events = 0;
  EXPECT_TRUE(WaitCommEvent(port, &events, nullptr));
  EXPECT_EQ(events, EV_CTS | EV_DSR) << "the lines went down with the device";
  EXPECT_TRUE(GetCommModemStatus(port, &status));
  EXPECT_EQ(status, 0u);
  CloseHandle(port);
}

// The device takes the port-open message but not the modem-control message
// that follows: the open fails with the bus's answer, and neither the port
// nor the device is left in the open state.
TEST(DeviceVariantsOpen, AnOpenWhoseLinesCannotBeRaisedClosesTheDeviceAgain) {
  pipetest::UrbFilter filter;
  std::atomic<bool> refuse{true};
  filter.answer = [&](PURB urb) -> std::optional<NTSTATUS> {
    auto& request = urb->UrbControlVendorClassRequest;
    if (urb->UrbHeader.Function != URB_FUNCTION_VENDOR_DEVICE || !refuse) return std::nullopt;
    if (((PUCHAR)request.TransferBuffer)[0] != 0x01) return std::nullopt;
    return STATUS_UNSUCCESSFUL;
  };
  StackConfig config = ConfigFor({3, true});
  config.pipe.filter = &filter;
  StackRig rig(config);
  ASSERT_TRUE(rig.WaitBound());
  EXPECT_EQ(rig.Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastNtStatus(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(rig.MessagesSince(0), (std::vector<Message>{{0x03, 0x01}, {0x03, 0x00}})) << "told open, then closed again";
  EXPECT_FALSE(rig.Adapter().PortOpen());
  EXPECT_FALSE(rig.Port()->DeviceReady);
  EXPECT_FALSE(rig.Port()->PortOpen);
  refuse = false;
  HANDLE port = rig.Open();
  EXPECT_NE(port, INVALID_HANDLE_VALUE) << "a later open works";
  EXPECT_TRUE(rig.Adapter().PortOpen());
  CloseHandle(port);
}

}  // namespace
}  // namespace stacktest
