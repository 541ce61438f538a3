// KeWaitForSingleObject and KeWaitForMultipleObjects on events: which wait a
// signal satisfies, what a satisfied wait consumes, and timeouts.
#include <gtest/gtest.h>

#include <atomic>

#include "sim/kernel/machine.h"

namespace {

using sim::kTicksPerMs;
using sim::kTicksPerSecond;
using sim::Tick;

LARGE_INTEGER Relative(Tick ticks) {
  LARGE_INTEGER value;
  value.QuadPart = -ticks;
  return value;
}

class Waits : public ::testing::Test {
 protected:
  Waits() {
    KeInitializeEvent(&sync0, SynchronizationEvent, FALSE);
    KeInitializeEvent(&sync1, SynchronizationEvent, FALSE);
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    start = Now();
  }

  static Tick Now() { return (Tick)KeQueryInterruptTime(); }
  Tick Elapsed() const { return Now() - start; }

  // Sets `event` from another thread after `delay` of virtual time.
  std::unique_ptr<sim::Thread> SetLater(PKEVENT event, Tick delay) {
    return std::make_unique<sim::Thread>("setter", [this, event, delay] {
      machine.Sleep(delay);
      KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    });
  }

  NTSTATUS WaitForAny(LARGE_INTEGER* timeout) {
    PVOID objects[] = {&sync0, &sync1};
    return KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, timeout, nullptr);
  }

  NTSTATUS WaitForAll(LARGE_INTEGER* timeout) {
    PVOID objects[] = {&sync0, &sync1};
    return KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, timeout, nullptr);
  }

  sim::Machine machine;
  KEVENT sync0, sync1, notification;
  Tick start = 0;
  LARGE_INTEGER poll{};
};

TEST_F(Waits, WaitAnyReturnsTheIndexOfTheSignalledObject) {
  auto setter = SetLater(&sync1, 10 * kTicksPerMs);
  EXPECT_EQ(WaitForAny(nullptr), STATUS_WAIT_1);
  EXPECT_EQ(Elapsed(), 10 * kTicksPerMs);
}

TEST_F(Waits, WaitAnyTakesTheLowestIndexAndConsumesOnlyThatObject) {
  KeSetEvent(&sync0, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&sync1, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(WaitForAny(&poll), STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateEvent(&sync0), 0) << "the satisfying synchronization event was reset";
  EXPECT_EQ(KeReadStateEvent(&sync1), 1) << "the other one keeps its signal";
  EXPECT_EQ(WaitForAny(&poll), STATUS_WAIT_1);
}

TEST_F(Waits, WaitAllEndsOnlyWhenEveryObjectIsSignalled) {
  auto first = SetLater(&sync0, 10 * kTicksPerMs);
  auto second = SetLater(&sync1, 20 * kTicksPerMs);
  EXPECT_EQ(WaitForAll(nullptr), STATUS_WAIT_0);
  EXPECT_EQ(Elapsed(), 20 * kTicksPerMs) << "the wait went on after the first object was signalled";
  EXPECT_EQ(KeReadStateEvent(&sync0), 0) << "a satisfied wait-all consumes every object";
  EXPECT_EQ(KeReadStateEvent(&sync1), 0);
}

TEST_F(Waits, UnsatisfiedWaitAllConsumesNothing) {
  KeSetEvent(&sync0, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(WaitForAll(&poll), STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&sync0), 1) << "the signalled object keeps its signal";
}

TEST_F(Waits, RelativeTimeoutEndsTheWaitAfterTheInterval) {
  LARGE_INTEGER timeout = Relative(250 * kTicksPerMs);
  EXPECT_EQ(KeWaitForSingleObject(&sync0, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(Elapsed(), 250 * kTicksPerMs);
}

TEST_F(Waits, AbsoluteTimeoutEndsTheWaitAtThatSystemTime) {
  LARGE_INTEGER timeout;
  KeQuerySystemTime(&timeout);
  timeout.QuadPart += 30 * kTicksPerMs;
  EXPECT_EQ(WaitForAny(&timeout), STATUS_TIMEOUT);
  EXPECT_EQ(Elapsed(), 30 * kTicksPerMs);
}

TEST_F(Waits, ZeroTimeoutPollsWithoutWaiting) {
  EXPECT_EQ(KeWaitForSingleObject(&sync0, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  KeSetEvent(&sync0, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&sync0, Executive, KernelMode, FALSE, &poll), STATUS_WAIT_0);
  EXPECT_EQ(Elapsed(), 0) << "polling never lets time pass";
}

TEST_F(Waits, ZeroTimeoutPollIsAllowedAtDispatchLevel) {
  KeSetEvent(&notification, IO_NO_INCREMENT, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  NTSTATUS signalled = KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll);
  NTSTATUS clear = KeWaitForSingleObject(&sync0, Executive, KernelMode, FALSE, &poll);
  KeLowerIrql(old);
  EXPECT_EQ(signalled, STATUS_WAIT_0);
  EXPECT_EQ(clear, STATUS_TIMEOUT);
}

TEST_F(Waits, SetAndResetReturnThePreviousState) {
  EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 1);
  EXPECT_EQ(KeResetEvent(&notification), 1);
  EXPECT_EQ(KeResetEvent(&notification), 0);
}

// Two threads wait on one event; the test signals it and counts who got out.
class EventWaiters : public Waits {
 protected:
  void StartWaiters(PKEVENT event) {
    for (int i = 0; i < 2; ++i) {
      waiters[i] = std::make_unique<sim::Thread>("waiter", [this, event] {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        released++;
      });
    }
    machine.Sleep(kTicksPerMs);  // time moves only once both are waiting
  }

  std::atomic<int> released{0};
  std::unique_ptr<sim::Thread> waiters[2];
};

TEST_F(EventWaiters, SynchronizationEventReleasesOneWaiterAndResets) {
  StartWaiters(&sync0);
  KeSetEvent(&sync0, IO_NO_INCREMENT, FALSE);
  machine.Sleep(kTicksPerMs);
  EXPECT_EQ(released, 1) << "one signal releases one waiter";
  EXPECT_EQ(KeReadStateEvent(&sync0), 0) << "and is consumed by it";
  KeSetEvent(&sync0, IO_NO_INCREMENT, FALSE);
  machine.Sleep(kTicksPerMs);
  EXPECT_EQ(released, 2);
}

TEST_F(EventWaiters, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  StartWaiters(&notification);
  KeSetEvent(&notification, IO_NO_INCREMENT, FALSE);
  machine.Sleep(kTicksPerMs);
  EXPECT_EQ(released, 2);
  EXPECT_EQ(KeReadStateEvent(&notification), 1);
}

TEST_F(Waits, SignalAtTheTickATimeoutEndsIsNotLost) {
  // The wait's timeout and the timer expire at the same tick. Either the wait
  // ends satisfied and the synchronization timer is reset, or it times out
  // and the timer keeps its signal; the signal must not vanish.
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  LARGE_INTEGER due;
  KeQuerySystemTime(&due);
  due.QuadPart += 10 * kTicksPerMs;
  sim::Thread setter("setter", [&] {
    machine.Sleep(5 * kTicksPerMs);  // sets the timer after the wait below began
    KeSetTimer(&timer, due, nullptr);
  });
  LARGE_INTEGER timeout = due;
  NTSTATUS status = KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &timeout);
  EXPECT_EQ(Elapsed(), 10 * kTicksPerMs);
  ASSERT_TRUE(status == STATUS_WAIT_0 || status == STATUS_TIMEOUT) << std::hex << status;
  EXPECT_EQ(KeReadStateTimer(&timer), status == STATUS_TIMEOUT)
      << (status == STATUS_TIMEOUT ? "the wait timed out, so the timer's signal must still be there"
                                   : "the wait was satisfied, so it consumed the timer's signal");
}

}  // namespace
