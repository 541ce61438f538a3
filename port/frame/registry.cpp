// tolvane: the registry helpers. The port's configuration lives in its device
// node's hardware key. All of them use paged pool and must run at PASSIVE_LEVEL.
#include "port/routines.h"

namespace {

ULONG NameBytes(PCWSTR Name) { return (ULONG)(wcslen(Name) * sizeof(WCHAR)); }

}  // namespace

// Reads a 32-bit value: the first four bytes of its data, whatever its type.
// Data shorter than four bytes is read as far as it goes, zero-extended.
// `Value` is untouched on any failure; the status is that of the first step
// that failed (key open, allocation, query).
NTSTATUS ReadRegistryDword(PDEVICE_OBJECT PhysicalDeviceObject, PCWSTR ValueName, PULONG Value) {
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
  if (!NT_SUCCESS(status)) return status;
  ULONG size = NameBytes(ValueName) + 30;
  PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, PORT_POOL_TAG);
  if (!info) {
    ZwClose(key);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  ULONG resultLength = 0;
  status = ZwQueryValueKey(key, &name, KeyValueFullInformation, info, size, &resultLength);
  if (NT_SUCCESS(status)) {
    ULONG value = 0;
    RtlCopyMemory(&value, (PUCHAR)info + info->DataOffset, info->DataLength < sizeof value ? info->DataLength : sizeof value);
    *Value = value;
  }
  ExFreePoolWithTag(info, PORT_POOL_TAG);
  ZwClose(key);
  return status;
}

// Reads a configuration value the port has a default for: a value that is
// absent or unreadable leaves `Value` as it was and succeeds. Only a failed
// allocation fails it, so that the caller fails in turn rather than run
// with a default the device node was not configured for.
NTSTATUS ReadConfigDword(PDEVICE_OBJECT PhysicalDeviceObject, PCWSTR ValueName, PULONG Value) {
  NTSTATUS status = ReadRegistryDword(PhysicalDeviceObject, ValueName, Value);
  return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
}

// Writes a REG_DWORD value; the status of the key open or of the write.
NTSTATUS WriteRegistryDword(PDEVICE_OBJECT PhysicalDeviceObject, PCWSTR ValueName, ULONG Value) {
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  status = ZwSetValueKey(key, &name, 0, REG_DWORD, &Value, sizeof Value);
  ZwClose(key);
  return status;
}

// Reads a REG_SZ value of an open key into `Buffer`. Data that is not a
// string, or longer than the buffer, is refused rather than reported as
// success with nothing copied.
NTSTATUS QueryRegistryString(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PWCHAR Buffer, ULONG BufferSize) {
  ULONG size = ValueNameSize + BufferSize + 24;
  PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, PORT_POOL_TAG);
  if (!info) return STATUS_INSUFFICIENT_RESOURCES;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  ULONG resultLength = 0;
  NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, info, size, &resultLength);
  if (NT_SUCCESS(status)) {
    if (info->Type != REG_SZ) status = STATUS_OBJECT_TYPE_MISMATCH;
    else if (info->DataLength > BufferSize) status = STATUS_BUFFER_TOO_SMALL;
    else RtlCopyMemory(Buffer, (PUCHAR)info + info->DataOffset, info->DataLength);
  }
  ExFreePoolWithTag(info, PORT_POOL_TAG);
  return status;
}
