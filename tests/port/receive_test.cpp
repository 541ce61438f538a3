// The receive engine through the whole stack: a long stream through a small
// ring with a slow reader (the retry path), the modem lines from the status
// pipe, and an input pipe that stalls.
#include <atomic>

#include "tests/port/stack_kit.h"

namespace stacktest {
namespace {

class Receive : public ::testing::Test {
 protected:
  void OpenPort() {
    ASSERT_TRUE(rig_.WaitBound());
    port_ = rig_.Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(rig_.WaitBound());
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
  }
  DWORD WaitEvents() {
    DWORD events = 0;
    OVERLAPPED wait = porttest::WithEvent();
    if (!WaitCommEvent(port_, &events, &wait)) GetOverlappedResult(port_, &wait, nullptr, TRUE);
    CloseHandle(wait.hEvent);
    return events;
  }

  StackRig rig_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

// The far end sends as fast as the adapter's receive FIFO takes it, the
// application reads 1000 bytes every 5 ms: the 4 KB ring fills, the engine
// keeps what did not fit and posts no read until a retry stored it, and the
// device holds the rest. Every byte arrives, in order; the ring's filling
// raises SERIAL_EV_RX80FULL and the event character SERIAL_EV_RXFLAG.
TEST_F(Receive, AMegabyteThroughAFourKilobyteRingArrivesWholeAndInOrder) {
  OpenPort();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port_, &dcb));
  dcb.EvtChar = 0x7E;
  ASSERT_TRUE(SetCommState(port_, &dcb));
  ASSERT_TRUE(SetCommMask(port_, EV_RX80FULL | EV_RXFLAG));
  std::atomic<DWORD> seen{0};
  std::atomic<bool> streaming{true};
  sim::Thread waiter("waiter", [&] {
    while (streaming) seen |= WaitEvents();
  });
  const std::vector<uint8_t> stream = pipetest::Pattern(1 << 20);
  sim::Thread farEnd("far end", [&] {
    for (size_t sent = 0; sent < stream.size(); Sleep(1)) {
      size_t room = rig_.Adapter().Config().receiveFifo - rig_.Adapter().Buffered();
      size_t n = std::min(room, stream.size() - sent);
      rig_.Adapter().PeerSend(std::span(stream.data() + sent, n));
      sent += n;
    }
  });
  std::vector<uint8_t> received;
  uint8_t chunk[1000];
  while (received.size() < stream.size()) {
    IoResult r = ReadPipe(port_, chunk, sizeof chunk);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    received.insert(received.end(), chunk, chunk + r.bytes);
    Sleep(5);
  }
  farEnd.Join();
  streaming = false;
  SetCommMask(port_, EV_RX80FULL | EV_RXFLAG);  // ends the last wait
  waiter.Join();
  EXPECT_TRUE(received == stream) << "the stream arrived changed, reordered or short";
  EXPECT_EQ(rig_.Adapter().Overruns(), 0u) << "the device lost bytes to a full FIFO";
  EXPECT_EQ(seen & (EV_RX80FULL | EV_RXFLAG), EV_RX80FULL | EV_RXFLAG);
}

// Each line of the status byte, up and down, becomes its modem status bit
// and raises its event.
TEST_F(Receive, ModemLinesFromTheStatusPipeEveryLineBothEdges) {
  OpenPort();
  ASSERT_TRUE(SetCommMask(port_, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
  ASSERT_TRUE(rig_.RunUntil([&] { return rig_.Port()->StatusPipe.ModemStatus == 0; }));
  EXPECT_EQ(WaitEvents(), EV_CTS | EV_DSR) << "the first report replaced the CTS and DSR the open assumed";
  const struct {
    UCHAR line;
    DWORD status, event;
  } lines[] = {{sim::usb::kLineCts, MS_CTS_ON, EV_CTS},
               {sim::usb::kLineDsr, MS_DSR_ON, EV_DSR},
               {sim::usb::kLineDcd, MS_RLSD_ON, EV_RLSD},
               {sim::usb::kLineRi, MS_RING_ON, EV_RING}};
  for (const auto& each : lines) {
    DWORD status = 0;
    rig_.Adapter().PeerSetLines(each.line);
    EXPECT_EQ(WaitEvents(), each.event);
    EXPECT_TRUE(GetCommModemStatus(port_, &status));
    EXPECT_EQ(status, each.status);
    rig_.Adapter().PeerSetLines(0);
    EXPECT_EQ(WaitEvents(), each.event) << "the falling edge raises it too";
    EXPECT_TRUE(GetCommModemStatus(port_, &status));
    EXPECT_EQ(status, 0u);
  }
}

// A stalled input read ends the loop: reads no longer restart it, and the
// bytes wait in the device. Closing and reopening resets the pipe and
// starts the loop again.
TEST_F(Receive, AStalledInputPipeEndsTheLoopUntilThePortIsReopened) {
  OpenPort();
  ASSERT_TRUE(SetTimeouts(port_, MAXULONG, MAXULONG, 100));
  rig_.Pipe().Usb().SetFaults(rig_.Pipe().Port(), {.stall = {0x82}});
  ASSERT_TRUE(rig_.RunUntil([&] { return !LoopActive(rig_.Port()->InputPipe); }));
  EXPECT_FALSE(rig_.Port()->InputPipe.Stopped) << "dead, not stopped";
  rig_.Pipe().Usb().SetFaults(rig_.Pipe().Port(), {});
  rig_.Adapter().PeerSend(std::span((const uint8_t*)"late", 4));
  uint8_t buffer[8];
  EXPECT_EQ(PendingRead(port_, sizeof buffer).Finish().bytes, 0u) << "a read does not revive a dead loop";
  EXPECT_EQ(rig_.Adapter().Buffered(), 4u) << "the bytes wait in the device";

  CloseHandle(port_);
  port_ = rig_.Open();
  ASSERT_NE(port_, INVALID_HANDLE_VALUE) << "the close of the first handle has not reached the port";
  ASSERT_TRUE(SetTimeouts(port_, MAXULONG, MAXULONG, 100));
  IoResult r = ReadPipe(port_, buffer, sizeof buffer);
  EXPECT_EQ(std::string((char*)buffer, r.bytes), "late");
}

}  // namespace
}  // namespace stacktest
