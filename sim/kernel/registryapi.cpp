// The registry as drivers reach it: device keys, Zw* on key handles, and the
// Rtl routines that take paths relative to well-known keys.
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"

using namespace sim;

namespace {

// The key a RelativeTo value of the Rtl*Registry* routines names.
bool RelativeRoot(ULONG relativeTo, std::u16string* root) {
  switch (relativeTo & 0xFFFF) {
    case RTL_REGISTRY_ABSOLUTE: *root = u""; return true;
    case RTL_REGISTRY_SERVICES: *root = kServicesKey; return true;
    case RTL_REGISTRY_CONTROL: *root = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control"; return true;
    case RTL_REGISTRY_WINDOWS_NT: *root = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"; return true;
    case RTL_REGISTRY_DEVICEMAP: *root = kDeviceMapKey; return true;
    case RTL_REGISTRY_USER: *root = u"\\Registry\\User\\.Default"; return true;
    default: return false;
  }
}

std::u16string JoinPath(const std::u16string& root, PCWSTR path) {
  std::u16string tail = ToU16(path);
  if (root.empty()) return tail;
  if (tail.empty()) return root;
  return tail[0] == u'\\' ? root + tail : root + u"\\" + tail;
}

std::u16string ParentOf(const std::u16string& path) {
  size_t slash = path.rfind(u'\\');
  return slash == std::u16string::npos || slash == 0 ? std::u16string() : path.substr(0, slash);
}

}  // namespace

extern "C" NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                                  ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  RequireIrqlPassive("IoOpenDeviceRegistryKey");
  DeviceNode* node = CurrentMachine().Pnp().NodeOfPdo(DeviceObject);
  if (!node) return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO the Plug and Play manager knows
  if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE) return STATUS_INVALID_PARAMETER;
  // NT creates the device's hardware key on first open.
  return CurrentMachine().Reg().OpenKey(node->HardwareKeyPath(), DesiredAccess, true, DevInstRegKey);
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  RequireIrqlPassive("ZwQueryValueKey");
  if (Length && !KeyValueInformation) return STATUS_ACCESS_VIOLATION;
  return CurrentMachine().Reg().QueryValue(KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation, Length,
                                           ResultLength);
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                        PVOID Data, ULONG DataSize) {
  RequireIrqlPassive("ZwSetValueKey");
  return CurrentMachine().Reg().SetValue(KeyHandle, ValueName, Type, Data, DataSize);
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  RequireIrqlPassive("ZwClose");
  return CurrentMachine().Reg().CloseKey(Handle);
}

// A missing key is created when its parent exists, as NT does.
extern "C" NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                                PVOID ValueData, ULONG ValueLength) {
  RequireIrqlPassive("RtlWriteRegistryValue");
  std::u16string root;
  if (!RelativeRoot(RelativeTo, &root)) return STATUS_INVALID_PARAMETER;
  Registry& registry = CurrentMachine().Reg();
  std::u16string path = JoinPath(root, Path);
  if (!registry.KeyExists(path) && !registry.KeyExists(ParentOf(path))) return STATUS_OBJECT_NAME_NOT_FOUND;
  HANDLE key;
  NTSTATUS status = registry.OpenKey(path, KEY_WRITE, true, &key);
  if (!NT_SUCCESS(status)) return status;
  std::u16string name = ToU16(ValueName);
  UNICODE_STRING unicodeName = View(name);
  status = registry.SetValue(key, &unicodeName, ValueType, ValueData, ValueLength);
  registry.CloseKey(key);
  return status;
}

extern "C" NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  RequireIrqlPassive("RtlDeleteRegistryValue");
  std::u16string root;
  if (!RelativeRoot(RelativeTo, &root)) return STATUS_INVALID_PARAMETER;
  Registry& registry = CurrentMachine().Reg();
  std::u16string path = JoinPath(root, Path);
  if (!registry.KeyExists(path)) return STATUS_OBJECT_NAME_NOT_FOUND;
  return registry.DeleteValue(path, ToU16(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
