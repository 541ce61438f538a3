// The IRP lifecycle rules that concern completion and the dispatch routine's
// return: each scenario is a tiny driver that gets one thing wrong, and the
// verifier must stop the machine naming the rule and what it saw.
#include <gtest/gtest.h>

#include "sim/kernel/irp.h"
#include "tests/sim/verifier_kit.h"

using verifierkit::HoldRequests;
using verifierkit::Request;
using verifierkit::TestDevice;

namespace {

void NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI CompleteAgainAndContinue(PDEVICE_OBJECT, PIRP irp, PVOID) {
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ForgetPendingPropagation(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

// A filter that passes every request down with `routine` as its completion routine.
void PassDownWithRoutine(TestDevice& filter, PIO_COMPLETION_ROUTINE routine) {
  filter.OnIoctl() = [&filter, routine](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(filter.Lower(), irp);
  };
}

void CompleteTwiceInDispatch() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  port.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) {
    testkit::Complete(irp, STATUS_SUCCESS);
    return testkit::Complete(irp, STATUS_SUCCESS);
  };
  Request().Send(port.device);
}

void CompleteAgainInCompletionRoutine() {
  sim::Machine machine;
  TestDevice function(machine, u"Function");
  TestDevice filter(machine, u"Filter");
  filter.AttachTo(function);
  function.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS); };
  PassDownWithRoutine(filter, CompleteAgainAndContinue);
  Request().Send(filter.device);
}

void CompleteWithCancelRoutineSet() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  port.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, IgnoreCancel);
    return testkit::Complete(irp, STATUS_SUCCESS);
  };
  Request().Send(port.device);
}

void CompleteWithStatusPending() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  port.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) {
    testkit::Complete(irp, STATUS_PENDING);
    return STATUS_PENDING;
  };
  Request().Send(port.device);
}

void CompleteWithoutSettingStatus() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  port.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) {
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  Request().Send(port.device);
}

void ReturnPendingAfterCompleting() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  port.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) {
    testkit::Complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  };
  Request().Send(port.device);
}

void ReturnPendingWithoutMarking() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  PIRP held = nullptr;
  port.OnIoctl() = [&held](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_PENDING;
  };
  Request request;
  request.Send(port.device);
  testkit::AsDriver(port.driver, [&] { testkit::Complete(held, STATUS_SUCCESS); });
}

void MarkPendingCompleteAndReturnSuccess() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  port.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return testkit::Complete(irp, STATUS_SUCCESS);
  };
  Request().Send(port.device);
}

void MarkPendingQueueAndReturnSuccess() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  PIRP held = nullptr;
  port.OnIoctl() = [&held](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_SUCCESS;
  };
  Request().Send(port.device);
}

void ReturnOtherStatusThanCompleted() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  port.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) {
    testkit::Complete(irp, STATUS_SUCCESS);
    return STATUS_UNSUCCESSFUL;
  };
  Request().Send(port.device);
}

void ReturnWithoutCompleting() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  port.OnIoctl() = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
  Request().Send(port.device);
}

void CompletionRoutineDropsPending() {
  sim::Machine machine;
  TestDevice function(machine, u"Function");
  TestDevice filter(machine, u"Filter");
  filter.AttachTo(function);
  PIRP held = nullptr;
  HoldRequests(function, held);
  PassDownWithRoutine(filter, ForgetPendingPropagation);
  Request().Send(filter.device);
  testkit::AsDriver(function.driver, [&] { testkit::Complete(held, STATUS_SUCCESS); });
}

void OwnIrpCompletesToTheTop() {
  sim::Machine machine;
  TestDevice function(machine, u"Function");
  TestDevice client(machine, u"Client");
  function.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS); };
  testkit::AsDriver(client.driver, [&] {
    PIRP irp = testkit::NewIrp(function.device, IRP_MJ_DEVICE_CONTROL);
    IoCallDriver(function.device, irp);  // no completion routine to take it back
  });
}

}  // namespace

TEST(VerifierIrpLifecycle, CompletingTwiceTouchesAFreedIrp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CompleteTwiceInDispatch(),
               "VERIFIER STOP: DoubleCompletion.*IoCompleteRequest on IRP 0x[0-9a-f]+ after it was freed"
               ".*routine: .*\\(Port, dispatch routine\\)");
}

TEST(VerifierIrpLifecycle, CompletionRoutineThatCompletesAgainMustTakeTheIrpBack) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CompleteAgainInCompletionRoutine(),
               "VERIFIER STOP: DoubleCompletion.*completion routine .*CompleteAgainAndContinue completed the IRP again"
               ".*instead of STATUS_MORE_PROCESSING_REQUIRED");
}

TEST(VerifierIrpLifecycle, CompletingWithCancelRoutineSetNamesTheRoutine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CompleteWithCancelRoutineSet(),
               "VERIFIER STOP: CompleteWithCancelRoutine.*cancel routine .*IgnoreCancel is still set"
               ".*irp: +0x[0-9a-f]+ \\(major 0x0e");
}

TEST(VerifierIrpLifecycle, CompletingWithStatusPendingIsABadStatus) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CompleteWithStatusPending(), "VERIFIER STOP: BadCompletionStatus.*with status STATUS_PENDING");
}

TEST(VerifierIrpLifecycle, CompletingWithAStatusNobodySetIsABadStatus) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CompleteWithoutSettingStatus(), "VERIFIER STOP: BadCompletionStatus.*with a status nobody set");
}

TEST(VerifierIrpLifecycle, ReturningPendingForACompletedUnmarkedIrp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ReturnPendingAfterCompleting(),
               "VERIFIER STOP: PendingMismatch.*returned STATUS_PENDING without IoMarkIrpPending");
}

TEST(VerifierIrpLifecycle, ReturningPendingWithoutMarkingIsCaughtWhenTheIrpCompletesLater) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ReturnPendingWithoutMarking(),
               "VERIFIER STOP: PendingMismatch.*stack location 1 returned STATUS_PENDING without IoMarkIrpPending");
}

TEST(VerifierIrpLifecycle, MarkingPendingThenReturningSuccess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(MarkPendingCompleteAndReturnSuccess(),
               "VERIFIER STOP: PendingMismatch.*marked pending but the dispatch routine returned 0x00000000");
  EXPECT_DEATH(MarkPendingQueueAndReturnSuccess(),
               "VERIFIER STOP: PendingMismatch.*marked pending but the dispatch routine returned 0x00000000");
}

TEST(VerifierIrpLifecycle, ReturningAnotherStatusThanTheIrpWasCompletedWith) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ReturnOtherStatusThanCompleted(),
               "VERIFIER STOP: StatusMismatch.*returned 0xC0000001 but completed the IRP with 0x00000000");
}

TEST(VerifierIrpLifecycle, ReturningWithoutCompletingPassingOrPendingLosesTheIrp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ReturnWithoutCompleting(),
               "VERIFIER STOP: LostIrp.*returned 0x00000000 without completing the IRP.*\\(Port, dispatch routine\\)");
}

TEST(VerifierIrpLifecycle, CompletionRoutineMustPropagatePending) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CompletionRoutineDropsPending(),
               "VERIFIER STOP: CompletionRoutineContract.*ForgetPendingPropagation returned 0x00000000 without "
               "propagating pending.*\\(Filter, completion routine\\)");
}

TEST(VerifierIrpLifecycle, DriverAllocatedIrpMustNotCompleteToTheTop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(OwnIrpCompletesToTheTop(),
               "VERIFIER STOP: CompletionRoutineContract.*an IRP Client allocated completed to the top");
}

// ---- The correct patterns: none of them stops the machine ----

namespace {

struct ForwardAndWait {
  KEVENT done;
};

NTSTATUS NTAPI PropagatePending(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI SignalAndTakeBack(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(&((ForwardAndWait*)context)->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI FreeOwnIrp(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  *(NTSTATUS*)context = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  testkit::Complete(irp, STATUS_CANCELLED);
}

}  // namespace

TEST(VerifierIrpLifecycle, CorrectCompletionPatternsPassUnnoticed) {
  sim::Machine machine;
  TestDevice function(machine, u"Function");
  TestDevice filter(machine, u"Filter");
  filter.AttachTo(function);
  PIRP held = nullptr;
  bool pend = true;
  function.OnIoctl() = [&](PDEVICE_OBJECT, PIRP irp) {
    if (!pend) return testkit::Complete(irp, STATUS_SUCCESS, 7);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelHeld);
    held = irp;
    return STATUS_PENDING;
  };
  PassDownWithRoutine(filter, PropagatePending);

  // Pended below, completed later by the function driver.
  Request later;
  ASSERT_EQ(later.Send(filter.device), STATUS_PENDING);
  testkit::AsDriver(function.driver, [&] {
    ASSERT_EQ(IoSetCancelRoutine(held, nullptr), CancelHeld);
    testkit::Complete(held, STATUS_SUCCESS, 3);
  });
  EXPECT_EQ(later.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(later.iosb.Information, 3u);

  // Pended below and cancelled by its issuer.
  Request cancelled;
  ASSERT_EQ(cancelled.Send(filter.device), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(cancelled.irp));
  EXPECT_EQ(cancelled.Wait(), STATUS_CANCELLED);

  // Completed at once below.
  pend = false;
  Request now;
  EXPECT_EQ(now.Send(filter.device), STATUS_SUCCESS);
  EXPECT_EQ(now.iosb.Information, 7u);

  // Forward and wait: the filter takes the IRP back and completes it again.
  filter.OnIoctl() = [&](PDEVICE_OBJECT, PIRP irp) {
    ForwardAndWait wait;
    KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalAndTakeBack, &wait, TRUE, TRUE, TRUE);
    if (IoCallDriver(filter.Lower(), irp) == STATUS_PENDING)
      KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
    return testkit::Complete(irp, STATUS_SUCCESS, irp->IoStatus.Information + 1);
  };
  Request waited;
  EXPECT_EQ(waited.Send(filter.device), STATUS_SUCCESS);
  EXPECT_EQ(waited.iosb.Information, 8u);

  // An IRP of the filter's own, freed in its completion routine.
  NTSTATUS ownStatus = STATUS_PENDING;
  testkit::AsDriver(filter.driver, [&] {
    PIRP irp = testkit::NewIrp(function.device, IRP_MJ_DEVICE_CONTROL);
    IoSetCompletionRoutine(irp, FreeOwnIrp, &ownStatus, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(function.device, irp), STATUS_SUCCESS);
  });
  EXPECT_EQ(ownStatus, STATUS_SUCCESS);
  EXPECT_EQ(machine.Irps().LiveCount(), 0u);
}
