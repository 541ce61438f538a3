// tolvane: the pipe writes the port sends on the output pipe "\PIPE00", for
// write requests and for the immediate character. Each describes the
// caller's own nonpaged system buffer through an MDL (no copy) and carries
// one stack location more than the pipe driver needs, so that its completion
// routine receives the port's device object.
//
// A pipe write may be cancelled (by a write's timeout, the once-a-second
// sweep, a transmit stop) while its completion routine is freeing it on
// another processor. So the cancellers count themselves in, under the cancel
// spin lock, before they let go of that lock to call IoCancelIrp; a pipe
// write that completes while any of them is inside IoCancelIrp is put aside
// and freed by the last one out.
#include "port/routines.h"

// A pipe write the port built, once it is back (or was never sent). Its MDL
// maps nonpaged pool and was never locked: freeing it is enough.
void FreePipeWrite(PIRP PipeWrite) {
  if (PMDL mdl = PipeWrite->MdlAddress) {
    PipeWrite->MdlAddress = NULL;
    IoFreeMdl(mdl);
  }
  IoFreeIrp(PipeWrite);
}

void InitializePipeWrites(PPORT_EXTENSION Extension) {
  Extension->OutputPipe.PipeWriteCancels = 0;
  InitializeListHead(&Extension->OutputPipe.SpentPipeWrites);
}

// Builds a write of `Length` bytes of `Buffer` (nonpaged) on the output pipe
// of the bound target, completed by `CompletionRoutine` with the port's
// extension as context. The caller holds a busy count and has checked that
// the target is bound and the output pipe open.
NTSTATUS BuildPipeWrite(PPORT_EXTENSION Extension, PVOID Buffer, ULONG Length, PIO_COMPLETION_ROUTINE CompletionRoutine,
                        PIRP* PipeWrite) {
  PIRP irp = IoAllocateIrp((CCHAR)(TargetDevice(Extension)->StackSize + 1), FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, NULL);
  if (!mdl) {
    IoFreeIrp(irp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  MmBuildMdlForNonPagedPool(mdl);
  irp->MdlAddress = mdl;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  // The port's own stack location: its device object and the length, which
  // the completion takes out of the output queue count.
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
  own->MajorFunction = IRP_MJ_WRITE;
  own->DeviceObject = Extension->DeviceObject;
  own->Parameters.Write.Length = Length;
  own->Parameters.Write.ByteOffset.QuadPart = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_WRITE;
  next->Parameters.Write.Length = Length;
  next->Parameters.Write.ByteOffset.QuadPart = 0;
  next->FileObject = &Extension->OutputPipe.PipeFile;
  IoSetCompletionRoutine(irp, CompletionRoutine, Extension, TRUE, TRUE, TRUE);
  *PipeWrite = irp;
  return STATUS_SUCCESS;
}

// Cancels a pipe write the port sent and whose completion has not run yet
// (its owner still records it). Called at DISPATCH_LEVEL with the cancel spin
// lock held; lets go of the lock around IoCancelIrp, whose cancel routines
// take it, and returns with it held again. What the caller read under the
// lock before may have changed.
void CancelPipeWrite(PPORT_EXTENSION Extension, PIRP PipeWrite) {
  OUTPUT_PIPE_CONTEXT& pipe = Extension->OutputPipe;
  ++pipe.PipeWriteCancels;
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  IoCancelIrp(PipeWrite);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (--pipe.PipeWriteCancels > 0) return;
  while (!IsListEmpty(&pipe.SpentPipeWrites)) {
    PLIST_ENTRY link = RemoveHeadList(&pipe.SpentPipeWrites);
    FreePipeWrite(CONTAINING_RECORD(link, IRP, Tail.Overlay.ListEntry));
  }
}

// The end of a completed pipe write, from its completion routine: freed now,
// or put aside while a canceller may still be inside IoCancelIrp on it.
void ReleasePipeWrite(PPORT_EXTENSION Extension, PIRP PipeWrite) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  BOOLEAN inUse = Extension->OutputPipe.PipeWriteCancels > 0;
  if (inUse) InsertTailList(&Extension->OutputPipe.SpentPipeWrites, &PipeWrite->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(irql);
  if (!inUse) FreePipeWrite(PipeWrite);
}
