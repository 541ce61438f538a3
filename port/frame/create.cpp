// tolvane: open, close and cleanup of the port, and the port's one-second I/O
// timer. One application handle at a time: the open allocates the rings,
// brings the device (when bound) into its open state, starts the receive
// loops and the timer, and holds the remove lock until the close.
#include "port/routines.h"

namespace {

// Both rings, at the sizes in force; a size of 0 is refused.
NTSTATUS AllocateQueues(PPORT_EXTENSION Extension) {
  if (Extension->RxQueueSize == 0 || Extension->TxQueueSize == 0) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = RingAllocate(&Extension->RxRing, Extension->RxQueueSize);
  if (NT_SUCCESS(status)) status = RingAllocate(&Extension->TxRing, Extension->TxQueueSize);
  return status;
}

// Gives a device that reports its lines two short chances (10 ms each) to
// raise CTS before the open returns; the open succeeds either way. A status
// report or the end of the input loop cuts an attempt short; a target that
// went away meanwhile fails the open.
NTSTATUS WaitForClearToSend(PPORT_EXTENSION Extension) {
  PVOID objects[2] = {&Extension->InputPipe.PipeIdleEvent, &Extension->StatusEvent};
  LARGE_INTEGER attempt;
  attempt.QuadPart = -100000;  // 10 ms
  for (int i = 0; i < 2; ++i) {
    if (Extension->StatusPipe.ModemStatus & SERIAL_MSR_CTS) return STATUS_SUCCESS;
    KeClearEvent(&Extension->StatusEvent);
    KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, TRUE, &attempt, NULL);
    if (ReadShared(Extension->TargetDetached)) return STATUS_NO_SUCH_DEVICE;
  }
  return STATUS_SUCCESS;
}

// Undoes an open that failed: the port stays closed.
NTSTATUS FailOpen(PPORT_EXTENSION Extension, NTSTATUS Status) {
  WriteShared(Extension->PortOpen, FALSE);
  StopReceive(Extension);
  StopStatusPipe(Extension);
  RingFree(&Extension->RxRing);
  FreeTransmitQueue(Extension);
  return Status;
}

// The open up to the start of the receive loops, under BindingLock: the
// queues, the wait and modem state, the device brought into its open state
// and, with a target bound, the loops started.
NTSTATUS OpenUnderLock(PPORT_EXTENSION Extension) {
  if (RemovalBegun(Extension)) return FailOpen(Extension, STATUS_NO_SUCH_DEVICE);
  // A queue size an application set lasts only until its handle is closed.
  Extension->RxQueueSize = DEFAULT_QUEUE_SIZE;
  Extension->TxQueueSize = DEFAULT_QUEUE_SIZE;
  NTSTATUS status = AllocateQueues(Extension);
  if (!NT_SUCCESS(status)) return FailOpen(Extension, status);
  KIRQL irql = KfAcquireSpinLock(&Extension->WaitLock);
  Extension->EventHistory = 0;
  Extension->PendingWaitIrp = NULL;
  KfReleaseSpinLock(&Extension->WaitLock, irql);
  Extension->StatusPipe.ModemStatus = SERIAL_MSR_CTS | SERIAL_MSR_DSR;
  Extension->HandFlow.XonLimit = (LONG)(Extension->RxRing.Size / 2);
  Extension->HandFlow.XoffLimit = (LONG)(Extension->RxRing.Size / 8);
  WriteShared(Extension->PortOpen, TRUE);
  if (Extension->EndPointCaps != 3) {
    WriteShared(Extension->DeviceReady, TRUE);
  } else {
    status = PortOpenHandshake(Extension);
    if (!NT_SUCCESS(status)) return FailOpen(Extension, status);
  }
  // Without a target, or with one whose pipes did not open, the port works
  // as an unbound port: nothing to read from, no lines to report.
  if (!PipesReady(Extension)) {
    Extension->StatusPipe.ModemStatus = 0;
    return status;
  }
  status = StartStatusPipe(Extension);
  if (NT_SUCCESS(status)) status = StartReceive(Extension);
  if (!NT_SUCCESS(status)) return FailOpen(Extension, status);
  return STATUS_SUCCESS;
}

// The open, after the exclusivity check. On failure everything it set up is
// undone and the port stays closed. BindingLock keeps a binding from starting
// or tearing down the target halfway through. PASSIVE_LEVEL; may wait for
// the device.
NTSTATUS PortOpenSequence(PPORT_EXTENSION Extension) {
  AcquireBindingLock();
  NTSTATUS status = OpenUnderLock(Extension);
  ULONG caps = Extension->EndPointCaps;
  BOOLEAN waitForCts = NT_SUCCESS(status) && PipesReady(Extension) &&
                       (caps == 1 || caps == 2 || (caps == 3 && Extension->StatusPipe.CxPollPeriod >= 0));
  ReleaseBindingLock();
  if (!waitForCts) return status;
  status = WaitForClearToSend(Extension);
  if (!NT_SUCCESS(status)) {
    AcquireBindingLock();
    FailOpen(Extension, status);
    ReleaseBindingLock();
  }
  return status;
}

// The close: the data path stopped, its requests cancelled, the rings freed,
// and a device of variant 3 told that the port is closed. Under BindingLock,
// so a binding finds the port either open or closed.
NTSTATUS PortCloseSequence(PPORT_EXTENSION Extension) {
  AcquireBindingLock();
  StopTransmit(Extension);
  StopReceive(Extension);
  NTSTATUS status = StopStatusPipe(Extension);
  CancelReadRequests(Extension);
  RingFree(&Extension->RxRing);
  FreeTransmitQueue(Extension);
  WriteShared(Extension->PortOpen, FALSE);
  if (Extension->EndPointCaps == 3 && TargetDevice(Extension)) PortCloseMessage(Extension);
  ReleaseBindingLock();
  return status;
}

NTSTATUS CompleteCreateClose(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS Open(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (InterlockedIncrement(&extension->OpenCount) > 1) {
    InterlockedDecrement(&extension->OpenCount);
    return CompleteCreateClose(Irp, STATUS_ACCESS_DENIED);
  }
  NTSTATUS status = PortOpenSequence(extension);
  if (!NT_SUCCESS(status)) {
    InterlockedDecrement(&extension->OpenCount);
    return CompleteCreateClose(Irp, status);
  }
  AllowTransmit(extension);
  // A removal that began after the open sequence looked has already released
  // the lock for good: the open is undone rather than left without its hold.
  if (!NT_SUCCESS(IoAcquireRemoveLockEx(&extension->RemoveLock, DeviceObject, "create", 45, sizeof(IO_REMOVE_LOCK)))) {
    PortCloseSequence(extension);
    InterlockedDecrement(&extension->OpenCount);
    return CompleteCreateClose(Irp, STATUS_NO_SUCH_DEVICE);
  }
  IoStartTimer(DeviceObject);
  return CompleteCreateClose(Irp, status);
}

// The handle's remove-lock hold goes last, after the close is completed: a
// removal waiting for it may delete the port the moment it is released.
NTSTATUS Close(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  NTSTATUS status = PortCloseSequence(extension);
  IoStopTimer(DeviceObject);
  InterlockedDecrement(&extension->OpenCount);
  CompleteCreateClose(Irp, status);
  IoReleaseRemoveLockEx(&extension->RemoveLock, DeviceObject, sizeof(IO_REMOVE_LOCK));
  return status;
}

}  // namespace

// IRP_MJ_CREATE and IRP_MJ_CLOSE at PASSIVE_LEVEL in the caller's thread.
NTSTATUS NTAPI PortCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE:
      return Open(DeviceObject, Irp);
    case IRP_MJ_CLOSE:
      return Close(DeviceObject, Irp);
    default:
      return CompleteCreateClose(Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// IRP_MJ_CLEANUP: the last handle is going; every request of the port's
// application ends, a pending wait-on-mask with success and no events.
NTSTATUS NTAPI PortCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  StopPipeReads(extension);
  CancelReadRequests(extension);
  StopTransmit(extension);
  CancelWriteRequests(extension);
  CompletePendingWait(extension);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// The I/O timer, once a second from open to close (DISPATCH_LEVEL): finishes
// cancelled writes in flight and cancelled wait-on-mask requests.
void NTAPI PortTimerTick(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  SweepCancelledWrite(PortExtension(DeviceObject));
  SweepCancelledWait(DeviceObject);
}

NTSTATUS StopPipeReads(PPORT_EXTENSION Extension) {
  StopReceive(Extension);
  StopStatusPipe(Extension);
  return STATUS_SUCCESS;
}

void FreeTransmitQueue(PPORT_EXTENSION Extension) {
  CancelWriteRequests(Extension);
  RingFree(&Extension->TxRing);
}
