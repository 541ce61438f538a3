// tolvane: read requests. Reads are served one at a time, in arrival order,
// from RxRing: the one being served is CurrentReadIrp, the others wait in
// ReadQueue. The port's SERIAL_TIMEOUTS decide when a read is complete. Read
// requests have no cancel routine: they end by data, by a timeout, or by
// CancelReadRequests.
//
// ReadQueueLock guards ReadQueue and CurrentReadIrp. Whoever completes the
// current read first takes it out of CurrentReadIrp under the lock, so each
// read is completed exactly once although the service, both timer DPCs and
// CancelReadRequests race for it. Bytes move into the request under the same
// lock, so nobody writes into a request another path has completed.
#include "port/routines.h"

namespace {

KDEFERRED_ROUTINE ReadTotalTimeoutDpc;
KDEFERRED_ROUTINE ReadIntervalTimeoutDpc;
void StartCurrentRead(PPORT_EXTENSION Extension);

BOOLEAN ImmediateMode(const SERIAL_TIMEOUTS& Timeouts) {
  return Timeouts.ReadIntervalTimeout == MAXULONG && Timeouts.ReadTotalTimeoutMultiplier == 0 &&
         Timeouts.ReadTotalTimeoutConstant == 0;
}

BOOLEAN FirstByteMode(const SERIAL_TIMEOUTS& Timeouts) {
  return Timeouts.ReadIntervalTimeout == MAXULONG && Timeouts.ReadTotalTimeoutMultiplier == MAXULONG &&
         Timeouts.ReadTotalTimeoutConstant > 0 && Timeouts.ReadTotalTimeoutConstant < MAXULONG;
}

ULONG ReadLength(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length; }

void SetTimer(PKTIMER Timer, PKDPC Dpc, ULONG Milliseconds) {
  LARGE_INTEGER dueTime;
  dueTime.QuadPart = -(LONGLONG)Milliseconds * 10000;
  KeSetTimer(Timer, dueTime, Dpc);
}

// The total timeout of the current read: none in the immediate mode, the
// constant in the first-byte mode, length × multiplier + constant (32-bit,
// wrapping) otherwise. A read without a total timeout cancels a timer left
// running for an earlier read, which would otherwise end this one.
void SetReadTotalTimer(PPORT_EXTENSION Extension, PIRP Irp) {
  SERIAL_TIMEOUTS timeouts = Extension->Timeouts;
  ULONG timeout;
  if (ImmediateMode(timeouts)) timeout = 0;
  else if (FirstByteMode(timeouts)) timeout = timeouts.ReadTotalTimeoutConstant;
  else timeout = ReadLength(Irp) * timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant;
  INPUT_PIPE_CONTEXT& pipe = Extension->InputPipe;
  if (timeout) SetTimer(&pipe.ReadTotalTimer, &pipe.ReadTotalTimerDpc, timeout);
  else KeCancelTimer(&pipe.ReadTotalTimer);
}

void SetReadIntervalTimer(PPORT_EXTENSION Extension) {
  ULONG interval = Extension->Timeouts.ReadIntervalTimeout;
  INPUT_PIPE_CONTEXT& pipe = Extension->InputPipe;
  if (interval > 0 && interval < MAXULONG) SetTimer(&pipe.ReadIntervalTimer, &pipe.ReadIntervalTimerDpc, interval);
}

// DISPATCH_LEVEL.
void StartCurrentRead(PPORT_EXTENSION Extension) {
  SetReadTotalTimer(Extension, Extension->CurrentReadIrp);
  KeCancelTimer(&Extension->InputPipe.ReadIntervalTimer);
  ServiceCurrentRead(Extension);
}

// Completes a read taken out of CurrentReadIrp, then makes the next queued
// read current or leaves the queue idle. Reads complete in arrival order.
// When no read follows, the completion is the last thing done here: the
// application may close and the port go once it has seen it. While a read
// is queued, its file is open and the port stays.
void FinishRead(PPORT_EXTENSION Extension, PIRP Finished, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost) {
  KIRQL irql = KfAcquireSpinLock(&Extension->ReadQueueLock);
  PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&Extension->ReadQueue);
  if (entry) {
    Extension->CurrentReadIrp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry);
    KfReleaseSpinLock(&Extension->ReadQueueLock, DISPATCH_LEVEL);
    CompleteRequest(Finished, Status, Information, Boost);
    StartCurrentRead(Extension);
    KfLowerIrql(irql);
    return;
  }
  Extension->CurrentReadIrp = NULL;
  KfReleaseSpinLock(&Extension->ReadQueueLock, irql);
  KeCancelTimer(&Extension->InputPipe.ReadTotalTimer);
  CompleteRequest(Finished, Status, Information, Boost);
}

void QueueOrStartRead(PPORT_EXTENSION Extension, PIRP Irp) {
  KIRQL irql = KfAcquireSpinLock(&Extension->ReadQueueLock);
  if (KeInsertDeviceQueue(&Extension->ReadQueue, &Irp->Tail.Overlay.DeviceQueueEntry)) {
    KfReleaseSpinLock(&Extension->ReadQueueLock, irql);
    return;
  }
  Extension->CurrentReadIrp = Irp;
  KfReleaseSpinLock(&Extension->ReadQueueLock, DISPATCH_LEVEL);
  StartCurrentRead(Extension);
  KfLowerIrql(irql);
}

// Takes the current read out of its slot, if there is one; the caller then
// completes it and starts the next.
PIRP TakeCurrentRead(PPORT_EXTENSION Extension) {
  KIRQL irql = KfAcquireSpinLock(&Extension->ReadQueueLock);
  PIRP irp = Extension->CurrentReadIrp;
  Extension->CurrentReadIrp = NULL;
  KfReleaseSpinLock(&Extension->ReadQueueLock, irql);
  return irp;
}

// A timer ends the current read with the bytes it has.
void NTAPI ReadTotalTimeoutDpc(PKDPC, PVOID Context, PVOID, PVOID) {
  PPORT_EXTENSION extension = PortExtension((PDEVICE_OBJECT)Context);
  KeCancelTimer(&extension->InputPipe.ReadIntervalTimer);
  if (PIRP irp = TakeCurrentRead(extension)) FinishRead(extension, irp, STATUS_SUCCESS, irp->IoStatus.Information, IO_NO_INCREMENT);
}

void NTAPI ReadIntervalTimeoutDpc(PKDPC, PVOID Context, PVOID, PVOID) {
  PPORT_EXTENSION extension = PortExtension((PDEVICE_OBJECT)Context);
  if (PIRP irp = TakeCurrentRead(extension)) FinishRead(extension, irp, STATUS_SUCCESS, irp->IoStatus.Information, IO_NO_INCREMENT);
}

}  // namespace

// The read timers; ReadQueueLock and ReadQueue are set up with the port's other locks.
void InitializeReadPath(PPORT_EXTENSION Extension) {
  Extension->CurrentReadIrp = NULL;
  INPUT_PIPE_CONTEXT& pipe = Extension->InputPipe;
  KeInitializeTimer(&pipe.ReadTotalTimer);
  KeInitializeDpc(&pipe.ReadTotalTimerDpc, ReadTotalTimeoutDpc, Extension->DeviceObject);
  KeInitializeTimer(&pipe.ReadIntervalTimer);
  KeInitializeDpc(&pipe.ReadIntervalTimerDpc, ReadIntervalTimeoutDpc, Extension->DeviceObject);
}

// IRP_MJ_READ at PASSIVE_LEVEL. Every read restarts stopped receive loops. In
// the immediate mode with no read current it is answered at once from the
// ring; otherwise it pends until its timeouts or its length say it is done.
NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  StartReceive(extension);
  StartStatusPipe(extension);
  ULONG length = ReadLength(Irp);
  if (!Irp->AssociatedIrp.SystemBuffer || length == 0) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  KIRQL irql = KfAcquireSpinLock(&extension->ReadQueueLock);
  if (!extension->CurrentReadIrp && ImmediateMode(extension->Timeouts)) {
    KfReleaseSpinLock(&extension->ReadQueueLock, irql);
    ULONG taken = RingGet((PUCHAR)Irp->AssociatedIrp.SystemBuffer, &extension->RxRing, length);
    KeCancelTimer(&extension->InputPipe.ReadIntervalTimer);
    return CompleteRequest(Irp, STATUS_SUCCESS, taken, IO_SERIAL_INCREMENT);
  }
  KfReleaseSpinLock(&extension->ReadQueueLock, irql);
  IoMarkIrpPending(Irp);
  Irp->IoStatus.Information = 0;
  QueueOrStartRead(extension, Irp);
  return STATUS_PENDING;
}

// Moves what the ring holds into the current read and completes it when its
// mode says it is done. Returns STATUS_CANCELLED when no read is current.
// Up to DISPATCH_LEVEL: from the receive path, the read dispatch and the DPCs.
NTSTATUS ServiceCurrentRead(PPORT_EXTENSION Extension) {
  KIRQL irql = KfAcquireSpinLock(&Extension->ReadQueueLock);
  PIRP irp = Extension->CurrentReadIrp;
  if (!irp) {
    KfReleaseSpinLock(&Extension->ReadQueueLock, irql);
    return STATUS_CANCELLED;
  }
  SERIAL_TIMEOUTS timeouts = Extension->Timeouts;
  ULONG length = ReadLength(irp);
  PUCHAR buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
  ULONG taken = RingGet(buffer + irp->IoStatus.Information, &Extension->RxRing, length - (ULONG)irp->IoStatus.Information);
  irp->IoStatus.Information += taken;
  BOOLEAN done;
  if (ImmediateMode(timeouts)) {
    done = TRUE;
  } else {
    if (taken) SetReadIntervalTimer(Extension);
    done = irp->IoStatus.Information == length || (FirstByteMode(timeouts) && irp->IoStatus.Information > 0);
  }
  if (done) Extension->CurrentReadIrp = NULL;
  KfReleaseSpinLock(&Extension->ReadQueueLock, irql);
  if (!done) return STATUS_SUCCESS;
  if (ImmediateMode(timeouts)) KeCancelTimer(&Extension->InputPipe.ReadIntervalTimer);
  FinishRead(Extension, irp, STATUS_SUCCESS, irp->IoStatus.Information, IO_SERIAL_INCREMENT);
  return STATUS_SUCCESS;
}

// Completes every queued read and the current one with STATUS_CANCELLED and
// no bytes. The read timers are stopped first, while nothing can become
// current, so a timer already due does not end a read that starts later.
// The queued reads are taken out one by one, so the queue's busy state stays
// with whoever owns the current slot: this routine when it took the current
// read, or a completion path that took it first and will finish it.
void CancelReadRequests(PPORT_EXTENSION Extension) {
  INPUT_PIPE_CONTEXT& pipe = Extension->InputPipe;
  KIRQL irql = KfAcquireSpinLock(&Extension->ReadQueueLock);
  KeCancelTimer(&pipe.ReadTotalTimer);
  KeCancelTimer(&pipe.ReadIntervalTimer);
  KeRemoveQueueDpc(&pipe.ReadTotalTimerDpc);
  KeRemoveQueueDpc(&pipe.ReadIntervalTimerDpc);
  PIRP current = Extension->CurrentReadIrp;
  Extension->CurrentReadIrp = NULL;
  PLIST_ENTRY head = &Extension->ReadQueue.DeviceListHead;
  while (!IsListEmpty(head)) {
    PKDEVICE_QUEUE_ENTRY entry = CONTAINING_RECORD(head->Flink, KDEVICE_QUEUE_ENTRY, DeviceListEntry);
    KeRemoveEntryDeviceQueue(&Extension->ReadQueue, entry);
    CompleteRequest(CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry), STATUS_CANCELLED, 0);
  }
  KfReleaseSpinLock(&Extension->ReadQueueLock, irql);
  if (current) FinishRead(Extension, current, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
}
