// Kernel timers: setting, re-setting and cancelling, notification and
// synchronization timers as waitable objects, periodic and absolute timers.
// All in virtual time, so every expiry is checked to the tick.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "sim/kernel/machine.h"

namespace {

using sim::kTicksPerMs;
using sim::kTicksPerSecond;
using sim::Tick;
using Ticks = std::vector<Tick>;

LARGE_INTEGER Relative(Tick ticks) {
  LARGE_INTEGER value;
  value.QuadPart = -ticks;
  return value;
}

LARGE_INTEGER Poll() {
  LARGE_INTEGER value;
  value.QuadPart = 0;
  return value;
}

class KernelTimers : public ::testing::Test {
 protected:
  KernelTimers() {
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeInitializeDpc(&dpc, Record, this);
    start = (Tick)KeQueryInterruptTime();
  }
  ~KernelTimers() override {
    KeCancelTimer(&timer);
    KeFlushQueuedDpcs();
  }

  // The timer's DPC notes the interrupt time it ran at, and may set the
  // timer again when the test asks it to.
  static void NTAPI Record(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<KernelTimers*>(context);
    std::lock_guard guard(self->lock);
    self->fired.push_back((Tick)KeQueryInterruptTime() - self->start);
    if (self->rearms > 0) {
      --self->rearms;
      self->rearmReturned.push_back(KeSetTimer(&self->timer, Relative(100 * kTicksPerMs), &self->dpc));
    }
  }

  Ticks Fired() {
    std::lock_guard guard(lock);
    return fired;
  }

  // Lets virtual time run until `at` after the test started.
  void SleepUntil(Tick at) { machine.Sleep(start + at - (Tick)KeQueryInterruptTime()); }

  sim::Machine machine;
  KTIMER timer;
  KDPC dpc;
  Tick start = 0;
  std::mutex lock;
  Ticks fired;
  int rearms = 0;
  std::vector<BOOLEAN> rearmReturned;
};

TEST_F(KernelTimers, SetTimerReturnsWhetherTheTimerWasAlreadySet) {
  EXPECT_FALSE(KeSetTimer(&timer, Relative(100 * kTicksPerMs), &dpc)) << "a new timer was not set";
  EXPECT_TRUE(KeSetTimer(&timer, Relative(100 * kTicksPerMs), &dpc)) << "it is set and has not expired yet";
  SleepUntil(200 * kTicksPerMs);
  EXPECT_FALSE(KeSetTimer(&timer, Relative(100 * kTicksPerMs), &dpc)) << "an expired timer is no longer set";
}

TEST_F(KernelTimers, SettingASetTimerAgainMovesItsDueTime) {
  KeSetTimer(&timer, Relative(100 * kTicksPerMs), &dpc);
  KeSetTimer(&timer, Relative(300 * kTicksPerMs), &dpc);
  SleepUntil(200 * kTicksPerMs);
  EXPECT_EQ(Fired(), Ticks{}) << "the first due time was cancelled";
  SleepUntil(1000 * kTicksPerMs);
  EXPECT_EQ(Fired(), Ticks{300 * kTicksPerMs}) << "the timer expired once, at the second due time";
}

TEST_F(KernelTimers, CancelTimerReturnsWhetherItWasSetAndItsDpcDoesNotRun) {
  KeSetTimer(&timer, Relative(100 * kTicksPerMs), &dpc);
  EXPECT_TRUE(KeCancelTimer(&timer)) << "the timer was set";
  EXPECT_FALSE(KeCancelTimer(&timer)) << "it no longer is";
  SleepUntil(500 * kTicksPerMs);
  EXPECT_EQ(Fired(), Ticks{});
  EXPECT_FALSE(KeReadStateTimer(&timer)) << "a cancelled timer never became signalled";
}

TEST_F(KernelTimers, CancelAfterExpiryReturnsFalse) {
  KeSetTimer(&timer, Relative(10 * kTicksPerMs), &dpc);
  SleepUntil(20 * kTicksPerMs);
  EXPECT_FALSE(KeCancelTimer(&timer));
  EXPECT_TRUE(KeReadStateTimer(&timer)) << "cancelling does not clear the signal of an expired timer";
}

TEST_F(KernelTimers, WaiterIsReleasedWhenTheTimerExpires) {
  KeSetTimer(&timer, Relative(50 * kTicksPerMs), nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
  EXPECT_EQ((Tick)KeQueryInterruptTime() - start, 50 * kTicksPerMs);
}

TEST_F(KernelTimers, NotificationTimerStaysSignalledAfterAWait) {
  KeSetTimer(&timer, Relative(10 * kTicksPerMs), nullptr);
  EXPECT_FALSE(KeReadStateTimer(&timer)) << "not signalled before it expires";
  SleepUntil(20 * kTicksPerMs);
  LARGE_INTEGER poll = Poll();
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &poll), STATUS_WAIT_0);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &poll), STATUS_WAIT_0)
      << "a notification timer satisfies every wait until it is set again";
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(KernelTimers, SynchronizationTimerResetsWhenAWaitIsSatisfied) {
  KTIMER sync;
  KeInitializeTimerEx(&sync, SynchronizationTimer);
  KeSetTimer(&sync, Relative(10 * kTicksPerMs), nullptr);
  SleepUntil(20 * kTicksPerMs);
  EXPECT_TRUE(KeReadStateTimer(&sync)) << "reading the state does not consume it";
  LARGE_INTEGER poll = Poll();
  EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &poll), STATUS_WAIT_0);
  EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT)
      << "the satisfied wait reset the timer";
  EXPECT_FALSE(KeReadStateTimer(&sync));
}

TEST_F(KernelTimers, SettingATimerClearsItsSignal) {
  KeSetTimer(&timer, Relative(10 * kTicksPerMs), nullptr);
  SleepUntil(20 * kTicksPerMs);
  ASSERT_TRUE(KeReadStateTimer(&timer));
  KeSetTimer(&timer, Relative(10 * kTicksPerMs), nullptr);
  EXPECT_FALSE(KeReadStateTimer(&timer));
}

TEST_F(KernelTimers, PeriodicTimerExpiresEveryPeriodUntilCancelled) {
  EXPECT_FALSE(KeSetTimerEx(&timer, Relative(100 * kTicksPerMs), 250, &dpc));
  SleepUntil(1000 * kTicksPerMs);
  EXPECT_EQ(Fired(), (Ticks{100 * kTicksPerMs, 350 * kTicksPerMs, 600 * kTicksPerMs, 850 * kTicksPerMs}))
      << "first at the due time, then every 250 ms";
  EXPECT_TRUE(KeCancelTimer(&timer)) << "a periodic timer stays set between expiries";
  SleepUntil(2000 * kTicksPerMs);
  EXPECT_EQ(Fired().size(), 4u) << "no expiry after KeCancelTimer";
}

TEST_F(KernelTimers, AbsoluteDueTimeIsASystemTime) {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LARGE_INTEGER due;
  due.QuadPart = now.QuadPart + 2 * kTicksPerSecond;
  KeSetTimer(&timer, due, &dpc);
  SleepUntil(5 * kTicksPerSecond);
  EXPECT_EQ(Fired(), Ticks{2 * kTicksPerSecond});
}

TEST_F(KernelTimers, AbsoluteDueTimeInThePastExpiresAtOnce) {
  SleepUntil(kTicksPerSecond);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LARGE_INTEGER due;
  due.QuadPart = now.QuadPart - kTicksPerSecond;
  KeSetTimer(&timer, due, nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
  EXPECT_EQ((Tick)KeQueryInterruptTime() - start, kTicksPerSecond) << "no time passed";
}

TEST_F(KernelTimers, DpcMaySetItsTimerAgain) {
  rearms = 2;
  KeSetTimer(&timer, Relative(100 * kTicksPerMs), &dpc);
  SleepUntil(kTicksPerSecond);
  EXPECT_EQ(Fired(), (Ticks{100 * kTicksPerMs, 200 * kTicksPerMs, 300 * kTicksPerMs}));
  EXPECT_EQ(rearmReturned, (std::vector<BOOLEAN>{FALSE, FALSE})) << "the timer had expired when its DPC set it";
}

}  // namespace
