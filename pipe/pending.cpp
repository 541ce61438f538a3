// merrow: stand-ins for the pipe files, the transfer engine and the control
// interface until their own files replace this one. Each refuses its request.
#include "pipe/routines.h"

static NTSTATUS NTAPI Refuse(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IncrementIoCount(DeviceObject);
  NTSTATUS status = CompletePipeRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  DecrementIoCount(DeviceObject);
  return status;
}

NTSTATUS NTAPI PipeCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Refuse(DeviceObject, Irp); }
NTSTATUS NTAPI PipeClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Refuse(DeviceObject, Irp); }
NTSTATUS NTAPI PipeRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Refuse(DeviceObject, Irp); }
NTSTATUS NTAPI PipeWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Refuse(DeviceObject, Irp); }
NTSTATUS NTAPI PipeDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Refuse(DeviceObject, Irp); }
