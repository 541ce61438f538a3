// The USB-serial adapter model: every control message it takes and what it
// does with it, its modem lines on the status endpoint through the loopback
// plug, a null-modem pair, a receive FIFO that overflows, and pacing at the
// configured baud rate.
#include <gtest/gtest.h>

#include "tests/usb/usbkit.h"

namespace {

using sim::usb::AdapterConfig;
using sim::usb::LineSettings;
using sim::usb::SerialAdapter;
using Parity = LineSettings::Parity;

constexpr ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

struct Plugged {
  std::shared_ptr<SerialAdapter> adapter;
  PDEVICE_OBJECT top = nullptr;
  usbkit::Selected selected;
};

class Adapter : public ::testing::Test {
 protected:
  Plugged PlugAdapter(AdapterConfig config = {}, ULONG maximumTransfer = 4096) {
    Plugged p;
    p.adapter = std::make_shared<SerialAdapter>(config);
    p.top = bus.Top(bus.Plug(p.adapter));
    p.selected = usbkit::SelectFirstConfiguration(p.top, maximumTransfer);
    return p;
  }
  // Sends a control message as the port driver does: vendor request 0x0B, type 0x40.
  NTSTATUS Message(const Plugged& p, std::vector<uint8_t> bytes) {
    URB urb = usbkit::VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 0x0B, 0, 0, bytes.data(), (ULONG)bytes.size());
    return usbkit::SendAndWait(p.top, &urb);
  }
  NTSTATUS Write(const Plugged& p, std::vector<uint8_t> bytes) {
    URB urb = usbkit::BulkUrb(p.selected.pipes[0].PipeHandle, bytes.data(), (ULONG)bytes.size(), 0);
    return usbkit::SendAndWait(p.top, &urb);
  }
  std::vector<uint8_t> Read(const Plugged& p, ULONG length = 64) {
    std::vector<uint8_t> buffer(length);
    URB urb = usbkit::BulkUrb(p.selected.pipes[1].PipeHandle, buffer.data(), length, kReadFlags);
    EXPECT_EQ(usbkit::SendAndWait(p.top, &urb), STATUS_SUCCESS);
    buffer.resize(urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    return buffer;
  }
  UCHAR StatusByte(const Plugged& p) {
    UCHAR status = 0xFF;
    URB urb = usbkit::BulkUrb(p.selected.pipes[2].PipeHandle, &status, 1, kReadFlags);
    EXPECT_EQ(usbkit::SendAndWait(p.top, &urb), STATUS_SUCCESS);
    return status;
  }

  usbkit::Bus bus;
};

void ExpectLine(const LineSettings& line, ULONG baud, UCHAR data, UCHAR stop, Parity parity, bool hardware, bool software) {
  EXPECT_EQ(line.baud, baud);
  EXPECT_EQ(line.dataBits, data);
  EXPECT_EQ(line.stopBits, stop);
  EXPECT_EQ(line.parity, parity);
  EXPECT_EQ(line.hardwareFlow, hardware);
  EXPECT_EQ(line.softwareFlow, software);
}

TEST(AdapterMessages, ShortAndLongLineSettingsDecodeAsThePortEncodesThem) {
  auto parse = [](std::vector<uint8_t> m) { return sim::usb::ParseLineSettings(m); };
  ExpectLine(*parse({0x00, 0x07}), 115200, 8, 1, Parity::None, false, false);
  ExpectLine(*parse({0x00, 0x08, 0x01}), 115200, 8, 1, Parity::None, false, false);
  ExpectLine(*parse({0x00, 0x10}), 9600, 7, 1, Parity::Even, false, false);
  ExpectLine(*parse({0x00, 0x6D}), 19200, 8, 2, Parity::Odd, true, false);
  ExpectLine(*parse({0x00, 0x05, 0x1B}), 19200, 8, 2, Parity::Odd, true, false);
  ExpectLine(*parse({0x00, 0x86}), 38400, 8, 1, Parity::None, false, true);
  ExpectLine(*parse({0x00, 0x06, 0x21}), 38400, 8, 1, Parity::None, false, true);
  ExpectLine(*parse({0x00, 0x01, 0x21}), 1200, 8, 1, Parity::None, false, true);
  ExpectLine(*parse({0x00, 0x07, 0x06}), 76800, 7, 2, Parity::Even, false, false);
  ExpectLine(*parse({0x00, 0x00, 0x00}), 600, 7, 1, Parity::None, false, false);
  EXPECT_FALSE(parse({0x00, 0x09, 0x01})) << "no tenth rate in the long form";
  EXPECT_FALSE(parse({0x00, 0x30})) << "even and odd parity at once";
  EXPECT_FALSE(parse({0x00})) << "no settings byte";
  EXPECT_FALSE(parse({0x00, 0x01, 0x02, 0x03}));
}

TEST_F(Adapter, EveryMessageTakesEffectAndIsLogged) {
  Plugged p = PlugAdapter();
  EXPECT_EQ(Message(p, {0x00, 0x6D}), STATUS_SUCCESS);
  ExpectLine(p.adapter->Line(), 19200, 8, 2, Parity::Odd, true, false);
  EXPECT_EQ(Message(p, {0x00, 0x08, 0x01}), STATUS_SUCCESS);
  ExpectLine(p.adapter->Line(), 115200, 8, 1, Parity::None, false, false);
  EXPECT_EQ(Message(p, {0x01, 0x06}), STATUS_SUCCESS);
  EXPECT_EQ(p.adapter->ModemControl(), 0x06) << "DTR and break";
  EXPECT_EQ(Message(p, {0x02, 0x11, 0x13}), STATUS_SUCCESS);
  EXPECT_EQ(p.adapter->XonChar(), 0x11);
  EXPECT_EQ(p.adapter->XoffChar(), 0x13);
  EXPECT_EQ(Message(p, {0x04, 0x01, 0x3F}), STATUS_SUCCESS);
  EXPECT_TRUE(p.adapter->ErrorCharEnabled());
  EXPECT_EQ(p.adapter->ErrorChar(), 0x3F);
  EXPECT_EQ(Message(p, {0x03, 0x01}), STATUS_SUCCESS);
  EXPECT_TRUE(p.adapter->PortOpen());
  EXPECT_EQ(Message(p, {0x03, 0x00}), STATUS_SUCCESS);
  EXPECT_FALSE(p.adapter->PortOpen());

  auto log = p.adapter->Messages();
  ASSERT_EQ(log.size(), 7u);
  EXPECT_EQ(log[0].bytes, (std::vector<uint8_t>{0x00, 0x6D}));
  EXPECT_EQ(log[3].bytes, (std::vector<uint8_t>{0x02, 0x11, 0x13}));
  for (auto& m : log) EXPECT_TRUE(m.accepted);
}

TEST_F(Adapter, MalformedMessagesAreStalledAndChangeNothing) {
  Plugged p = PlugAdapter();
  ASSERT_EQ(Message(p, {0x00, 0x07}), STATUS_SUCCESS);
  for (std::vector<uint8_t> bad : {std::vector<uint8_t>{0x09, 0x00}, {0x01}, {0x00, 0x0A, 0x01}, {0x03, 0x02}, {}}) {
    URB urb = usbkit::VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 0x0B, 0, 0, bad.data(), (ULONG)bad.size());
    EXPECT_EQ(usbkit::SendAndWait(p.top, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  }
  ExpectLine(p.adapter->Line(), 115200, 8, 1, Parity::None, false, false);
  auto log = p.adapter->Messages();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_FALSE(log[1].accepted);
}

TEST_F(Adapter, LoopbackPlugFeedsModemLinesToTheStatusEndpoint) {
  Plugged p = PlugAdapter();
  EXPECT_EQ(StatusByte(p), 0x00) << "the report at configuration: all lines down";
  ASSERT_EQ(Message(p, {0x01, 0x02}), STATUS_SUCCESS);  // DTR on
  EXPECT_EQ(StatusByte(p), sim::usb::kLineDsr | sim::usb::kLineDcd);
  ASSERT_EQ(Message(p, {0x01, 0x03}), STATUS_SUCCESS);  // RTS too
  EXPECT_EQ(StatusByte(p), 0x07);
  ASSERT_EQ(Message(p, {0x01, 0x01}), STATUS_SUCCESS);  // DTR off
  EXPECT_EQ(StatusByte(p), sim::usb::kLineCts);
}

TEST_F(Adapter, LoopbackPlugReturnsWhatWasWritten) {
  Plugged p = PlugAdapter();
  ASSERT_EQ(Write(p, {'p', 'i', 'n', 'g'}), STATUS_SUCCESS);
  EXPECT_EQ(Read(p), (std::vector<uint8_t>{'p', 'i', 'n', 'g'}));
}

TEST_F(Adapter, NullModemPairCrossesDataAndLines) {
  Plugged a = PlugAdapter();
  Plugged b = PlugAdapter();
  SerialAdapter::WireNullModem(*a.adapter, *b.adapter);
  EXPECT_EQ(StatusByte(b), 0x00);
  ASSERT_EQ(Write(a, {'t', 'o', ' ', 'b'}), STATUS_SUCCESS);
  ASSERT_EQ(Write(b, {'t', 'o', ' ', 'a'}), STATUS_SUCCESS);
  EXPECT_EQ(Read(b), (std::vector<uint8_t>{'t', 'o', ' ', 'b'}));
  EXPECT_EQ(Read(a), (std::vector<uint8_t>{'t', 'o', ' ', 'a'}));
  ASSERT_EQ(Message(a, {0x01, 0x03}), STATUS_SUCCESS);
  EXPECT_EQ(StatusByte(b), 0x07) << "A's RTS is B's CTS, A's DTR B's DSR and DCD";
  EXPECT_EQ(a.adapter->ModemStatus(), 0x00) << "and nothing came back to A";
}

TEST_F(Adapter, ScriptedPeerSeesBytesAndDrivesTheRingLine) {
  Plugged p = PlugAdapter();
  p.adapter->WireScript();
  ASSERT_EQ(Write(p, {1, 2, 3}), STATUS_SUCCESS);
  EXPECT_EQ(p.adapter->PeerTake(), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(StatusByte(p), 0x00);
  p.adapter->PeerSetLines(sim::usb::kLineRi);
  EXPECT_EQ(StatusByte(p), sim::usb::kLineRi);
}

TEST_F(Adapter, ScriptedPeerIsToldWhenBytesWaitAndHowMuchItMaySend) {
  AdapterConfig config;
  config.receiveFifo = 32;
  Plugged p = PlugAdapter(config);
  p.adapter->WireScript();
  int told = 0;
  p.adapter->SetPeerListener([&] { ++told; });
  ASSERT_EQ(Write(p, {7, 8}), STATUS_SUCCESS);
  EXPECT_GE(told, 1) << "the listener runs when the sent bytes reach the far end";
  EXPECT_EQ(p.adapter->PeerTake(), (std::vector<uint8_t>{7, 8}));
  EXPECT_EQ(p.adapter->PeerRoom(), 32u);
  p.adapter->PeerSend(std::vector<uint8_t>(20, 0x42));
  EXPECT_EQ(p.adapter->PeerRoom(), 12u) << "what the receive FIFO still takes without an overrun";
  p.adapter->SetPeerListener({});
  EXPECT_EQ(Read(p).size(), 20u);
  EXPECT_EQ(p.adapter->PeerRoom(), 32u);
}

TEST_F(Adapter, ReceiveFifoOverflowsWhenNobodyReads) {
  AdapterConfig config;
  config.receiveFifo = 32;
  Plugged p = PlugAdapter(config);
  p.adapter->WireScript();
  p.adapter->PeerSend(std::vector<uint8_t>(100, 0x42));
  EXPECT_EQ(p.adapter->Buffered(), 32u);
  EXPECT_EQ(p.adapter->Overruns(), 68u);
  EXPECT_EQ(Read(p).size(), 32u);
}

TEST_F(Adapter, HardwareFlowThroughTheLoopbackPlugLosesNothingWhenTheHostReadsSlowly) {
  AdapterConfig config;
  config.receiveFifo = 64;
  Plugged p = PlugAdapter(config);
  ASSERT_EQ(Message(p, {0x01, 0x03}), STATUS_SUCCESS);  // RTS and DTR up
  ASSERT_EQ(Message(p, {0x00, 0x44}), STATUS_SUCCESS);  // 8N1, hardware flow
  std::vector<uint8_t> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)i;
  URB write = usbkit::BulkUrb(p.selected.pipes[0].PipeHandle, data.data(), (ULONG)data.size(), 0);
  auto pendingWrite = usbkit::Send(p.top, &write);
  std::vector<uint8_t> received;
  while (received.size() < data.size()) {
    std::vector<uint8_t> chunk = Read(p);
    received.insert(received.end(), chunk.begin(), chunk.end());
  }
  EXPECT_EQ(pendingWrite->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(received, data);
  EXPECT_EQ(p.adapter->Overruns(), 0u) << "CTS dropped by the full FIFO must stop the transmitter";
}

TEST_F(Adapter, PacingCarries11520BytesASecondAt115200Baud8N1) {
  AdapterConfig config;
  config.pacing = true;
  Plugged p = PlugAdapter(config, 65536);
  ASSERT_EQ(Message(p, {0x00, 0x08, 0x01}), STATUS_SUCCESS);
  std::vector<uint8_t> data(11520);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)(i * 7);
  URB write = usbkit::BulkUrb(p.selected.pipes[0].PipeHandle, data.data(), (ULONG)data.size(), 0);
  sim::Tick start = bus.machine.Sched().Now();
  auto pendingWrite = usbkit::Send(p.top, &write);
  std::vector<uint8_t> received;
  while (received.size() < data.size()) {
    std::vector<uint8_t> chunk = Read(p);
    received.insert(received.end(), chunk.begin(), chunk.end());
  }
  sim::Tick took = bus.machine.Sched().Now() - start;
  EXPECT_EQ(pendingWrite->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(received, data);
  EXPECT_GE(took, sim::kTicksPerSecond);
  EXPECT_LE(took, sim::kTicksPerSecond + 2 * sim::kTicksPerMs);
}

TEST_F(Adapter, VariantsChangeTheFirstInterface) {
  AdapterConfig none;
  none.statusEndpoint = false;
  EXPECT_EQ(PlugAdapter(none).selected.pipes.size(), 2u);

  AdapterConfig small;
  small.bulkPacket = 16;
  Plugged p = PlugAdapter(small);
  ASSERT_EQ(p.selected.pipes.size(), 3u);
  EXPECT_EQ(p.selected.pipes[1].MaximumPacketSize, 16);
  ASSERT_EQ(Write(p, std::vector<uint8_t>(40, 1)), STATUS_SUCCESS);
  EXPECT_EQ(Read(p, 64).size(), 40u) << "two full 16-byte packets and a short one";

  AdapterConfig several;
  several.extraInterfaces = 2;
  Plugged q = PlugAdapter(several);
  EXPECT_EQ(q.selected.pipes.size(), 3u) << "only the first interface is selected by the test's request";
  std::vector<uint8_t> config = usbkit::ReadConfiguration(q.top);
  EXPECT_EQ(config[4], 3) << "bNumInterfaces";
}

}  // namespace
