// Device interfaces: IoRegisterDeviceInterface names an interface instance of a
// device node after its instance path and class, IoSetDeviceInterfaceState
// makes it a symbolic link to the node's PDO (and back), with arrival and
// removal notifications to the registrants of the class.
#include <cstdio>

#include "sim/kernel/machine.h"
#include "sim/kernel/notifyinternal.h"
#include "sim/kernel/object.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {

constexpr ULONG kLinkTag = 'I' | 'o' << 8 | 'D' << 16 | 'I' << 24;

bool SameText(const std::u16string& a, const std::u16string& b) { return Upcase(a) == Upcase(b); }

// \??\ROOT#PORTS#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}
std::u16string LinkObjectName(const std::u16string& instancePath, const GUID& interfaceClass) {
  std::u16string name = u"\\??\\";
  for (char16_t c : instancePath) name += c == u'\\' ? u'#' : c;
  return name + u"#" + GuidText(interfaceClass);
}

}  // namespace

std::u16string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned)guid.Data1,
                guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return Widen(text);
}

Notifications::Impl::Interface* Notifications::Impl::FindInterface(const std::u16string& link) {
  for (Interface& each : interfaces)
    if (SameText(each.link, link)) return &each;
  return nullptr;
}

// Registering the same interface again gives the same name. A reference
// string becomes a last path component, which reaches the driver as the file
// name of an open.
NTSTATUS Notifications::RegisterInterface(PDEVICE_OBJECT pdo, const GUID& interfaceClass, const std::u16string& reference,
                                          std::u16string* link) {
  DeviceNode* node = pdo ? CurrentMachine().Pnp().NodeOfPdo(pdo) : nullptr;
  if (!node) {
    std::fprintf(stderr, "[sim] IoRegisterDeviceInterface on %p, which is not the PDO of a device node\n", (void*)pdo);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (reference.find_first_of(u"\\/") != std::u16string::npos) return STATUS_INVALID_PARAMETER;
  std::u16string instancePath = node->InstancePath();
  std::u16string object = LinkObjectName(instancePath, interfaceClass);
  std::u16string name = reference.empty() ? object : object + u"\\" + reference;
  std::lock_guard guard(impl_->mutex);
  if (Impl::Interface* known = impl_->FindInterface(name)) {
    *link = known->link;
    return STATUS_SUCCESS;
  }
  impl_->interfaces.push_back(Impl::Interface{name, object, instancePath, interfaceClass, false});
  *link = name;
  return STATUS_SUCCESS;
}

// Enabling creates the symbolic link to the PDO (shared by the instances of a
// class on one device that differ only by reference string) and queues an
// arrival; disabling deletes it and queues a removal. NT's answers: enabling
// twice is STATUS_OBJECT_NAME_EXISTS, disabling a disabled or unknown
// interface STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS Notifications::SetInterfaceState(const std::u16string& link, bool enable) {
  std::u16string instancePath;
  {
    std::lock_guard guard(impl_->mutex);
    Impl::Interface* known = impl_->FindInterface(link);
    if (!known) return STATUS_OBJECT_NAME_NOT_FOUND;
    instancePath = known->instancePath;
  }
  DeviceNode* node = CurrentMachine().Pnp().FindNode(instancePath);
  PDEVICE_OBJECT pdo = node ? node->PhysicalDeviceObject() : nullptr;
  ObjectManager& objects = CurrentMachine().Objects();
  std::lock_guard guard(impl_->mutex);
  Impl::Interface& known = *impl_->FindInterface(link);
  std::u16string key = Upcase(known.linkObject);
  if (enable) {
    if (known.enabled) return STATUS_OBJECT_NAME_EXISTS;
    if (!pdo) return STATUS_NO_SUCH_DEVICE;  // its device node is gone
    if (impl_->linkUsers[key]++ == 0) objects.CreateLink(known.linkObject, objects.NameOf(pdo));
  } else {
    if (!known.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (--impl_->linkUsers[key] == 0) {
      objects.DeleteLink(known.linkObject);
      impl_->linkUsers.erase(key);
    }
  }
  known.enabled = enable;
  impl_->QueueInterfaceEvent(pdo, {enable ? GUID_DEVICE_INTERFACE_ARRIVAL : GUID_DEVICE_INTERFACE_REMOVAL,
                                   known.interfaceClass, known.link});
  return STATUS_SUCCESS;
}

std::vector<std::u16string> Notifications::EnabledInterfaces(const GUID& interfaceClass) {
  std::lock_guard guard(impl_->mutex);
  std::vector<std::u16string> out;
  for (const Impl::Interface& each : impl_->interfaces)
    if (each.enabled && each.interfaceClass == interfaceClass) out.push_back(each.link);
  return out;
}

std::vector<std::u16string> Notifications::InterfacesOf(PDEVICE_OBJECT pdo) {
  DeviceNode* node = CurrentMachine().Pnp().NodeOfPdo(pdo);
  if (!node) return {};
  std::u16string instancePath = node->InstancePath();
  std::lock_guard guard(impl_->mutex);
  std::vector<std::u16string> out;
  for (const Impl::Interface& each : impl_->interfaces)
    if (SameText(each.instancePath, instancePath)) out.push_back(each.link);
  return out;
}

}  // namespace sim

using namespace sim;

extern "C" NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                                    PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  RequireIrqlPassive("IoRegisterDeviceInterface");
  if (!InterfaceClassGuid || !SymbolicLinkName) return STATUS_INVALID_PARAMETER;
  std::u16string link;
  NTSTATUS status =
      CurrentMachine().Notify().RegisterInterface(PhysicalDeviceObject, *InterfaceClassGuid, ToU16(ReferenceString), &link);
  if (!NT_SUCCESS(status)) return status;
  // The caller frees the name with RtlFreeUnicodeString.
  USHORT bytes = (USHORT)(link.size() * sizeof(WCHAR));
  auto buffer = (PWSTR)CurrentMachine().Pool().Allocate(PagedPool, bytes + sizeof(WCHAR), kLinkTag,
                                                        __builtin_return_address(0));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, link.data(), bytes);
  buffer[link.size()] = 0;
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = bytes;
  SymbolicLinkName->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  RequireIrqlPassive("IoSetDeviceInterfaceState");
  if (!SymbolicLinkName) return STATUS_INVALID_PARAMETER;
  return CurrentMachine().Notify().SetInterfaceState(ToU16(SymbolicLinkName), Enable != FALSE);
}
