// Write requests through the whole stack: bytes written on \\.\COM7 leave the
// adapter's UART and come back through the loopback plug or reach the far
// end in order; write timeouts against a far end that holds CTS low; the
// immediate character beside a write; transmit-empty events and the flush.
#include "tests/port/write_kit.h"

namespace stacktest {
namespace {

TEST_F(LoopbackWrites, EverySizeComesBackByteForByte) {
  ASSERT_TRUE(UseHardwareFlow(port_));
  for (size_t size : {1u, 63u, 64u, 65u, 4096u, 1u << 20}) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> sent = Pattern(size, (uint8_t)size);
    PendingRead read(port_, (DWORD)size);
    PendingWrite write(port_, sent);
    EXPECT_EQ(write.Finish().status, STATUS_SUCCESS);
    EXPECT_EQ(write.result.bytes, size);
    EXPECT_EQ(read.Finish().status, STATUS_SUCCESS);
    EXPECT_TRUE(read.Bytes() == sent) << "the bytes read back differ from those written: " << read.result.bytes << " read, first " << (read.result.bytes ? (int)read.Bytes()[0] : -1) << " vs " << (int)sent[0];
    EXPECT_EQ(OutQueue(port_), 0u);
  }
}

TEST_F(LoopbackWrites, RandomWritesInterleavedWithReadsKeepTheStream) {
  ASSERT_TRUE(UseHardwareFlow(port_));
  std::mt19937 random(7);
  std::vector<uint8_t> sent, received;
  ASSERT_TRUE(SetTimeouts(port_, 0, 0, 20));  // each read takes what came within 20 ms
  for (int round = 0; round < 40; ++round) {
    std::vector<uint8_t> piece = Pattern(1 + random() % 700, (uint8_t)round);
    sent.insert(sent.end(), piece.begin(), piece.end());
    PendingWrite write(port_, piece);
    PendingRead read(port_, (DWORD)(1 + random() % 700));
    EXPECT_EQ(write.Finish().status, STATUS_SUCCESS);
    read.Finish();
    std::vector<uint8_t> got = read.Bytes();
    received.insert(received.end(), got.begin(), got.end());
  }
  ASSERT_TRUE(SetTimeouts(port_, 0, 0, 0));
  PendingRead rest(port_, (DWORD)(sent.size() - received.size()));
  rest.Finish();
  std::vector<uint8_t> got = rest.Bytes();
  received.insert(received.end(), got.begin(), got.end());
  EXPECT_TRUE(received == sent);
}

TEST_F(Writes, TwoWritesGoOutInOrderAndRaiseTransmitEmptyOnceAfterTheSecond) {
  ASSERT_TRUE(SetCommMask(port_, EV_TXEMPTY));
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD events = 0;
  ASSERT_FALSE(WaitCommEvent(port_, &events, &overlapped));
  StallFarEnd();
  PendingWrite first(port_, Pattern(600, 1));
  PendingWrite second(port_, Pattern(300, 2));
  ASSERT_TRUE(rig_.RunUntil([&] { return InFlight(); }));
  EXPECT_EQ(OutQueue(port_), 900u) << "both writes count until they complete";
  ReleaseFarEnd();
  EXPECT_EQ(first.Finish().bytes, 600u);
  EXPECT_EQ(second.Finish().bytes, 300u);
  DWORD done = 0;
  EXPECT_TRUE(GetOverlappedResult(port_, &overlapped, &done, TRUE));
  EXPECT_EQ(events, (DWORD)EV_TXEMPTY);
  std::vector<uint8_t> expected = Pattern(600, 1), tail = Pattern(300, 2);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_TRUE(FarEndTakes(900) == expected) << "the far end got the writes out of order";

  ResetEvent(overlapped.hEvent);
  ASSERT_FALSE(WaitCommEvent(port_, &events, &overlapped)) << "transmit-empty was raised more than once";
  SetCommMask(port_, EV_TXEMPTY);  // ends the wait
  GetOverlappedResult(port_, &overlapped, &done, TRUE);
  CloseHandle(overlapped.hEvent);
}

TEST_F(Writes, TheTotalTimeoutCancelsTheStalledWriteWithTheBytesThatWentOut) {
  StallFarEnd();
  ASSERT_TRUE(SetWriteTimeouts(port_, 2, 1000));
  LONGLONG start = porttest::Now();
  PendingWrite write(port_, Pattern(1000));
  write.Finish();
  EXPECT_NEAR((double)MsSince(start), 3000, 5) << "1000 bytes × 2 ms + 1000 ms";
  EXPECT_EQ(write.result.status, STATUS_CANCELLED) << "what the cancelled pipe write ends with; never STATUS_TIMEOUT";
  EXPECT_LT(write.result.bytes, 1000u);
  EXPECT_EQ(OutQueue(port_), 0u);
  ReleaseFarEnd();
  EXPECT_EQ(FarEndTakes(write.result.bytes).size(), write.result.bytes) << "the count is what reached the far end";
}

TEST_F(Writes, WithoutTimeoutsOrWithTheLargestAStalledWriteWaitsForTheFarEnd) {
  StallFarEnd();
  for (DWORD value : {0u, (DWORD)MAXULONG}) {
    SCOPED_TRACE(value);
    ASSERT_TRUE(SetWriteTimeouts(port_, value, value));
    PendingWrite write(port_, Pattern(4096));
    ASSERT_TRUE(rig_.RunUntil([&] { return InFlight(); }));
    Sleep(3000);
    EXPECT_FALSE(write.Done()) << "4096 × MAXULONG + MAXULONG ms must not wrap to a short timeout";
    ReleaseFarEnd();
    EXPECT_EQ(write.Finish().status, STATUS_SUCCESS);
    EXPECT_EQ(write.result.bytes, 4096u);
    FarEndTakes(4096);
    rig_.Adapter().PeerSetLines(sim::usb::kLineDsr);
  }
}

TEST_F(Writes, TheImmediateCharacterGoesBesideAStalledWriteOneAtATime) {
  StallFarEnd();
  PendingWrite write(port_, Pattern(2000));
  ASSERT_TRUE(rig_.RunUntil([&] { return InFlight(); }));
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  char bang = '!';
  DWORD returned = 0;
  ASSERT_FALSE(DeviceIoControl(port_, IOCTL_SERIAL_IMMEDIATE_CHAR, &bang, 1, nullptr, 0, &returned, &overlapped));
  ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
  COMSTAT status{};
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(port_, &errors, &status));
  EXPECT_TRUE(status.fTxim) << "the character in flight is reported";
  EXPECT_FALSE(TransmitCommChar(port_, '?'));
  EXPECT_EQ(LastNtStatus(), STATUS_INVALID_PARAMETER) << "a second character while one is in flight";
  EXPECT_FALSE(DeviceIoControl(port_, IOCTL_SERIAL_IMMEDIATE_CHAR, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(LastNtStatus(), STATUS_INVALID_PARAMETER) << "no character given";

  ReleaseFarEnd();
  EXPECT_TRUE(GetOverlappedResult(port_, &overlapped, &returned, TRUE));
  EXPECT_EQ(write.Finish().bytes, 2000u);
  std::vector<uint8_t> got = FarEndTakes(2001);
  ASSERT_EQ(got.size(), 2001u);
  std::vector<uint8_t> data = Pattern(2000);
  size_t at = std::mismatch(data.begin(), data.end(), got.begin()).first - data.begin();
  EXPECT_EQ(got[at], '!');
  got.erase(got.begin() + (long)at);
  EXPECT_TRUE(got == data) << "the write's bytes stay in order around the character";
  EXPECT_LT(at, 2000u) << "the character went beside the write, not after it";
  ASSERT_TRUE(ClearCommError(port_, &errors, &status));
  EXPECT_FALSE(status.fTxim);
  EXPECT_TRUE(TransmitCommChar(port_, '#'));
  EXPECT_EQ(FarEndTakes(1), Text("#"));
  CloseHandle(overlapped.hEvent);
}

TEST_F(Writes, AFlushReturnsAtOnceWhenIdleAndOtherwiseWhenTheLastWriteIsThrough) {
  EXPECT_TRUE(FlushFileBuffers(port_));
  StallFarEnd();
  PendingWrite first(port_, Pattern(500));
  PendingWrite second(port_, Pattern(500, 3));
  sim::Thread releaser("far end", [&] {
    Sleep(200);
    ReleaseFarEnd();
  });
  EXPECT_TRUE(FlushFileBuffers(port_));
  EXPECT_TRUE(first.Done() && second.Done()) << "the flush returned before the writes were through";
  releaser.Join();
  EXPECT_EQ(second.Finish().bytes, 500u);
}

// A write whose issuer cancelled it before the port could set a cancel
// routine would never be ended by that routine: the dispatch completes it at
// once, rather than leaving it queued behind a stalled write.
TEST_F(Writes, AWriteCancelledBeforeItsDispatchEndsThereUnsent) {
  StallFarEnd();
  PendingWrite stalled(port_, Pattern(1000));
  ASSERT_TRUE(rig_.RunUntil([&] { return InFlight(); }));
  static UCHAR bytes[10] = {1, 2, 3};
  struct Outcome {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 1;
  } outcome;
  NTSTATUS returned = STATUS_PENDING;
  rig_.AsPort([&] {
    PIRP irp = IoAllocateIrp(rig_.PortDevice()->StackSize, FALSE);
    irp->AssociatedIrp.SystemBuffer = bytes;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_WRITE;
    next->Parameters.Write.Length = sizeof bytes;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP done, PVOID context) -> NTSTATUS {
          *(Outcome*)context = {done->IoStatus.Status, done->IoStatus.Information};
          IoFreeIrp(done);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &outcome, TRUE, TRUE, TRUE);
    IoCancelIrp(irp);  // no cancel routine yet: this only marks it
    returned = IofCallDriver(rig_.PortDevice(), irp);
  });
  EXPECT_EQ(returned, STATUS_CANCELLED);
  EXPECT_EQ(outcome.status, STATUS_CANCELLED);
  EXPECT_EQ(outcome.information, 0u);
  EXPECT_EQ(OutQueue(port_), 1000u) << "only the stalled write counts";
  ReleaseFarEnd();
  EXPECT_EQ(stalled.Finish().bytes, 1000u);
  EXPECT_EQ(FarEndTakes(1000).size(), 1000u) << "the cancelled write was sent";
}

TEST_F(Writes, AnUnboundPortSwallowsWritesAndRefusesEmptyOnes) {
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(port_, "", 0, &written, nullptr));
  EXPECT_EQ(LastNtStatus(), STATUS_INVALID_PARAMETER);
  rig_.Pipe().Unplug();
  ASSERT_TRUE(rig_.WaitUnbound());
  PendingWrite swallowed(port_, Pattern(10));
  EXPECT_EQ(swallowed.Finish().status, STATUS_SUCCESS);
  EXPECT_EQ(swallowed.result.bytes, 0u) << "nothing was written";
  EXPECT_FALSE(FlushFileBuffers(port_));
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING) << "nothing to flush to";
  EXPECT_FALSE(TransmitCommChar(port_, 'x'));
  EXPECT_EQ(LastNtStatus(), STATUS_NO_SUCH_DEVICE);
}

}  // namespace
}  // namespace stacktest
