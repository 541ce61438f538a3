// The adapter going away under an open port: unplugged (surprise removal),
// removed in order, or a removal the system cancels; the port lets go of
// merrow without ever holding its removal back, keeps the application's
// handle valid, and binds again when the device comes back.
#include <atomic>
#include <chrono>
#include <thread>

#include "sim/kernel/thread.h"
#include "tests/port/stack_kit.h"

namespace stacktest {
namespace {

class TargetRemoval : public ::testing::Test {
 protected:
  explicit TargetRemoval(StackConfig config = {}) : rig_(config) {}
  void SetUp() override {
    ASSERT_TRUE(rig_.WaitBound());
    port_ = rig_.Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetTimeouts(port_, 0, 0, 0));  // reads wait for their length
  }
  void TearDown() override { CloseHandle(port_); }

  StackRig rig_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

// Unplugged with a read pending and settings the device was told; plugged
// in again, the port binds anew, replays its settings to the reset device and
// reads again, all on the application's first handle.
TEST_F(TargetRemoval, UnplugEndsPendingReadsAndTheReplugResumesTheOpenPort) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port_, &dcb));
  dcb.BaudRate = 9600;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  ASSERT_TRUE(SetCommState(port_, &dcb));
  ASSERT_TRUE(EscapeCommFunction(port_, SETRTS));
  PendingRead pending(port_, 10);
  ASSERT_TRUE(pending.started);

  rig_.Pipe().Unplug();
  EXPECT_EQ(pending.Finish().status, STATUS_CANCELLED);
  EXPECT_EQ(pending.result.bytes, 0u);
  EXPECT_TRUE(rig_.WaitUnbound());
  EXPECT_EQ(rig_.Machine().Pnp().LoadedDriver(u"merrow"), nullptr) << "nothing of the port held merrow's device";
  EXPECT_TRUE(GetCommState(port_, &dcb)) << "the handle stays valid";
  EXPECT_EQ(dcb.BaudRate, 9600u);

  size_t before = rig_.Adapter().Messages().size();
  ASSERT_TRUE(rig_.Pipe().Replug());
  ASSERT_TRUE(rig_.WaitBound());
  EXPECT_EQ(rig_.MessagesSince(before), (std::vector<std::vector<uint8_t>>{{0x00, 0x10}, {0x01, 0x01}}))
      << "the settings (9600 7E1, RTS up) replayed";
  EXPECT_EQ(rig_.Adapter().Line().baud, 9600u);
  EXPECT_TRUE(rig_.Adapter().Rts());
  rig_.Adapter().PeerSend(std::span((const uint8_t*)"back again", 10));
  PendingRead again(port_, 10);
  EXPECT_EQ(std::string((char*)again.buffer.data(), again.Finish().bytes), "back again");
}

// An orderly removal of the adapter goes through: the port closes its pipes
// and releases merrow's device at the query, then goes unbound.
TEST_F(TargetRemoval, AnOrderlyRemovalIsNeverHeldBackByThePort) {
  PendingRead pending(port_, 10);
  EXPECT_TRUE(rig_.Pipe().Remove());
  EXPECT_EQ(pending.Finish().status, STATUS_CANCELLED);
  EXPECT_TRUE(rig_.WaitUnbound());
  PPORT_EXTENSION port = rig_.Port();
  EXPECT_FALSE(port->OutputPipeOpen || port->InputPipeOpen || port->StatusPipeOpen);
  EXPECT_EQ(port->TargetNotificationEntry, nullptr);
  EXPECT_EQ(rig_.Machine().Pnp().LoadedDriver(u"merrow"), nullptr);
  PendingRead unbound(port_, 10);
  EXPECT_TRUE(unbound.started) << "an unbound open port still takes reads";
  EXPECT_TRUE(PurgeComm(port_, PURGE_RXABORT));
  EXPECT_EQ(unbound.Finish().status, STATUS_CANCELLED);
}

// Another application holds merrow's device open: the system refuses the
// removal after the port let go at the query. The port binds the device
// again, with one binding hold, so a later unplug drains to idle.
TEST_F(TargetRemoval, ACancelledRemovalBindsTheSameDeviceAgain) {
  HANDLE other = rig_.Pipe().Open(u"");
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(rig_.Pipe().Remove()) << "the other handle vetoes it";
  ASSERT_TRUE(rig_.WaitBound());
  EXPECT_EQ(rig_.Port()->TargetDeviceObject, rig_.Pipe().Device());
  rig_.Adapter().PeerSend(std::span((const uint8_t*)"still here", 10));
  PendingRead read(port_, 10);
  EXPECT_EQ(std::string((char*)read.buffer.data(), read.Finish().bytes), "still here");

  CloseHandle(other);
  rig_.Pipe().Unplug();
  EXPECT_TRUE(rig_.WaitUnbound()) << "a binding hold left over keeps the drain from ever ending";
}

}  // namespace
}  // namespace stacktest

namespace stacktest {
namespace {

// The port is removed while the adapter it names arrives: the arrival's walk
// of the ports, the binding work and the removal run on three threads, in an
// order each seed of the delay fuzzer shuffles. The port goes with nothing
// left behind, and merrow's pipes end closed.
TEST(PortRemovalWhileBinding, ThePortGoesCleanlyWhateverTheBindingHadDone) {
  for (uint32_t seed = 1; seed <= 16; ++seed) {
    SCOPED_TRACE(seed);
    StackConfig config{.portFirst = true};
    config.pipe.plug = false;
    StackRig rig(config, {.delayFuzzSeed = seed});
    ASSERT_TRUE(rig.Pipe().Plug(false));
    EXPECT_TRUE(rig.Machine().Pnp().RemoveDevice(rig.PortNode()));
    EXPECT_EQ(rig.PortDriver(), nullptr) << "tolvane unloaded, leaving nothing behind";
    ASSERT_TRUE(rig.Pipe().Plug());
    PPIPE_TABLE_ENTRY table = rig.Pipe().Extension()->ConfigRecord->PipeTable;
    for (int pipe = 0; pipe < 3; ++pipe) EXPECT_EQ(table[pipe].PipeInfo->PipeFlags, 0u) << "\\PIPE0" << pipe;
  }
}

// The port's last request inside the pipe driver ends while the port's
// removal waits for it: that request's routine signals the port idle under
// the busy lock and lets go of the lock after. The removal must not go on
// to delete the port (the lock with it) before then. Here the test plays
// that routine and keeps the lock for a while after the signal.
TEST(PortRemovalWhileBusy, TheRemovalWaitsForTheLastBusyReleaseToLetGoOfItsLock) {
  StackRig rig;
  ASSERT_TRUE(rig.WaitBound());
  PPORT_EXTENSION port = rig.Port();
  rig.AsPort([&] { IncrementBusy(port); });
  std::atomic<bool> removed = false;
  sim::Thread remover("removal", [&] {
    rig.Machine().Pnp().RemoveDevice(rig.PortNode());
    removed = true;
  });
  // The removal has given back the binding's hold: the test's request is the
  // last. (RunUntil would wait for Plug and Play, which waits for the request.)
  auto lastHold = [&] { return !ReadShared(port->TargetStarted) && BusyCount(port) == 1; };
  for (int ms = 0; ms < 1000 && !lastHold(); ++ms) Sleep(1);
  ASSERT_TRUE(lastHold());
  rig.AsPort([&] {
    KIRQL irql = KfAcquireSpinLock(&port->BusyLock);
    InterlockedDecrement(&port->BusyCount);
    KeSetEvent(&port->IdleEvent, IO_NO_INCREMENT, FALSE);
    for (int ms = 0; ms < 200 && !removed; ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(removed) << "the port was removed while its busy lock was still held";
    KfReleaseSpinLock(&port->BusyLock, irql);
  });
  remover.Join();
  EXPECT_TRUE(removed);
  EXPECT_EQ(rig.PortDriver(), nullptr) << "tolvane unloaded, leaving nothing behind";
}

}  // namespace
}  // namespace stacktest
