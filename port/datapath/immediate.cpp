// tolvane: IOCTL_SERIAL_IMMEDIATE_CHAR. The character goes to the output pipe
// at once as a one-byte pipe write, beside any write in flight; it does not
// wait in WriteQueue. One at a time: WaitForImmediate (under CommStatusLock)
// refuses a second while one is in flight. ImmediateCharIrp and its pipe
// write are kept under the cancel spin lock, so that a transmit stop can
// cancel that pipe write.
#include "port/routines.h"

namespace {

IO_COMPLETION_ROUTINE ImmediateCharComplete;

// Sets WaitForImmediate unless it is already set; TRUE when this call set it.
BOOLEAN ClaimImmediate(PPORT_EXTENSION Extension, BOOLEAN Claim) {
  KIRQL irql = KfAcquireSpinLock(&Extension->CommStatusLock);
  BOOLEAN claimed = Claim && !Extension->CommStatus.WaitForImmediate;
  if (claimed || !Claim) Extension->CommStatus.WaitForImmediate = Claim;
  KfReleaseSpinLock(&Extension->CommStatusLock, irql);
  return claimed;
}

// The character's pipe write ended: the request completes with its status.
// It returns no bytes: its Information is what the I/O manager copies back
// into the caller's output buffer, which may be absent or shorter than the
// one byte the pipe write carried.
NTSTATUS NTAPI ImmediateCharComplete(PDEVICE_OBJECT, PIRP PipeWrite, PVOID Context) {
  PPORT_EXTENSION extension = (PPORT_EXTENSION)Context;
  IO_STATUS_BLOCK result = PipeWrite->IoStatus;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = extension->ImmediateCharIrp;
  extension->ImmediateCharIrp = NULL;
  extension->OutputPipe.ImmediatePipeWrite = NULL;
  IoReleaseCancelSpinLock(irql);
  ClaimImmediate(extension, FALSE);
  ReleasePipeWrite(extension, PipeWrite);
  CompleteRequest(irp, result.Status, 0);
  DecrementBusy(extension);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// Refused while the pipes are not ready, with no character given, or while
// another character is in flight.
NTSTATUS SendImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  Irp->IoStatus.Information = 0;
  // Held before the target is looked at; the completion releases it.
  IncrementBusy(extension);
  NTSTATUS status;
  if (!PipesReady(extension)) {
    status = STATUS_NO_SUCH_DEVICE;
  } else if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength < 1 ||
             !ClaimImmediate(extension, TRUE)) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    PIRP pipeWrite;
    status = BuildPipeWrite(extension, Irp->AssociatedIrp.SystemBuffer, 1, ImmediateCharComplete, &pipeWrite);
    if (NT_SUCCESS(status)) {
      IoMarkIrpPending(Irp);
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      extension->ImmediateCharIrp = Irp;
      extension->OutputPipe.ImmediatePipeWrite = pipeWrite;
      IoReleaseCancelSpinLock(irql);
      IofCallDriver(TargetDevice(extension), pipeWrite);
      return STATUS_PENDING;
    }
    ClaimImmediate(extension, FALSE);
  }
  CompleteRequest(Irp, status, 0);
  DecrementBusy(extension);
  return status;
}

// A transmit stop ends the character in flight: its pipe write is cancelled
// and the request completes with what that pipe write ends with. Under the
// cancel spin lock, at DISPATCH_LEVEL.
void CancelImmediateChar(PPORT_EXTENSION Extension) {
  if (PIRP pipeWrite = Extension->OutputPipe.ImmediatePipeWrite) CancelPipeWrite(Extension, pipeWrite);
}
