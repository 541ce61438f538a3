// Read requests through the whole stack: each timeout mode with the far end
// sending chosen pieces at chosen times of the machine's clock, reads served
// in order, and a timer left over from one read never ending the next.
#include "tests/port/stack_kit.h"

namespace stacktest {
namespace {

class ReadTimeouts : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rig_.WaitBound());
    port_ = rig_.Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    start_ = porttest::Now();
  }
  void TearDown() override { CloseHandle(port_); }

  StackRig rig_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
  LONGLONG start_ = 0;
};

// The clock moves in steps of the bus's 1 ms frames: a completion is due
// within a few of them.
#define EXPECT_AT_MS(expected) EXPECT_NEAR((double)MsSince(start_), (double)(expected), 3)

TEST_F(ReadTimeouts, ImmediateModeAnswersAtOnceWithWhatTheRingHolds) {
  std::string thirty(30, 'x');
  rig_.Adapter().PeerSend(std::span((const uint8_t*)thirty.data(), thirty.size()));
  ASSERT_TRUE(rig_.RunUntil([&] { return RingCount(&rig_.Port()->RxRing) == 30; }));
  PendingRead all(port_, 100);
  EXPECT_FALSE(all.started) << "answered in the dispatch routine";
  EXPECT_EQ(all.result.status, STATUS_SUCCESS);
  EXPECT_EQ(all.result.bytes, 30u);
  PendingRead none(port_, 100);
  EXPECT_FALSE(none.started);
  EXPECT_EQ(none.result.status, STATUS_SUCCESS);
  EXPECT_EQ(none.result.bytes, 0u);
}

TEST_F(ReadTimeouts, FirstByteModeEndsWithTheFirstTransferOrAfterTheConstant) {
  ASSERT_TRUE(SetTimeouts(port_, MAXULONG, MAXULONG, 500));
  PendingRead silent(port_, 100);
  EXPECT_EQ(silent.Finish().bytes, 0u);
  EXPECT_EQ(silent.result.status, STATUS_SUCCESS) << "a timeout is no error";
  EXPECT_AT_MS(500);

  start_ = porttest::Now();
  FarEnd farEnd(rig_, {{100, "abc"}, {200, "def"}});
  PendingRead first(port_, 100);
  EXPECT_EQ(first.Finish().bytes, 3u);
  EXPECT_AT_MS(100);
  EXPECT_EQ(first.Bytes(), (std::vector<uint8_t>{'a', 'b', 'c'}));
}

TEST_F(ReadTimeouts, TheTotalTimeoutIsLengthTimesMultiplierPlusConstant) {
  ASSERT_TRUE(SetTimeouts(port_, 0, 10, 100));
  FarEnd farEnd(rig_, {{50, std::string(20, 'y')}});
  PendingRead read(port_, 50);
  EXPECT_EQ(read.Finish().bytes, 20u);
  EXPECT_EQ(read.result.status, STATUS_SUCCESS);
  EXPECT_AT_MS(600);
}

TEST_F(ReadTimeouts, TheIntervalTimerRunsOnlyOnceBytesCame) {
  ASSERT_TRUE(SetTimeouts(port_, 50, 0, 0));
  FarEnd farEnd(rig_, {{1000, "ab"}, {1030, "cd"}});
  PendingRead read(port_, 100);
  Sleep(900);
  EXPECT_FALSE(read.Done()) << "no interval runs before the first byte";
  EXPECT_EQ(read.Finish().bytes, 4u);
  EXPECT_AT_MS(1080);
}

TEST_F(ReadTimeouts, WithoutTimeoutsAReadWaitsForItsLength) {
  ASSERT_TRUE(SetTimeouts(port_, 0, 0, 0));
  FarEnd farEnd(rig_, {{100, "123"}, {2000, "4567890"}});
  PendingRead read(port_, 10);
  EXPECT_EQ(read.Finish().bytes, 10u);
  EXPECT_AT_MS(2000);
  EXPECT_EQ(std::string(read.buffer.begin(), read.buffer.end()), "1234567890");
}

// Two reads issued together: the second starts only when the first is done,
// with a total timeout of its own length; bytes go to them in order.
TEST_F(ReadTimeouts, ReadsAreServedInOrderEachWithItsOwnTotalTimeout) {
  ASSERT_TRUE(SetTimeouts(port_, 0, 10, 0));
  PendingRead a(port_, 10), b(port_, 30);
  EXPECT_EQ(a.Finish().bytes, 0u);
  EXPECT_AT_MS(100);
  EXPECT_EQ(b.Finish().bytes, 0u);
  EXPECT_AT_MS(400);

  FarEnd farEnd(rig_, {{0, "0123456789abc"}});
  PendingRead c(port_, 10), d(port_, 3);
  EXPECT_EQ(std::string((char*)c.buffer.data(), c.Finish().bytes), "0123456789");
  EXPECT_EQ(std::string((char*)d.buffer.data(), d.Finish().bytes), "abc");
}

// A timer DPC still queued when a read ends (its timer expired as the bytes
// came) runs after the next read became current: it must not end that one.
TEST_F(ReadTimeouts, ATimerDpcLeftFromOneReadNeverEndsTheNext) {
  ASSERT_TRUE(SetTimeouts(port_, 20, 0, 1000));
  FarEnd farEnd(rig_, {{0, "12345"}});
  PendingRead a(port_, 5);
  EXPECT_EQ(a.Finish().bytes, 5u);
  start_ = porttest::Now();
  PendingRead b(port_, 5);
  PPORT_EXTENSION port = rig_.Port();
  rig_.AsPort([&] {
    KeInsertQueueDpc(&port->InputPipe.ReadTotalTimerDpc, nullptr, nullptr);
    KeInsertQueueDpc(&port->InputPipe.ReadIntervalTimerDpc, nullptr, nullptr);
  });
  Sleep(10);
  EXPECT_FALSE(b.Done()) << "the DPCs of the first read's timers ended the second";
  EXPECT_EQ(b.Finish().bytes, 0u);
  EXPECT_AT_MS(1000);
}

}  // namespace
}  // namespace stacktest
