// merrow: the USB configuration and the pipe table. At start the device
// descriptor and the first configuration descriptor are read, configuration 0
// is selected with its first interface and each pipe gets its entry and
// segment size; at stop and removal the device is set unconfigured and all of
// it freed. Everything here waits for the bus driver: PASSIVE_LEVEL.
#include "pipe/routines.h"

// Each allocation is its own call, so fault injection can fail each one.
#define AllocateNonPaged(Size) ExAllocatePoolWithTag(NonPagedPool, (Size), PIPE_POOL_TAG)
static void FreePool(PVOID Buffer) { ExFreePoolWithTag(Buffer, PIPE_POOL_TAG); }

static void BuildDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length) {
  RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(Urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), DescriptorType, 0, 0,
                               Buffer, NULL, Length, NULL);
}

// The descriptors inside a configuration descriptor, walked by their
// bLength within wTotalLength: each at least two bytes long and wholly inside,
// an interface descriptor at least 9 bytes, an endpoint descriptor at least
// 7. The USBD parse routines trust these lengths; a zero one would keep them
// walking in place.
static BOOLEAN DescriptorChainIsSound(PUSB_CONFIGURATION_DESCRIPTOR Descriptor) {
  PUCHAR start = (PUCHAR)Descriptor;
  ULONG total = Descriptor->wTotalLength;
  for (ULONG at = Descriptor->bLength; at < total;) {
    if (total - at < 2) return FALSE;
    UCHAR length = start[at];
    UCHAR type = start[at + 1];
    if (length < 2 || length > total - at) return FALSE;
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR)) return FALSE;
    if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR)) return FALSE;
    at += length;
  }
  return TRUE;
}

// Reads the whole configuration descriptor: first 0x209 bytes, then again
// with wTotalLength bytes when the descriptor says it is longer. Nothing
// beyond the bytes the device sent is ever looked at: a reply shorter than a
// configuration descriptor fails the start, and a wTotalLength claiming more
// than came is cut to what came (so the parse and IOCTL_PIPE_GET_CONFIG_DESCRIPTOR
// see only real bytes). The buffer is zeroed first. On success the buffer is
// the caller's.
static NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb,
                                            PUSB_CONFIGURATION_DESCRIPTOR* Descriptor) {
  ULONG size = CONFIG_DESCRIPTOR_FIRST_SIZE;
  for (BOOLEAN again = FALSE;; again = TRUE) {
    PUSB_CONFIGURATION_DESCRIPTOR buffer = (PUSB_CONFIGURATION_DESCRIPTOR)AllocateNonPaged(size);
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(buffer, size);
    BuildDescriptorRequest(Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, size);
    NTSTATUS status = SubmitUrbSync(DeviceObject, Urb);
    ULONG returned = Urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (NT_SUCCESS(status) && (returned < sizeof(USB_CONFIGURATION_DESCRIPTOR) || returned > size ||
                               buffer->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)))
      status = STATUS_DEVICE_DATA_ERROR;
    if (!NT_SUCCESS(status)) {
      FreePool(buffer);
      return status;
    }
    if (buffer->wTotalLength > size && !again) {
      size = buffer->wTotalLength;
      FreePool(buffer);
      continue;
    }
    if (buffer->wTotalLength > returned) buffer->wTotalLength = (USHORT)returned;
    if (!DescriptorChainIsSound(buffer)) {
      FreePool(buffer);
      return STATUS_DEVICE_DATA_ERROR;
    }
    *Descriptor = buffer;
    return STATUS_SUCCESS;
  }
}

// A failure after the device descriptor leaves no record behind: the record,
// the device descriptor and the URB are freed, ConfigRecord is NULL.
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  PURB urb = (PURB)AllocateNonPaged(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  PUSB_DEVICE_DESCRIPTOR deviceDescriptor = (PUSB_DEVICE_DESCRIPTOR)AllocateNonPaged(sizeof(USB_DEVICE_DESCRIPTOR));
  PUSB_CONFIG_RECORD record = (PUSB_CONFIG_RECORD)AllocateNonPaged(sizeof(USB_CONFIG_RECORD));
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (urb && deviceDescriptor && record) {
    RtlZeroMemory(record, sizeof(*record));
    BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, deviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    status = SubmitUrbSync(DeviceObject, urb);
  }
  if (NT_SUCCESS(status)) {
    record->DeviceDescriptor = deviceDescriptor;
    extension->ConfigRecord = record;
    extension->ConfigGeneration++;
    status = ReadConfigurationDescriptor(DeviceObject, urb, &record->ConfigurationDescriptor);
    if (!NT_SUCCESS(status)) extension->ConfigRecord = NULL;
  }
  if (!NT_SUCCESS(status)) {
    if (record) FreePool(record);
    if (deviceDescriptor) FreePool(deviceDescriptor);
    if (urb) FreePool(urb);
    return status;
  }
  FreePool(urb);
  return SelectConfiguration(DeviceObject, record);
}

// "EP<n>_SegmentSize" with the endpoint number n (0 to 127) in decimal.
static void FormatSegmentSizeName(PWCHAR Name, ULONG Endpoint) {
  static const WCHAR suffix[] = L"_SegmentSize";
  ULONG at = 0;
  Name[at++] = L'E';
  Name[at++] = L'P';
  if (Endpoint >= 100) Name[at++] = (WCHAR)(L'0' + Endpoint / 100);
  if (Endpoint >= 10) Name[at++] = (WCHAR)(L'0' + Endpoint / 10 % 10);
  Name[at++] = (WCHAR)(L'0' + Endpoint % 10);
  for (ULONG i = 0; i < sizeof(suffix) / sizeof(WCHAR); i++) Name[at++] = suffix[i];
}

// The most bytes one transfer of a bulk or interrupt pipe carries: the
// "EP<n>_SegmentSize" value rounded up to whole packets, capped by the pipe's
// maximum transfer size. The arithmetic is done in 64 bits, so a value near
// 4 GB is capped instead of wrapping; a packet size of 0 takes the value as
// it is. A result of 0 (packet size 0 without a value, or a maximum transfer
// size of 0) becomes 1, so every segment moves at least one byte and a
// transfer always ends.
static ULONG ComputeSegmentSize(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe) {
  ULONG packet = Pipe->MaximumPacketSize;
  WCHAR name[32];
  FormatSegmentSizeName(name, Pipe->EndpointAddress & 0x7F);
  ULONG value = packet;
  ReadDeviceRegistryDword(PipeExtension(DeviceObject)->PhysicalDeviceObject, name, &value);
  ULONGLONG size = value;
  if (value == 0) {
    size = packet;
  } else if (packet != 0) {
    size = ((size + packet - 1) / packet) * packet;
  }
  if (size > Pipe->MaximumTransferSize) size = Pipe->MaximumTransferSize;
  return size == 0 ? 1 : (ULONG)size;
}

static void BuildPipeTable(PDEVICE_OBJECT DeviceObject, PUSB_CONFIG_RECORD Record) {
  PUSBD_INTERFACE_INFORMATION selected = Record->InterfaceInformation;
  for (ULONG i = 0; i < selected->NumberOfPipes; i++) {
    PPIPE_TABLE_ENTRY entry = &Record->PipeTable[i];
    entry->PipeInfo = &selected->Pipes[i];
    if (entry->PipeInfo->PipeType == UsbdPipeTypeBulk || entry->PipeInfo->PipeType == UsbdPipeTypeInterrupt)
      entry->SegmentSize = ComputeSegmentSize(DeviceObject, entry->PipeInfo);
  }
}

// Selects the record's configuration with its first selected and builds the
// pipe table from what the bus driver returned. The pipe table is zeroed, so
// the statistics of a pipe never started read as 0.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIG_RECORD Record) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  USHORT urbSize = 0;
  PURB urb = USBD_CreateConfigurationRequest(Record->ConfigurationDescriptor, &urbSize);
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
      Record->ConfigurationDescriptor, Record->ConfigurationDescriptor, -1, -1, -1, -1, -1);
  if (!found) {
    ExFreePool(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PUSBD_INTERFACE_INFORMATION selected = &urb->UrbSelectConfiguration.Interface;
  for (ULONG i = 0; i < selected->NumberOfPipes; i++) {
    selected->Pipes[i].MaximumTransferSize = extension->MaximumTransferSize;
    selected->Pipes[i].PipeFlags = 0;
  }
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = urbSize;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = Record->ConfigurationDescriptor;
  NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
  if (NT_SUCCESS(status)) {
    Record->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    Record->InterfaceInformation = (PUSBD_INTERFACE_INFORMATION)AllocateNonPaged(selected->Length);
    if (!Record->InterfaceInformation) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    RtlCopyMemory(Record->InterfaceInformation, selected, selected->Length);
    ULONG tableSize = selected->NumberOfPipes * sizeof(PIPE_TABLE_ENTRY);
    Record->PipeTable = tableSize ? (PPIPE_TABLE_ENTRY)AllocateNonPaged(tableSize) : NULL;
    if (tableSize && !Record->PipeTable) {
      FreePool(Record->InterfaceInformation);
      Record->InterfaceInformation = NULL;
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (tableSize) {
      RtlZeroMemory(Record->PipeTable, tableSize);
      BuildPipeTable(DeviceObject, Record);
    }
  }
  ExFreePool(urb);
  return status;
}

// Sets the device unconfigured and frees the configuration whatever the
// request returned; the request's status is the result.
NTSTATUS DeconfigureDevice(PDEVICE_OBJECT DeviceObject) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  NTSTATUS status = STATUS_SUCCESS;
  PURB urb = (PURB)AllocateNonPaged(sizeof(struct _URB_SELECT_CONFIGURATION));
  if (urb) {
    RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
    UsbBuildSelectConfigurationRequest(urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
    status = SubmitUrbSync(DeviceObject, urb);
    FreePool(urb);
  }
  PUSB_CONFIG_RECORD record = extension->ConfigRecord;
  if (record) {
    extension->ConfigRecord = NULL;
    if (record->DeviceDescriptor) FreePool(record->DeviceDescriptor);
    if (record->ConfigurationDescriptor) FreePool(record->ConfigurationDescriptor);
    if (record->InterfaceInformation) FreePool(record->InterfaceInformation);
    if (record->PipeTable) FreePool(record->PipeTable);
    FreePool(record);
  }
  return status;
}

static NTSTATUS PipeRequest(PDEVICE_OBJECT DeviceObject, PPIPE_TABLE_ENTRY Pipe, USHORT Function) {
  PURB urb = (PURB)AllocateNonPaged(sizeof(struct _URB_PIPE_REQUEST));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
  urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbHeader.Function = Function;
  urb->UrbPipeRequest.PipeHandle = Pipe->PipeInfo->PipeHandle;
  NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
  FreePool(urb);
  return status;
}

NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PPIPE_TABLE_ENTRY Pipe) {
  return PipeRequest(DeviceObject, Pipe, URB_FUNCTION_RESET_PIPE);
}

// The bus driver completes every transfer pending on the pipe.
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, PPIPE_TABLE_ENTRY Pipe) {
  return PipeRequest(DeviceObject, Pipe, URB_FUNCTION_ABORT_PIPE);
}

// Aborts every open pipe, clearing the open mark of each abort that worked.
// Returns the status of the last abort made.
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject) {
  PUSB_CONFIG_RECORD record = PipeExtension(DeviceObject)->ConfigRecord;
  NTSTATUS status = STATUS_SUCCESS;
  if (!record || !record->InterfaceInformation || !record->PipeTable) return status;
  for (ULONG i = 0; i < record->InterfaceInformation->NumberOfPipes; i++) {
    PPIPE_TABLE_ENTRY pipe = &record->PipeTable[i];
    if (!pipe->PipeInfo->PipeFlags) continue;
    status = AbortPipe(DeviceObject, pipe);
    if (NT_SUCCESS(status)) pipe->PipeInfo->PipeFlags = 0;
  }
  return status;
}

ULONG PipeCount(PDEVICE_OBJECT DeviceObject) {
  PUSB_CONFIG_RECORD record = PipeExtension(DeviceObject)->ConfigRecord;
  if (!record || !record->InterfaceInformation || !record->PipeTable) return 0;
  return record->InterfaceInformation->NumberOfPipes;
}

// The file carries the generation of the configuration it was bound to.
void BindPipeFile(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject, PPIPE_TABLE_ENTRY Pipe) {
  FileObject->FsContext = Pipe;
  FileObject->FsContext2 = (PVOID)(ULONG_PTR)PipeExtension(DeviceObject)->ConfigGeneration;
}

void UnbindPipeFile(PFILE_OBJECT FileObject) {
  FileObject->FsContext = NULL;
  FileObject->FsContext2 = NULL;
}

// The file's pipe when the file is bound to a pipe of the current
// configuration; NULL for a device handle, an unbound file, or a file whose
// configuration was released (its entry may be freed memory or, after a
// restart, another configuration's entry at the same address).
PPIPE_TABLE_ENTRY PipeFromFile(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  if (!FileObject || !FileObject->FsContext || !extension->ConfigRecord) return NULL;
  if ((ULONG_PTR)FileObject->FsContext2 != extension->ConfigGeneration) return NULL;
  return (PPIPE_TABLE_ENTRY)FileObject->FsContext;
}
