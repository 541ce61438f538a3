// tolvane: binding a port to an instance of the pipe driver. Each arrival of
// the pipe driver's interface goes to the first port that has no target and
// whose TargetMatch occurs in the link name: the port opens the interface,
// registers for its removal (frame/target.cpp) and, in a work item, opens the
// pipes and brings an open port back to work. BindingLock is held over the
// walk of the ports, the binding and the start. PASSIVE_LEVEL throughout.
#include "port/routines.h"

namespace {

// Carries an arrival to the work item that starts the target.
typedef struct _BINDING_WORK_CONTEXT {
  BOOLEAN IsArrival;
  UNICODE_STRING LinkName;  // nonpaged, owned
  PDEVICE_OBJECT DeviceObject;
  PIO_WORKITEM WorkItem;
} BINDING_WORK_CONTEXT, *PBINDING_WORK_CONTEXT;

IO_WORKITEM_ROUTINE BindingWork;

void FreeBindingWork(PBINDING_WORK_CONTEXT Context) {
  if (Context->WorkItem) IoFreeWorkItem(Context->WorkItem);
  if (Context->LinkName.Buffer) ExFreePoolWithTag(Context->LinkName.Buffer, PORT_POOL_TAG);
  ExFreePoolWithTag(Context, PORT_POOL_TAG);
}

// The context, its copy of the link name and its work item, or NULL when any
// of them cannot be allocated (nothing is left allocated then).
PBINDING_WORK_CONTEXT AllocateBindingWork(PDEVICE_OBJECT DeviceObject, PDEVICE_INTERFACE_CHANGE_NOTIFICATION Notification) {
  PBINDING_WORK_CONTEXT context =
      (PBINDING_WORK_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, sizeof(BINDING_WORK_CONTEXT), PORT_POOL_TAG);
  if (!context) return NULL;
  RtlZeroMemory(context, sizeof(BINDING_WORK_CONTEXT));
  context->IsArrival = SameGuid(Notification->Event, GUID_DEVICE_INTERFACE_ARRIVAL);
  context->DeviceObject = DeviceObject;
  if (!NT_SUCCESS(CopyLinkName(&context->LinkName, Notification->SymbolicLinkName))) {
    FreeBindingWork(context);
    return NULL;
  }
  context->WorkItem = IoAllocateWorkItem(DeviceObject);
  if (!context->WorkItem) {
    FreeBindingWork(context);
    return NULL;
  }
  return context;
}

// Writes down that a device was bound once, so the port stays visible in the
// user interface from now on, and has the PnP manager ask again.
void NoteBinding(PPORT_EXTENSION Extension) {
  WriteRegistryDword(Extension->PhysicalDeviceObject, L"HasPluggedIn", 1);
  IoInvalidateDeviceState(Extension->PhysicalDeviceObject);
}

// The pipes are opened and the input pipe's packet size learnt; what fails
// leaves the pipe closed or the read length as it was.
void OpenTargetPipes(PPORT_EXTENSION Extension) {
  PipeOpenClose(Extension, IRP_MJ_CREATE);
  QueryReceiveReadLength(Extension->DeviceObject, &Extension->InputPipe.PipeFile, &Extension->InputPipe.Length);
}

// The port is open: the device is brought into the state the application
// set, the pipes are opened and the data path starts afresh.
void ResumeOpenPort(PPORT_EXTENSION Extension) {
  ReplayDeviceSettings(Extension, 1);
  OpenTargetPipes(Extension);
  CancelReadRequests(Extension);
  StopTransmit(Extension);
  CancelWriteRequests(Extension);
  StartStatusPipe(Extension);
  StartReceive(Extension);
  AllowTransmit(Extension);
  ClearCommStatus(Extension);
  SynthesizeModemLines(Extension, 0x03);
  RaiseWaitEvents(Extension->DeviceObject, SERIAL_EV_TXEMPTY);
  CompleteWaitIfSatisfied(Extension->DeviceObject);
}

// The binding work's main step, under BindingLock: the target is bound from
// here until its removal, and the binding's own busy hold keeps IdleEvent
// clear meanwhile. A target torn down (or a port removed) while the work item
// waited is left alone.
void StartTarget(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (RemovalBegun(extension) || extension->TargetDetached || !extension->TargetDeviceObject ||
      extension->TargetStarted)
    return;
  WriteShared(extension->TargetStarted, TRUE);
  IncrementBusy(extension);
  NoteBinding(extension);
  if (ReadShared(extension->PortOpen)) {
    ResumeOpenPort(extension);
    return;
  }
  OpenTargetPipes(extension);
  SynthesizeModemLines(extension, 0x03);
}

// In a system worker thread, holding the busy count BindTarget took. The
// count goes last: a teardown waiting for it may delete the port (and the
// driver unload) as soon as it is released.
void NTAPI BindingWork(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  PBINDING_WORK_CONTEXT context = (PBINDING_WORK_CONTEXT)Context;
  PPORT_EXTENSION extension = PortExtension(context->DeviceObject);
  if (context->IsArrival) {
    AcquireBindingLock();
    StartTarget(context->DeviceObject);
    ReleaseBindingLock();
  }
  FreeBindingWork(context);
  DecrementBusy(extension);
}

// The port that holds the interface `LinkName` already: an interface is
// reported again when it is enabled again or when the driver registers anew,
// and must not go to a second port. Under BindingLock.
PDEVICE_OBJECT HolderOf(PDEVICE_OBJECT Ports, PUNICODE_STRING LinkName) {
  for (PDEVICE_OBJECT device = Ports; device; device = device->NextDevice) {
    if (device->Flags & DO_DEVICE_INITIALIZING) continue;
    PUNICODE_STRING held = &PortExtension(device)->TargetLinkName;
    if (held->Buffer && RtlEqualUnicodeString(held, LinkName, TRUE)) return device;
  }
  return NULL;
}

// A port may take an arriving interface once AddDevice finished with it, while
// it is not being removed and has no target; the link must name its device.
BOOLEAN Bindable(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING LinkName) {
  if (DeviceObject->Flags & DO_DEVICE_INITIALIZING) return FALSE;
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (RemovalBegun(extension) || extension->TargetFileObject || extension->TargetDeviceObject)
    return FALSE;
  return MatchTarget(DeviceObject, LinkName);
}

}  // namespace

// Copies a link name into a new nonpaged buffer of the source's capacity.
NTSTATUS CopyLinkName(PUNICODE_STRING Copy, PCUNICODE_STRING Source) {
  USHORT size = Source->MaximumLength > Source->Length ? Source->MaximumLength : Source->Length;
  Copy->Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, size ? size : sizeof(WCHAR), PORT_POOL_TAG);
  if (!Copy->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  Copy->MaximumLength = size;
  Copy->Length = Source->Length;
  RtlCopyMemory(Copy->Buffer, Source->Buffer, Source->Length);
  return STATUS_SUCCESS;
}

// Arrivals of the pipe driver's interface, in a system worker thread (or in
// the registering thread for interfaces already present). One arrival binds at
// most one port; a bound port is never rebound. Always succeeds.
NTSTATUS NTAPI InterfaceArrivalCallback(PVOID NotificationStructure, PVOID Context) {
  PDEVICE_INTERFACE_CHANGE_NOTIFICATION notification = (PDEVICE_INTERFACE_CHANGE_NOTIFICATION)NotificationStructure;
  if (!SameGuid(notification->InterfaceClassGuid, GUID_PIPE_DRIVER_INTERFACE) ||
      !SameGuid(notification->Event, GUID_DEVICE_INTERFACE_ARRIVAL))
    return STATUS_SUCCESS;
  PDEVICE_OBJECT ports = ((PDRIVER_OBJECT)Context)->DeviceObject;
  AcquireBindingLock();
  PDEVICE_OBJECT device = HolderOf(ports, notification->SymbolicLinkName) ? NULL : ports;
  while (device && !Bindable(device, notification->SymbolicLinkName)) device = device->NextDevice;
  if (device) {
    PPORT_EXTENSION extension = PortExtension(device);
    IncrementBusy(extension);
    WriteShared(extension->TargetDetached, FALSE);
    BindTarget(device, notification);
    DecrementBusy(extension);
  }
  ReleaseBindingLock();
  return STATUS_SUCCESS;
}

// Whether the interface link `SymbolicLinkName` is the port's target: its
// uppercased text contains TargetMatch. An empty TargetMatch (no usable
// TargetDevice value) matches nothing, so such a port never takes a device
// meant for another.
BOOLEAN MatchTarget(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING SymbolicLinkName) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (extension->TargetMatch[0] == 0) return FALSE;
  ULONG size = SymbolicLinkName->MaximumLength + sizeof(WCHAR);
  PWCHAR link = (PWCHAR)ExAllocatePoolWithTag(PagedPool, size, MATCH_POOL_TAG);
  if (!link) return FALSE;
  RtlZeroMemory(link, size);
  USHORT length = SymbolicLinkName->Length <= SymbolicLinkName->MaximumLength ? SymbolicLinkName->Length
                                                                              : SymbolicLinkName->MaximumLength;
  RtlCopyMemory(link, SymbolicLinkName->Buffer, length);
  _wcsupr(link);
  BOOLEAN found = wcsstr(link, extension->TargetMatch) != NULL;
  ExFreePoolWithTag(link, MATCH_POOL_TAG);
  return found;
}

// Opens the interface, registers for its removal and queues the work that
// starts it. Under BindingLock. On failure nothing of the binding is left
// and the port is unbound again until the next arrival.
NTSTATUS BindTarget(PDEVICE_OBJECT DeviceObject, PDEVICE_INTERFACE_CHANGE_NOTIFICATION Notification) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  PBINDING_WORK_CONTEXT context = AllocateBindingWork(DeviceObject, Notification);
  NTSTATUS status = context ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  PFILE_OBJECT file = NULL;
  PDEVICE_OBJECT target = NULL;
  if (NT_SUCCESS(status)) status = IoGetDeviceObjectPointer(&context->LinkName, FILE_ALL_ACCESS, &file, &target);
  if (NT_SUCCESS(status) && !extension->TargetLinkName.Buffer)
    status = CopyLinkName(&extension->TargetLinkName, &context->LinkName);
  // The registration comes last: once made, its callback may run at any time,
  // so it is never undone here (undoing it would wait for that callback,
  // which waits for BindingLock).
  if (NT_SUCCESS(status))
    status = IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, file, DeviceObject->DriverObject,
                                            TargetChangeCallback, DeviceObject, &extension->TargetNotificationEntry);
  if (NT_SUCCESS(status)) {
    extension->TargetFileObject = file;
    WriteShared(extension->TargetDeviceObject, target);
    IncrementBusy(extension);
    IoQueueWorkItem(context->WorkItem, BindingWork, DelayedWorkQueue, context);
    return STATUS_SUCCESS;
  }
  if (file) ObDereferenceObject(file);
  ForgetTargetLink(extension);
  WriteShared(extension->TargetDetached, TRUE);
  if (context) FreeBindingWork(context);
  return status;
}
