// The IRP lifecycle rules that concern who holds an IRP and how it travels:
// stack locations, freeing, cancel routines across IoCallDriver, and the IRQL
// a driver routine hands back to the kernel.
#include <gtest/gtest.h>

#include "sim/kernel/irp.h"
#include "tests/sim/verifier_kit.h"

using verifierkit::HoldRequests;
using verifierkit::Request;
using verifierkit::TestDevice;

namespace {

void NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI UpperDone(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ReturnRaised(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  KeRaiseIrqlToDpcLevel();
  return STATUS_SUCCESS;
}

void NTAPI DpcLowersIrql(PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }

void NTAPI WorkItemRaisesIrql(PDEVICE_OBJECT, PVOID) { KeRaiseIrqlToDpcLevel(); }

void CallWithoutSettingUpNextLocation() {
  sim::Machine machine;
  TestDevice function(machine, u"Function");
  TestDevice filter(machine, u"Filter");
  filter.AttachTo(function);
  function.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS); };
  filter.OnIoctl() = [&](PDEVICE_OBJECT, PIRP irp) { return IoCallDriver(filter.Lower(), irp); };
  Request().Send(filter.device);
}

void CopyUpperCompletionRoutine() {
  sim::Machine machine;
  TestDevice bottom(machine, u"Bottom");
  TestDevice middle(machine, u"Middle");
  TestDevice top(machine, u"Top");
  middle.AttachTo(bottom);
  top.AttachTo(middle);
  bottom.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS); };
  middle.OnIoctl() = [&](PDEVICE_OBJECT, PIRP irp) {
    *IoGetNextIrpStackLocation(irp) = *IoGetCurrentIrpStackLocation(irp);  // copies the routine too
    return IoCallDriver(middle.Lower(), irp);
  };
  top.OnIoctl() = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UpperDone, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(top.Lower(), irp);
  };
  Request().Send(top.device);
}

// The sender never attached to the device it forwards to, so the IRP was
// built with no stack location for it.
void ForwardBeyondTheLastLocation() {
  sim::Machine machine;
  TestDevice function(machine, u"Function");
  TestDevice sender(machine, u"Sender");
  sender.behaviour.lower = function.device;
  sender.OnIoctl() = [&](PDEVICE_OBJECT, PIRP irp) { return IoCallDriver(sender.Lower(), irp); };
  Request().Send(sender.device);
}

void CompleteIrpTheLowerDriverHolds() {
  sim::Machine machine;
  TestDevice function(machine, u"Function");
  TestDevice filter(machine, u"Filter");
  filter.AttachTo(function);
  PIRP held = nullptr;
  HoldRequests(function, held);
  filter.OnIoctl() = [&](PDEVICE_OBJECT device, PIRP irp) {
    testkit::PassDown(device, irp);
    return testkit::Complete(irp, STATUS_CANCELLED);  // the filter no longer owns it
  };
  Request().Send(filter.device);
}

void PassOnIrpTheLowerDriverHolds(bool skip) {
  sim::Machine machine;
  TestDevice function(machine, u"Function");
  TestDevice filter(machine, u"Filter");
  filter.AttachTo(function);
  PIRP held = nullptr;
  HoldRequests(function, held);
  filter.OnIoctl() = [&](PDEVICE_OBJECT device, PIRP irp) {
    if (skip) {
      testkit::PassDown(device, irp);
      return testkit::PassDown(device, irp);  // sends it a second time
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoCallDriver(filter.Lower(), irp);
    return IoCallDriver(filter.Lower(), irp);
  };
  Request().Send(filter.device);
}

void FreeIrpTheLowerDriverHolds() {
  sim::Machine machine;
  TestDevice function(machine, u"Function");
  TestDevice client(machine, u"Client");
  PIRP held = nullptr;
  HoldRequests(function, held);
  testkit::AsDriver(client.driver, [&] {
    PIRP irp = testkit::NewIrp(function.device, IRP_MJ_DEVICE_CONTROL);
    IoCallDriver(function.device, irp);
    IoFreeIrp(irp);
  });
}

void FreeIrpStillInADeviceQueue() {
  sim::Machine machine;
  TestDevice function(machine, u"Function");
  TestDevice client(machine, u"Client");
  KDEVICE_QUEUE_ENTRY busy{};
  function.OnIoctl() = [&](PDEVICE_OBJECT device, PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeInsertDeviceQueue(&device->DeviceQueue, &busy);  // the device is busy with an earlier request
    KeInsertDeviceQueue(&device->DeviceQueue, &irp->Tail.Overlay.DeviceQueueEntry);
    KeLowerIrql(old);
    return STATUS_PENDING;
  };
  testkit::AsDriver(client.driver, [&] {
    PIRP irp = testkit::NewIrp(function.device, IRP_MJ_DEVICE_CONTROL);
    IoCallDriver(function.device, irp);
    IoFreeIrp(irp);
  });
}

void FreeIrpWithExFreePool() {
  sim::Machine machine;
  TestDevice function(machine, u"Function");
  testkit::AsDriver(function.driver, [&] { ExFreePool(testkit::NewIrp(function.device, IRP_MJ_DEVICE_CONTROL)); });
}

void FreeTheApplicationsIrp() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  port.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) {
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
  };
  Request().Send(port.device);
}

void PassOnWithCancelRoutineSet() {
  sim::Machine machine;
  TestDevice function(machine, u"Function");
  TestDevice filter(machine, u"Filter");
  filter.AttachTo(function);
  function.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS); };
  filter.OnIoctl() = [](PDEVICE_OBJECT device, PIRP irp) {
    IoSetCancelRoutine(irp, IgnoreCancel);
    return testkit::PassDown(device, irp);
  };
  Request().Send(filter.device);
}

void DispatchReturnsRaised() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  port.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) {
    KeRaiseIrqlToDpcLevel();
    return testkit::Complete(irp, STATUS_SUCCESS);
  };
  Request().Send(port.device);
}

void DpcReturnsLowered() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  KDPC dpc;
  testkit::AsDriver(port.driver, [&] {
    KeInitializeDpc(&dpc, DpcLowersIrql, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
  });
  KeFlushQueuedDpcs();
}

void WorkItemReturnsRaised() {
  sim::Machine machine;
  TestDevice port(machine, u"Port");
  testkit::AsDriver(port.driver, [&] {
    IoQueueWorkItem(IoAllocateWorkItem(port.device), WorkItemRaisesIrql, DelayedWorkQueue, nullptr);
  });
  machine.Sleep(sim::kTicksPerSecond);
}

void CompletionRoutineReturnsRaised() {
  sim::Machine machine;
  TestDevice function(machine, u"Function");
  TestDevice filter(machine, u"Filter");
  filter.AttachTo(function);
  function.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS); };
  filter.OnIoctl() = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ReturnRaised, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(filter.Lower(), irp);
  };
  Request().Send(filter.device);
}

}  // namespace

TEST(VerifierIrpOwnership, CallingWithoutSettingUpTheNextLocation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CallWithoutSettingUpNextLocation(),
               "VERIFIER STOP: StackLocationMisuse.*IoCallDriver without setting up the next stack location"
               ".*\\(Filter, dispatch routine\\)");
}

TEST(VerifierIrpOwnership, CopyingTheUpperDriversCompletionRoutine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CopyUpperCompletionRoutine(),
               "VERIFIER STOP: StackLocationMisuse.*upper driver's completion routine .*UpperDone copied"
               ".*\\(Middle, dispatch routine\\)");
}

TEST(VerifierIrpOwnership, ForwardingWithNoStackLocationLeft) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ForwardBeyondTheLastLocation(),
               "VERIFIER STOP: StackLocationMisuse.*IoCallDriver with no stack location left for the next driver");
}

TEST(VerifierIrpOwnership, CompletingAnIrpALowerDriverHolds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CompleteIrpTheLowerDriverHolds(),
               "VERIFIER STOP: StackLocationMisuse.*IoCompleteRequest by Filter on an IRP that Function owns");
}

TEST(VerifierIrpOwnership, PassingOnAnIrpALowerDriverHolds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(PassOnIrpTheLowerDriverHolds(false),
               "VERIFIER STOP: StackLocationMisuse.*IoCallDriver by Filter on an IRP that Function owns");
  EXPECT_DEATH(PassOnIrpTheLowerDriverHolds(true),
               "VERIFIER STOP: StackLocationMisuse.*IoCallDriver by Filter on an IRP that Function owns");
}

TEST(VerifierIrpOwnership, FreeingAnIrpALowerDriverHolds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(FreeIrpTheLowerDriverHolds(), "VERIFIER STOP: FreeIrpInUse.*IoFreeIrp on an IRP that Function still holds");
}

TEST(VerifierIrpOwnership, FreeingAnIrpStillInADeviceQueue) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(FreeIrpStillInADeviceQueue(), "VERIFIER STOP: FreeIrpInUse.*IoFreeIrp on an IRP still in a device queue");
}

TEST(VerifierIrpOwnership, FreeingAnIrpWithExFreePool) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(FreeIrpWithExFreePool(), "VERIFIER STOP: FreeIrpInUse.*ExFreePool on IRP 0x[0-9a-f]+.*IoFreeIrp");
}

TEST(VerifierIrpOwnership, FreeingAnIrpTheIoManagerBuiltForAThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(FreeTheApplicationsIrp(),
               "VERIFIER STOP: FreeIrpInUse.*IoFreeIrp on an IRP the I/O manager built for a thread");
}

TEST(VerifierIrpOwnership, PassingOnAnIrpWithItsCancelRoutineSet) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(PassOnWithCancelRoutineSet(),
               "VERIFIER STOP: CancelRoutineOwnership.*IoCallDriver on an IRP that still has cancel routine .*IgnoreCancel");
}

TEST(VerifierIrpOwnership, RoutinesMustReturnAtTheIrqlTheyWereCalledAt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(DispatchReturnsRaised(),
               "VERIFIER STOP: IrqlDrift.*dispatch routine returned at IRQL 2; expected IRQL 0.*\\(Port, dispatch routine\\)");
  EXPECT_DEATH(DpcReturnsLowered(),
               "VERIFIER STOP: IrqlDrift.*DPC routine returned at IRQL 0; expected IRQL 2.*DpcLowersIrql \\(Port, DPC routine\\)");
  EXPECT_DEATH(WorkItemReturnsRaised(),
               "VERIFIER STOP: IrqlDrift.*work item returned at IRQL 2; expected IRQL 0.*WorkItemRaisesIrql \\(Port, work item\\)");
  EXPECT_DEATH(CompletionRoutineReturnsRaised(),
               "VERIFIER STOP: IrqlDrift.*completion routine returned at IRQL 2; expected IRQL 0"
               ".*ReturnRaised \\(Filter, completion routine\\)");
}

// ---- The correct patterns: none of them stops the machine ----

namespace {

NTSTATUS NTAPI TakeBackAndFree(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  *(NTSTATUS*)context = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

struct Held {
  PIRP irp = nullptr;
  KSPIN_LOCK lock;
};

// Completes the held request at DISPATCH_LEVEL, as a device's DPC does.
void NTAPI CompleteHeldFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* held = (Held*)context;
  KeAcquireSpinLockAtDpcLevel(&held->lock);
  PIRP irp = held->irp;
  held->irp = nullptr;
  KeReleaseSpinLockFromDpcLevel(&held->lock);
  testkit::Complete(irp, STATUS_SUCCESS, 5);
}

void NTAPI SignalFromWorkItem(PDEVICE_OBJECT, PVOID context) {
  KIRQL old = KeRaiseIrqlToDpcLevel();
  KeLowerIrql(old);
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
}

}  // namespace

TEST(VerifierIrpOwnership, CorrectForwardingFreeingAndIrqlPassUnnoticed) {
  sim::Machine machine;
  TestDevice bottom(machine, u"Bottom");
  TestDevice middle(machine, u"Middle");
  TestDevice top(machine, u"Top");
  middle.AttachTo(bottom);
  top.AttachTo(middle);
  Held held;
  KeInitializeSpinLock(&held.lock);
  bottom.OnIoctl() = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL old;
    KeAcquireSpinLock(&held.lock, &old);
    held.irp = irp;
    KeReleaseSpinLock(&held.lock, old);
    return STATUS_PENDING;
  };
  middle.OnIoctl() = [](PDEVICE_OBJECT device, PIRP irp) { return testkit::PassDown(device, irp); };
  top.OnIoctl() = [&](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, IgnoreCancel);
    IoSetCancelRoutine(irp, nullptr);  // taken back before the IRP goes on
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UpperDone, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(top.Lower(), irp);
  };

  // Through a copying and a skipping level, completed by a DPC of the bottom driver.
  Request request;
  ASSERT_EQ(request.Send(top.device), STATUS_PENDING);
  KDPC dpc;
  testkit::AsDriver(bottom.driver, [&] {
    KeInitializeDpc(&dpc, CompleteHeldFromDpc, &held);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
  });
  EXPECT_EQ(request.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(request.iosb.Information, 5u);

  // A request of the top driver's own, queued in the bottom device's queue,
  // started from there and freed by its sender's completion routine.
  KDEVICE_QUEUE_ENTRY current{};
  bottom.OnIoctl() = [&](PDEVICE_OBJECT device, PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeInsertDeviceQueue(&device->DeviceQueue, &current);
    KeInsertDeviceQueue(&device->DeviceQueue, &irp->Tail.Overlay.DeviceQueueEntry);
    KeLowerIrql(old);
    return STATUS_PENDING;
  };
  NTSTATUS ownStatus = STATUS_PENDING;
  testkit::AsDriver(top.driver, [&] {
    PIRP irp = testkit::NewIrp(bottom.device, IRP_MJ_DEVICE_CONTROL);
    IoSetCompletionRoutine(irp, TakeBackAndFree, &ownStatus, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(bottom.device, irp), STATUS_PENDING);
  });
  testkit::AsDriver(bottom.driver, [&] {
    KIRQL old = KeRaiseIrqlToDpcLevel();
    PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&bottom.device->DeviceQueue);
    KeLowerIrql(old);
    ASSERT_NE(next, nullptr);
    testkit::Complete(CONTAINING_RECORD(next, IRP, Tail.Overlay.DeviceQueueEntry), STATUS_SUCCESS);
  });
  EXPECT_EQ(ownStatus, STATUS_SUCCESS);
  EXPECT_EQ(machine.Irps().LiveCount(), 0u);

  // A request with a stack location of its sender's own (IoSetNextIrpStackLocation),
  // which the sender fills as it likes, the target's device included: until
  // it is first sent, the request is its allocator's.
  bottom.OnIoctl() = [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS); };
  ownStatus = STATUS_PENDING;
  testkit::AsDriver(top.driver, [&] {
    PIRP irp = IoAllocateIrp((CCHAR)(bottom.device->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    for (PIO_STACK_LOCATION location : {IoGetCurrentIrpStackLocation(irp), IoGetNextIrpStackLocation(irp)}) {
      location->MajorFunction = IRP_MJ_DEVICE_CONTROL;
      location->DeviceObject = bottom.device;
    }
    IoSetCompletionRoutine(irp, TakeBackAndFree, &ownStatus, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(bottom.device, irp), STATUS_SUCCESS);
  });
  EXPECT_EQ(ownStatus, STATUS_SUCCESS);

  // A work item that raises and lowers again before it returns.
  KEVENT workDone;
  KeInitializeEvent(&workDone, NotificationEvent, FALSE);
  PIO_WORKITEM item = nullptr;
  testkit::AsDriver(bottom.driver, [&] {
    item = IoAllocateWorkItem(bottom.device);
    IoQueueWorkItem(item, SignalFromWorkItem, DelayedWorkQueue, &workDone);
  });
  KeWaitForSingleObject(&workDone, Executive, KernelMode, FALSE, nullptr);
  testkit::AsDriver(bottom.driver, [&] { IoFreeWorkItem(item); });
}
