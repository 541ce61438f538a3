// Isochronous reads on the adapter variant with an isochronous IN endpoint
// (0x85, 192-byte packets at full speed): the packet table and start frame
// as the bus sees them, a frame-number answer that pends, pipes that cannot
// carry a request, and the statistics the transfers feed.
#include "tests/pipe/io_kit.h"

namespace pipetest {
namespace {

// The adapter with its control (0x04) and isochronous IN (0x85) endpoints,
// whose isochronous endpoint fills every packet it is given.
class StreamingAdapter : public sim::usb::SerialAdapter {
 public:
  using SerialAdapter::SerialAdapter;
  sim::usb::PacketResult In(UCHAR endpoint, std::span<uint8_t> packet) override {
    if (endpoint != 0x85) return SerialAdapter::In(endpoint, packet);
    for (size_t i = 0; i < packet.size(); ++i) packet[i] = (uint8_t)i;
    return {sim::usb::Handshake::Ack, packet.size()};
  }
};

PipeConfig Isochronous(sim::usb::DeviceFaults faults = {}) {
  PipeConfig config;
  config.adapter.controlAndIsochronous = true;
  config.model = std::make_shared<StreamingAdapter>(config.adapter);
  config.faults = faults;
  return config;
}

class IsochTransfers : public PipeTest {
 protected:
  IsochTransfers(PipeConfig config = Isochronous()) : PipeTest(std::move(config)) {
    iso_ = rig_.Open(u"\\EA85", FILE_FLAG_OVERLAPPED);
  }
  ~IsochTransfers() override { CloseHandle(iso_); }
  PPIPE_TABLE_ENTRY Entry() { return &Ext()->ConfigRecord->PipeTable[4]; }
  // Reads `length` bytes with the byte offset (high, low); waits for it.
  IoResult Read(std::vector<uint8_t>& buffer, DWORD high = 0, DWORD low = 0) {
    OVERLAPPED o{};
    o.Offset = low;
    o.OffsetHigh = high;
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    BOOL ok = ReadFile(iso_, buffer.data(), (DWORD)buffer.size(), nullptr, &o);
    NTSTATUS status = ok ? STATUS_SUCCESS : LastNtStatus();
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      ok = GetOverlappedResult(iso_, &o, &bytes, TRUE);
      status = (NTSTATUS)o.Internal;
    } else {
      bytes = ok ? (DWORD)o.InternalHigh : 0;
    }
    CloseHandle(o.hEvent);
    return {status, bytes};
  }
  PIPE_STATISTICS Statistics() {
    PIPE_STATISTICS s{0xDEAD, 0xBEEF};
    EXPECT_EQ(Ioctl(iso_, IOCTL_PIPE_GET_STATISTICS, nullptr, 0, &s, sizeof s).status, STATUS_SUCCESS);
    return s;
  }
  HANDLE iso_;
};

TEST_F(IsochTransfers, ReadBecomesOneTransferOfWholePacketsScheduledAsSoonAsPossible) {
  std::vector<uint8_t> buffer(1000);
  BusLog bus(rig_);
  IoResult r = Read(buffer);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 1000u);
  EXPECT_EQ(buffer[192], 0) << "each packet lands at its own offset";
  EXPECT_EQ(buffer[999], 39);
  std::vector<BusRecord> sent = bus.Transfers(0x85, false);
  ASSERT_EQ(sent.size(), 1u);
  std::vector<ULONG> offsets;
  for (const USBD_ISO_PACKET_DESCRIPTOR& p : sent[0].packets) offsets.push_back(p.Offset);
  EXPECT_EQ(offsets, (std::vector<ULONG>{0, 192, 384, 576, 768, 960}));
  bool resetFirst = false;
  for (const BusRecord& record : bus.Records()) {
    if (record.function == URB_FUNCTION_RESET_PIPE) resetFirst = true;
    if (record.function == URB_FUNCTION_ISOCH_TRANSFER) break;
  }
  EXPECT_TRUE(resetFirst) << "the pipe is reset before the transfer";
  EXPECT_TRUE(bus.Transfers(0x85, true).size() == 1);
}

TEST(IsochUrb, LayoutForAThousandBytesOf192BytePackets) {
  UrbFilter filter;
  PipeConfig config = Isochronous();
  config.filter = &filter;
  ULONG urbLength = 0, flags = 0, packets = 0;
  filter.answer = [&](PURB urb) -> std::optional<NTSTATUS> {
    if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
      urbLength = urb->UrbHeader.Length;
      flags = urb->UrbIsochronousTransfer.TransferFlags;
      packets = urb->UrbIsochronousTransfer.NumberOfPackets;
    }
    return std::nullopt;
  };
  PipeRig rig(config);
  HANDLE iso = rig.Open(u"\\EA85");
  std::vector<uint8_t> buffer(1000);
  EXPECT_EQ(ReadPipe(iso, buffer.data(), 1000).status, STATUS_SUCCESS);
  EXPECT_EQ(packets, 6u);
  EXPECT_EQ(urbLength, GET_ISO_URB_SIZE(6)) << "168 bytes on x86";
  EXPECT_EQ(flags, (ULONG)(USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP));
  CloseHandle(iso);
}

TEST_F(IsochTransfers, ByteOffsetWithAHighPartSchedulesThatManyFramesAhead) {
  Sleep(100);  // away from frame 0, so a start frame computed from a stale number would show
  ULONG now = rig_.Usb().FrameNumber();
  std::vector<uint8_t> buffer(400);
  BusLog bus(rig_);
  IoResult r = Read(buffer, 1, 8);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 400u);
  std::vector<BusRecord> sent = bus.Transfers(0x85, false);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].startFrame, now + 8);
}

class IsochPending : public IsochTransfers {
 protected:
  static sim::usb::DeviceFaults AllPending() {
    sim::usb::DeviceFaults faults;
    faults.forcePending = true;
    return faults;
  }
  IsochPending() : IsochTransfers(Isochronous(AllPending())) {}
};

TEST_F(IsochPending, FrameNumberAnsweredLaterIsWaitedFor) {
  Sleep(100);
  ULONG now = rig_.Usb().FrameNumber();
  std::vector<uint8_t> buffer(192);
  BusLog bus(rig_);
  IoResult r = Read(buffer, 1, 8);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  std::vector<BusRecord> sent = bus.Transfers(0x85, false);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].startFrame, now + 8) << "not 0xFFFFFFFF + 8";
}

TEST_F(IsochTransfers, PipeWithoutPacketSizeRefusesBeforeSendingAnything) {
  Entry()->PipeInfo->MaximumPacketSize = 0;
  std::vector<uint8_t> buffer(100);
  BusLog bus(rig_);
  IoResult r = Read(buffer);
  EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(r.bytes, 0u);
  std::vector<uint8_t> none;
  EXPECT_EQ(ReadPipe(iso_, none.data(), 0).status, STATUS_SUCCESS);
  EXPECT_TRUE(bus.Records().empty()) << "no reset, no transfer";
  EXPECT_EQ(Ext()->PendingIoCount, 1);
}

// A URB's 16-bit length bounds its packets: one more than fits is refused
// before anything is sent; as many as fit go to the bus, which has its own
// limit and refuses them there.
TEST_F(IsochTransfers, MorePacketsThanOneUrbCanDescribeAreRefused) {
  size_t fitting = (0xFFFF - sizeof(struct _URB_ISOCH_TRANSFER)) / sizeof(USBD_ISO_PACKET_DESCRIPTOR);
  std::vector<uint8_t> tooMany(fitting * 192 + 1);
  BusLog refused(rig_);
  EXPECT_EQ(Read(tooMany).status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(refused.Records().empty());

  std::vector<uint8_t> most(fitting * 192);
  BusLog sent(rig_);
  EXPECT_EQ(Read(most).status, STATUS_INVALID_PARAMETER) << "the bus takes at most 1024 packets";
  bool isoch = false;
  for (const BusRecord& r : sent.Records()) isoch |= r.function == URB_FUNCTION_ISOCH_TRANSFER;
  EXPECT_TRUE(isoch) << "the URB was built and sent";
}

TEST_F(IsochTransfers, StatisticsNeverStartedReadAsZero) {
  PIPE_STATISTICS s = Statistics();
  EXPECT_EQ(s.Throughput, 0u);
  EXPECT_EQ(s.CyclesPerByte, 0u);
}

TEST_F(IsochTransfers, StatisticsRightAfterStartAreZeroAndTheTicksBecomeOne) {
  ASSERT_EQ(Ioctl(iso_, IOCTL_PIPE_START_STATISTICS).status, STATUS_SUCCESS);
  PIPE_STATISTICS s = Statistics();
  EXPECT_EQ(s.Throughput, 0u);
  EXPECT_EQ(s.CyclesPerByte, 0u);
  EXPECT_EQ(Entry()->CounterTicks, 1);
}

// Bytes per second over the time the transfers took on the bus's clock: at
// full speed one 192-byte packet a frame can never exceed 192000 bytes a
// second, and six packets take six or seven frames.
TEST_F(IsochTransfers, StatisticsReportTheBytesPerSecondTheTransfersAchieved) {
  ASSERT_EQ(Ioctl(iso_, IOCTL_PIPE_START_STATISTICS).status, STATUS_SUCCESS);
  std::vector<uint8_t> buffer(1152);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(Read(buffer).bytes, 1152u);
  EXPECT_EQ(Entry()->TotalBytes, 4u * 1152);
  PIPE_STATISTICS s = Statistics();
  EXPECT_GT(s.Throughput, 100000u);
  EXPECT_LE(s.Throughput, 192000u);
  EXPECT_EQ(s.Throughput, (ULONG)(Entry()->TotalBytes * 10000000 / (ULONG)Entry()->CounterTicks));
  EXPECT_GT(s.CyclesPerByte, 0u);

  ASSERT_EQ(Ioctl(iso_, IOCTL_PIPE_STOP_STATISTICS).status, STATUS_SUCCESS);
  ASSERT_EQ(Read(buffer).bytes, 1152u);
  EXPECT_EQ(Entry()->TotalBytes, 4u * 1152) << "stopped statistics keep their counters";
  EXPECT_EQ(Statistics().Throughput, s.Throughput);
}

// Two transfers in flight on the pipe at once: each completion adds the time
// and cycles its own transfer took, so the totals stay within twice the span
// both took together.
TEST_F(IsochTransfers, OverlappingTransfersEachCountTheirOwnTime) {
  ASSERT_EQ(Ioctl(iso_, IOCTL_PIPE_START_STATISTICS).status, STATUS_SUCCESS);
  std::vector<uint8_t> first(1152), second(1152);
  OVERLAPPED a{}, b{};
  a.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  b.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Sleep(2000);  // the counters' absolute values grow far beyond what two transfers take
  LONGLONG ticks = KeQueryPerformanceCounter(nullptr).QuadPart;
  ULONGLONG cycles = ReadTimeStampCounter();
  ReadFile(iso_, first.data(), (DWORD)first.size(), nullptr, &a);
  ReadFile(iso_, second.data(), (DWORD)second.size(), nullptr, &b);
  DWORD bytes = 0;
  EXPECT_TRUE(GetOverlappedResult(iso_, &a, &bytes, TRUE));
  EXPECT_TRUE(GetOverlappedResult(iso_, &b, &bytes, TRUE));
  ticks = KeQueryPerformanceCounter(nullptr).QuadPart - ticks;
  cycles = ReadTimeStampCounter() - cycles;
  EXPECT_EQ(Entry()->TotalBytes, 2u * 1152);
  EXPECT_LE(Entry()->CounterTicks, 2 * ticks);
  EXPECT_LE((ULONGLONG)Entry()->CycleCount, 2 * cycles) << "a start overwritten by the other transfer's";
  CloseHandle(a.hEvent);
  CloseHandle(b.hEvent);
}

}  // namespace
}  // namespace pipetest
