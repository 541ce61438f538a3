// tolvane: the read loop that keeps exactly one read outstanding on an input
// pipe of the pipe driver (the input pipe "\PIPE01" and the status pipe
// "\PIPE02", datapath/receive.cpp and datapath/status.cpp): starting and
// stopping it, posting its reads, and the pipe driver's abort and reset.
//
// A loop is Stopped (no read; a start posts one), Running (a read, or for the
// input pipe a retry of a store, is outstanding), Stopping (a stop was asked
// for and the outstanding read not yet ended) or Dead (a read failed: the loop
// ended without a stop, and only a stop and a start revive it; a read that
// failed for want of memory, here or in the pipe driver, leaves it Stopped,
// and the next read request starts it again). LoopLock makes
// the start's test-and-set and the end of a loop atomic, so a start never runs
// a second read beside one still outstanding, and PipeIdleEvent is signalled
// exactly while no loop owns the pipe.
#include "port/routines.h"

namespace {

// The open flag of the pipe a record describes.
BOOLEAN PipeIsOpen(PPORT_EXTENSION Extension, PPIPE_CONTEXT Pipe) {
  if (Pipe == &Extension->InputPipe) return ReadShared(Extension->InputPipeOpen);
  if (Pipe == &Extension->StatusPipe) return ReadShared(Extension->StatusPipeOpen);
  return ReadShared(Extension->OutputPipeOpen);
}

// Builds the read and hands it to the pipe driver; the pipe's completion
// routine then owns it, on success, error and cancel alike. Returns FALSE
// when no request could be built.
BOOLEAN SendPipeRead(PPORT_EXTENSION Extension, PPIPE_CONTEXT Pipe, PUCHAR Buffer, ULONG Length, NTSTATUS* Status) {
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, TargetDevice(Extension), Buffer, Length, &offset, NULL);
  if (!irp) return FALSE;
  IoGetNextIrpStackLocation(irp)->FileObject = &Pipe->PipeFile;
  IoSetCompletionRoutine(irp, Pipe->CompletionRoutine, Extension, TRUE, TRUE, TRUE);
  IncrementBusy(Extension);  // released by the completion routine
  *Status = IofCallDriver(TargetDevice(Extension), irp);
  return TRUE;
}

}  // namespace

void InitializePipeLoop(PPIPE_CONTEXT Pipe, PIO_COMPLETION_ROUTINE CompletionRoutine) {
  WriteShared(Pipe->Stopped, TRUE);
  Pipe->LoopActive = FALSE;
  KeInitializeSpinLock(&Pipe->LoopLock);
  KeInitializeEvent(&Pipe->PipeIdleEvent, NotificationEvent, TRUE);
  Pipe->CompletionRoutine = CompletionRoutine;
}

// Ends the loop that owns the pipe; `Stop` leaves it stopped (a start may run
// it again), otherwise it is dead. The last thing a loop does to the pipe.
// Up to DISPATCH_LEVEL.
void EndPipeLoop(PPIPE_CONTEXT Pipe, BOOLEAN Stop) {
  KIRQL irql = KfAcquireSpinLock(&Pipe->LoopLock);
  if (Stop) WriteShared(Pipe->Stopped, TRUE);
  Pipe->LoopActive = FALSE;
  KeSetEvent(&Pipe->PipeIdleEvent, IO_NO_INCREMENT, FALSE);
  KfReleaseSpinLock(&Pipe->LoopLock, irql);
}

// Posts one read of `Length` bytes on `Pipe`. A failure before the request
// reached the pipe driver ends the loop (stopped); what the pipe driver
// answers is the completion routine's to handle. Up to DISPATCH_LEVEL.
NTSTATUS PostPipeRead(PPORT_EXTENSION Extension, PPIPE_CONTEXT Pipe, PUCHAR Buffer, ULONG Length) {
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  BOOLEAN sent = FALSE;
  IncrementBusy(Extension);
  if (ReadShared(Pipe->Stopped)) status = STATUS_CANCELLED;
  else if (RemovalBegun(Extension) || !TargetBound(Extension) || !PipeIsOpen(Extension, Pipe))
    status = STATUS_DELETE_PENDING;
  else if (!Buffer || Length == 0) status = STATUS_INVALID_PARAMETER;
  else sent = SendPipeRead(Extension, Pipe, Buffer, Length, &status);
  if (!sent) EndPipeLoop(Pipe, TRUE);
  DecrementBusy(Extension);
  return status;
}

// Starts a stopped loop with its first read. A running or dead loop is left
// alone, and so is a loop whose stop has not ended its last read yet: its
// stopper starts it again if it wants it. STATUS_PENDING means started.
NTSTATUS StartPipeLoop(PPORT_EXTENSION Extension, PPIPE_CONTEXT Pipe) {
  KIRQL irql = KfAcquireSpinLock(&Pipe->LoopLock);
  BOOLEAN start = Pipe->Stopped && !Pipe->LoopActive;
  if (start) {
    WriteShared(Pipe->Stopped, FALSE);
    Pipe->LoopActive = TRUE;
    KeClearEvent(&Pipe->PipeIdleEvent);
  }
  KfReleaseSpinLock(&Pipe->LoopLock, DISPATCH_LEVEL);
  NTSTATUS status = start ? PostPipeRead(Extension, Pipe, Pipe->Buffer, Pipe->Length) : STATUS_SUCCESS;
  KfLowerIrql(irql);
  return status;
}

// Ends a loop and waits until its last read is over, then resets the pipe.
// The pipe driver aborts the outstanding read; a read the loop posted just
// after an abort went by is caught by the next, sent every 100 ms until the
// loop has ended. `RetryTimer` (the input pipe's) holds the loop's place
// while no read is outstanding: cancelled in time, it ends the loop here.
// PASSIVE_LEVEL.
void StopPipeLoop(PPORT_EXTENSION Extension, PPIPE_CONTEXT Pipe, PKTIMER RetryTimer) {
  KIRQL irql = KfAcquireSpinLock(&Pipe->LoopLock);
  WriteShared(Pipe->Stopped, TRUE);
  KfReleaseSpinLock(&Pipe->LoopLock, irql);
  LARGE_INTEGER interval;
  interval.QuadPart = -100 * 10000;  // 100 ms
  do {
    if (RetryTimer && KeCancelTimer(RetryTimer)) EndPipeLoop(Pipe, TRUE);
    SendPipeControl(Extension, IOCTL_PIPE_ABORT_PIPE, Pipe);
  } while (KeWaitForSingleObject(&Pipe->PipeIdleEvent, Executive, KernelMode, FALSE, &interval) == STATUS_TIMEOUT);
  SendPipeControl(Extension, IOCTL_PIPE_RESET_PIPE, Pipe);
}

// The request of a completed pipe read goes (its MDL, then the request);
// what it ended with stays.
IO_STATUS_BLOCK ReleasePipeRead(PIRP Irp) {
  IO_STATUS_BLOCK result = Irp->IoStatus;
  if (PMDL mdl = Irp->MdlAddress) {
    Irp->MdlAddress = NULL;
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
  }
  IoFreeIrp(Irp);
  return result;
}

// Sends IOCTL_PIPE_ABORT_PIPE or IOCTL_PIPE_RESET_PIPE for one pipe and waits
// for it. Skipped unless the pipe is open on a target: a stop must reach an
// open pipe whatever else is going on, a target being torn down included.
// The busy hold is taken before the target is looked at, so a teardown
// cannot close the pipe between the test and the send. PASSIVE_LEVEL.
NTSTATUS SendPipeControl(PPORT_EXTENSION Extension, ULONG IoControlCode, PPIPE_CONTEXT Pipe) {
  NTSTATUS status = STATUS_NO_SUCH_DEVICE;
  IncrementBusy(Extension);
  if (TargetDevice(Extension) && PipeIsOpen(Extension, Pipe))
    status = SendTargetIoctl(Extension, IoControlCode, &Pipe->PipeFile, NULL, 0, NULL, 0);
  DecrementBusy(Extension);
  return status;
}
