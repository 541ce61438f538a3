// tolvane: the receive loop on the input pipe "\PIPE01". Every completed
// transfer goes into RxRing, raises the receive events and feeds the current
// read request; then the next read is posted. When RxRing is full, the bytes
// that did not fit stay in the receive buffer and no read is posted until a
// retry, every millisecond, has stored them: nothing the device delivered is
// dropped, and further data waits in the device. ReceiveLastCount,
// ReceivePending and the receive buffer are touched only by the completion or
// DPC that carries the loop at that moment.
#include "port/routines.h"

namespace {

IO_COMPLETION_ROUTINE InputReadComplete;
KDEFERRED_ROUTINE ReceiveRetryDpc;

void SetRetry(PPORT_EXTENSION Extension, LONGLONG Milliseconds) {
  LARGE_INTEGER dueTime;
  dueTime.QuadPart = -Milliseconds * 10000;
  KeSetTimer(&Extension->InputPipe.ReceiveRetryTimer, dueTime, &Extension->InputPipe.ReceiveRetryTimerDpc);
}

// Stores what is left of the last transfer; returns whether a byte was stored.
BOOLEAN StorePending(PPORT_EXTENSION Extension) {
  INPUT_PIPE_CONTEXT& pipe = Extension->InputPipe;
  const UCHAR* rest = pipe.Buffer + (pipe.ReceiveLastCount - pipe.ReceivePending);
  ULONG stored = StoreReceivedBytes(Extension, rest, pipe.ReceivePending);
  pipe.ReceivePending -= stored;
  return stored != 0;
}

// The loop goes on: the next read once the last transfer is stored, else a
// retry. Whatever ends the loop here is its last touch of the pipe.
void ContinueReceive(PPORT_EXTENSION Extension, LONGLONG RetryMilliseconds) {
  INPUT_PIPE_CONTEXT& pipe = Extension->InputPipe;
  if (pipe.ReceivePending) SetRetry(Extension, RetryMilliseconds);
  else PostPipeRead(Extension, &pipe, pipe.Buffer, pipe.Length);
}

// A read of the input pipe completed, at up to DISPATCH_LEVEL. A failed read
// (an abort, a stall, the device gone) ends the loop: it stays dead until a
// stop and a start. A read the pipe driver had no memory for ends it stopped
// instead, as a read the port could not build does: the next read request
// starts it again. A count above what was asked for is not believed beyond
// the read's length.
NTSTATUS NTAPI InputReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PPORT_EXTENSION extension = (PPORT_EXTENSION)Context;
  INPUT_PIPE_CONTEXT& pipe = extension->InputPipe;
  IO_STATUS_BLOCK done = ReleasePipeRead(Irp);
  if (!NT_SUCCESS(done.Status)) {
    EndPipeLoop(&pipe, done.Status == STATUS_INSUFFICIENT_RESOURCES);
  } else {
    ULONG count = (ULONG)done.Information;
    pipe.ReceiveLastCount = pipe.ReceivePending = count < pipe.Length ? count : pipe.Length;
    if (pipe.ReceiveLastCount) {
      StorePending(extension);
      ServiceCurrentRead(extension);
      CompleteWaitIfSatisfied(extension->DeviceObject);
    }
    ContinueReceive(extension, 10);
  }
  DecrementBusy(extension);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Stores the rest of a transfer that did not fit into RxRing, at
// DISPATCH_LEVEL. A stopped loop (or a port being removed) ends here.
void NTAPI ReceiveRetryDpc(PKDPC Dpc, PVOID Context, PVOID, PVOID) {
  PPORT_EXTENSION extension = PortExtension((PDEVICE_OBJECT)Context);
  INPUT_PIPE_CONTEXT& pipe = extension->InputPipe;
  if (ReadShared(pipe.Stopped) || RemovalBegun(extension)) {
    EndPipeLoop(&pipe, TRUE);
    return;
  }
  if (pipe.ReceivePending) StorePending(extension);
  ServiceCurrentRead(extension);
  CompleteWaitIfSatisfied(extension->DeviceObject);
  ContinueReceive(extension, 1);
}

}  // namespace

// Stores received bytes in RxRing and raises, each on its own, the events of
// what was stored: a character arrived, the ring is at least 80 % full (the
// percentage in 64 bits, so large rings cannot overflow it), the event
// character was among the bytes. Returns how many bytes fitted. Up to
// DISPATCH_LEVEL.
ULONG StoreReceivedBytes(PPORT_EXTENSION Extension, const UCHAR* Bytes, ULONG Count) {
  PRING_BUFFER ring = &Extension->RxRing;
  ULONG stored = RingPut(ring, Bytes, Count);
  if (stored == 0) return 0;
  PDEVICE_OBJECT device = Extension->DeviceObject;
  RaiseWaitEvents(device, SERIAL_EV_RXCHAR);
  KIRQL irql = KfAcquireSpinLock(&ring->Lock);
  BOOLEAN nearlyFull = ring->Size && (ULONGLONG)ring->Count * 100 / ring->Size >= 80;
  KfReleaseSpinLock(&ring->Lock, irql);
  if (nearlyFull) RaiseWaitEvents(device, SERIAL_EV_RX80FULL);
  for (ULONG i = 0; i < stored; ++i) {
    if (Bytes[i] == Extension->Chars.EventChar) {
      RaiseWaitEvents(device, SERIAL_EV_RXFLAG);
      break;
    }
  }
  return stored;
}

// At creation, after the locks and queues: the input loop stopped and idle,
// its retry timer and the read timers ready. The receive buffer is allocated
// by AddDevice afterwards.
void InitializeReceivePath(PPORT_EXTENSION Extension) {
  INPUT_PIPE_CONTEXT& pipe = Extension->InputPipe;
  InitializePipeLoop(&pipe, InputReadComplete);
  KeInitializeTimer(&pipe.ReceiveRetryTimer);
  KeInitializeDpc(&pipe.ReceiveRetryTimerDpc, ReceiveRetryDpc, Extension->DeviceObject);
  InitializeReadPath(Extension);
}

// STATUS_PENDING from a start means the first read is on its way.
NTSTATUS StartReceive(PPORT_EXTENSION Extension) { return StartPipeLoop(Extension, &Extension->InputPipe); }

// Returns once no read is outstanding on the input pipe and no retry is due.
NTSTATUS StopReceive(PPORT_EXTENSION Extension) {
  StopPipeLoop(Extension, &Extension->InputPipe, &Extension->InputPipe.ReceiveRetryTimer);
  return STATUS_SUCCESS;
}
