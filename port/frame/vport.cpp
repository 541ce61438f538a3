// tolvane: creating a port for the device node the Plug and Play manager
// hands over, and naming it at each start. The port is an unnamed device
// object reached through its COM-port interface and its DOS name, which is
// also entered in the SERIALCOMM device map. All at PASSIVE_LEVEL.
#include "port/routines.h"

namespace {

// Reads TargetDevice, uppercased, into `Match` (TARGET_MATCH_CHARS, zeroed by
// the caller). A value that is absent, unreadable, not a string or longer than
// TARGET_MATCH_CHARS - 1 characters leaves `Match` empty: the port then never
// binds, where a shortened text might bind the wrong device. Fails only when
// the query buffer cannot be allocated.
NTSTATUS ReadTargetDevice(PDEVICE_OBJECT PhysicalDeviceObject, PWCHAR Match) {
  HANDLE key;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key)))
    return STATUS_SUCCESS;
  static const WCHAR valueName[] = L"TargetDevice";
  ULONG size = sizeof valueName - sizeof(WCHAR) + 282;
  PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, PORT_POOL_TAG);
  if (!info) {
    ZwClose(key);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  ULONG resultLength = 0;
  NTSTATUS status = ZwQueryValueKey(key, &name, KeyValueFullInformation, info, size, &resultLength);
  if (NT_SUCCESS(status) && info->Type == REG_SZ) {
    const WCHAR* text = (const WCHAR*)((PUCHAR)info + info->DataOffset);
    ULONG chars = info->DataLength / sizeof(WCHAR);
    while (chars > 0 && text[chars - 1] == 0) --chars;  // the terminator is not part of the text
    if (chars < TARGET_MATCH_CHARS) {
      RtlCopyMemory(Match, text, chars * sizeof(WCHAR));
      _wcsupr(Match);
    }
  }
  ExFreePoolWithTag(info, PORT_POOL_TAG);
  ZwClose(key);
  return STATUS_SUCCESS;
}

// Creates the port's device object, registers and enables its COM-port
// interface, and attaches it to the device node. If the interface cannot be
// registered or enabled the device is deleted before it is ever attached.
NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT* Device) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(PORT_EXTENSION), NULL, FILE_DEVICE_SERIAL_PORT,
                                   FILE_DEVICE_SECURE_OPEN, TRUE, &device);
  if (!NT_SUCCESS(status)) return status;
  PPORT_EXTENSION extension = PortExtension(device);
  RtlZeroMemory(extension, sizeof(PORT_EXTENSION));
  extension->PhysicalDeviceObject = PhysicalDeviceObject;

  UNICODE_STRING link = {0, 0, NULL};
  status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, NULL, &link);
  if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&link, TRUE);
  if (!NT_SUCCESS(status)) {
    if (link.Buffer) RtlFreeUnicodeString(&link);
    DeletePortDevice(device);
    return status;
  }
  USHORT size = (USHORT)(link.Length + sizeof(WCHAR));
  extension->InterfaceName.Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, size, PORT_POOL_TAG);
  if (!extension->InterfaceName.Buffer) {
    IoSetDeviceInterfaceState(&link, FALSE);
    RtlFreeUnicodeString(&link);
    DeletePortDevice(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(extension->InterfaceName.Buffer, size);
  extension->InterfaceName.Length = 0;
  extension->InterfaceName.MaximumLength = size;
  RtlAppendUnicodeStringToString(&extension->InterfaceName, &link);
  RtlFreeUnicodeString(&link);

  extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (!extension->LowerDeviceObject) {
    IoSetDeviceInterfaceState(&extension->InterfaceName, FALSE);
    ExFreePoolWithTag(extension->InterfaceName.Buffer, PORT_POOL_TAG);
    RtlZeroMemory(&extension->InterfaceName, sizeof(UNICODE_STRING));
    DeletePortDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  *Device = device;
  return status;
}

// Points a pipe record's embedded file object at the port and names the pipe.
void PreparePipeFile(PPIPE_CONTEXT Pipe, PDEVICE_OBJECT DeviceObject, PWCHAR NameBuffer, PCWSTR Name) {
  Pipe->PipeFile.DeviceObject = DeviceObject;
  wcscpy(NameBuffer, Name);
  RtlInitUnicodeString(&Pipe->PipeFile.FileName, NameBuffer);
}

// Locks, queues, events and the serial settings a new port starts with.
void InitializeDefaults(PPORT_EXTENSION Extension) {
  KeInitializeSpinLock(&Extension->WaitLock);
  RingInitialize(&Extension->RxRing);
  KeInitializeSpinLock(&Extension->ReadQueueLock);
  KeInitializeSpinLock(&Extension->CommStatusLock);
  RingInitialize(&Extension->TxRing);
  KeInitializeDeviceQueue(&Extension->ReadQueue);
  KeInitializeDeviceQueue(&Extension->WriteQueue);
  Extension->Timeouts.ReadIntervalTimeout = MAXULONG;
  Extension->RxQueueSize = DEFAULT_QUEUE_SIZE;
  Extension->TxQueueSize = DEFAULT_QUEUE_SIZE;
  Extension->LineControl.StopBits = STOP_BIT_1;
  Extension->LineControl.Parity = NO_PARITY;
  Extension->LineControl.WordLength = 8;
  Extension->BaudRate = 115200;
  WriteShared(Extension->TargetDetached, TRUE);
  Extension->BusyCount = 0;
  KeInitializeEvent(&Extension->IdleEvent, NotificationEvent, TRUE);
  KeInitializeSpinLock(&Extension->BusyLock);
  KeInitializeEvent(&Extension->StatusEvent, NotificationEvent, FALSE);
}

// Undoes CreatePortDevice for a device whose initialisation failed.
NTSTATUS DiscardPortDevice(PDEVICE_OBJECT Device, NTSTATUS Status) {
  PPORT_EXTENSION extension = PortExtension(Device);
  if (extension->ResumeWorkItem) IoFreeWorkItem(extension->ResumeWorkItem);
  if (extension->InterfaceName.Buffer) {
    IoSetDeviceInterfaceState(&extension->InterfaceName, FALSE);
    ExFreePoolWithTag(extension->InterfaceName.Buffer, PORT_POOL_TAG);
  }
  IoDetachDevice(extension->LowerDeviceObject);
  DeletePortDevice(Device);
  return Status;
}

// Steps of AddDevice after the port's device object is attached: the device
// object's settings, the registry values read into the port, the pipe file
// objects, the remove lock (held once from here until the removal), locks,
// queues and defaults, the paths' initialisers, the I/O timer, the resume
// work item and the receive buffer. On failure the device is detached and
// deleted.
NTSTATUS InitializePort(PDEVICE_OBJECT Device, ULONG EndPointCaps, const WCHAR* TargetMatch) {
  PPORT_EXTENSION extension = PortExtension(Device);
  PDEVICE_OBJECT lower = extension->LowerDeviceObject;
  PDEVICE_OBJECT pdo = extension->PhysicalDeviceObject;
  Device->DeviceType = lower->DeviceType;
  Device->Characteristics = lower->Characteristics;
  Device->Flags |= (lower->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH)) | DO_BUFFERED_IO;

  // Variants beyond 3 are unknown: such a port is run as variant 0, which
  // sends the device only the messages every variant understands.
  extension->EndPointCaps = EndPointCaps <= 3 ? EndPointCaps : 0;
  extension->DeviceObject = Device;
  extension->StatusPipe.CxPollPeriod = 0;
  NTSTATUS status = ReadConfigDword(pdo, L"RxRawDump", &extension->InputPipe.RxRawDump);
  if (NT_SUCCESS(status)) status = ReadConfigDword(pdo, L"TxRawDump", &extension->OutputPipe.TxRawDump);
  if (NT_SUCCESS(status)) status = ReadConfigDword(pdo, L"CxPollPeriod", (PULONG)&extension->StatusPipe.CxPollPeriod);
  if (!NT_SUCCESS(status)) return DiscardPortDevice(Device, status);
  WriteShared(extension->PortOpen, FALSE);

  PreparePipeFile(&extension->InputPipe, Device, extension->InputPipeNameBuffer, L"\\PIPE01");
  PreparePipeFile(&extension->OutputPipe, Device, extension->OutputPipeNameBuffer, L"\\PIPE00");
  if (StatusPipeInUse(extension))
    PreparePipeFile(&extension->StatusPipe, Device, extension->StatusPipeNameBuffer, L"\\PIPE02");

  IoInitializeRemoveLockEx(&extension->RemoveLock, REMOVE_LOCK_TAG, 1, 10, sizeof(IO_REMOVE_LOCK));
  IoAcquireRemoveLockEx(&extension->RemoveLock, NULL, "vport", 1045, sizeof(IO_REMOVE_LOCK));
  InitializeDefaults(extension);

  status = ReadConfigDword(pdo, L"TxKickThreshold", &extension->OutputPipe.TxKickThreshold);
  if (!NT_SUCCESS(status)) return DiscardPortDevice(Device, status);
  InitializeWritePath(extension);
  InitializeReceivePath(extension);
  InitializeStatusPath(extension);
  // Without its I/O timer the port could not sweep cancelled requests.
  status = IoInitializeTimer(Device, PortTimerTick, NULL);
  if (!NT_SUCCESS(status)) return DiscardPortDevice(Device, status);
  extension->ResumeWorkItem = IoAllocateWorkItem(Device);
  if (!extension->ResumeWorkItem) return DiscardPortDevice(Device, STATUS_INSUFFICIENT_RESOURCES);

  extension->InputPipe.Buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, RECEIVE_BUFFER_SIZE, PORT_POOL_TAG);
  if (!extension->InputPipe.Buffer) {
    extension->InputPipe.Length = 0;
    return DiscardPortDevice(Device, STATUS_INSUFFICIENT_RESOURCES);
  }
  extension->InputPipe.Length = RECEIVE_BUFFER_SIZE;

  RtlCopyMemory(extension->TargetMatch, TargetMatch, TARGET_MATCH_CHARS * sizeof(WCHAR));
  extension->PnpState = PortNotStarted;
  extension->PreviousPnpState = PortNotStarted;
  Device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

}  // namespace

// AddDevice: reads the port's configuration, creates and attaches the port,
// and initialises it. A configuration value that cannot be read for want of
// memory fails it: the port would otherwise run a variant, or with settings,
// its device node does not ask for.
NTSTATUS NTAPI PortAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  ULONG endPointCaps = 0;
  WCHAR targetMatch[TARGET_MATCH_CHARS];
  RtlZeroMemory(targetMatch, sizeof targetMatch);
  NTSTATUS status = ReadConfigDword(PhysicalDeviceObject, L"EndPointCaps", &endPointCaps);
  if (NT_SUCCESS(status)) status = ReadConfigDword(PhysicalDeviceObject, L"DebugLevel", &DebugLevel);
  if (NT_SUCCESS(status)) status = ReadTargetDevice(PhysicalDeviceObject, targetMatch);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT device;
  status = CreatePortDevice(DriverObject, PhysicalDeviceObject, &device);
  if (!NT_SUCCESS(status)) return status;
  status = InitializePort(device, endPointCaps, targetMatch);
  if (NT_SUCCESS(status)) WatchPipeDriverInterfaces(DriverObject);
  return status;
}

// At every start: "\DosDevices\<PortName>" as a link to the COM-port
// interface, and the SERIALCOMM entry keyed by the interface's link name.
// DosName.Length is nonzero exactly while both exist. A start after a stop
// finds them from the earlier start; they are made again from the PortName
// in force now, so a renamed port takes its new name.
NTSTATUS CreatePortName(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(extension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (!NT_SUCCESS(status)) return status;
  if (extension->DosName.Length) {
    IoDeleteSymbolicLink(&extension->DosName);
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", extension->InterfaceName.Buffer);
    extension->DosName.Length = 0;
  }
  if (!extension->DosName.Buffer) {
    extension->DosName.Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, DOS_NAME_BYTES, PORT_POOL_TAG);
    if (!extension->DosName.Buffer) {
      ZwClose(key);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    extension->DosName.MaximumLength = DOS_NAME_BYTES;
  }

  // One character more than the value may hold, so the name is always terminated.
  WCHAR portName[DOS_NAME_BYTES / sizeof(WCHAR) + 1];
  RtlZeroMemory(portName, sizeof portName);
  status = QueryRegistryString(key, L"PortName", 18, portName, DOS_NAME_BYTES);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return status;
  ULONG chars = (ULONG)wcslen(portName);
  if (chars == 0 || chars > PORT_NAME_MAX_CHARS) return STATUS_OBJECT_NAME_INVALID;

  status = RtlAppendUnicodeToString(&extension->DosName, L"\\DosDevices\\");
  if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&extension->DosName, portName);
  if (NT_SUCCESS(status)) status = IoCreateSymbolicLink(&extension->DosName, &extension->InterfaceName);
  if (!NT_SUCCESS(status)) {
    extension->DosName.Length = 0;
    return status;
  }
  status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", extension->InterfaceName.Buffer, REG_SZ,
                                 portName, (chars + 1) * sizeof(WCHAR));
  if (!NT_SUCCESS(status)) {
    IoDeleteSymbolicLink(&extension->DosName);
    extension->DosName.Length = 0;
    return status;
  }
  return STATUS_SUCCESS;
}
