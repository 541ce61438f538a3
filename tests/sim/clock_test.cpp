// The kernel clock in virtual time: timers fire at exactly their deadlines as
// every clock reads them, sleeping costs no real time, KeDelayExecutionThread,
// and the I/O manager's one-second timer.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/kernel/thread.h"
#include "tests/sim/testkit.h"

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

Tick Now() { return (Tick)KeQueryInterruptTime(); }

// The times a timer's DPC ran, read from two clocks.
struct Expiries {
  Tick start = 0;
  std::mutex lock;
  Ticks interrupt;    // KeQueryInterruptTime - start
  Ticks performance;  // KeQueryPerformanceCounter, in 100 ns - start

  static void NTAPI Dpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<Expiries*>(context);
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    std::lock_guard guard(self->lock);
    self->interrupt.push_back(Now() - self->start);
    self->performance.push_back(counter.QuadPart * kTicksPerSecond / frequency.QuadPart - self->start);
  }
};

TEST(VirtualTime, PeriodicAndOneShotTimersFireAtExactlyTheirTimes) {
  sim::Machine machine;
  Expiries periodic, oneShot;
  periodic.start = oneShot.start = Now();
  KTIMER periodicTimer, oneShotTimer;
  KDPC periodicDpc, oneShotDpc;
  KeInitializeTimer(&periodicTimer);
  KeInitializeTimer(&oneShotTimer);
  KeInitializeDpc(&periodicDpc, Expiries::Dpc, &periodic);
  KeInitializeDpc(&oneShotDpc, Expiries::Dpc, &oneShot);
  KeSetTimerEx(&periodicTimer, Relative(kTicksPerSecond), 1000, &periodicDpc);
  KeSetTimer(&oneShotTimer, Relative(10 * kTicksPerMs), &oneShotDpc);

  machine.Sleep(3 * kTicksPerSecond + 500 * kTicksPerMs);
  KeCancelTimer(&periodicTimer);
  KeFlushQueuedDpcs();

  const Ticks seconds{kTicksPerSecond, 2 * kTicksPerSecond, 3 * kTicksPerSecond};
  EXPECT_EQ(periodic.interrupt, seconds) << "KeQueryInterruptTime in the periodic DPC";
  EXPECT_EQ(periodic.performance, seconds) << "KeQueryPerformanceCounter in the periodic DPC";
  EXPECT_EQ(oneShot.interrupt, Ticks{10 * kTicksPerMs});
  EXPECT_EQ(oneShot.performance, Ticks{10 * kTicksPerMs});
}

TEST(VirtualTime, TenVirtualMinutesOfSleepMoveEveryClockByExactlyThat) {
  // In virtual time the clock jumps straight to the deadline, so this takes
  // no real time at all.
  sim::Machine machine;
  const Tick tenMinutes = 600 * kTicksPerSecond;
  LARGE_INTEGER systemBefore, systemAfter, ticksBefore, ticksAfter;
  KeQuerySystemTime(&systemBefore);
  KeQueryTickCount(&ticksBefore);
  Tick before = Now();

  machine.Sleep(tenMinutes);

  KeQuerySystemTime(&systemAfter);
  KeQueryTickCount(&ticksAfter);
  EXPECT_EQ(Now() - before, tenMinutes);
  EXPECT_EQ(systemAfter.QuadPart - systemBefore.QuadPart, tenMinutes);
  EXPECT_EQ(ticksAfter.QuadPart - ticksBefore.QuadPart,
            (before + tenMinutes) / KeQueryTimeIncrement() - before / KeQueryTimeIncrement());
}

TEST(DelayExecution, ReturnsAfterARelativeInterval) {
  sim::Machine machine;
  Tick before = Now();
  LARGE_INTEGER interval = Relative(1500 * kTicksPerMs);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  EXPECT_EQ(Now() - before, 1500 * kTicksPerMs);
}

TEST(DelayExecution, ReturnsAtAnAbsoluteSystemTime) {
  sim::Machine machine;
  Tick before = Now();
  LARGE_INTEGER until;
  KeQuerySystemTime(&until);
  until.QuadPart += 2 * kTicksPerSecond;
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &until), STATUS_SUCCESS);
  EXPECT_EQ(Now() - before, 2 * kTicksPerSecond);
}

TEST(DelayExecution, SleepersWakeInTheOrderOfTheirDeadlines) {
  sim::Machine machine;
  Tick before = Now();
  std::mutex lock;
  std::vector<std::pair<char, Tick>> woke;
  auto sleeper = [&](char name, Tick interval) {
    return std::make_unique<sim::Thread>(std::string(1, name), [&, name, interval] {
      machine.Sleep(interval);
      std::lock_guard guard(lock);
      woke.emplace_back(name, Now() - before);
    });
  };
  {
    auto a = sleeper('a', 30 * kTicksPerMs);
    auto b = sleeper('b', 10 * kTicksPerMs);
    auto c = sleeper('c', 20 * kTicksPerMs);
  }
  using Woke = std::vector<std::pair<char, Tick>>;
  EXPECT_EQ(woke, (Woke{{'b', 10 * kTicksPerMs}, {'c', 20 * kTicksPerMs}, {'a', 30 * kTicksPerMs}}));
}

// A device with an I/O timer whose routine notes when and how it was called.
class IoTimer : public ::testing::Test {
 protected:
  IoTimer() {
    driver = testkit::LoadDriver(machine, u"Ticker");
    device = testkit::CreateDevice(driver, behaviour);
    start = Now();
    testkit::AsDriver(driver, [&] { EXPECT_EQ(IoInitializeTimer(device, Routine, this), STATUS_SUCCESS); });
  }
  ~IoTimer() override { testkit::Delete(device); }

  static void NTAPI Routine(PDEVICE_OBJECT device, PVOID context) {
    auto* self = static_cast<IoTimer*>(context);
    std::lock_guard guard(self->lock);
    self->calls.push_back(Now() - self->start);
    self->irql = KeGetCurrentIrql();
    self->devicePassed = device;
  }

  Ticks Calls() {
    std::lock_guard guard(lock);
    return calls;
  }

  sim::Machine machine;
  PDRIVER_OBJECT driver = nullptr;
  testkit::Behaviour behaviour;
  PDEVICE_OBJECT device = nullptr;
  Tick start = 0;
  std::mutex lock;
  Ticks calls;
  KIRQL irql = PASSIVE_LEVEL;
  PDEVICE_OBJECT devicePassed = nullptr;
};

TEST_F(IoTimer, DoesNotRunUntilStarted) {
  machine.Sleep(3 * kTicksPerSecond);
  EXPECT_EQ(Calls(), Ticks{});
}

TEST_F(IoTimer, RunsOncePerSecondAtDispatchLevelUntilStopped) {
  IoStartTimer(device);
  machine.Sleep(5 * kTicksPerSecond + 500 * kTicksPerMs);
  Ticks running = Calls();
  ASSERT_GE(running.size(), 5u);
  EXPECT_GT(running[0], 0) << "the first call comes within a second of IoStartTimer";
  EXPECT_LE(running[0], kTicksPerSecond);
  for (size_t i = 1; i < running.size(); ++i) EXPECT_EQ(running[i] - running[i - 1], kTicksPerSecond) << "call " << i;
  EXPECT_EQ(irql, DISPATCH_LEVEL);
  EXPECT_EQ(devicePassed, device);

  IoStopTimer(device);
  machine.Sleep(3 * kTicksPerSecond);
  EXPECT_EQ(Calls().size(), running.size()) << "no call after IoStopTimer";

  IoStartTimer(device);
  machine.Sleep(2 * kTicksPerSecond);
  EXPECT_GT(Calls().size(), running.size()) << "IoStartTimer starts it again";
  IoStopTimer(device);
}

}  // namespace

namespace {

// A driver polling the performance counter until a deadline, stalling between
// looks, gets there: each stall moves the clock by at least its length, and a
// timer due meanwhile fires.
TEST(Stall, APollingLoopReachesItsDeadline) {
  sim::Machine machine;
  KEVENT fired;
  KTIMER timer;
  KeInitializeEvent(&fired, NotificationEvent, FALSE);
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = -5000;  // 500 µs
  KeSetTimer(&timer, due, nullptr);
  LONGLONG start = KeQueryPerformanceCounter(nullptr).QuadPart;
  int polls = 0;
  while (KeQueryPerformanceCounter(nullptr).QuadPart - start < 10000 && polls < 1000) {  // 1 ms
    KeStallExecutionProcessor(50);
    ++polls;
  }
  EXPECT_EQ(polls, 20) << "1 ms in stalls of 50 µs";
  EXPECT_TRUE(KeReadStateTimer(&timer)) << "the timer due half-way fired";
}

}  // namespace
