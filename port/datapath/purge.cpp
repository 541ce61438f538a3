// tolvane: stopping, emptying and waiting for the write path: the transmit
// stop and its release, the cancellation of write requests, the flush, and
// the once-a-second sweep that carries the cancellation of a write in flight
// to its pipe write. The I/O manager's cancel spin lock guards WriteQueue and
// CurrentWriteIrp; it is released (staying at DISPATCH_LEVEL) before
// IoCancelIrp, whose cancel routine takes it again.
#include "port/routines.h"

namespace {

// Cancels the current write, if any. Called with the cancel spin lock held;
// returns with it held again.
void CancelCurrentWrite(PPORT_EXTENSION Extension, KIRQL Irql) {
  PIRP current = Extension->CurrentWriteIrp;
  if (!current) return;
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  IoCancelIrp(current);
  KfLowerIrql(Irql);
  KIRQL again;
  IoAcquireCancelSpinLock(&again);
}

ULONG WriteLength(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length; }

}  // namespace

// Stops the output side and waits until it is idle, then empties TxRing.
// PASSIVE_LEVEL. A write not yet sent is completed by its cancel routine; a
// write in flight is only marked cancelled and ends through its completion
// or the sweep.
void StopTransmit(PPORT_EXTENSION Extension) {
  Extension->OutputPipe.Stopped = TRUE;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  CancelCurrentWrite(Extension, irql);
  IoReleaseCancelSpinLock(irql);
  KeWaitForSingleObject(&Extension->OutputPipe.PipeIdleEvent, Executive, KernelMode, FALSE, NULL);
  RingReset(&Extension->TxRing);
  KeSetEvent(&Extension->OutputPipe.TxDrainedEvent, IO_NO_INCREMENT, FALSE);
}

void AllowTransmit(PPORT_EXTENSION Extension) { Extension->OutputPipe.Stopped = FALSE; }

// Cancels the current write and completes every queued one with
// STATUS_CANCELLED and no bytes. A queued write already being cancelled is
// left to its cancel routine. The queue's busy state stays with the current
// write's owner. Up to DISPATCH_LEVEL.
void CancelWriteRequests(PPORT_EXTENSION Extension) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  CancelCurrentWrite(Extension, irql);
  PLIST_ENTRY head = &Extension->WriteQueue.DeviceListHead;
  PLIST_ENTRY link = head->Flink;
  while (link != head) {
    PKDEVICE_QUEUE_ENTRY entry = CONTAINING_RECORD(link, KDEVICE_QUEUE_ENTRY, DeviceListEntry);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry);
    if (irp->Cancel) {
      link = link->Flink;
      continue;
    }
    KeRemoveEntryDeviceQueue(&Extension->WriteQueue, entry);
    IoSetCancelRoutine(irp, NULL);
    IoReleaseCancelSpinLock(irql);
    KIRQL statusIrql = KfAcquireSpinLock(&Extension->CommStatusLock);
    Extension->CommStatus.AmountInOutQueue -= WriteLength(irp);
    KfReleaseSpinLock(&Extension->CommStatusLock, statusIrql);
    CompleteRequest(irp, STATUS_CANCELLED, 0);
    IoAcquireCancelSpinLock(&irql);
    link = head->Flink;
  }
  IoReleaseCancelSpinLock(irql);
}

void ResetTransmit(PPORT_EXTENSION Extension) {
  CancelWriteRequests(Extension);
  RingReset(&Extension->TxRing);
  KeSetEvent(&Extension->OutputPipe.TxDrainedEvent, IO_NO_INCREMENT, FALSE);
}

// Waits until no write is in progress. PASSIVE_LEVEL.
NTSTATUS FlushTransmit(PPORT_EXTENSION Extension) {
  if (Extension->Removed || Extension->SurpriseRemoved) return STATUS_DELETE_PENDING;
  KeWaitForSingleObject(&Extension->OutputPipe.TxDrainedEvent, Executive, KernelMode, FALSE, NULL);
  return STATUS_SUCCESS;
}

// Once a second from PortTimerTick (DISPATCH_LEVEL): a cancelled write whose
// pipe write is in flight has that pipe write cancelled.
void SweepCancelledWrite(PPORT_EXTENSION Extension) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP current = Extension->CurrentWriteIrp;
  PIRP pipeWrite = current && current->Cancel ? RecordedPipeWrite(current) : NULL;
  if (pipeWrite) {
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    IoCancelIrp(pipeWrite);
    KfLowerIrql(irql);
    IoAcquireCancelSpinLock(&irql);
  }
  IoReleaseCancelSpinLock(irql);
}
