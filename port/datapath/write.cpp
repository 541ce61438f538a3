// tolvane: write requests and the transmit engine. Each write request becomes
// one pipe write on "\PIPE00" of the bound target that carries its whole
// buffer, one request at a time, in arrival order. A port without a target
// swallows writes: they succeed with nothing written.
//
// The I/O manager's cancel spin lock guards WriteQueue, CurrentWriteIrp and
// the write engine's fields of OutputPipe. WriteQueue is busy from the moment
// a write becomes current until the completion of its pipe write has handed
// the output side on, so a new write never goes out beside one still in
// flight. A request is completed by whoever takes it out of CurrentWriteIrp
// or WriteQueue under that lock, and only by them:
//   - queued, or current but not yet sent: its cancel routine can take it;
//   - being sent: SendCurrentWrite claimed it by removing that routine;
//   - in flight: only PipeWriteComplete takes it. A cancellation meanwhile
//     marks it (its Cancel flag, or WriteCancelPending) and cancels its pipe
//     write, which then ends it with STATUS_CANCELLED.
#include "port/routines.h"

namespace {

KDEFERRED_ROUTINE WriteTotalTimeoutDpc;
KDEFERRED_ROUTINE StartWriteDpc;
DRIVER_CANCEL WriteCancelRoutine;
IO_COMPLETION_ROUTINE PipeWriteComplete;

// The pipe write of a request in flight is kept in the request's own stack
// location, in the slot of the write parameters' Key: nothing else reads it
// while the port owns the request, and unlike the driver context it is not
// shared with the device queue entry while the request waits in WriteQueue.
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.Others.Argument2) ==
                  FIELD_OFFSET(IO_STACK_LOCATION, Parameters.Write.Key),
              "the pipe write record is the Key slot, widened to a pointer");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.Others.Argument2) + sizeof(PVOID) <=
                  FIELD_OFFSET(IO_STACK_LOCATION, Parameters.Write.ByteOffset),
              "the pipe write record leaves the length and the offset alone");

void RecordPipeWrite(PIRP WriteIrp, PIRP PipeWrite) {
  IoGetCurrentIrpStackLocation(WriteIrp)->Parameters.Others.Argument2 = PipeWrite;
}

ULONG WriteLength(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length; }

// AmountInOutQueue counts the bytes of accepted writes not yet completed.
void ChangeOutQueue(PPORT_EXTENSION Extension, ULONG Length, BOOLEAN Add) {
  KIRQL irql = KfAcquireSpinLock(&Extension->CommStatusLock);
  if (Add) Extension->CommStatus.AmountInOutQueue += Length;
  else Extension->CommStatus.AmountInOutQueue -= Length;
  KfReleaseSpinLock(&Extension->CommStatusLock, irql);
}

// A request becomes the current write: the output side is busy from here.
// Under the cancel spin lock.
void MakeCurrent(PPORT_EXTENSION Extension, PIRP Irp) {
  OUTPUT_PIPE_CONTEXT& pipe = Extension->OutputPipe;
  Extension->CurrentWriteIrp = Irp;
  ++pipe.CurrentWriteNumber;
  pipe.WriteCancelPending = FALSE;
  RecordPipeWrite(Irp, NULL);
  KeClearEvent(&pipe.PipeIdleEvent);
  KeClearEvent(&pipe.TxDrainedEvent);
}

// The total timeout of the current write: length × multiplier + constant, in
// 64 bits, so that no product wraps; none when it comes to 0. Under the
// cancel spin lock.
void SetWriteTotalTimer(PPORT_EXTENSION Extension, PIRP Irp) {
  const SERIAL_TIMEOUTS& timeouts = Extension->Timeouts;
  ULONGLONG total = (ULONGLONG)WriteLength(Irp) * timeouts.WriteTotalTimeoutMultiplier + timeouts.WriteTotalTimeoutConstant;
  if (total == 0) return;
  OUTPUT_PIPE_CONTEXT& pipe = Extension->OutputPipe;
  pipe.TimerWriteNumber = pipe.CurrentWriteNumber;
  LARGE_INTEGER dueTime;
  dueTime.QuadPart = -(LONGLONG)(total * 10000);
  KeSetTimer(&pipe.WriteTotalTimer, dueTime, &pipe.WriteTotalTimerDpc);
}

// The write's total timeout expired: its pipe write is cancelled, and the
// request completes with what that pipe write ends with. A DPC left over from
// an earlier write (its timer set again, or a later write current) does nothing.
void NTAPI WriteTotalTimeoutDpc(PKDPC, PVOID Context, PVOID, PVOID) {
  PPORT_EXTENSION extension = (PPORT_EXTENSION)Context;
  OUTPUT_PIPE_CONTEXT& pipe = extension->OutputPipe;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP current = extension->CurrentWriteIrp;
  if (current && KeReadStateTimer(&pipe.WriteTotalTimer) && pipe.TimerWriteNumber == pipe.CurrentWriteNumber) {
    if (PIRP pipeWrite = RecordedPipeWrite(current)) CancelPipeWrite(extension, pipeWrite);
  }
  IoReleaseCancelSpinLock(irql);
}

// Sends the current write, at DISPATCH_LEVEL. The request is claimed by
// taking its cancel routine; a request its cancel routine (or another
// sender) took while the lock was free is left alone. A write that cannot be
// sent is completed with the reason, and the next one goes.
void SendCurrentWrite(PPORT_EXTENSION Extension, PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  BOOLEAN claimed = Extension->CurrentWriteIrp == Irp && IoSetCancelRoutine(Irp, NULL) != NULL;
  IoReleaseCancelSpinLock(irql);
  if (!claimed) return;
  // The busy hold comes before the target is looked at, so a teardown cannot
  // close the pipe between the test and the send; the completion releases it.
  IncrementBusy(Extension);
  NTSTATUS status = STATUS_NO_SUCH_DEVICE;
  PIRP pipeWrite = NULL;
  if (TargetBound(Extension) && ReadShared(Extension->OutputPipeOpen))
    status = BuildPipeWrite(Extension, Irp->AssociatedIrp.SystemBuffer, WriteLength(Irp), PipeWriteComplete, &pipeWrite);
  IoAcquireCancelSpinLock(&irql);
  // A cancellation that came while the write was being built ends it unsent.
  if (NT_SUCCESS(status) && (Irp->Cancel || Extension->OutputPipe.WriteCancelPending)) {
    FreePipeWrite(pipeWrite);
    status = STATUS_CANCELLED;
  }
  if (!NT_SUCCESS(status)) {
    BOOLEAN drained = TakeNextWrite(Extension);
    IoReleaseCancelSpinLock(irql);
    CompleteWriteRequest(Extension, Irp, status, 0);
    if (drained) RaiseTransmitEmpty(Extension);
    DecrementBusy(Extension);
    return;
  }
  RecordPipeWrite(Irp, pipeWrite);
  SetWriteTotalTimer(Extension, Irp);
  IoReleaseCancelSpinLock(irql);
  IofCallDriver(TargetDevice(Extension), pipeWrite);
}

// Sends a write that became current in a completion, a cancellation or a
// transmit release: from a DPC, so that a pipe driver completing writes at
// once does not nest one send inside the completion of the one before.
void NTAPI StartWriteDpc(PKDPC, PVOID Context, PVOID, PVOID) {
  PPORT_EXTENSION extension = (PPORT_EXTENSION)Context;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP current = extension->CurrentWriteIrp;
  IoReleaseCancelSpinLock(irql);
  if (current) SendCurrentWrite(extension, current);
  DecrementBusy(extension);  // the hold taken when the DPC was queued
}

// The pipe write ended (sent, failed, or cancelled): its request completes
// with the pipe write's status and byte count, or with STATUS_CANCELLED and
// that byte count when it was cancelled meanwhile; then the next write goes.
NTSTATUS NTAPI PipeWriteComplete(PDEVICE_OBJECT, PIRP PipeWrite, PVOID Context) {
  PPORT_EXTENSION extension = (PPORT_EXTENSION)Context;
  IO_STATUS_BLOCK result = PipeWrite->IoStatus;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // The write this pipe write carries: it stays current until here, since
  // nothing else takes a write out of CurrentWriteIrp once it was sent.
  PIRP irp = extension->CurrentWriteIrp;
  BOOLEAN cancelled = irp->Cancel || extension->OutputPipe.WriteCancelPending;
  // The queue stays busy until StartNextWrite below: a write arriving
  // meanwhile waits in it rather than going out beside this one.
  extension->CurrentWriteIrp = NULL;
  KeCancelTimer(&extension->OutputPipe.WriteTotalTimer);
  IoReleaseCancelSpinLock(irql);
  if (cancelled) CompleteWriteRequest(extension, irp, STATUS_CANCELLED, result.Information);
  else CompleteWriteRequest(extension, irp, result.Status, result.Information, IO_SERIAL_INCREMENT);
  StartNextWrite(extension);
  ReleasePipeWrite(extension, PipeWrite);
  DecrementBusy(extension);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A queued write, or a current one not yet sent, cancelled by its caller.
// Entered with the cancel spin lock held.
void NTAPI WriteCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  KIRQL irql = Irp->CancelIrql;
  BOOLEAN drained = FALSE;
  if (Irp == extension->CurrentWriteIrp) drained = TakeNextWrite(extension);
  else KeRemoveEntryDeviceQueue(&extension->WriteQueue, &Irp->Tail.Overlay.DeviceQueueEntry);
  IoReleaseCancelSpinLock(irql);
  CompleteWriteRequest(extension, Irp, STATUS_CANCELLED, 0);
  if (drained) RaiseTransmitEmpty(extension);
}

}  // namespace

// The pipe write carrying a current write request, once it has been sent.
PIRP RecordedPipeWrite(PIRP WriteIrp) {
  return (PIRP)IoGetCurrentIrpStackLocation(WriteIrp)->Parameters.Others.Argument2;
}

// At creation, after the locks and queues: nothing to write, the output side
// idle and stopped until the first open.
void InitializeWritePath(PPORT_EXTENSION Extension) {
  OUTPUT_PIPE_CONTEXT& pipe = Extension->OutputPipe;
  pipe.Stopped = TRUE;
  pipe.WritesHeld = FALSE;
  pipe.WriteCancelPending = FALSE;
  KeInitializeEvent(&pipe.PipeIdleEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&pipe.TxDrainedEvent, NotificationEvent, TRUE);
  Extension->CurrentWriteIrp = NULL;
  Extension->ImmediateCharIrp = NULL;
  pipe.ImmediatePipeWrite = NULL;
  KeInitializeTimer(&pipe.WriteTotalTimer);
  KeInitializeDpc(&pipe.WriteTotalTimerDpc, WriteTotalTimeoutDpc, Extension);
  KeInitializeDpc(&pipe.StartWriteDpc, StartWriteDpc, Extension);
  InitializePipeWrites(Extension);
}

// Completes a write request the port accepted; its bytes leave the output
// queue count, whichever path ends it. Not under the cancel spin lock.
void CompleteWriteRequest(PPORT_EXTENSION Extension, PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost) {
  ChangeOutQueue(Extension, WriteLength(Irp), FALSE);
  CompleteRequest(Irp, Status, Information, Boost);
}

// The output side ran empty.
void RaiseTransmitEmpty(PPORT_EXTENSION Extension) {
  RaiseWaitEvents(Extension->DeviceObject, SERIAL_EV_TXEMPTY);
  CompleteWaitIfSatisfied(Extension->DeviceObject);
}

// Hands the output side on after the current write ended, under the cancel
// spin lock: the next queued write becomes current (sent by StartWriteDpc),
// or the queue goes idle and the output side is drained. While transmission
// is stopped, queued writes are held back: no write is current, the queue
// stays busy, and AllowTransmit or CancelWriteRequests takes them on.
// Returns TRUE when the output side drained: the caller raises
// SERIAL_EV_TXEMPTY once it has let go of the lock.
BOOLEAN TakeNextWrite(PPORT_EXTENSION Extension) {
  OUTPUT_PIPE_CONTEXT& pipe = Extension->OutputPipe;
  Extension->CurrentWriteIrp = NULL;
  if (pipe.Stopped && !IsListEmpty(&Extension->WriteQueue.DeviceListHead)) {
    pipe.WritesHeld = TRUE;
    KeSetEvent(&pipe.PipeIdleEvent, IO_NO_INCREMENT, FALSE);
    return FALSE;
  }
  pipe.WritesHeld = FALSE;
  if (PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&Extension->WriteQueue)) {
    MakeCurrent(Extension, CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry));
    IncrementBusy(Extension);  // released by the DPC
    if (!KeInsertQueueDpc(&pipe.StartWriteDpc, NULL, NULL)) DecrementBusy(Extension);
    return FALSE;
  }
  KeSetEvent(&pipe.TxDrainedEvent, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&pipe.PipeIdleEvent, IO_NO_INCREMENT, FALSE);
  return TRUE;
}

// TakeNextWrite with the lock taken and let go here. Up to DISPATCH_LEVEL.
void StartNextWrite(PPORT_EXTENSION Extension) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  BOOLEAN drained = TakeNextWrite(Extension);
  IoReleaseCancelSpinLock(irql);
  if (drained) RaiseTransmitEmpty(Extension);
}

// IRP_MJ_WRITE at PASSIVE_LEVEL, after the removal check of PortReadWrite.
// Every refusal completes at once with Information 0.
NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (RemovalBegun(extension)) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  // A zero-length buffered write has no system buffer and ends here.
  if (!Irp->AssociatedIrp.SystemBuffer) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  if (!TargetBound(extension)) return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  if (WriteLength(Irp) == 0) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  ChangeOutQueue(extension, WriteLength(Irp), TRUE);
  Irp->IoStatus.Information = 0;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // Cancelled before a cancel routine could be set: nobody else will end it.
  if (Irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    CompleteWriteRequest(extension, Irp, STATUS_CANCELLED, 0);
    return STATUS_CANCELLED;
  }
  IoSetCancelRoutine(Irp, WriteCancelRoutine);
  IoMarkIrpPending(Irp);
  PKDEVICE_QUEUE_ENTRY entry = &Irp->Tail.Overlay.DeviceQueueEntry;
  if (KeInsertDeviceQueue(&extension->WriteQueue, entry)) {
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
  }
  // The queue was idle and is now busy. While transmission is stopped the
  // write is held back like the ones queued before it.
  if (extension->OutputPipe.Stopped) {
    KeInsertDeviceQueue(&extension->WriteQueue, entry);
    extension->OutputPipe.WritesHeld = TRUE;
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
  }
  MakeCurrent(extension, Irp);
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  SendCurrentWrite(extension, Irp);
  KfLowerIrql(irql);
  return STATUS_PENDING;
}
