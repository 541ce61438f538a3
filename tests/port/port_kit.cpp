#include "tests/port/port_kit.h"

namespace porttest {

PortRig::PortRig(PortConfig config, sim::MachineOptions options) : machine_(std::move(options)) {
  Values values;
  if (config.portName) values.emplace_back(u"PortName", sim::RegistryValue::String(u"COM7"));
  if (config.endPointCaps) values.emplace_back(u"EndPointCaps", sim::RegistryValue::Dword(config.endPointCaps));
  if (!config.targetMatch.empty()) values.emplace_back(u"TargetDevice", sim::RegistryValue::String(config.targetMatch));
  for (auto& [name, value] : config.values) {
    std::erase_if(values, [&](const auto& each) { return each.first == name; });
    values.emplace_back(name, value);
  }
  machine_.Pnp().AddService({u"tolvane", TolvaneDriverEntry});
  if (config.beforeAdd) config.beforeAdd(machine_);
  machine_.Pnp().Bind({kHardwareId, u"tolvane", {}, config.lowerFilters});
  node_ = machine_.Pnp().AddRootDevice({kInstancePath, {kHardwareId}, values, config.exclusive});
}

PortRig::~PortRig() { Remove(); }

bool PortRig::Remove() {
  if (!node_ || node_->State() == sim::NodeState::Removed) return true;
  return machine_.Pnp().RemoveDevice(node_);
}

HANDLE PortRig::Open(DWORD flags) {
  return CreateFileW(Path(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, flags);
}

void PortRig::AsDriver(const std::function<void()>& body) {
  sim::FrameScope frame(Driver(), (const void*)&TolvaneDriverEntry, sim::FrameKind::Other);
  body();
}

IoctlResult Ioctl(HANDLE handle, ULONG code, const void* in, DWORD inSize, void* out, DWORD outSize) {
  DWORD returned = 0xDEADBEEF;
  BOOL ok = DeviceIoControl(handle, code, const_cast<void*>(in), inSize, out, outSize, &returned, nullptr);
  return {ok ? STATUS_SUCCESS : LastNtStatus(), returned};
}

OVERLAPPED WithEvent() {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return overlapped;
}

}  // namespace porttest
