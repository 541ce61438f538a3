// tolvane: the receive loops on the input pipe "\PIPE01" and the status pipe
// "\PIPE02": starting and stopping them, posting their reads, the pipe
// driver's abort and reset requests, and the retry of a store into a full
// receive ring. A loop can only run while a target is bound; unbound, every
// start fails with STATUS_DELETE_PENDING and leaves the loop stopped.
#include "port/routines.h"

namespace {

KDEFERRED_ROUTINE ReceiveRetryDpc;

// Posts one read of `Length` bytes on `Pipe`. A failure ends the loop: the
// pipe is marked stopped and its idle event signalled.
NTSTATUS PostPipeRead(PPORT_EXTENSION Extension, PPIPE_CONTEXT Pipe, PUCHAR Buffer, ULONG Length) {
  NTSTATUS status;
  IncrementBusy(Extension);
  if (Pipe->Stopped) {
    status = STATUS_CANCELLED;
  } else if (Extension->Removed || Extension->SurpriseRemoved || !TargetBound(Extension)) {
    status = STATUS_DELETE_PENDING;
  } else if (!Buffer || Length == 0) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    // The transfer that carries a read to a bound target is the receive
    // engine's; until it is in place no loop can start, as if unbound.
    status = STATUS_DELETE_PENDING;
  }
  DecrementBusy(Extension);
  if (!NT_SUCCESS(status)) {
    Pipe->Stopped = TRUE;
    KeSetEvent(&Pipe->PipeIdleEvent, IO_NO_INCREMENT, FALSE);
  }
  return status;
}

// Starts a stopped loop with its first read; a running loop is left alone.
NTSTATUS StartPipeLoop(PPORT_EXTENSION Extension, PPIPE_CONTEXT Pipe) {
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
  if (Pipe->Stopped) {
    Pipe->Stopped = FALSE;
    status = PostPipeRead(Extension, Pipe, Pipe->Buffer, Pipe->Length);
    if (!NT_SUCCESS(status)) Pipe->Stopped = TRUE;
  }
  KfLowerIrql(irql);
  return status;
}

// Ends a loop: the pipe driver aborts the outstanding read, the loop's end is
// waited for and the pipe is reset. PASSIVE_LEVEL.
void StopPipeLoop(PPORT_EXTENSION Extension, PPIPE_CONTEXT Pipe) {
  Pipe->Stopped = TRUE;
  SendPipeControl(Extension, IOCTL_PIPE_ABORT_PIPE, Pipe);
  KeWaitForSingleObject(&Pipe->PipeIdleEvent, Executive, KernelMode, FALSE, NULL);
  SendPipeControl(Extension, IOCTL_PIPE_RESET_PIPE, Pipe);
}

// Stores the rest of a transfer that did not fit into RxRing, retrying every
// millisecond until it did; then the loop posts its next read.
void NTAPI ReceiveRetryDpc(PKDPC Dpc, PVOID Context, PVOID, PVOID) {
  PPORT_EXTENSION extension = PortExtension((PDEVICE_OBJECT)Context);
  INPUT_PIPE_CONTEXT& pipe = extension->InputPipe;
  if (pipe.Stopped || extension->Removed || extension->SurpriseRemoved) {
    KeSetEvent(&pipe.PipeIdleEvent, IO_NO_INCREMENT, FALSE);
    return;
  }
  if (pipe.ReceivePending) {
    const UCHAR* rest = pipe.Buffer + (pipe.ReceiveLastCount - pipe.ReceivePending);
    pipe.ReceivePending -= StoreReceivedBytes(extension, rest, pipe.ReceivePending);
  }
  ServiceCurrentRead(extension);
  CompleteWaitIfSatisfied(extension->DeviceObject);
  if (pipe.ReceivePending) {
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -10000;  // 1 ms
    KeSetTimer(&pipe.ReceiveRetryTimer, dueTime, &pipe.ReceiveRetryTimerDpc);
  } else if (!NT_SUCCESS(PostPipeRead(extension, &pipe, pipe.Buffer, pipe.Length))) {
    KeSetEvent(&pipe.PipeIdleEvent, IO_NO_INCREMENT, FALSE);
  }
}

}  // namespace

// Stores received bytes in RxRing and raises, each on its own, the events of
// what was stored: a character arrived, the ring is at least 80 % full (the
// percentage in 64 bits, so large rings cannot overflow it), the event
// character was among the bytes. Returns how many bytes fitted. Up to
// DISPATCH_LEVEL; Count and Size are read right after the store, unlocked.
ULONG StoreReceivedBytes(PPORT_EXTENSION Extension, const UCHAR* Bytes, ULONG Count) {
  ULONG stored = RingPut(&Extension->RxRing, Bytes, Count);
  if (stored == 0) return 0;
  PDEVICE_OBJECT device = Extension->DeviceObject;
  RaiseWaitEvents(device, SERIAL_EV_RXCHAR);
  PRING_BUFFER ring = &Extension->RxRing;
  if (ring->Size && (ULONGLONG)ring->Count * 100 / ring->Size >= 80) RaiseWaitEvents(device, SERIAL_EV_RX80FULL);
  for (ULONG i = 0; i < stored; ++i) {
    if (Bytes[i] == Extension->Chars.EventChar) {
      RaiseWaitEvents(device, SERIAL_EV_RXFLAG);
      break;
    }
  }
  return stored;
}

// The status pipe is read only for devices that have one.
BOOLEAN StatusPipeInUse(PPORT_EXTENSION Extension) {
  return Extension->EndPointCaps != 0 && Extension->StatusPipe.CxPollPeriod >= 0;
}

// At creation, after the locks and queues: the input loop stopped and idle,
// its retry timer and the read timers ready. The receive buffer is allocated
// by AddDevice afterwards.
void InitializeReceivePath(PPORT_EXTENSION Extension) {
  INPUT_PIPE_CONTEXT& pipe = Extension->InputPipe;
  pipe.Stopped = TRUE;
  KeInitializeEvent(&pipe.PipeIdleEvent, NotificationEvent, TRUE);
  KeInitializeTimer(&pipe.ReceiveRetryTimer);
  KeInitializeDpc(&pipe.ReceiveRetryTimerDpc, ReceiveRetryDpc, Extension->DeviceObject);
  InitializeReadPath(Extension);
}

void InitializeStatusPath(PPORT_EXTENSION Extension) {
  STATUS_PIPE_CONTEXT& pipe = Extension->StatusPipe;
  pipe.Stopped = TRUE;
  KeInitializeEvent(&pipe.PipeIdleEvent, NotificationEvent, TRUE);
  pipe.Buffer = pipe.StatusBytes;
  pipe.Length = 1;
}

// STATUS_PENDING from a start means the first read is on its way.
NTSTATUS StartReceive(PPORT_EXTENSION Extension) { return StartPipeLoop(Extension, &Extension->InputPipe); }

NTSTATUS StartStatusPipe(PPORT_EXTENSION Extension) {
  if (!StatusPipeInUse(Extension)) return STATUS_SUCCESS;
  return StartPipeLoop(Extension, &Extension->StatusPipe);
}

NTSTATUS StopReceive(PPORT_EXTENSION Extension) {
  StopPipeLoop(Extension, &Extension->InputPipe);
  return STATUS_SUCCESS;
}

NTSTATUS StopStatusPipe(PPORT_EXTENSION Extension) {
  if (StatusPipeInUse(Extension)) StopPipeLoop(Extension, &Extension->StatusPipe);
  return STATUS_SUCCESS;
}

// Sends IOCTL_PIPE_ABORT_PIPE or IOCTL_PIPE_RESET_PIPE for one pipe and waits
// for it. Only while the pipes are ready; otherwise skipped. PASSIVE_LEVEL.
NTSTATUS SendPipeControl(PPORT_EXTENSION Extension, ULONG IoControlCode, PPIPE_CONTEXT Pipe) {
  if (!PipesReady(Extension)) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status;
  IncrementBusy(Extension);
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Extension->TargetDeviceObject, NULL, 0, NULL, 0, FALSE,
                                           &event, &ioStatus);
  if (!irp) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    IoGetNextIrpStackLocation(irp)->FileObject = &Pipe->PipeFile;
    status = IofCallDriver(Extension->TargetDeviceObject, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
      status = ioStatus.Status;
    }
  }
  DecrementBusy(Extension);
  return status;
}
