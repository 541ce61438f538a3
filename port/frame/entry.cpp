// tolvane: the driver's entry point and unload. DriverEntry fills the
// dispatch table and registers for arrivals of the pipe driver's interface,
// those already present included, so that ports can bind to it.
#include "port/routines.h"

// Driver-wide state: the interface-arrival registration and the debug level
// read from each port's registry key (which nothing consults).
ULONG DebugLevel;
static PVOID InterfaceNotificationEntry;
static BOOLEAN InterfaceNotificationRegistered;

// Undoes the interface-arrival registration. Every port is gone by now.
static void NTAPI PortUnload(PDRIVER_OBJECT DriverObject) {
  if (InterfaceNotificationRegistered) {
    IoUnregisterPlugPlayNotification(InterfaceNotificationEntry);
    InterfaceNotificationRegistered = FALSE;
  }
}

// The registration failing leaves the driver loaded: its ports work unbound.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DebugLevel = 0;
  InterfaceNotificationEntry = NULL;
  InterfaceNotificationRegistered = FALSE;
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
  NTSTATUS status = IoRegisterPlugPlayNotification(
      EventCategoryDeviceInterfaceChange, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
      (PVOID)&GUID_PIPE_DRIVER_INTERFACE, DriverObject, InterfaceArrivalCallback, DriverObject,
      &InterfaceNotificationEntry);
  if (NT_SUCCESS(status)) InterfaceNotificationRegistered = TRUE;
  return STATUS_SUCCESS;
}
