// tolvane: letting go of the bound pipe driver's device when it is removed,
// as its target-device-change notification reports it, and when the port
// itself is removed. The port never vetoes a removal: at query-remove it
// closes its pipes and releases the device's file object at once, since an
// open file would make the system refuse the removal. A removal the system
// cancels after that binds the same device again. PASSIVE_LEVEL throughout;
// BindingLock guards the binding fields, but is never held over the wait for
// the port's requests to leave the pipe driver.
#include "port/routines.h"

namespace {

// Everything of the port that uses the target stops: no pipe read is posted
// from here on, pending reads and writes end with STATUS_CANCELLED, and a
// wait for transmit-empty is satisfied. Under BindingLock.
void StopTargetDataPath(PPORT_EXTENSION Extension) {
  WriteShared(Extension->TargetDetached, TRUE);
  StopReceive(Extension);
  StopStatusPipe(Extension);
  WriteShared(Extension->DeviceReady, FALSE);
  CancelReadRequests(Extension);
  RingReset(&Extension->RxRing);
  StopTransmit(Extension);
  CancelWriteRequests(Extension);
  ResetTransmit(Extension);
  RaiseWaitEvents(Extension->DeviceObject, SERIAL_EV_TXEMPTY);
  CompleteWaitIfSatisfied(Extension->DeviceObject);
}

// The Plug and Play manager asks the port's device state again (the port is
// shown once a device was ever bound); not while the port is being removed.
void RefreshDeviceState(PPORT_EXTENSION Extension) {
  if (!ReadShared(Extension->Removed)) IoInvalidateDeviceState(Extension->PhysicalDeviceObject);
}

void TargetQueryRemove(PPORT_EXTENSION Extension) {
  DetachTarget(Extension);
  RefreshDeviceState(Extension);
}

// The device is gone (after a query-remove, or surprise-removed without one).
void TargetRemoveComplete(PPORT_EXTENSION Extension) {
  AcquireBindingLock();
  WriteShared(Extension->TargetDetached, TRUE);
  SynthesizeModemLines(Extension, 0);
  CompleteWaitIfSatisfied(Extension->DeviceObject);
  ReleaseBindingLock();
  DetachTarget(Extension);
  EndBinding(Extension);
  WriteShared(Extension->DeviceReady, FALSE);
  ClearCommStatus(Extension);
  RefreshDeviceState(Extension);
}

// The removal the port was asked about did not happen. A port that let go of
// the device at the query binds it again through the link it kept; a port
// that was never asked (another registrant refused first) is still bound and
// keeps its registration.
void TargetRemoveCancelled(PPORT_EXTENSION Extension) {
  AcquireBindingLock();
  BOOLEAN released = Extension->TargetFileObject == NULL;
  PVOID entry = released ? Extension->TargetNotificationEntry : NULL;
  if (released) Extension->TargetNotificationEntry = NULL;
  ReleaseBindingLock();
  if (!released) return;
  if (entry) IoUnregisterPlugPlayNotification(entry);
  AcquireBindingLock();
  if (!Extension->TargetFileObject && Extension->TargetLinkName.Buffer && !RemovalBegun(Extension)) {
    DEVICE_INTERFACE_CHANGE_NOTIFICATION arrival = {1, sizeof arrival, GUID_DEVICE_INTERFACE_ARRIVAL,
                                                    GUID_PIPE_DRIVER_INTERFACE, &Extension->TargetLinkName};
    IncrementBusy(Extension);
    WriteShared(Extension->TargetDetached, FALSE);
    BindTarget(Extension->DeviceObject, &arrival);
    DecrementBusy(Extension);
  }
  ReleaseBindingLock();
}

}  // namespace

// Ends the port's use of its target: the data path stops, the binding's hold
// goes, every request of the port inside the pipe driver is waited for, then
// the pipes are closed and the target's file object released. The binding
// work may be waiting for BindingLock meanwhile; it finds the target
// detached and starts nothing.
void DetachTarget(PPORT_EXTENSION Extension) {
  AcquireBindingLock();
  StopTargetDataPath(Extension);
  if (Extension->TargetStarted) {
    WriteShared(Extension->TargetStarted, FALSE);
    DecrementBusy(Extension);
  }
  ReleaseBindingLock();
  WaitUntilIdle(Extension);
  AcquireBindingLock();
  PipeOpenClose(Extension, IRP_MJ_CLOSE);
  WriteShared(Extension->TargetDeviceObject, (PDEVICE_OBJECT)NULL);
  if (Extension->TargetFileObject) {
    ObDereferenceObject(Extension->TargetFileObject);
    Extension->TargetFileObject = NULL;
  }
  ReleaseBindingLock();
}

// The link of a target that is gone for good, or was never bound. Under BindingLock.
void ForgetTargetLink(PPORT_EXTENSION Extension) {
  if (Extension->TargetLinkName.Buffer) ExFreePoolWithTag(Extension->TargetLinkName.Buffer, PORT_POOL_TAG);
  RtlZeroMemory(&Extension->TargetLinkName, sizeof(UNICODE_STRING));
}

// The target is gone for good: its removal notification is unregistered (by
// whichever of the removal callback and the port's own removal comes first;
// outside BindingLock, since unregistering waits for a callback in progress)
// and the kept link name is freed.
void EndBinding(PPORT_EXTENSION Extension) {
  AcquireBindingLock();
  PVOID entry = Extension->TargetNotificationEntry;
  Extension->TargetNotificationEntry = NULL;
  ForgetTargetLink(Extension);
  ReleaseBindingLock();
  if (entry) IoUnregisterPlugPlayNotification(entry);
}

// Removal events of the bound device, in a system worker thread. Always
// succeeds: the port never vetoes a removal.
NTSTATUS NTAPI TargetChangeCallback(PVOID NotificationStructure, PVOID Context) {
  PTARGET_DEVICE_REMOVAL_NOTIFICATION notification = (PTARGET_DEVICE_REMOVAL_NOTIFICATION)NotificationStructure;
  PPORT_EXTENSION extension = PortExtension((PDEVICE_OBJECT)Context);
  if (SameGuid(notification->Event, GUID_TARGET_DEVICE_QUERY_REMOVE)) TargetQueryRemove(extension);
  else if (SameGuid(notification->Event, GUID_TARGET_DEVICE_REMOVE_COMPLETE)) TargetRemoveComplete(extension);
  else if (SameGuid(notification->Event, GUID_TARGET_DEVICE_REMOVE_CANCELLED)) TargetRemoveCancelled(extension);
  return STATUS_SUCCESS;
}
