// merrow: the device frame. DriverEntry and its dispatch table, AddDevice,
// the count of requests inside the driver, the request gate, the
// system-control pass-through, and the two helpers every part waits through:
// a synchronous URB submitter and the hardware key's 32-bit reader.
#include "common/runtime64.h"  // the 64-bit division helpers, defined here for the whole image
#include "pipe/routines.h"

void NTAPI PipeUnload(PDRIVER_OBJECT DriverObject) {}

// Installs the handlers; the registry path is not read.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = PipeCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = PipeClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = PipeRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = PipeWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PipeDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = PipePower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PipeSystemControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = PipePnp;
  DriverObject->DriverExtension->AddDevice = PipeAddDevice;
  DriverObject->DriverUnload = PipeUnload;
  return STATUS_SUCCESS;
}

void IncrementIoCount(PDEVICE_OBJECT DeviceObject) {
  InterlockedIncrement(&PipeExtension(DeviceObject)->PendingIoCount);
}

// Any IRQL up to DISPATCH_LEVEL. Falling to 1 means idle; 0 happens once, in
// the removal, after the base count is released. The decrement and the event
// it sets go together under IoCountLock: a request falling to 1 still touches
// the extension after its decrement, and the removal's fall to 0 (after which
// the device is deleted) must wait until it has. When a request makes the
// fall to 0, the removal takes the lock once after the event, for the same
// reason.
LONG DecrementIoCount(PDEVICE_OBJECT DeviceObject) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  KIRQL irql = KfAcquireSpinLock(&extension->IoCountLock);
  LONG count = InterlockedDecrement(&extension->PendingIoCount);
  if (count == 1) KeSetEvent(&extension->NoPendingIoEvent, IO_NO_INCREMENT, FALSE);
  if (count == 0) KeSetEvent(&extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
  KfReleaseSpinLock(&extension->IoCountLock, irql);
  return count;
}

// The state flags are changed by the PnP requests and read here without a
// lock (ReadShared): a request that saw the device still usable is counted
// in PendingIoCount, which the removal and the stop wait to drain.
BOOLEAN CanAcceptRequests(PDEVICE_OBJECT DeviceObject) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  return ReadShared(extension->Started) && !ReadShared(extension->Removed) && !ReadShared(extension->RemovePending) &&
         !ReadShared(extension->StopPending);
}

NTSTATUS CompletePipeRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS NTAPI PipeSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IncrementIoCount(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  NTSTATUS status = IoCallDriver(PipeExtension(DeviceObject)->LowerDeviceObject, Irp);
  DecrementIoCount(DeviceObject);
  return status;
}

NTSTATUS CallLowerSync(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PVOID Argument1, KWAIT_REASON WaitReason) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PDEVICE_OBJECT lower = PipeExtension(DeviceObject)->LowerDeviceObject;
  PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, lower, NULL, 0, NULL, 0, TRUE, &event, &ioStatus);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument1;
  NTSTATUS status = IoCallDriver(lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, WaitReason, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return status;
}

// PASSIVE_LEVEL. Only the NTSTATUS counts, not the URB's USBD status; a
// pending answer is waited for, so the URB is always finished on return.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  return CallLowerSync(DeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb, Executive);
}

// PASSIVE_LEVEL. Writes *Value only when the value exists, fits the query
// buffer and holds at least four bytes of data; a shorter value is not a
// 32-bit number, and reading four bytes would run past its data.
NTSTATUS ReadDeviceRegistryDword(PDEVICE_OBJECT PhysicalDeviceObject, PCWSTR ValueName, PULONG Value) {
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
  if (!NT_SUCCESS(status)) return status;
  WCHAR nameBuffer[REGISTRY_NAME_CHARS];
  ULONG chars = 0;
  while (chars < REGISTRY_NAME_CHARS - 1 && ValueName[chars]) {
    nameBuffer[chars] = ValueName[chars];
    chars++;
  }
  nameBuffer[chars] = 0;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, nameBuffer);
  ULONG size = name.Length + 30;
  PKEY_VALUE_FULL_INFORMATION info =
      (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, PIPE_POOL_TAG);
  if (!info) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    ULONG resultLength = 0;
    status = ZwQueryValueKey(key, &name, KeyValueFullInformation, info, size, &resultLength);
    if (NT_SUCCESS(status) && info->DataLength < sizeof(ULONG)) status = STATUS_OBJECT_TYPE_MISMATCH;
    if (NT_SUCCESS(status)) RtlCopyMemory(Value, (PUCHAR)info + info->DataOffset, sizeof(ULONG));
    ExFreePoolWithTag(info, PIPE_POOL_TAG);
  }
  ZwClose(key);
  return status;
}

static NTSTATUS NTAPI CapabilitiesComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Asks the physical device object for its capabilities; the outcome is not
// examined (a refusal leaves the zero-filled copy). Size and Version are
// filled in as every sender of this request must.
static void QueryCapabilities(PPIPE_DEVICE_EXTENSION Extension) {
  PDEVICE_OBJECT pdo = Extension->PhysicalDeviceObject;
  PDEVICE_CAPABILITIES capabilities = &Extension->DeviceCapabilities;
  RtlZeroMemory(capabilities, sizeof(*capabilities));
  capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  capabilities->Version = 1;
  capabilities->Address = (ULONG)-1;
  capabilities->UINumber = (ULONG)-1;
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  if (!irp) return;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  next->Parameters.DeviceCapabilities.Capabilities = capabilities;
  IoSetCompletionRoutine(irp, CapabilitiesComplete, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  IoFreeIrp(irp);
}

// Registers and enables the interface, checking the link fits InterfaceName
// (a longer one could not be disabled again at removal, so the device is
// refused rather than left with an interface nobody can withdraw).
static NTSTATUS RegisterInterface(PDEVICE_OBJECT PhysicalDeviceObject, PUNICODE_STRING Link) {
  NTSTATUS status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_PIPE_DRIVER_INTERFACE, NULL, Link);
  if (!NT_SUCCESS(status)) return status;
  if (Link->Length / sizeof(WCHAR) > INTERFACE_NAME_CHARS) {
    status = STATUS_NAME_TOO_LONG;
  } else {
    status = IoSetDeviceInterfaceState(Link, TRUE);
  }
  if (!NT_SUCCESS(status)) RtlFreeUnicodeString(Link);
  return status;
}

static void SetUpExtension(PPIPE_DEVICE_EXTENSION Extension, PUNICODE_STRING Link) {
  Extension->MaximumTransferSize = DEFAULT_MAXIMUM_TRANSFER_SIZE;
  RtlCopyMemory(Extension->InterfaceName, Link->Buffer, Link->Length);
  Extension->InterfaceName[Link->Length / sizeof(WCHAR)] = 0;
  Extension->DevicePowerState = PowerDeviceD0;
  Extension->Started = Extension->Removed = Extension->SurpriseRemoved = Extension->RemoveStarted = FALSE;
  Extension->RemovePending = Extension->StopPending = FALSE;
  Extension->PendingSystemPowerIrp = NULL;
  Extension->ConfigRecord = NULL;
  Extension->PendingIoCount = 0;
}

// PASSIVE_LEVEL. A device creation failing disables the interface again, so
// no client finds a link without a device behind it. An attach failing (the
// physical device is going away) fails AddDevice too: a device without a
// lower device could not pass anything down.
NTSTATUS NTAPI PipeAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  UNICODE_STRING link;
  NTSTATUS status = RegisterInterface(PhysicalDeviceObject, &link);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT device;
  status = IoCreateDevice(DriverObject, sizeof(PIPE_DEVICE_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                          FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device);
  if (NT_SUCCESS(status)) {
    PPIPE_DEVICE_EXTENSION extension = PipeExtension(device);
    SetUpExtension(extension, &link);
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (!extension->LowerDeviceObject) {
      IoDeleteDevice(device);
      status = STATUS_NO_SUCH_DEVICE;
    }
  }
  if (!NT_SUCCESS(status)) {
    IoSetDeviceInterfaceState(&link, FALSE);
    RtlFreeUnicodeString(&link);
    return status;
  }
  RtlFreeUnicodeString(&link);
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(device);
  KeInitializeSpinLock(&extension->IoCountLock);
  KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->NoPendingIoEvent, NotificationEvent, FALSE);
  IncrementIoCount(device);
  device->Flags &= ~DO_BUFFERED_IO;
  device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  QueryCapabilities(extension);
  ULONG maximum = extension->MaximumTransferSize;
  ReadDeviceRegistryDword(PhysicalDeviceObject, L"MaximumTransferSize", &maximum);
  // A maximum of 0 would give every pipe segments of 0 bytes: keep the default.
  if (maximum != 0) extension->MaximumTransferSize = maximum;
  // Last: from here the device takes requests, and every field they use is set.
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
