// The lock rules: spin locks, the cancel spin lock and the order in which
// locks are taken. Each scenario gets one thing wrong.
#include <gtest/gtest.h>

#include "sim/kernel/thread.h"
#include "tests/sim/verifier_kit.h"

using verifierkit::Request;
using verifierkit::TestDevice;

namespace {

KSPIN_LOCK dpcLock;

void NTAPI DpcKeepsLock(PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&dpcLock); }

void NTAPI CancelKeepsCancelLock(PDEVICE_OBJECT, PIRP irp) { testkit::Complete(irp, STATUS_CANCELLED); }

// Runs `body` as a routine of a driver named Port on a fresh machine.
void AsPort(const std::function<void(sim::Machine&, TestDevice&)>& body) {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  testkit::AsDriver(port.driver, [&] { body(machine, port); });
}

void ReleaseLockNotHeld() {
  AsPort([](sim::Machine&, TestDevice&) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
  });
}

void ReleaseLockAnotherThreadHolds() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  sim::Thread holder("holder", [&] {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
  });
  holder.Join();
  testkit::AsDriver(port.driver, [&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); });
}

void AcquireLockTwice() {
  AsPort([](sim::Machine&, TestDevice&) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old, again;
    KeAcquireSpinLock(&lock, &old);
    KeAcquireSpinLock(&lock, &again);
  });
}

void AcquireLockAboveDispatch() {
  AsPort([](sim::Machine&, TestDevice&) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old, ignored;
    KeRaiseIrql(HIGH_LEVEL, &old);
    KeAcquireSpinLock(&lock, &ignored);
  });
}

void AcquireAtDpcLevelFromPassive() {
  AsPort([](sim::Machine&, TestDevice&) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockAtDpcLevel(&lock);
  });
}

void ReleaseFromDpcLevelAtPassive() {
  AsPort([](sim::Machine&, TestDevice&) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeLowerIrql(old);
    KeReleaseSpinLockFromDpcLevel(&lock);
  });
}

void DispatchReturnsHoldingLock() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  port.OnIoctl() = [&](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    return testkit::Complete(irp, STATUS_SUCCESS);
  };
  Request().Send(port.device);
}

void DpcReturnsHoldingLock() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  KeInitializeSpinLock(&dpcLock);
  KDPC dpc;
  testkit::AsDriver(port.driver, [&] {
    KeInitializeDpc(&dpc, DpcKeepsLock, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
  });
  KeFlushQueuedDpcs();
}

void ReleaseCancelLockNotHeld() {
  AsPort([](sim::Machine&, TestDevice&) { IoReleaseCancelSpinLock(PASSIVE_LEVEL); });
}

void AcquireCancelLockTwice() {
  AsPort([](sim::Machine&, TestDevice&) {
    KIRQL old, again;
    IoAcquireCancelSpinLock(&old);
    IoAcquireCancelSpinLock(&again);
  });
}

void CancelRoutineKeepsCancelLock() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  port.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelKeepsCancelLock);
    return STATUS_PENDING;
  };
  Request request;
  request.Send(port.device);
  IoCancelIrp(request.irp);
}

void DispatchKeepsCancelLock() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  port.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    return testkit::Complete(irp, STATUS_SUCCESS);
  };
  Request().Send(port.device);
}

// Takes `first` then `second`, as one routine of the driver does.
void TakeInOrder(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KIRQL old;
  KeAcquireSpinLock(first, &old);
  KeAcquireSpinLockAtDpcLevel(second);
  KeReleaseSpinLockFromDpcLevel(second);
  KeReleaseSpinLock(first, old);
}

void TakeTwoLocksInBothOrders() {
  AsPort([](sim::Machine&, TestDevice&) {
    KSPIN_LOCK receive, transmit;
    KeInitializeSpinLock(&receive);
    KeInitializeSpinLock(&transmit);
    TakeInOrder(&receive, &transmit);
    TakeInOrder(&transmit, &receive);
  });
}

void TakeCancelLockInBothOrders() {
  AsPort([](sim::Machine&, TestDevice&) {
    KSPIN_LOCK queue;
    KeInitializeSpinLock(&queue);
    KIRQL cancelIrql, queueIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&queue);
    KeReleaseSpinLockFromDpcLevel(&queue);
    IoReleaseCancelSpinLock(cancelIrql);

    KeAcquireSpinLock(&queue, &queueIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
  });
}

}  // namespace

TEST(VerifierLocks, ReleasingASpinLockNobodyHolds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ReleaseLockNotHeld(),
               "VERIFIER STOP: SpinLock.*KfReleaseSpinLock of spin lock 0x[0-9a-f]+, which is not held.*\\(Port, routine\\)");
}

TEST(VerifierLocks, ReleasingASpinLockAnotherThreadHolds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ReleaseLockAnotherThreadHolds(),
               "VERIFIER STOP: SpinLock.*KfReleaseSpinLock of spin lock 0x[0-9a-f]+, which thread 'holder' holds");
}

TEST(VerifierLocks, AcquiringASpinLockTwice) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(AcquireLockTwice(),
               "VERIFIER STOP: SpinLock.*KfAcquireSpinLock of spin lock 0x[0-9a-f]+, which this thread already holds");
}

TEST(VerifierLocks, AcquiringASpinLockAboveDispatchLevel) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(AcquireLockAboveDispatch(), "VERIFIER STOP: SpinLock.*KfAcquireSpinLock of 0x[0-9a-f]+ at IRQL 31");
}

TEST(VerifierLocks, DpcLevelVariantsBelowDispatchLevel) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(AcquireAtDpcLevelFromPassive(),
               "VERIFIER STOP: SpinLock.*KeAcquireSpinLockAtDpcLevel of 0x[0-9a-f]+ at IRQL 0; it needs DISPATCH_LEVEL");
  EXPECT_DEATH(ReleaseFromDpcLevelAtPassive(),
               "VERIFIER STOP: SpinLock.*KeReleaseSpinLockFromDpcLevel of 0x[0-9a-f]+ at IRQL 0; it needs DISPATCH_LEVEL");
}

TEST(VerifierLocks, ReturningToTheKernelStillHoldingASpinLock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(DispatchReturnsHoldingLock(),
               "VERIFIER STOP: SpinLock.*dispatch routine returned still holding spin lock 0x[0-9a-f]+"
               ".*\\(Port, dispatch routine\\)");
  EXPECT_DEATH(DpcReturnsHoldingLock(),
               "VERIFIER STOP: SpinLock.*DPC routine returned still holding spin lock.*DpcKeepsLock \\(Port, DPC routine\\)");
}

TEST(VerifierLocks, ReleasingTheCancelSpinLockWithoutHoldingIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ReleaseCancelLockNotHeld(),
               "VERIFIER STOP: CancelSpinLock.*IoReleaseCancelSpinLock without holding the cancel spin lock");
}

TEST(VerifierLocks, AcquiringTheCancelSpinLockTwice) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(AcquireCancelLockTwice(),
               "VERIFIER STOP: CancelSpinLock.*IoAcquireCancelSpinLock while this thread already holds the cancel spin lock");
}

TEST(VerifierLocks, ReturningStillHoldingTheCancelSpinLock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CancelRoutineKeepsCancelLock(),
               "VERIFIER STOP: CancelSpinLock.*cancel routine returned still holding the cancel spin lock"
               ".*CancelKeepsCancelLock \\(Port, cancel routine\\)");
  EXPECT_DEATH(DispatchKeepsCancelLock(),
               "VERIFIER STOP: CancelSpinLock.*dispatch routine returned still holding the cancel spin lock");
}

TEST(VerifierLocks, TakingTwoSpinLocksInBothOrders) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(TakeTwoLocksInBothOrders(),
               "VERIFIER STOP: LockOrder.*spin lock 0x[0-9a-f]+ acquired while holding spin lock 0x[0-9a-f]+; "
               "elsewhere they were taken in the opposite order");
}

TEST(VerifierLocks, TakingTheCancelSpinLockInBothOrders) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(TakeCancelLockInBothOrders(),
               "VERIFIER STOP: LockOrder.*the cancel spin lock acquired while holding spin lock 0x[0-9a-f]+");
}

// ---- The correct patterns: none of them stops the machine ----

namespace {

struct Shared {
  KSPIN_LOCK outer, inner;
  int count = 0;
};

// Takes both locks in the driver's one order, at DISPATCH_LEVEL.
void NTAPI CountUnderBothLocks(PKDPC, PVOID context, PVOID, PVOID) {
  auto* shared = (Shared*)context;
  KeAcquireSpinLockAtDpcLevel(&shared->outer);
  KeAcquireSpinLockAtDpcLevel(&shared->inner);
  ++shared->count;
  KeReleaseSpinLockFromDpcLevel(&shared->inner);
  KeReleaseSpinLockFromDpcLevel(&shared->outer);
}

void NTAPI CancelProperly(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  testkit::Complete(irp, STATUS_CANCELLED);
}

}  // namespace

TEST(VerifierLocks, CorrectLockingPassesUnnoticed) {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  Shared shared;
  KeInitializeSpinLock(&shared.outer);
  KeInitializeSpinLock(&shared.inner);

  // The same two locks, in the same order, from a dispatch routine at
  // PASSIVE_LEVEL, from DPCs on both processors and from another thread.
  port.OnIoctl() = [&](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeAcquireSpinLock(&shared.outer, &old);
    KeAcquireSpinLockAtDpcLevel(&shared.inner);
    ++shared.count;
    KeReleaseSpinLockFromDpcLevel(&shared.inner);
    KeReleaseSpinLock(&shared.outer, old);
    return testkit::Complete(irp, STATUS_SUCCESS);
  };
  KDPC dpcs[4];
  testkit::AsDriver(port.driver, [&] {
    for (KDPC& dpc : dpcs) {
      KeInitializeDpc(&dpc, CountUnderBothLocks, &shared);
      KeInsertQueueDpc(&dpc, nullptr, nullptr);
    }
  });
  sim::Thread other("other", [&] { EXPECT_EQ(Request().SendAndWait(port.device), STATUS_SUCCESS); });
  EXPECT_EQ(Request().SendAndWait(port.device), STATUS_SUCCESS);
  other.Join();
  KeFlushQueuedDpcs();
  EXPECT_EQ(shared.count, 6);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  // The cancel spin lock: taken before the queue lock every time, and
  // released by the cancel routine it was handed to.
  port.OnIoctl() = [&](PDEVICE_OBJECT, PIRP irp) {
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&shared.outer);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelProperly);
    KeReleaseSpinLockFromDpcLevel(&shared.outer);
    IoReleaseCancelSpinLock(cancelIrql);
    return STATUS_PENDING;
  };
  Request pending;
  ASSERT_EQ(pending.Send(port.device), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(pending.irp));
  EXPECT_EQ(pending.Wait(), STATUS_CANCELLED);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}
