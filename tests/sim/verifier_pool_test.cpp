// The pool rules: leaks at unload, zero-byte allocations, bad frees, and pool
// freed while a kernel object inside it is still in use.
#include <gtest/gtest.h>

#include "sim/kernel/thread.h"
#include "tests/sim/verifier_kit.h"

using verifierkit::kTag;
using verifierkit::TestDevice;

namespace {

constexpr ULONG kLeakTag = 0x6B61654C;  // 'Leak'
constexpr ULONG kOopsTag = 0x73706F4F;  // 'Oops'

struct PortContext {
  KTIMER timer;
  KEVENT event;
  KSPIN_LOCK lock;
};

[[gnu::noinline]] PVOID AllocateReadContext() { return ExAllocatePoolWithTag(NonPagedPool, 24, kLeakTag); }

[[gnu::noinline]] PVOID AllocateNothing() { return ExAllocatePoolWithTag(NonPagedPool, 0, kTag); }

// Runs `body` as a routine of a driver named Port; the machine unloads it at the end.
void AsPort(const std::function<void(TestDevice&)>& body) {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  testkit::AsDriver(port.driver, [&] { body(port); });
}

void LeakAtUnload() {
  sim::Machine machine;
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Leaky");
  testkit::AsDriver(driver, [] {
    AllocateReadContext();
    ExFreePoolWithTag(AllocateReadContext(), kLeakTag);
  });
  machine.UnloadDriver(driver);
}

void AllocateZeroBytes() {
  AsPort([](TestDevice&) { AllocateNothing(); });
}

void FreeTwice() {
  AsPort([](TestDevice&) {
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
    ExFreePoolWithTag(buffer, kTag);
    ExFreePoolWithTag(buffer, kTag);
  });
}

void FreeWhatWasNeverAllocated() {
  AsPort([](TestDevice&) {
    char onTheStack[32];
    ExFreePool(onTheStack);
  });
}

void FreeWithTheWrongTag() {
  AsPort([](TestDevice&) { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 32, kTag), kOopsTag); });
}

void FreeContextWithTimerSet() {
  AsPort([](TestDevice&) {
    auto* context = (PortContext*)ExAllocatePoolWithTag(NonPagedPool, sizeof(PortContext), kTag);
    KeInitializeTimer(&context->timer);
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10'000'000LL;
    KeSetTimer(&context->timer, due, nullptr);
    ExFreePoolWithTag(context, kTag);
  });
}

void FreeContextWhileSomeoneWaits() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  PortContext* context = nullptr;
  testkit::AsDriver(port.driver, [&] {
    context = (PortContext*)ExAllocatePoolWithTag(NonPagedPool, sizeof(PortContext), kTag);
    KeInitializeEvent(&context->event, NotificationEvent, FALSE);
  });
  sim::Thread waiter("waiter", [&] { KeWaitForSingleObject(&context->event, Executive, KernelMode, FALSE, nullptr); });
  machine.Sleep(sim::kTicksPerMs);  // the clock moves only once the waiter is blocked
  testkit::AsDriver(port.driver, [&] { ExFreePoolWithTag(context, kTag); });
}

void FreeContextWithLockHeld() {
  AsPort([](TestDevice&) {
    auto* context = (PortContext*)ExAllocatePoolWithTag(NonPagedPool, sizeof(PortContext), kTag);
    KeInitializeSpinLock(&context->lock);
    KIRQL old;
    KeAcquireSpinLock(&context->lock, &old);
    ExFreePoolWithTag(context, kTag);
  });
}

}  // namespace

TEST(VerifierPool, LeakAtUnloadIsListedByTagSizeAndRoutine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(LeakAtUnload(),
               "VERIFIER STOP: PoolLeak.*Leaky unloads with 1 pool block\\(s\\) still allocated:"
               "\n +tag 'Leak', 24 bytes at 0x[0-9a-f]+, allocated in AllocateReadContext\n");
}

TEST(VerifierPool, ZeroByteAllocation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(AllocateZeroBytes(), "VERIFIER STOP: PoolLeak.*zero-byte pool allocation \\(tag 'Test'\\) from AllocateNothing");
}

TEST(VerifierPool, FreeingTwice) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(FreeTwice(), "VERIFIER STOP: PoolLeak.*free of pool 0x[0-9a-f]+, which was already freed.*\\(Port, routine\\)");
}

TEST(VerifierPool, FreeingWhatWasNeverAllocated) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(FreeWhatWasNeverAllocated(), "VERIFIER STOP: PoolLeak.*free of 0x[0-9a-f]+, which was never allocated as pool");
}

TEST(VerifierPool, FreeingWithAnotherTagThanAllocated) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(FreeWithTheWrongTag(),
               "VERIFIER STOP: PoolLeak.*ExFreePoolWithTag of 0x[0-9a-f]+ with tag 'Oops'; it was allocated with tag 'Test'");
}

TEST(VerifierPool, FreeingPoolThatHoldsAnActiveObject) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(FreeContextWithTimerSet(),
               "VERIFIER STOP: ActiveObjectFreed.*pool 0x[0-9a-f]+\\.\\.0x[0-9a-f]+ freed while it still holds a set timer");
  EXPECT_DEATH(FreeContextWhileSomeoneWaits(),
               "VERIFIER STOP: ActiveObjectFreed.*still holds an object a thread is waiting on");
  EXPECT_DEATH(FreeContextWithLockHeld(), "VERIFIER STOP: ActiveObjectFreed.*still holds a held spin lock");
}

// ---- The correct pattern: none of it stops the machine ----

TEST(VerifierPool, BalancedPoolUsePassesUnnoticed) {
  sim::Machine machine;
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Tidy");
  testkit::AsDriver(driver, [] {
    auto* context = (PortContext*)ExAllocatePoolWithTag(NonPagedPool, sizeof(PortContext), kTag);
    ASSERT_NE(context, nullptr);
    KeInitializeTimer(&context->timer);
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10'000'000LL;
    KeSetTimer(&context->timer, due, nullptr);
    KeInitializeSpinLock(&context->lock);
    KIRQL old;
    KeAcquireSpinLock(&context->lock, &old);
    KeReleaseSpinLock(&context->lock, old);
    EXPECT_TRUE(KeCancelTimer(&context->timer));
    ExFreePoolWithTag(context, kTag);

    // The same address may come back from the pool and be freed again.
    for (int i = 0; i < 3; ++i) ExFreePool(ExAllocatePoolWithTag(PagedPool, 64, kTag));
  });
  EXPECT_TRUE(machine.Pool().Outstanding(driver).empty());
  machine.UnloadDriver(driver);
  EXPECT_TRUE(machine.Drivers().empty());
}
