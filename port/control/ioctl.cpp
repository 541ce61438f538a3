// tolvane: IRP_MJ_DEVICE_CONTROL. Routes every serial request to its handler
// and answers the ones that are accepted and do nothing. The three private
// pass-through codes go to the pipe driver, which completes them.
#include "port/routines.h"

namespace {

// Requests that are accepted and have no effect.
NTSTATUS AcceptRequest(PIRP Irp) { return CompleteRequest(Irp, STATUS_SUCCESS, 0); }

// IOCTL_SERIAL_CONFIG_SIZE: the port has no provider-specific configuration.
NTSTATUS ConfigSize(PIRP Irp) {
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  *(PULONG)Irp->AssociatedIrp.SystemBuffer = 0;
  return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG));
}

// The pass-through request is back from the pipe driver: the busy hold it
// carried goes, and the completion continues to the application.
NTSTATUS NTAPI PassThroughComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  DecrementBusy((PPORT_EXTENSION)Context);
  return STATUS_SUCCESS;
}

// Hands a pipe reset or the port-enable request to the pipe driver, which
// completes it for the application. The request holds the busy count from
// before the pipes are looked at until it is back, so a target teardown
// waits for it.
NTSTATUS PassThrough(PPORT_EXTENSION Extension, PIRP Irp, ULONG Code) {
  if (RemovalBegun(Extension)) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  IncrementBusy(Extension);
  if (!PipesReady(Extension)) {
    DecrementBusy(Extension);
    return CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE, 0);
  }
  IoCopyCurrentIrpStackLocationToNext(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  switch (Code) {
    case IOCTL_PORT_RESET_INPUT_PIPE:
      next->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_RESET_PIPE;
      next->FileObject = &Extension->InputPipe.PipeFile;
      break;
    case IOCTL_PORT_RESET_OUTPUT_PIPE:
      next->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_RESET_PIPE;
      next->FileObject = &Extension->OutputPipe.PipeFile;
      break;
    default:
      next->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_ENSURE_PORT_ENABLED;
      break;
  }
  IoSetCompletionRoutine(Irp, PassThroughComplete, Extension, TRUE, TRUE, TRUE);
  return IofCallDriver(TargetDevice(Extension), Irp);
}

}  // namespace

// PASSIVE_LEVEL, in the caller's thread. Each handler completes its request
// (or passes it on) and returns its status.
NTSTATUS NTAPI PortDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
  Irp->IoStatus.Information = 0;
  switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
    case IOCTL_SERIAL_GET_BAUD_RATE:
    case IOCTL_SERIAL_SET_LINE_CONTROL:
    case IOCTL_SERIAL_GET_LINE_CONTROL:
    case IOCTL_SERIAL_SET_TIMEOUTS:
    case IOCTL_SERIAL_GET_TIMEOUTS:
    case IOCTL_SERIAL_SET_CHARS:
    case IOCTL_SERIAL_GET_CHARS:
    case IOCTL_SERIAL_SET_HANDFLOW:
    case IOCTL_SERIAL_GET_HANDFLOW:
      return SerialSettingsRequest(DeviceObject, Irp, code);
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_GET_MODEMSTATUS:
      return SerialModemRequest(DeviceObject, Irp, code);
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
    case IOCTL_SERIAL_PURGE:
    case IOCTL_SERIAL_GET_COMMSTATUS:
    case IOCTL_SERIAL_GET_PROPERTIES:
    case IOCTL_SERIAL_GET_STATS:
    case IOCTL_SERIAL_CLEAR_STATS:
      return SerialQueueRequest(DeviceObject, Irp, code);
    case IOCTL_SERIAL_GET_WAIT_MASK:
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_WAIT_ON_MASK:
      return SerialWaitRequest(DeviceObject, Irp, code);
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
      return SendImmediateChar(DeviceObject, Irp);
    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_LSRMST_INSERT:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
      return AcceptRequest(Irp);
    case IOCTL_SERIAL_CONFIG_SIZE:
      return ConfigSize(Irp);
    case IOCTL_PORT_RESET_INPUT_PIPE:
    case IOCTL_PORT_RESET_OUTPUT_PIPE:
    case IOCTL_PORT_ENSURE_DEVICE_ENABLED:
      return PassThrough(extension, Irp, code);
    default:  // IOCTL_SERIAL_GET_COMMCONFIG and IOCTL_SERIAL_SET_COMMCONFIG included
      return CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
  }
}
