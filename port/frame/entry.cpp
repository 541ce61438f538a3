// tolvane: driver entry and dispatch (skeleton; the port's routines replace
// the placeholder handlers as they are built).
#include "common/kernel.h"

namespace {

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

}  // namespace

NTSTATUS NTAPI PortCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_SUCCESS, 0); }

NTSTATUS NTAPI PortReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0); }

NTSTATUS NTAPI PortFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0); }

NTSTATUS NTAPI PortDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0); }

NTSTATUS NTAPI PortCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_SUCCESS, 0); }

NTSTATUS NTAPI PortPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0); }

NTSTATUS NTAPI PortSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0); }

NTSTATUS NTAPI PortPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0); }

NTSTATUS NTAPI PortAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) { return STATUS_NOT_SUPPORTED; }

void NTAPI PortUnload(PDRIVER_OBJECT DriverObject) {}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = PortCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = PortCreateClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = PortReadWrite;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = PortReadWrite;
  DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = PortFlush;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PortDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = PortCleanup;
  DriverObject->MajorFunction[IRP_MJ_POWER] = PortPower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PortSystemControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = PortPnp;
  DriverObject->DriverExtension->AddDevice = PortAddDevice;
  DriverObject->DriverUnload = PortUnload;
  return STATUS_SUCCESS;
}
