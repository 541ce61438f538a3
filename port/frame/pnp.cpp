// tolvane: Plug and Play requests of the port's own device node, in the PnP
// manager's thread at PASSIVE_LEVEL. The port never fails a query of its own
// device node; everything it does not handle goes down the stack unchanged.
#include "port/routines.h"

namespace {

// Forward-and-wait: the request comes back to the port once the lower
// drivers completed it. It is not marked pending here: the dispatch routine
// waits for it and completes it itself, returning the final status.
NTSTATUS NTAPI ForwardComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PassDown(PPORT_EXTENSION Extension, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IofCallDriver(Extension->LowerDeviceObject, Irp);
}

NTSTATUS Succeed(PPORT_EXTENSION Extension, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(Extension, Irp);
}

void ChangeState(PPORT_EXTENSION Extension, ULONG NewState) {
  Extension->PreviousPnpState = Extension->PnpState;
  Extension->PnpState = NewState;
}

void ClearErrors(PPORT_EXTENSION Extension) {
  KIRQL irql = KfAcquireSpinLock(&Extension->CommStatusLock);
  Extension->CommStatus.Errors = 0;
  KfReleaseSpinLock(&Extension->CommStatusLock, irql);
}

// The bus starts the device first; the port then names itself, and the
// request completes with the naming's status. A start the lower drivers
// failed completes with their failure: the port is not named, and the Plug
// and Play manager removes it.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardComplete, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IofCallDriver(extension->LowerDeviceObject, Irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  if (NT_SUCCESS(status)) status = Irp->IoStatus.Status;
  if (NT_SUCCESS(status)) {
    ChangeState(extension, PortStarted);
    status = CreatePortName(DeviceObject);
  }
  Irp->IoStatus.Status = status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

// The port is hidden from the user interface until a device has ever been
// bound to it.
NTSTATUS QueryDeviceState(PPORT_EXTENSION Extension, PIRP Irp) {
  ULONG hasPluggedIn = 0;
  if (!NT_SUCCESS(ReadRegistryDword(Extension->PhysicalDeviceObject, L"HasPluggedIn", &hasPluggedIn))) hasPluggedIn = 0;
  if (hasPluggedIn == 0 && ReadShared(Extension->TargetDetached))
    Irp->IoStatus.Information |= PNP_DEVICE_DONT_DISPLAY_IN_UI;
  else Irp->IoStatus.Information &= ~(ULONG_PTR)PNP_DEVICE_DONT_DISPLAY_IN_UI;
  return Succeed(Extension, Irp);
}

// The port's resources: the data path stopped and its requests ended, the
// rings and the receive buffer freed, the DOS name and SERIALCOMM entry gone.
void PortReleaseResources(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  StopPipeReads(extension);
  CancelReadRequests(extension);
  StopTransmit(extension);
  CancelWriteRequests(extension);
  CompletePendingWait(extension);
  RingFree(&extension->RxRing);
  FreeTransmitQueue(extension);
  if (extension->InputPipe.Buffer) {
    ExFreePoolWithTag(extension->InputPipe.Buffer, PORT_POOL_TAG);
    extension->InputPipe.Buffer = NULL;
  }
  if (extension->DosName.Length) {
    IoDeleteSymbolicLink(&extension->DosName);
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", extension->InterfaceName.Buffer);
  }
  if (extension->DosName.Buffer) {
    ExFreePoolWithTag(extension->DosName.Buffer, PORT_POOL_TAG);
    RtlZeroMemory(&extension->DosName, sizeof(UNICODE_STRING));
  }
}

// The teardown at IRP_MN_REMOVE_DEVICE, after the request went down. The
// target is let go as at its own removal: the binding work, a resume after a
// wake and every request of the port inside the pipe driver are waited for
// first.
void PortRemoveDevice(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  PortReleaseResources(DeviceObject);
  DetachTarget(extension);
  EndBinding(extension);
  IoSetDeviceInterfaceState(&extension->InterfaceName, FALSE);
  if (extension->LowerDeviceObject) IoDetachDevice(extension->LowerDeviceObject);
  if (extension->InterfaceName.Buffer) ExFreePoolWithTag(extension->InterfaceName.Buffer, PORT_POOL_TAG);
  IoFreeWorkItem(extension->ResumeWorkItem);
  DeletePortDevice(DeviceObject);
}

// Removal: new opens, reads, writes and flushes are refused from here; the
// remove lock waits for AddDevice's hold and any handle still open (the PnP
// manager refuses an orderly removal while one is, and sends this after a
// surprise removal once the last is closed). Then the request goes down and
// the port tears itself down.
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (!extension->Removed) {
    WriteShared(extension->Removed, TRUE);
    ClearErrors(extension);
    IoReleaseRemoveLockAndWaitEx(&extension->RemoveLock, NULL, sizeof(IO_REMOVE_LOCK));
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  NTSTATUS status = PassDown(extension, Irp);
  ChangeState(extension, PortRemoved);
  PortRemoveDevice(DeviceObject);
  return status;
}

}  // namespace

NTSTATUS NTAPI PortPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      ChangeState(extension, PortRemovePending);
      return Succeed(extension, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (extension->PnpState == PortRemovePending) extension->PnpState = extension->PreviousPnpState;
      return Succeed(extension, Irp);
    case IRP_MN_STOP_DEVICE:
      ClearErrors(extension);
      ChangeState(extension, PortStopped);
      return Succeed(extension, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      ChangeState(extension, PortStopped);
      return Succeed(extension, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (extension->PnpState == PortStopped) extension->PnpState = extension->PreviousPnpState;
      return Succeed(extension, Irp);
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      return QueryDeviceState(extension, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
      extension->PreviousPnpState = extension->PnpState;
      ClearErrors(extension);
      extension->PnpState = PortSurpriseRemovePending;
      WriteShared(extension->SurpriseRemoved, TRUE);
      Succeed(extension, Irp);
      return STATUS_SUCCESS;
    default:
      return PassDown(extension, Irp);
  }
}
