// A device that misbehaves under a bound port: zero-length packets forever, a
// status byte with its high bits set, a status report longer than asked for,
// an input pipe with a maximum packet size of 0 or 4096. Each ends with a
// documented status, nothing acknowledged is lost, and the verifier and the
// unload check see no fault or leak.
#include "tests/port/stack_kit.h"

namespace stacktest {
namespace {

using sim::usb::Handshake;
using sim::usb::PacketResult;

// An adapter whose endpoints answer as a test says; the rest as the adapter.
class OddAdapter : public sim::usb::SerialAdapter {
 public:
  using Answer = std::function<std::optional<PacketResult>(UCHAR endpoint, std::span<uint8_t> packet)>;
  OddAdapter(sim::usb::AdapterConfig config, Answer answer, USHORT inPacket = 0)
      : SerialAdapter(config), answer_(std::move(answer)), descriptors_(SerialAdapter::Descriptors()) {
    if (inPacket != 0xFFFF) return;
    // An endpoint descriptor of bulk IN 0x82 claiming a packet size of 0.
    sim::usb::Bytes& block = descriptors_.configurations[0];
    for (size_t at = 0; at + 7 <= block.size(); at += block[at])
      if (block[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && block[at + 2] == 0x82) block[at + 4] = block[at + 5] = 0;
  }
  const sim::usb::DescriptorSet& Descriptors() const override { return descriptors_; }
  PacketResult In(UCHAR endpoint, std::span<uint8_t> packet) override {
    if (answer_)
      if (std::optional<PacketResult> r = answer_(endpoint, packet)) return *r;
    PacketResult r = SerialAdapter::In(endpoint, packet);
    if (endpoint == 0x83 && r.length) packet[0] |= highBits;
    return r;
  }
  UCHAR highBits = 0;  // set in every status byte the adapter reports

 private:
  Answer answer_;
  sim::usb::DescriptorSet descriptors_;
};

constexpr USHORT kZeroPacket = 0xFFFF;

StackConfig WithModel(OddAdapter::Answer answer, USHORT inPacket = 0) {
  StackConfig config;
  config.pipe.adapter.bulkPacket = inPacket == kZeroPacket ? 0 : inPacket;
  config.pipe.model = std::make_shared<OddAdapter>(config.pipe.adapter, std::move(answer), inPacket);
  return config;
}

HANDLE OpenBound(StackRig& rig) {
  EXPECT_TRUE(rig.WaitBound());
  HANDLE port = rig.Open(FILE_FLAG_OVERLAPPED);
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetTimeouts(port, MAXULONG, MAXULONG, 200));
  return port;
}

// On the wire (timed bus) each empty transfer ends with its frame, so the
// loop reads one per millisecond, as on hardware.
TEST(DeviceBadInput, ZeroLengthPacketsForeverRaiseNothingAndReadsTimeOut) {
  StackConfig config = WithModel([](UCHAR endpoint, std::span<uint8_t>) -> std::optional<PacketResult> {
    if (endpoint == 0x82) return PacketResult{Handshake::Ack, 0};
    return std::nullopt;
  });
  config.pipe.bus.timed = true;
  StackRig rig(config);
  HANDLE port = OpenBound(rig);
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  OVERLAPPED wait = porttest::WithEvent();
  DWORD events = 0;
  EXPECT_FALSE(WaitCommEvent(port, &events, &wait));
  PendingRead read(port, 16);
  EXPECT_EQ(read.Finish().status, STATUS_SUCCESS);
  EXPECT_EQ(read.result.bytes, 0u);
  EXPECT_EQ(WaitForSingleObject(wait.hEvent, 0), (DWORD)WAIT_TIMEOUT) << "an empty transfer is no character";
  EXPECT_TRUE(rig.Port()->InputPipe.LoopActive) << "the loop goes on reading";
  CloseHandle(port);
  CloseHandle(wait.hEvent);
}

TEST(DeviceBadInput, TheHighBitsOfAStatusByteMeanNothing) {
  StackConfig config = WithModel(nullptr);
  std::static_pointer_cast<OddAdapter>(config.pipe.model)->highBits = 0xF0;
  StackRig rig(config);
  HANDLE port = OpenBound(rig);
  rig.Adapter().PeerSetLines(sim::usb::kLineCts | sim::usb::kLineDcd);
  DWORD status = 0;
  EXPECT_TRUE(rig.RunUntil([&] { return GetCommModemStatus(port, &status) && status == (MS_CTS_ON | MS_RLSD_ON); }))
      << "status " << status;
  CloseHandle(port);
}

// Eight bytes of status to a one-byte read: the bus reports the overrun and
// the status loop ends; the data path goes on.
TEST(DeviceBadInput, AStatusReportLongerThanAskedForEndsOnlyTheStatusLoop) {
  StackRig rig(WithModel([](UCHAR endpoint, std::span<uint8_t> packet) -> std::optional<PacketResult> {
    if (endpoint != 0x83) return std::nullopt;
    std::fill(packet.begin(), packet.end(), 0x03);
    return PacketResult{Handshake::Ack, packet.size()};
  }));
  HANDLE port = OpenBound(rig);
  ASSERT_TRUE(rig.RunUntil([&] { return !LoopActive(rig.Port()->StatusPipe); }));
  rig.Adapter().PeerSend(std::span((const uint8_t*)"data", 4));
  PendingRead read(port, 4);
  EXPECT_EQ(std::string((char*)read.buffer.data(), read.Finish().bytes), "data");
  CloseHandle(port);
}

// An input pipe whose packet size is more than the receive buffer (2000, the
// largest a full-speed descriptor can claim short of the bus refusing it) is
// read in buffer-sized reads, and its bytes arrive. One that claims 4096
// (more than a descriptor can carry: the bus takes it as 0) or 0 keeps the
// read length within the buffer, and the bus answers every read with an
// error, which ends the loop: reads end by their timeouts with nothing, and
// the bytes wait in the device.
TEST(DeviceBadInput, OddPacketSizesNeverOverrunTheReceiveBuffer) {
  for (auto [packet, arrives] : {std::pair{(USHORT)2000, true}, {(USHORT)4096, false}, {kZeroPacket, false}}) {
    SCOPED_TRACE(packet);
    StackRig rig(WithModel(nullptr, packet));
    HANDLE port = OpenBound(rig);
    EXPECT_EQ(rig.Port()->InputPipe.Length, RECEIVE_BUFFER_SIZE);
    rig.Adapter().PeerSend(std::span((const uint8_t*)"kept", 4));
    PendingRead read(port, 4);
    EXPECT_EQ(read.Finish().status, STATUS_SUCCESS);
    EXPECT_EQ(read.result.bytes, arrives ? 4u : 0u);
    EXPECT_EQ(rig.Adapter().Buffered(), arrives ? 0u : 4u);
    CloseHandle(port);
  }
}

}  // namespace
}  // namespace stacktest
