// tolvane: read requests. Reads are served one at a time, in arrival order,
// from RxRing: the one being served is CurrentReadIrp, the others wait in
// ReadQueue. The port's SERIAL_TIMEOUTS decide when a read is complete. Read
// requests have no cancel routine: they end by data, by a timeout, or by
// CancelReadRequests.
//
// ReadQueueLock guards ReadQueue, CurrentReadIrp and the read numbers.
// Whoever completes the current read first takes it out of CurrentReadIrp
// under the lock, so each read is completed exactly once although the
// service, both timer DPCs and CancelReadRequests race for it. Bytes move
// into the request under the same lock, so nobody writes into a request
// another path has completed. The timers are set and cancelled under the
// lock too, each with the number of the read it is for: a timer DPC ends the
// current read only if its timer has expired (it was not set again since the
// DPC was queued) for that very read.
#include "port/routines.h"

namespace {

KDEFERRED_ROUTINE ReadTotalTimeoutDpc;
KDEFERRED_ROUTINE ReadIntervalTimeoutDpc;

BOOLEAN ImmediateMode(const SERIAL_TIMEOUTS& Timeouts) {
  return Timeouts.ReadIntervalTimeout == MAXULONG && Timeouts.ReadTotalTimeoutMultiplier == 0 &&
         Timeouts.ReadTotalTimeoutConstant == 0;
}

BOOLEAN FirstByteMode(const SERIAL_TIMEOUTS& Timeouts) {
  return Timeouts.ReadIntervalTimeout == MAXULONG && Timeouts.ReadTotalTimeoutMultiplier == MAXULONG &&
         Timeouts.ReadTotalTimeoutConstant > 0 && Timeouts.ReadTotalTimeoutConstant < MAXULONG;
}

ULONG ReadLength(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length; }

// Sets a read timer for the current read. Under ReadQueueLock.
void SetReadTimer(PPORT_EXTENSION Extension, PKTIMER Timer, PKDPC Dpc, PULONG TimerReadNumber, ULONG Milliseconds) {
  *TimerReadNumber = Extension->CurrentReadNumber;
  LARGE_INTEGER dueTime;
  dueTime.QuadPart = -(LONGLONG)Milliseconds * 10000;
  KeSetTimer(Timer, dueTime, Dpc);
}

// The total timeout of a read: none in the immediate mode, the constant in
// the first-byte mode, length × multiplier + constant (32-bit, wrapping)
// otherwise.
ULONG TotalTimeout(const SERIAL_TIMEOUTS& Timeouts, PIRP Irp) {
  if (ImmediateMode(Timeouts)) return 0;
  if (FirstByteMode(Timeouts)) return Timeouts.ReadTotalTimeoutConstant;
  return ReadLength(Irp) * Timeouts.ReadTotalTimeoutMultiplier + Timeouts.ReadTotalTimeoutConstant;
}

// The interval timer runs after every service that delivered bytes. Under
// ReadQueueLock.
void SetReadIntervalTimer(PPORT_EXTENSION Extension) {
  ULONG interval = Extension->Timeouts.ReadIntervalTimeout;
  INPUT_PIPE_CONTEXT& pipe = Extension->InputPipe;
  if (interval > 0 && interval < MAXULONG)
    SetReadTimer(Extension, &pipe.ReadIntervalTimer, &pipe.ReadIntervalTimerDpc, &Extension->IntervalTimerReadNumber,
                 interval);
}

// `Irp` becomes the current read, with the next number and its own total
// timer; the interval timer waits for its first bytes. A read without a total
// timeout cancels a timer left set for an earlier one. Under ReadQueueLock.
void MakeCurrentRead(PPORT_EXTENSION Extension, PIRP Irp) {
  INPUT_PIPE_CONTEXT& pipe = Extension->InputPipe;
  Extension->CurrentReadIrp = Irp;
  ++Extension->CurrentReadNumber;
  ULONG timeout = TotalTimeout(Extension->Timeouts, Irp);
  if (timeout)
    SetReadTimer(Extension, &pipe.ReadTotalTimer, &pipe.ReadTotalTimerDpc, &Extension->TotalTimerReadNumber, timeout);
  else
    KeCancelTimer(&pipe.ReadTotalTimer);
  KeCancelTimer(&pipe.ReadIntervalTimer);
}

// Completes a read taken out of CurrentReadIrp, after making the next queued
// read current or leaving the queue idle with no timer set. Reads complete in
// arrival order. When no read follows, the completion is the last thing done
// here: the application may close and the port go once it has seen it. While
// a read is queued, its file is open and the port stays.
void FinishRead(PPORT_EXTENSION Extension, PIRP Finished, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost) {
  KIRQL irql = KfAcquireSpinLock(&Extension->ReadQueueLock);
  PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&Extension->ReadQueue);
  if (entry) {
    MakeCurrentRead(Extension, CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry));
  } else {
    Extension->CurrentReadIrp = NULL;
    KeCancelTimer(&Extension->InputPipe.ReadTotalTimer);
    KeCancelTimer(&Extension->InputPipe.ReadIntervalTimer);
  }
  KfReleaseSpinLock(&Extension->ReadQueueLock, irql);
  CompleteRequest(Finished, Status, Information, Boost);
  if (entry) ServiceCurrentRead(Extension);
}

void QueueOrStartRead(PPORT_EXTENSION Extension, PIRP Irp) {
  KIRQL irql = KfAcquireSpinLock(&Extension->ReadQueueLock);
  BOOLEAN queued = KeInsertDeviceQueue(&Extension->ReadQueue, &Irp->Tail.Overlay.DeviceQueueEntry);
  if (!queued) MakeCurrentRead(Extension, Irp);
  KfReleaseSpinLock(&Extension->ReadQueueLock, irql);
  if (!queued) ServiceCurrentRead(Extension);
}

// A timer DPC's claim on the current read: granted when the timer has expired
// for that very read, and not been set again since. The total timeout also
// stops the interval timer. DISPATCH_LEVEL.
PIRP TakeTimedOutRead(PPORT_EXTENSION Extension, PKTIMER Timer, ULONG TimerReadNumber, BOOLEAN Total) {
  KIRQL irql = KfAcquireSpinLock(&Extension->ReadQueueLock);
  PIRP irp = Extension->CurrentReadIrp;
  if (irp && TimerReadNumber == Extension->CurrentReadNumber && KeReadStateTimer(Timer)) {
    Extension->CurrentReadIrp = NULL;
    if (Total) KeCancelTimer(&Extension->InputPipe.ReadIntervalTimer);
  } else {
    irp = NULL;
  }
  KfReleaseSpinLock(&Extension->ReadQueueLock, irql);
  return irp;
}

// A timer ends the current read with the bytes it has.
void NTAPI ReadTotalTimeoutDpc(PKDPC, PVOID Context, PVOID, PVOID) {
  PPORT_EXTENSION extension = PortExtension((PDEVICE_OBJECT)Context);
  PIRP irp = TakeTimedOutRead(extension, &extension->InputPipe.ReadTotalTimer, extension->TotalTimerReadNumber, TRUE);
  if (irp) FinishRead(extension, irp, STATUS_SUCCESS, irp->IoStatus.Information, IO_NO_INCREMENT);
}

void NTAPI ReadIntervalTimeoutDpc(PKDPC, PVOID Context, PVOID, PVOID) {
  PPORT_EXTENSION extension = PortExtension((PDEVICE_OBJECT)Context);
  PIRP irp =
      TakeTimedOutRead(extension, &extension->InputPipe.ReadIntervalTimer, extension->IntervalTimerReadNumber, FALSE);
  if (irp) FinishRead(extension, irp, STATUS_SUCCESS, irp->IoStatus.Information, IO_NO_INCREMENT);
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
// the immediate mode with no read current or queued it is answered at once
// from the ring; otherwise it pends until its timeouts or its length say it
// is done.
NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  StartReceive(extension);
  StartStatusPipe(extension);
  ULONG length = ReadLength(Irp);
  if (!Irp->AssociatedIrp.SystemBuffer || length == 0) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  KIRQL irql = KfAcquireSpinLock(&extension->ReadQueueLock);
  if (!extension->CurrentReadIrp && !extension->ReadQueue.Busy && ImmediateMode(extension->Timeouts)) {
    KfReleaseSpinLock(&extension->ReadQueueLock, irql);
    ULONG taken = RingGet((PUCHAR)Irp->AssociatedIrp.SystemBuffer, &extension->RxRing, length);
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
  BOOLEAN done = ImmediateMode(timeouts) || irp->IoStatus.Information == length ||
                 (FirstByteMode(timeouts) && irp->IoStatus.Information > 0);
  if (done) Extension->CurrentReadIrp = NULL;
  else if (taken) SetReadIntervalTimer(Extension);
  KfReleaseSpinLock(&Extension->ReadQueueLock, irql);
  if (done) FinishRead(Extension, irp, STATUS_SUCCESS, irp->IoStatus.Information, IO_SERIAL_INCREMENT);
  return STATUS_SUCCESS;
}

// Completes every queued read and the current one with STATUS_CANCELLED and
// no bytes. The read timers are stopped while nothing can become current; a
// DPC already under way finds no read of its number. The queued reads are
// taken out one by one, so the queue's busy state stays with whoever owns
// the current slot: this routine when it took the current read, or a
// completion path that took it first and will finish it.
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
