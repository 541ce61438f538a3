// tolvane: the routing of read, write, flush and WMI requests, the activity
// count that lets a target teardown drain the port's requests, and the small
// helpers every request handler uses.
#include "port/routines.h"

// Completes a request the port decided: status, bytes and priority boost.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IofCompleteRequest(Irp, Boost);
  return Status;
}

// A pipe driver is bound: the binding work has started it, and it is not
// being torn down. Between the arrival and that work the port is still
// treated as unbound; the work brings an open port up to date.
BOOLEAN TargetBound(PPORT_EXTENSION Extension) {
  return TargetDevice(Extension) != NULL && !ReadShared(Extension->TargetDetached) &&
         ReadShared(Extension->TargetStarted);
}

// The three pipes are open and the device is in its open state.
BOOLEAN PipesReady(PPORT_EXTENSION Extension) {
  return TargetBound(Extension) && ReadShared(Extension->OutputPipeOpen) && ReadShared(Extension->InputPipeOpen) &&
         ReadShared(Extension->StatusPipeOpen) && ReadShared(Extension->DeviceReady);
}

// Every request the port sends to the pipe driver runs between these two.
// IdleEvent is signalled exactly when the count is 0: the count and the event
// change together under BusyLock. (Apart, a decrement to 0 could set the event
// after an increment had cleared it, and a teardown would go ahead with a
// request still to come.) Up to DISPATCH_LEVEL.
void IncrementBusy(PPORT_EXTENSION Extension) {
  KIRQL irql = KfAcquireSpinLock(&Extension->BusyLock);
  if (InterlockedIncrement(&Extension->BusyCount) == 1) KeClearEvent(&Extension->IdleEvent);
  KfReleaseSpinLock(&Extension->BusyLock, irql);
}

void DecrementBusy(PPORT_EXTENSION Extension) {
  KIRQL irql = KfAcquireSpinLock(&Extension->BusyLock);
  if (InterlockedDecrement(&Extension->BusyCount) == 0) KeSetEvent(&Extension->IdleEvent, IO_NO_INCREMENT, FALSE);
  KfReleaseSpinLock(&Extension->BusyLock, irql);
}

// Waits until the count is 0. The decrement that signalled IdleEvent still
// holds BusyLock as the waiter wakes (on another processor); once the lock has
// been taken here, that routine is done with the extension, which a teardown
// may then free. PASSIVE_LEVEL.
void WaitUntilIdle(PPORT_EXTENSION Extension) {
  KeWaitForSingleObject(&Extension->IdleEvent, Executive, KernelMode, FALSE, NULL);
  KIRQL irql = KfAcquireSpinLock(&Extension->BusyLock);
  KfReleaseSpinLock(&Extension->BusyLock, irql);
}

// IRP_MJ_READ and IRP_MJ_WRITE: refused after removal, otherwise owned by
// the read or write path from here on.
NTSTATUS NTAPI PortReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (RemovalBegun(extension)) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ) return DispatchRead(DeviceObject, Irp);
  return DispatchWrite(DeviceObject, Irp);
}

// IRP_MJ_FLUSH_BUFFERS: waits until every write has gone out. A port without
// a target has nothing to flush to and refuses.
NTSTATUS NTAPI PortFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  NTSTATUS status = STATUS_DELETE_PENDING;
  if (!RemovalBegun(extension) && !ReadShared(extension->TargetDetached))
    status = FlushTransmit(extension);
  return CompleteRequest(Irp, status, 0);
}

// WMI is the bus driver's: passed down untouched.
NTSTATUS NTAPI PortSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IofCallDriver(PortExtension(DeviceObject)->LowerDeviceObject, Irp);
}
