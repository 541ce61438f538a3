// Waiting for serial events as an application does it: the wait mask, the
// history of events raised while nobody waited, the one pending wait, its
// cancellation (swept once a second) and its end at cleanup.
#include "tests/port/port_kit.h"

namespace porttest {
namespace {

class WaitMask : public PortTest {
 protected:
  WaitMask() : port_(rig_.Open(FILE_FLAG_OVERLAPPED)), overlapped_(WithEvent()) {}
  ~WaitMask() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    CloseHandle(overlapped_.hEvent);
  }

  void Raise(ULONG events) {
    rig_.AsDriver([&] {
      RaiseWaitEvents(rig_.Device(), events);
      CompleteWaitIfSatisfied(rig_.Device());
    });
  }
  void Receive(ULONG count, UCHAR value = 0x41) {
    std::vector<UCHAR> bytes(count, value);
    rig_.AsDriver([&] {
      StoreReceivedBytes(Ext(), bytes.data(), count);
      CompleteWaitIfSatisfied(rig_.Device());
    });
  }
  // Starts a wait; true when it completed at once (its events in `events_`).
  bool Wait() {
    events_ = 0xDEADBEEF;
    ResetEvent(overlapped_.hEvent);
    if (WaitCommEvent(port_, &events_, &overlapped_)) return true;
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    return false;
  }
  bool Pending() { return WaitForSingleObject(overlapped_.hEvent, 0) == WAIT_TIMEOUT; }

  HANDLE port_;
  OVERLAPPED overlapped_;
  DWORD events_ = 0;
};

TEST_F(WaitMask, EventsRaisedBeforeTheWaitCompleteItAtOnce) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  Receive(3);
  EXPECT_TRUE(Wait());
  EXPECT_EQ(events_, EV_RXCHAR);
}

TEST_F(WaitMask, ACompletedWaitClearsTheWholeHistory) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  Raise(EV_TXEMPTY | EV_RXCHAR);
  EXPECT_TRUE(Wait());
  EXPECT_EQ(events_, EV_RXCHAR) << "only the events the mask asks for";
  ASSERT_TRUE(SetCommMask(port_, EV_TXEMPTY));
  EXPECT_FALSE(Wait()) << "TXEMPTY went with the history the first wait cleared";
  EXPECT_TRUE(Pending());
  Raise(EV_TXEMPTY);
  EXPECT_FALSE(Pending());
  EXPECT_EQ((NTSTATUS)overlapped_.Internal, STATUS_SUCCESS);
  EXPECT_EQ(overlapped_.InternalHigh, 4u);
  EXPECT_EQ(events_, EV_TXEMPTY);
}

// The application's mask variable is written with zero: a program that tests
// its bits after the wait must not find what the variable held before.
TEST_F(WaitMask, ANewMaskEndsAPendingWaitWithAZeroMaskAndKeepsTheHistory) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  EXPECT_FALSE(Wait());
  Raise(EV_CTS);
  EXPECT_TRUE(Pending()) << "an event outside the mask does not end the wait";
  ASSERT_TRUE(SetCommMask(port_, EV_CTS));
  EXPECT_FALSE(Pending());
  DWORD returned = 0xDEADBEEF;
  EXPECT_TRUE(GetOverlappedResult(port_, &overlapped_, &returned, FALSE));
  EXPECT_EQ(returned, sizeof(DWORD));
  EXPECT_EQ(events_, 0u) << "the mask variable still holds what it held before the wait";
  EXPECT_TRUE(Wait()) << "the CTS raised before the new mask is still in the history";
  EXPECT_EQ(events_, EV_CTS);
}

TEST_F(WaitMask, AWaitNeedsAMaskAndThereIsOnlyOnePendingWait) {
  DWORD events = 0;
  EXPECT_FALSE(WaitCommEvent(port_, &events, &overlapped_));
  EXPECT_EQ(LastNtStatus(), STATUS_INVALID_PARAMETER) << "no mask set";

  ASSERT_TRUE(SetCommMask(port_, EV_RING));
  EXPECT_FALSE(Wait());
  OVERLAPPED second = WithEvent();
  EXPECT_FALSE(WaitCommEvent(port_, &events, &second));
  EXPECT_EQ(LastNtStatus(), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Pending()) << "the first wait stays";
  Raise(EV_RING);
  EXPECT_FALSE(Pending());
  EXPECT_EQ(events_, EV_RING);
  CloseHandle(second.hEvent);
}

TEST_F(WaitMask, AMaskOfEventsThePortNeverRaisesIsAcceptedAndNeverFires) {
  ASSERT_TRUE(SetCommMask(port_, EV_BREAK | EV_ERR));
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(port_, &mask));
  EXPECT_EQ(mask, EV_BREAK | EV_ERR);
  EXPECT_FALSE(Wait());
  Receive(10);
  Raise(EV_TXEMPTY | EV_CTS | EV_DSR);
  EXPECT_TRUE(Pending());
}

TEST_F(WaitMask, ACancelledWaitEndsAtTheNextSweepWithinASecond) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  EXPECT_FALSE(Wait());
  LONGLONG start = Now();
  EXPECT_TRUE(CancelIo(port_));
  EXPECT_TRUE(Pending()) << "the wait has no cancel routine: the sweep finds it";
  EXPECT_EQ(WaitForSingleObject(overlapped_.hEvent, 2000), WAIT_OBJECT_0);
  LONGLONG elapsed = Now() - start;
  EXPECT_GT(elapsed, 0);
  EXPECT_LE(elapsed, 1000 * kMs) << "the I/O timer ticks once a second";
  EXPECT_EQ((NTSTATUS)overlapped_.Internal, STATUS_CANCELLED);
  EXPECT_EQ(overlapped_.InternalHigh, 0u);
  Receive(1);
  EXPECT_TRUE(Wait()) << "the history survives a cancelled wait";
  EXPECT_EQ(events_, EV_RXCHAR);
}

TEST_F(WaitMask, CleanupEndsAPendingWaitWithSuccessAndAZeroMask) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  EXPECT_FALSE(Wait());
  CloseHandle(port_);
  port_ = INVALID_HANDLE_VALUE;
  EXPECT_EQ(WaitForSingleObject(overlapped_.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ((NTSTATUS)overlapped_.Internal, STATUS_SUCCESS);
  EXPECT_EQ(overlapped_.InternalHigh, sizeof(DWORD));
  EXPECT_EQ(events_, 0u) << "the mask variable still holds what it held before the wait";
}

TEST_F(WaitMask, TheMaskOutlivesACloseAndTheHistoryDoesNot) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_DSR));
  Raise(EV_DSR);
  CloseHandle(port_);
  port_ = rig_.Open(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(port_, INVALID_HANDLE_VALUE);
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(port_, &mask));
  EXPECT_EQ(mask, EV_RXCHAR | EV_DSR);
  EXPECT_FALSE(Wait()) << "the DSR raised before the close is forgotten";
}

TEST_F(WaitMask, TheReceiveRingRaisesRx80FullFrom80PercentOn) {
  ASSERT_TRUE(SetCommMask(port_, EV_RX80FULL));
  Receive(3276);
  EXPECT_FALSE(Wait()) << "3276 of 4096 is 79 %";
  Receive(1);
  EXPECT_FALSE(Pending()) << "3277 of 4096 is 80 %";
  EXPECT_EQ(events_, EV_RX80FULL);
  EXPECT_FALSE(Wait());
  Receive(1);
  EXPECT_FALSE(Pending()) << "raised again at every store above the threshold";
}

TEST_F(WaitMask, Rx80FullArithmeticHoldsForLargeQueues) {
  EXPECT_FALSE(SetupComm(port_, 64u << 20, 4096)) << "unbound: the loop restart fails, the ring is replaced";
  ASSERT_EQ(Ext()->RxRing.Size, 64u << 20);
  ASSERT_TRUE(SetCommMask(port_, EV_RX80FULL));
  Ext()->RxRing.Count = (ULONG)((64ull << 20) * 79 / 100);  // as if 79 % had arrived
  Ext()->RxRing.WriteIndex = Ext()->RxRing.Count;
  Receive(1);
  EXPECT_FALSE(Wait()) << "Count × 100 must not wrap in 32 bits";
  Ext()->RxRing.Count = (ULONG)((64ull << 20) * 80 / 100);
  Ext()->RxRing.WriteIndex = Ext()->RxRing.Count;
  Receive(1);
  EXPECT_FALSE(Pending());
}

TEST_F(WaitMask, TheEventCharacterAmongStoredBytesRaisesRxFlag) {
  SERIAL_CHARS chars{};
  chars.EventChar = '\r';
  ASSERT_EQ(Ioctl(port_, IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars).status, STATUS_SUCCESS);
  ASSERT_TRUE(SetCommMask(port_, EV_RXFLAG));
  Receive(5, 'a');
  EXPECT_FALSE(Wait());
  Receive(1, '\r');
  EXPECT_FALSE(Pending());
  EXPECT_EQ(events_, EV_RXFLAG);
}

TEST_F(WaitMask, AnImmediateWaitCompletesWithTheSerialBoost) {
  HANDLE sync = INVALID_HANDLE_VALUE;
  CloseHandle(port_);
  sync = rig_.Open();
  port_ = sync;
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  Receive(1);
  DWORD events = 0;
  EXPECT_TRUE(WaitCommEvent(port_, &events, nullptr));
  EXPECT_EQ(events, EV_RXCHAR);
  EXPECT_EQ(LastIoBoost(), IO_SERIAL_INCREMENT);
}

TEST_F(WaitMask, AShortOutputBufferAndARemovedPortAreRefused) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  Receive(1);
  ULONG small = 0;
  EXPECT_EQ(Ioctl(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &small, 3).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Ioctl(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, nullptr, 0).status, STATUS_INVALID_PARAMETER);
  Ext()->Removed = TRUE;
  EXPECT_EQ(Ioctl(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &small, 4).status, STATUS_DELETE_PENDING);
  Ext()->Removed = FALSE;
  EXPECT_TRUE(Wait()) << "the refused waits left the history alone";
}

}  // namespace
}  // namespace porttest
