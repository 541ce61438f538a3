// merrow: driver entry and dispatch. A skeleton: the pipe driver's own
// routines replace these handlers as the driver is built; until then it is a
// correct WDM function driver that accepts open and close and refuses the rest.
#include "common/kernel.h"

namespace {

struct SKELETON_EXTENSION {
  PDEVICE_OBJECT LowerDeviceObject;
};

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT DeviceObject) {
  return ((SKELETON_EXTENSION*)DeviceObject->DeviceExtension)->LowerDeviceObject;
}

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes a request down and waits until the lower drivers have finished it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(LowerOf(DeviceObject), Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(LowerOf(DeviceObject), Irp);
}

}  // namespace

NTSTATUS NTAPI PipeCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_SUCCESS); }

NTSTATUS NTAPI PipeClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_SUCCESS); }

NTSTATUS NTAPI PipeReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_DELETE_PENDING); }

NTSTATUS NTAPI PipeDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CompleteRequest(Irp, STATUS_INVALID_PARAMETER); }

NTSTATUS NTAPI PipePower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(LowerOf(DeviceObject), Irp);
}

NTSTATUS NTAPI PipeSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassDown(DeviceObject, Irp); }

NTSTATUS NTAPI PipePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return CompleteRequest(Irp, ForwardAndWait(DeviceObject, Irp));
    case IRP_MN_REMOVE_DEVICE: {
      PDEVICE_OBJECT lower = LowerOf(DeviceObject);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = PassDown(DeviceObject, Irp);
      IoDetachDevice(lower);
      IoDeleteDevice(DeviceObject);
      return status;
    }
    default:
      return PassDown(DeviceObject, Irp);
  }
}

NTSTATUS NTAPI PipeAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(SKELETON_EXTENSION), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (!lower) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  ((SKELETON_EXTENSION*)device->DeviceExtension)->LowerDeviceObject = lower;
  device->Flags |= DO_DIRECT_IO | (lower->Flags & DO_POWER_PAGABLE);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

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
