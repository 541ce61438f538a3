// What the PnP manager keeps in the registry: each device node's keys under
// Enum (the device's hardware IDs and service, and the hardware key its
// drivers open with IoOpenDeviceRegistryKey) and each installed service's key.
#include "sim/kernel/machine.h"
#include "sim/kernel/pnpinternal.h"

namespace sim {

namespace {

// REG_MULTI_SZ: each string with its terminator, then an empty one.
RegistryValue MultiString(const std::vector<std::u16string>& strings) {
  std::u16string text;
  for (const std::u16string& each : strings) text += each + u'\0';
  text += u'\0';
  std::vector<uint8_t> bytes((const uint8_t*)text.data(), (const uint8_t*)(text.data() + text.size()));
  RegistryValue value = RegistryValue::Binary(std::move(bytes));
  value.type = REG_MULTI_SZ;
  return value;
}

std::u16string DeviceKey(DeviceNode* node) { return kEnumKey + u"\\" + node->InstancePath(); }

}  // namespace

// Enum\<instance> with HardwareID, and its Device Parameters subkey filled
// from the machine's configuration.
void PnpManager::Impl::WriteHardwareKey(DeviceNode* node, const RootDeviceConfig* config) {
  Registry& registry = CurrentMachine().Reg();
  registry.SetValue(DeviceKey(node), u"HardwareID", MultiString(node->HardwareIds()));
  std::u16string hardwareKey = node->HardwareKeyPath();
  registry.CreateKey(hardwareKey);
  if (!config) return;
  for (const auto& [name, value] : config->hardwareKeyValues) registry.SetValue(hardwareKey, name, value);
}

void PnpManager::Impl::WriteService(DeviceNode* node, const std::u16string& service) {
  CurrentMachine().Reg().SetValue(DeviceKey(node), u"Service", RegistryValue::String(service));
}

void PnpManager::Impl::WriteServiceKey(const std::u16string& service) {
  CurrentMachine().Reg().CreateKey(kServicesKey + u"\\" + service);
}

}  // namespace sim
