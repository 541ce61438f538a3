// tolvane: stopping, emptying and waiting for the write path: the transmit
// stop and its release, the cancellation of write requests, the flush, and
// the once-a-second sweep that carries the cancellation of a write in flight
// to its pipe write. The I/O manager's cancel spin lock guards WriteQueue and
// CurrentWriteIrp (see datapath/write.cpp); it is let go of before
// IoCancelIrp, whose cancel routines take it again.
#include "port/routines.h"

namespace {

// The current write is to end as cancelled. Under the cancel spin lock. A
// write not yet sent is taken here (its cancel routine can no longer run)
// and returned for the caller to complete; one being sent or in flight is
// marked, and its pipe write, if it has one yet, cancelled at once. The
// sender checks the mark before it sends. `Drained` tells whether the output
// side went idle.
PIRP CancelCurrentWrite(PPORT_EXTENSION Extension, BOOLEAN* Drained) {
  PIRP current = Extension->CurrentWriteIrp;
  if (!current) return NULL;
  if (IoSetCancelRoutine(current, NULL)) {
    *Drained = TakeNextWrite(Extension) || *Drained;
    return current;
  }
  Extension->OutputPipe.WriteCancelPending = TRUE;
  if (PIRP pipeWrite = RecordedPipeWrite(current)) CancelPipeWrite(Extension, pipeWrite);
  return NULL;
}

// Completes the requests on `Ended` with STATUS_CANCELLED and no bytes.
void CompleteCancelledWrites(PPORT_EXTENSION Extension, PLIST_ENTRY Ended) {
  while (!IsListEmpty(Ended)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(Ended), IRP, Tail.Overlay.ListEntry);
    CompleteWriteRequest(Extension, irp, STATUS_CANCELLED, 0);
  }
}

}  // namespace

// Stops the output side and waits until no write is current, then empties
// TxRing. PASSIVE_LEVEL. Queued writes stay queued but are not sent (the
// caller cancels them or allows transmission again), so the wait lasts only
// until the current write ends: its pipe write is cancelled here. An
// immediate character in flight is cancelled too.
void StopTransmit(PPORT_EXTENSION Extension) {
  BOOLEAN drained = FALSE;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Extension->OutputPipe.Stopped = TRUE;
  PIRP unsent = CancelCurrentWrite(Extension, &drained);
  CancelImmediateChar(Extension);
  IoReleaseCancelSpinLock(irql);
  if (unsent) CompleteWriteRequest(Extension, unsent, STATUS_CANCELLED, 0);
  if (drained) RaiseTransmitEmpty(Extension);
  KeWaitForSingleObject(&Extension->OutputPipe.PipeIdleEvent, Executive, KernelMode, FALSE, NULL);
  // The last write's completion cancelled its timer; a DPC of that timer
  // still queued would find nothing to do, but must not outlive a removal.
  KeRemoveQueueDpc(&Extension->OutputPipe.WriteTotalTimerDpc);
  RingReset(&Extension->TxRing);
  KeSetEvent(&Extension->OutputPipe.TxDrainedEvent, IO_NO_INCREMENT, FALSE);
}

// Lets writes go out again; writes held back by a stop are sent in order.
// Up to DISPATCH_LEVEL.
void AllowTransmit(PPORT_EXTENSION Extension) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Extension->OutputPipe.Stopped = FALSE;
  BOOLEAN drained = Extension->OutputPipe.WritesHeld && TakeNextWrite(Extension);
  IoReleaseCancelSpinLock(irql);
  if (drained) RaiseTransmitEmpty(Extension);
}

// Completes every queued write with STATUS_CANCELLED and no bytes, and ends
// the current one as cancelled (at once if it was not sent; otherwise through
// its pipe write, which is cancelled here). The queue stays busy while that
// pipe write is in flight, so no new write goes out beside it. Up to
// DISPATCH_LEVEL.
void CancelWriteRequests(PPORT_EXTENSION Extension) {
  LIST_ENTRY ended;
  InitializeListHead(&ended);
  BOOLEAN drained = FALSE;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // The queued ones first, so that ending the current write starts none of them.
  PLIST_ENTRY head = &Extension->WriteQueue.DeviceListHead;
  while (!IsListEmpty(head)) {
    PKDEVICE_QUEUE_ENTRY entry = CONTAINING_RECORD(head->Flink, KDEVICE_QUEUE_ENTRY, DeviceListEntry);
    KeRemoveEntryDeviceQueue(&Extension->WriteQueue, entry);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry);
    IoSetCancelRoutine(irp, NULL);
    InsertTailList(&ended, &irp->Tail.Overlay.ListEntry);
  }
  if (Extension->OutputPipe.WritesHeld) drained = TakeNextWrite(Extension);
  if (PIRP unsent = CancelCurrentWrite(Extension, &drained)) InsertTailList(&ended, &unsent->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(irql);
  CompleteCancelledWrites(Extension, &ended);
  if (drained) RaiseTransmitEmpty(Extension);
}

void ResetTransmit(PPORT_EXTENSION Extension) {
  CancelWriteRequests(Extension);
  RingReset(&Extension->TxRing);
  KeSetEvent(&Extension->OutputPipe.TxDrainedEvent, IO_NO_INCREMENT, FALSE);
}

// Waits until no write is in progress. PASSIVE_LEVEL.
NTSTATUS FlushTransmit(PPORT_EXTENSION Extension) {
  if (RemovalBegun(Extension)) return STATUS_DELETE_PENDING;
  KeWaitForSingleObject(&Extension->OutputPipe.TxDrainedEvent, Executive, KernelMode, FALSE, NULL);
  return STATUS_SUCCESS;
}

// Once a second from PortTimerTick (DISPATCH_LEVEL): a write cancelled while
// in flight has its pipe write cancelled, and ends when that comes back.
void SweepCancelledWrite(PPORT_EXTENSION Extension) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP current = Extension->CurrentWriteIrp;
  if (current && (current->Cancel || Extension->OutputPipe.WriteCancelPending)) {
    if (PIRP pipeWrite = RecordedPipeWrite(current)) CancelPipeWrite(Extension, pipeWrite);
  }
  IoReleaseCancelSpinLock(irql);
}
