// tolvane: the driver's entry point and unload. DriverEntry fills the
// dispatch table and registers for arrivals of the pipe driver's interface,
// those already present included, so that ports can bind to it. The binding
// lock is the driver's too: it serialises the walk of the driver's ports with
// their deletion, and each port's binding with its teardown, open and close.
#include "port/routines.h"

// Driver-wide state: the interface-arrival registration, the binding lock and
// the debug level read from each port's registry key (which nothing consults).
ULONG DebugLevel;
static PVOID InterfaceNotificationEntry;
static BOOLEAN InterfaceNotificationRegistered;
static KEVENT BindingLock;  // synchronization event used as a mutex; signalled while free

// Undoes the interface-arrival registration. Every port is gone by now.
static void NTAPI PortUnload(PDRIVER_OBJECT DriverObject) {
  if (InterfaceNotificationRegistered) {
    IoUnregisterPlugPlayNotification(InterfaceNotificationEntry);
    InterfaceNotificationRegistered = FALSE;
  }
}

// PASSIVE_LEVEL; never held across a wait for the port's requests to drain.
void AcquireBindingLock() { KeWaitForSingleObject(&BindingLock, Executive, KernelMode, FALSE, NULL); }

void ReleaseBindingLock() { KeSetEvent(&BindingLock, IO_NO_INCREMENT, FALSE); }

// Deletes a port's device object. It leaves the driver's device list under
// BindingLock, so an arrival walking the list never meets a deleted port.
void DeletePortDevice(PDEVICE_OBJECT DeviceObject) {
  AcquireBindingLock();
  IoDeleteDevice(DeviceObject);
  ReleaseBindingLock();
}

// Registers for arrivals of the pipe driver's interface, those present now
// included. AddDevice calls it again for each new port: the interfaces that
// existed when the driver loaded were reported before the port existed, and
// registering anew reports them again. The new registration is made before
// the old one goes, so no arrival falls between the two; a port that is
// bound already ignores the second report. PnP manager's thread.
void WatchPipeDriverInterfaces(PDRIVER_OBJECT DriverObject) {
  PVOID entry = NULL;
  NTSTATUS status = IoRegisterPlugPlayNotification(
      EventCategoryDeviceInterfaceChange, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
      (PVOID)&GUID_PIPE_DRIVER_INTERFACE, DriverObject, InterfaceArrivalCallback, DriverObject, &entry);
  if (!NT_SUCCESS(status)) return;
  PVOID previous = InterfaceNotificationRegistered ? InterfaceNotificationEntry : NULL;
  InterfaceNotificationEntry = entry;
  InterfaceNotificationRegistered = TRUE;
  if (previous) IoUnregisterPlugPlayNotification(previous);
}

// The registration failing leaves the driver loaded: its ports work unbound.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DebugLevel = 0;
  InterfaceNotificationEntry = NULL;
  InterfaceNotificationRegistered = FALSE;
  KeInitializeEvent(&BindingLock, SynchronizationEvent, TRUE);
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
  WatchPipeDriverInterfaces(DriverObject);
  return STATUS_SUCCESS;
}
