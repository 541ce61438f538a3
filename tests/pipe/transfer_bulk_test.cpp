// Reads and writes on bulk and interrupt pipe files: the loopback through
// the adapter, requests cut into segments as the bus sees them, short
// segments ending a request, zero-length requests, and the requests refused.
#include <algorithm>

#include "tests/pipe/io_kit.h"

namespace pipetest {
namespace {

// A far end the test scripts, a receive FIFO large enough to hold whole
// requests' worth of data, and segments of 4096 bytes on both bulk pipes
// (without a value a segment is one packet).
PipeConfig Scripted() {
  PipeConfig config;
  config.adapter.receiveFifo = 65536;
  config.values = {{u"EP1_SegmentSize", sim::RegistryValue::Dword(4096)},
                   {u"EP2_SegmentSize", sim::RegistryValue::Dword(4096)}};
  return config;
}

class BulkTransfers : public PipeTest {
 protected:
  BulkTransfers() : PipeTest(Scripted()) { rig_.Adapter()->WireScript(); }
};

TEST_F(PipeTest, PatternWrittenToPipe00ComesBackOnPipe01ThroughTheLoopback) {
  HANDLE out = rig_.Open(u"\\PIPE00"), in = rig_.Open(u"\\PIPE01");
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  ASSERT_NE(in, INVALID_HANDLE_VALUE);
  std::vector<uint8_t> pattern = Pattern(300);
  IoResult w = WritePipe(out, pattern.data(), 300);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.bytes, 300u);
  std::vector<uint8_t> back;
  for (int reads = 0; back.size() < 300 && reads < 10; ++reads) {
    uint8_t buffer[4096];
    IoResult r = ReadPipe(in, buffer, sizeof buffer);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    back.insert(back.end(), buffer, buffer + r.bytes);
  }
  EXPECT_EQ(back, pattern);
  CloseHandle(out);
  CloseHandle(in);
}

TEST_F(BulkTransfers, LongReadIsCutIntoSegmentsOfTheSegmentSize) {
  HANDLE in = rig_.Open(u"\\PIPE01");
  std::vector<uint8_t> sent = Pattern(10000, 3);
  rig_.Adapter()->PeerSend(sent);
  BusLog bus(rig_);
  std::vector<uint8_t> buffer(10000);
  IoResult r = ReadPipe(in, buffer.data(), 10000);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 10000u);
  EXPECT_EQ(buffer, sent);
  EXPECT_EQ(Lengths(bus.Transfers(0x82, true)), (std::vector<size_t>{4096, 4096, 1808}));
  CloseHandle(in);
}

TEST(BulkSegments, ShortSegmentEndsTheReadAndTheRestIsNeverAskedFor) {
  UrbFilter filter;
  PipeConfig config = Scripted();
  config.filter = &filter;
  PipeRig rig(config);
  rig.Adapter()->WireScript();
  HANDLE in = rig.Open(u"\\PIPE01");
  rig.Adapter()->PeerSend(Pattern(5096));
  filter.Clear();
  std::vector<uint8_t> buffer(10000);
  IoResult r = ReadPipe(in, buffer.data(), 10000);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 5096u) << "4096 and then the 1000 of the short second segment";
  std::vector<ULONG> asked;
  for (const UrbRecord& urb : filter.Of(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) asked.push_back(urb.length);
  EXPECT_EQ(asked, (std::vector<ULONG>{4096, 4096})) << "the third segment is never sent";
  CloseHandle(in);
}

TEST_F(BulkTransfers, LongWriteGoesOutInSegmentsWithItsBytesInOrder) {
  HANDLE out = rig_.Open(u"\\PIPE00");
  std::vector<uint8_t> pattern = Pattern(10000, 9);
  BusLog bus(rig_);
  IoResult w = WritePipe(out, pattern.data(), 10000);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.bytes, 10000u);
  std::vector<BusRecord> sent = bus.Transfers(0x01, false);
  EXPECT_EQ(Lengths(sent), (std::vector<size_t>{4096, 4096, 1808}));
  std::vector<uint8_t> joined;
  for (const BusRecord& s : sent) joined.insert(joined.end(), s.data.begin(), s.data.end());
  EXPECT_EQ(joined, pattern);
  EXPECT_EQ(rig_.Adapter()->PeerTake(), pattern) << "what reached the far end";
  CloseHandle(out);
}

// A segment the bus fails ends the request with that failure, whatever
// length the URB still shows: the rest is never sent.
TEST(BulkFailures, AFailedSegmentEndsTheRequestWithItsStatus) {
  UrbFilter filter;
  int transfers = 0;
  filter.answer = [&](PURB urb) -> std::optional<NTSTATUS> {
    if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return std::nullopt;
    if (++transfers != 2) return std::nullopt;
    urb->UrbHeader.Status = USBD_STATUS_INSUFFICIENT_RESOURCES;  // its length left as asked
    return STATUS_INSUFFICIENT_RESOURCES;
  };
  PipeConfig config = Scripted();
  config.filter = &filter;
  PipeRig rig(config);
  rig.Adapter()->WireScript();
  HANDLE out = rig.Open(u"\\PIPE00");
  std::vector<uint8_t> pattern = Pattern(10000, 5);
  IoResult w = WritePipe(out, pattern.data(), 10000);
  EXPECT_EQ(w.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(transfers, 2) << "nothing after the failed segment";
  EXPECT_EQ(rig.Adapter()->PeerTake(), std::vector<uint8_t>(pattern.begin(), pattern.begin() + 4096));
  CloseHandle(out);
}

// A lower driver may complete a segment before IoCallDriver returns. The
// next segment must then not be sent from inside that completion: a long
// write of small segments would nest one call chain per segment and run out
// of stack (an application's 1 MB write in 64-byte packets did).
TEST(BulkSegments, SegmentsCompletedAtOnceBelowDoNotNestOnTheStack) {
  UrbFilter filter;
  size_t segments = 0;
  uintptr_t deepest = UINTPTR_MAX, shallowest = 0;
  filter.answer = [&](PURB urb) -> std::optional<NTSTATUS> {
    if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return std::nullopt;
    volatile char probe = 0;
    deepest = std::min(deepest, (uintptr_t)&probe);
    shallowest = std::max(shallowest, (uintptr_t)&probe);
    ++segments;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;  // the whole segment taken at once
    return STATUS_SUCCESS;
  };
  PipeRig rig({.filter = &filter});
  HANDLE out = rig.Open(u"\\PIPE00");
  std::vector<uint8_t> pattern = Pattern(64 * 1024);
  IoResult w = WritePipe(out, pattern.data(), (DWORD)pattern.size());
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.bytes, pattern.size());
  EXPECT_EQ(segments, 1024u) << "one 64-byte packet per segment";
  EXPECT_LT(shallowest - deepest, 64u * 1024) << "stack spanned by the segments' calls to the bus";
  CloseHandle(out);
}

TEST_F(BulkTransfers, WriteOfOneSegmentSizeIsOneTransfer) {
  HANDLE out = rig_.Open(u"\\PIPE00");
  std::vector<uint8_t> pattern = Pattern(4096);
  BusLog bus(rig_);
  EXPECT_EQ(WritePipe(out, pattern.data(), 4096).bytes, 4096u);
  EXPECT_EQ(Lengths(bus.Transfers(0x01, false)), (std::vector<size_t>{4096}));
  CloseHandle(out);
}

TEST_F(BulkTransfers, ZeroLengthReadsAndWritesCompleteAtOnceWithNothingSent) {
  HANDLE out = rig_.Open(u"\\PIPE00"), in = rig_.Open(u"\\PIPE01");
  BusLog bus(rig_);
  uint8_t byte = 0;
  IoResult w = WritePipe(out, &byte, 0);
  IoResult r = ReadPipe(in, &byte, 0);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.bytes, 0u);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_TRUE(bus.Transfers(0x01, false).empty());
  EXPECT_TRUE(bus.Transfers(0x82, false).empty());
  EXPECT_EQ(Ext()->PendingIoCount, 1);
  CloseHandle(out);
  CloseHandle(in);
}

TEST_F(PipeTest, WithoutASegmentSizeValueEachSegmentIsOnePacket) {
  HANDLE out = rig_.Open(u"\\PIPE00");
  std::vector<uint8_t> pattern = Pattern(150);
  BusLog bus(rig_);
  EXPECT_EQ(WritePipe(out, pattern.data(), 150).bytes, 150u);
  EXPECT_EQ(Lengths(bus.Transfers(0x01, false)), (std::vector<size_t>{64, 64, 22}));
  CloseHandle(out);
}

TEST(BulkSegments, SegmentSizeFromTheHardwareKeyCutsTheWrite) {
  PipeConfig config;
  config.values = {{u"EP1_SegmentSize", sim::RegistryValue::Dword(1000)}};
  PipeRig rig(config);
  HANDLE out = rig.Open(u"\\PIPE00");
  std::vector<uint8_t> pattern = Pattern(2500);
  BusLog bus(rig);
  EXPECT_EQ(WritePipe(out, pattern.data(), 2500).bytes, 2500u);
  EXPECT_EQ(Lengths(bus.Transfers(0x01, false)), (std::vector<size_t>{1024, 1024, 452}))
      << "1000 rounded up to whole 64-byte packets";
  CloseHandle(out);
}

TEST_F(PipeTest, InterruptPipeReadsTheLineStatusReport) {
  HANDLE status = rig_.Open(u"\\PIPE02");
  uint8_t report[8] = {};
  IoResult r = ReadPipe(status, report, sizeof report);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 1u) << "the adapter reports its lines once after configuration";
  CloseHandle(status);
}

TEST_F(PipeTest, PipeWithoutAUsableSegmentSizeRefusesItsRequests) {
  HANDLE out = rig_.Open(u"\\PIPE00");
  Ext()->ConfigRecord->PipeTable[0].SegmentSize = 0;
  BusLog bus(rig_);
  uint8_t bytes[16] = {};
  IoResult w = WritePipe(out, bytes, sizeof bytes);
  EXPECT_EQ(w.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(w.bytes, 0u);
  EXPECT_EQ(WritePipe(out, bytes, 0).status, STATUS_SUCCESS) << "nothing to move is still fine";
  EXPECT_TRUE(bus.Transfers(0x01, false).empty());
  CloseHandle(out);
}

TEST(PipeRequests, ControlPipeCannotBeReadOrWritten) {
  PipeConfig config;
  config.adapter.controlAndIsochronous = true;
  PipeRig rig(config);
  HANDLE control = rig.Open(u"\\EP04");
  ASSERT_NE(control, INVALID_HANDLE_VALUE);
  uint8_t bytes[8] = {};
  EXPECT_EQ(WritePipe(control, bytes, 8).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadPipe(control, bytes, 8).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadPipe(control, bytes, 0).status, STATUS_INVALID_PARAMETER) << "the pipe type is checked first";
  CloseHandle(control);
}

TEST_F(PipeTest, ReadsAndWritesAreRefusedWhileTheDeviceIsNotUsable) {
  HANDLE out = rig_.Open(u"\\PIPE00");
  uint8_t bytes[4] = {};
  Ext()->StopPending = TRUE;  // as between query-stop and stop
  EXPECT_EQ(WritePipe(out, bytes, 4).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(WritePipe(out, bytes, 0).status, STATUS_DELETE_PENDING);
  Ext()->StopPending = FALSE;
  EXPECT_EQ(WritePipe(out, bytes, 4).status, STATUS_SUCCESS);
  CloseHandle(out);
}

// Reads and writes in flight on one pipe at once reach the bus in the order
// they were sent, each with its own context.
TEST_F(BulkTransfers, OverlappedReadsCompleteInOrder) {
  HANDLE in = rig_.Open(u"\\PIPE01", FILE_FLAG_OVERLAPPED);
  std::vector<uint8_t> a(100), b(100);
  OVERLAPPED oa{}, ob{};
  oa.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ob.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(ReadFile(in, a.data(), 100, nullptr, &oa));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_FALSE(ReadFile(in, b.data(), 100, nullptr, &ob));
  EXPECT_EQ(Ext()->PendingIoCount, 3) << "each read holds a count while in the bus driver";
  std::vector<uint8_t> first = Pattern(40, 1), second = Pattern(30, 2);
  rig_.Adapter()->PeerSend(first);
  DWORD got = 0;
  EXPECT_TRUE(GetOverlappedResult(in, &oa, &got, TRUE));
  EXPECT_EQ(got, 40u);
  rig_.Adapter()->PeerSend(second);
  EXPECT_TRUE(GetOverlappedResult(in, &ob, &got, TRUE));
  EXPECT_EQ(got, 30u);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), a.begin()));
  EXPECT_TRUE(std::equal(second.begin(), second.end(), b.begin()));
  CloseHandle(oa.hEvent);
  CloseHandle(ob.hEvent);
  CloseHandle(in);
}

}  // namespace
}  // namespace pipetest
