// merrow: driver entry and dispatch (skeleton; the pipe driver's routines
// replace the placeholder handlers as they are built).
#include "common/kernel.h"

namespace {

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

}  // namespace

NTSTATUS NTAPI PipeCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_SUCCESS); }

NTSTATUS NTAPI PipeClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_SUCCESS); }

NTSTATUS NTAPI PipeReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_DELETE_PENDING); }

NTSTATUS NTAPI PipeDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_INVALID_PARAMETER); }

NTSTATUS NTAPI PipePower(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_NOT_SUPPORTED); }

NTSTATUS NTAPI PipeSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_NOT_SUPPORTED); }

NTSTATUS NTAPI PipePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_NOT_SUPPORTED); }

NTSTATUS NTAPI PipeAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) { return STATUS_NOT_SUPPORTED; }

void NTAPI PipeUnload(PDRIVER_OBJECT DriverObject) {}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = PipeCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = PipeClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = PipeReadWrite;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = PipeReadWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PipeDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = PipePower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PipeSystemControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = PipePnp;
  DriverObject->DriverExtension->AddDevice = PipeAddDevice;
  DriverObject->DriverUnload = PipeUnload;
  return STATUS_SUCCESS;
}
