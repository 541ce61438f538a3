// tolvane: the port's requests to the bound pipe driver's device that wait
// for their answer: opening and closing the three pipes with the port's own
// file objects, and the pipe driver's private control codes. PASSIVE_LEVEL:
// each sender waits for the pipe driver.
#include "port/routines.h"

namespace {

// The completion of a pipe create or close the port built itself: it wakes
// the sender, who frees the request.
NTSTATUS NTAPI PipeOpenCloseComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  KeSetEvent((PKEVENT)Context, 1, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends IRP_MJ_CREATE or IRP_MJ_CLOSE for one pipe, with the pipe's embedded
// file object, and waits for it. The first stack location is the port's own.
NTSTATUS SendPipeFileRequest(PPORT_EXTENSION Extension, PPIPE_CONTEXT Pipe, UCHAR MajorFunction) {
  PDEVICE_OBJECT target = Extension->TargetDeviceObject;
  PIRP irp = IoAllocateIrp((CCHAR)(target->StackSize + 1), FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION locations[2] = {IoGetCurrentIrpStackLocation(irp), IoGetNextIrpStackLocation(irp)};
  for (PIO_STACK_LOCATION location : locations) {
    location->MajorFunction = MajorFunction;
    location->DeviceObject = target;
    location->FileObject = &Pipe->PipeFile;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  irp->Flags = 0;
  irp->UserBuffer = NULL;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, PipeOpenCloseComplete, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IofCallDriver(target, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
  }
  IoFreeIrp(irp);
  return status;
}

}  // namespace

// Opens (IRP_MJ_CREATE) or closes (IRP_MJ_CLOSE) the target's pipes in the
// order output, input, status; a close goes only to pipes that are open, and
// none beyond a closed input pipe. The first failure ends the operation. The
// open flags say which pipes are open; a port without a status pipe counts
// it as open once the input pipe was handled.
NTSTATUS PipeOpenClose(PPORT_EXTENSION Extension, UCHAR MajorFunction) {
  if (!Extension->TargetDeviceObject) return STATUS_NO_SUCH_DEVICE;
  struct {
    PPIPE_CONTEXT Pipe;
    PBOOLEAN Open;
  } pipes[3] = {{&Extension->OutputPipe, &Extension->OutputPipeOpen},
                {&Extension->InputPipe, &Extension->InputPipeOpen},
                {&Extension->StatusPipe, &Extension->StatusPipeOpen}};
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < 3; ++i) {
    if (i == 2 && !StatusPipeInUse(Extension)) {
      WriteShared(Extension->StatusPipeOpen, TRUE);
      break;
    }
    if (MajorFunction == IRP_MJ_CLOSE && !*pipes[i].Open) {
      if (i == 1) break;
      continue;
    }
    WriteShared(*pipes[i].Open, FALSE);
    status = SendPipeFileRequest(Extension, pipes[i].Pipe, MajorFunction);
    if (!NT_SUCCESS(status)) return status;
    if (MajorFunction == IRP_MJ_CREATE) WriteShared(*pipes[i].Open, TRUE);
  }
  return status;
}

// Sends one of the pipe driver's control codes to the target and waits for
// it; `FileObject` names the pipe (NULL: the device). The caller holds the
// busy count and has seen the target bound.
NTSTATUS SendTargetIoctl(PPORT_EXTENSION Extension, ULONG IoControlCode, PFILE_OBJECT FileObject, PVOID Input,
                         ULONG InputLength, PVOID Output, ULONG OutputLength) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, TargetDevice(Extension), Input, InputLength, Output,
                                           OutputLength, FALSE, &event, &ioStatus);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->FileObject = FileObject;
  NTSTATUS status = IofCallDriver(TargetDevice(Extension), irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return status;
}

// Asks the pipe driver for the input pipe's maximum packet size, the length
// of every later input read. The receive buffer holds RECEIVE_BUFFER_SIZE
// bytes: a larger size is cut to that, and a size of 0 (a pipe that moves
// nothing) leaves `Length` as it was.
NTSTATUS QueryReceiveReadLength(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject, PULONG Length) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  ULONG packetSize = 0;
  NTSTATUS status = STATUS_DELETE_PENDING;
  IncrementBusy(extension);
  if (!RemovalBegun(extension) && !ReadShared(extension->TargetDetached) && TargetDevice(extension))
    status = SendTargetIoctl(extension, IOCTL_PIPE_GET_MAX_PACKET_SIZE, FileObject, NULL, 0, &packetSize,
                             sizeof packetSize);
  if (NT_SUCCESS(status) && packetSize != 0)
    *Length = packetSize < RECEIVE_BUFFER_SIZE ? packetSize : RECEIVE_BUFFER_SIZE;
  DecrementBusy(extension);
  return status;
}
