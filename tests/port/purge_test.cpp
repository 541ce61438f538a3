// Ending writes through the whole stack: purges with each bit and together
// while reads and writes are pending, the caller's own cancellation of a
// queued write and of one in flight, the close of a port with everything
// pending, and an unplug under writes. Each request ends exactly once with a
// status the port documents, the output queue count comes back to 0 and
// nothing of the port is left in merrow.
#include "tests/port/write_kit.h"

namespace stacktest {
namespace {

class Purges : public Writes {
 protected:
  // One write in flight against the stalled far end, two queued behind it.
  void QueueThreeWrites() {
    StallFarEnd();
    inFlight_ = std::make_unique<PendingWrite>(port_, Pattern(1000, 1));
    ASSERT_TRUE(rig_.RunUntil([&] { return InFlight(); }));
    first_ = std::make_unique<PendingWrite>(port_, Pattern(300, 2));
    second_ = std::make_unique<PendingWrite>(port_, Pattern(200, 3));
    ASSERT_EQ(OutQueue(port_), 1500u);
  }
  // Nothing of the port's left in merrow: the binding's hold and one read per loop.
  bool Settled() { return rig_.WaitBound() && !rig_.Port()->CurrentWriteIrp; }

  std::unique_ptr<PendingWrite> inFlight_, first_, second_;
};

TEST_F(Purges, TransmitPurgesEndQueuedWritesAtOnceAndTheOneInFlightWithWhatItSent) {
  for (DWORD flags : {(DWORD)PURGE_TXCLEAR, (DWORD)PURGE_TXABORT, (DWORD)(PURGE_TXABORT | PURGE_TXCLEAR)}) {
    SCOPED_TRACE(flags);
    QueueThreeWrites();
    PendingRead read(port_, 10);
    ASSERT_TRUE(PurgeComm(port_, flags));
    for (PendingWrite* queued : {first_.get(), second_.get()}) {
      EXPECT_EQ(queued->Finish().status, STATUS_CANCELLED);
      EXPECT_EQ(queued->result.bytes, 0u);
    }
    EXPECT_EQ(inFlight_->Finish().status, STATUS_CANCELLED);
    EXPECT_LT(inFlight_->result.bytes, 1000u);
    EXPECT_EQ(OutQueue(port_), 0u);
    EXPECT_FALSE(read.Done()) << "a transmit purge leaves reads alone";
    ReleaseFarEnd();
    EXPECT_EQ(FarEndTakes(inFlight_->result.bytes).size(), inFlight_->result.bytes);
    PendingWrite after(port_, Text("after"));
    EXPECT_EQ(after.Finish().bytes, 5u) << "writes go out again after the purge";
    EXPECT_EQ(FarEndTakes(5), Text("after"));
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXABORT));
    EXPECT_EQ(read.Finish().status, STATUS_CANCELLED);
  }
}

TEST_F(Purges, ReceivePurgesLeaveWritesAloneAndUnknownBitsAreIgnored) {
  QueueThreeWrites();
  PendingRead read(port_, 10);
  rig_.Adapter().PeerSend(std::span((const uint8_t*)"abcdefghijklmn", 14));  // the read takes 10, the ring keeps 4
  EXPECT_EQ(read.Finish().bytes, 10u);
  ASSERT_TRUE(rig_.RunUntil([&] { return RingCount(&rig_.Port()->RxRing) == 4; }));
  ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR | 0xFFFFFFF0));
  EXPECT_EQ(RingCount(&rig_.Port()->RxRing), 0u);
  PendingRead pending(port_, 10);
  ASSERT_TRUE(PurgeComm(port_, PURGE_RXABORT));
  EXPECT_EQ(pending.Finish().status, STATUS_CANCELLED);
  EXPECT_FALSE(first_->Done() || second_->Done() || inFlight_->Done()) << "a receive purge ended a write";
  EXPECT_EQ(OutQueue(port_), 1500u);
  ReleaseFarEnd();
  EXPECT_EQ(inFlight_->Finish().bytes, 1000u);
  EXPECT_EQ(first_->Finish().bytes, 300u);
  EXPECT_EQ(second_->Finish().bytes, 200u);
  EXPECT_EQ(FarEndTakes(1500).size(), 1500u);
}

TEST_F(Purges, ACallerCancelsAQueuedWriteAtOnceAndOneInFlightAtTheNextTick) {
  QueueThreeWrites();
  LONGLONG start = porttest::Now();
  ASSERT_TRUE(CancelIo(port_));
  for (PendingWrite* queued : {first_.get(), second_.get()}) {
    EXPECT_EQ(queued->Finish().status, STATUS_CANCELLED);
    EXPECT_EQ(queued->result.bytes, 0u);
  }
  EXPECT_EQ(inFlight_->Finish().status, STATUS_CANCELLED);
  EXPECT_LE(MsSince(start), 1100) << "the one-second sweep cancels the pipe write";
  EXPECT_EQ(OutQueue(port_), 0u);
  ReleaseFarEnd();
  EXPECT_EQ(FarEndTakes(inFlight_->result.bytes).size(), inFlight_->result.bytes);
  PendingWrite after(port_, Text("next"));
  EXPECT_EQ(after.Finish().bytes, 4u);
  EXPECT_TRUE(Settled());
}

TEST_F(Purges, ClosingWithEverythingPendingEndsItAllAndAReopenWorksAtOnce) {
  QueueThreeWrites();
  PendingRead read(port_, 10);
  ASSERT_TRUE(SetCommMask(port_, EV_RXFLAG));
  OVERLAPPED wait{}, immediate{};
  wait.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  immediate.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD events = 0, returned = 0;
  ASSERT_FALSE(WaitCommEvent(port_, &events, &wait));
  char bang = '!';
  ASSERT_FALSE(DeviceIoControl(port_, IOCTL_SERIAL_IMMEDIATE_CHAR, &bang, 1, nullptr, 0, &returned, &immediate));
  ASSERT_TRUE(CloseHandle(port_));
  HANDLE closed = port_;
  port_ = INVALID_HANDLE_VALUE;
  for (PendingWrite* write : {inFlight_.get(), first_.get(), second_.get()}) EXPECT_EQ(write->Finish().status, STATUS_CANCELLED);
  EXPECT_EQ(read.Finish().status, STATUS_CANCELLED);
  EXPECT_EQ(WaitForSingleObject(immediate.hEvent, 2000), WAIT_OBJECT_0) << "the immediate character stayed in merrow";
  EXPECT_EQ(WaitForSingleObject(wait.hEvent, 2000), WAIT_OBJECT_0);
  EXPECT_EQ((NTSTATUS)immediate.Internal, STATUS_CANCELLED);
  ASSERT_TRUE(rig_.RunUntil([&] { return !rig_.Port()->PortOpen; }));
  EXPECT_TRUE(Settled());
  EXPECT_FALSE(rig_.Port()->CommStatus.WaitForImmediate);

  port_ = rig_.Open(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(port_, INVALID_HANDLE_VALUE) << "the reopen must not wait for anything";
  ASSERT_NE(port_, closed);
  ReleaseFarEnd();
  rig_.Adapter().PeerTake();
  PendingWrite again(port_, Text("again"));
  EXPECT_EQ(again.Finish().bytes, 5u);
  EXPECT_EQ(FarEndTakes(5), Text("again"));
  CloseHandle(wait.hEvent);
  CloseHandle(immediate.hEvent);
}

TEST_F(Purges, AnUnplugEndsEveryWriteAndTheReplugCarriesNewOnes) {
  QueueThreeWrites();
  rig_.Pipe().Unplug();
  for (PendingWrite* write : {inFlight_.get(), first_.get(), second_.get()}) {
    NTSTATUS status = write->Finish().status;
    // What the pipe driver or the bus ended the pipe write with, or the
    // port's own refusal of a write whose target went.
    EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_DELETE_PENDING || status == STATUS_NO_SUCH_DEVICE ||
                status == STATUS_DEVICE_NOT_CONNECTED)
        << std::hex << status;
  }
  ASSERT_TRUE(rig_.WaitUnbound());
  EXPECT_EQ(OutQueue(port_), 0u);
  rig_.Pipe().Replug();
  ASSERT_TRUE(rig_.WaitBound());
  ASSERT_TRUE(UseHardwareFlow(port_));
  rig_.Adapter().PeerSetLines(sim::usb::kLineCts | sim::usb::kLineDsr);
  PendingWrite after(port_, Text("replugged"));
  EXPECT_EQ(after.Finish().bytes, 9u);
  EXPECT_EQ(FarEndTakes(9), Text("replugged"));
}

}  // namespace
}  // namespace stacktest
