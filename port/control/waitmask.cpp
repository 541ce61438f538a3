// tolvane: wait-on-mask. The port keeps one wait mask, the history of events
// raised since it was last cleared, and at most one pending
// IOCTL_SERIAL_WAIT_ON_MASK request. A pending wait has no cancel routine: the
// port's one-second timer sweeps cancelled ones. WaitLock guards the three;
// no other lock is taken while it is held.
#include "port/routines.h"

// Adds events to the history. Completes nothing: raisers call
// CompleteWaitIfSatisfied afterwards. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS RaiseWaitEvents(PDEVICE_OBJECT DeviceObject, ULONG Events) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  KIRQL irql = KfAcquireSpinLock(&extension->WaitLock);
  extension->EventHistory |= Events;
  KfReleaseSpinLock(&extension->WaitLock, irql);
  return STATUS_SUCCESS;
}

// Completes the pending wait with the events it waits for, if any were raised.
// The request is completed under WaitLock. Up to DISPATCH_LEVEL.
NTSTATUS CompleteWaitIfSatisfied(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  KIRQL irql = KfAcquireSpinLock(&extension->WaitLock);
  ULONG matched = extension->WaitMask & extension->EventHistory;
  PIRP irp = extension->PendingWaitIrp;
  if (matched && irp) {
    *(PULONG)irp->AssociatedIrp.SystemBuffer = matched;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = sizeof(ULONG);
    IofCompleteRequest(irp, IO_SERIAL_INCREMENT);
    extension->PendingWaitIrp = NULL;
    extension->EventHistory = 0;
  }
  KfReleaseSpinLock(&extension->WaitLock, irql);
  return STATUS_SUCCESS;
}

// Once a second from PortTimerTick (DISPATCH_LEVEL): a pending wait whose
// Cancel flag is set is taken out of its slot and completed outside WaitLock.
void SweepCancelledWait(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  PIRP cancelled = NULL;
  KIRQL irql = KfAcquireSpinLock(&extension->WaitLock);
  if (extension->PendingWaitIrp && extension->PendingWaitIrp->Cancel)
    cancelled = (PIRP)InterlockedExchangePointer((PVOID volatile*)&extension->PendingWaitIrp, NULL);
  KfReleaseSpinLock(&extension->WaitLock, irql);
  if (cancelled) CompleteRequest(cancelled, STATUS_CANCELLED, 0);
}

namespace {

// Ends a wait that no event satisfied (a new mask, cleanup, removal): success
// with an event mask of zero in the output, so the application's variable
// reads zero rather than what it held before. The output buffer was checked
// to hold a ULONG when the wait was accepted. Under WaitLock.
void CompleteWaitWithoutEvents(PIRP Irp) {
  *(PULONG)Irp->AssociatedIrp.SystemBuffer = 0;
  CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG));
}

}  // namespace

// At cleanup and removal: a pending wait ends with success and a zero event
// mask. Mask and history stay.
void CompletePendingWait(PPORT_EXTENSION Extension) {
  KIRQL irql = KfAcquireSpinLock(&Extension->WaitLock);
  if (PIRP irp = Extension->PendingWaitIrp) {
    Extension->PendingWaitIrp = NULL;
    CompleteWaitWithoutEvents(irp);
  }
  KfReleaseSpinLock(&Extension->WaitLock, irql);
}

namespace {

NTSTATUS GetWaitMask(PPORT_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack) {
  if (Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  KIRQL irql = KfAcquireSpinLock(&Extension->WaitLock);
  *(PULONG)Irp->AssociatedIrp.SystemBuffer = Extension->WaitMask;
  KfReleaseSpinLock(&Extension->WaitLock, irql);
  return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG));
}

// A new mask ends a pending wait with success and no events; the history stays.
NTSTATUS SetWaitMask(PPORT_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack) {
  if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG))
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
  KIRQL irql = KfAcquireSpinLock(&Extension->WaitLock);
  if (PIRP pending = Extension->PendingWaitIrp) {
    Extension->PendingWaitIrp = NULL;
    CompleteWaitWithoutEvents(pending);
  }
  Extension->WaitMask = mask;
  KfReleaseSpinLock(&Extension->WaitLock, irql);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// Completes at once with the events already in the history, or pends until
// one is raised. The result is written into the system buffer, so an output
// buffer shorter than a ULONG is refused before anything is looked at.
NTSTATUS WaitOnMask(PPORT_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack) {
  if (RemovalBegun(Extension)) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  if (Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  KIRQL irql = KfAcquireSpinLock(&Extension->WaitLock);
  if (Extension->WaitMask == 0 || Extension->PendingWaitIrp) {
    KfReleaseSpinLock(&Extension->WaitLock, irql);
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  ULONG matched = Extension->WaitMask & Extension->EventHistory;
  if (matched) {
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = matched;
    Extension->EventHistory = 0;
    CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG), IO_SERIAL_INCREMENT);
    KfReleaseSpinLock(&Extension->WaitLock, irql);
    return STATUS_SUCCESS;
  }
  IoMarkIrpPending(Irp);
  Extension->PendingWaitIrp = Irp;
  KfReleaseSpinLock(&Extension->WaitLock, irql);
  return STATUS_PENDING;
}

}  // namespace

NTSTATUS SerialWaitRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (Code) {
    case IOCTL_SERIAL_GET_WAIT_MASK:
      return GetWaitMask(extension, Irp, stack);
    case IOCTL_SERIAL_SET_WAIT_MASK:
      return SetWaitMask(extension, Irp, stack);
    default:
      return WaitOnMask(extension, Irp, stack);
  }
}
