// tolvane: write requests and the immediate character. Each write becomes one
// pipe write on "\PIPE00" of a bound target. A port without a target
// swallows writes: they succeed with nothing written.
#include "port/routines.h"

namespace {

KDEFERRED_ROUTINE WriteTotalTimeoutDpc;

// The write's total timeout expired: the pipe write carrying it is cancelled,
// and the request completes with what that pipe write ends with.
void NTAPI WriteTotalTimeoutDpc(PKDPC, PVOID Context, PVOID, PVOID) {
  PPORT_EXTENSION extension = PortExtension((PDEVICE_OBJECT)Context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP pipeWrite = extension->CurrentWriteIrp ? RecordedPipeWrite(extension->CurrentWriteIrp) : NULL;
  if (!pipeWrite) {
    IoReleaseCancelSpinLock(irql);
    return;
  }
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  IoCancelIrp(pipeWrite);
  KfLowerIrql(irql);
}

}  // namespace

// The pipe write that carries a current write request, recorded in the
// request's driver context while it is in flight (the request is out of
// WriteQueue then, so the context is free).
PIRP RecordedPipeWrite(PIRP WriteIrp) { return (PIRP)WriteIrp->Tail.Overlay.DriverContext[3]; }

// At creation, after the locks and queues: nothing to write, the output side
// idle and stopped until the first open.
void InitializeWritePath(PPORT_EXTENSION Extension) {
  OUTPUT_PIPE_CONTEXT& pipe = Extension->OutputPipe;
  pipe.Stopped = TRUE;
  KeInitializeEvent(&pipe.PipeIdleEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&pipe.TxDrainedEvent, NotificationEvent, TRUE);
  Extension->CurrentWriteIrp = NULL;
  Extension->ImmediateCharIrp = NULL;
  KeInitializeTimer(&pipe.WriteTotalTimer);
  KeInitializeDpc(&pipe.WriteTotalTimerDpc, WriteTotalTimeoutDpc, Extension->DeviceObject);
}

// IRP_MJ_WRITE at PASSIVE_LEVEL, after the removal check of PortReadWrite.
// Every refusal completes at once with Information 0.
NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (extension->Removed || extension->SurpriseRemoved) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  // A zero-length buffered write has no system buffer and ends here.
  if (!Irp->AssociatedIrp.SystemBuffer) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  if (!extension->TargetDeviceObject) return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length == 0)
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  // The transmit engine that carries writes to a bound target takes over
  // here; without it the write fails as a write whose target went away.
  return CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE, 0);
}

// IOCTL_SERIAL_IMMEDIATE_CHAR: the character goes to the output pipe at once,
// beside any write in flight. Refused while the pipes are not ready.
NTSTATUS SendImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  Irp->IoStatus.Information = 0;
  IncrementBusy(extension);
  NTSTATUS status;
  if (!PipesReady(extension)) {
    status = STATUS_NO_SUCH_DEVICE;
  } else if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength < 1 ||
             extension->CommStatus.WaitForImmediate) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    // The transmit engine sends the character on a bound target.
    status = STATUS_NO_SUCH_DEVICE;
  }
  DecrementBusy(extension);
  return CompleteRequest(Irp, status, 0);
}
