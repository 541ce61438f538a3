#include "tests/pipe/pipe_kit.h"

#include <cstdio>

#include "sim/kernel/thread.h"

namespace pipetest {

namespace {

std::u16string Hex4(USHORT value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return sim::Widen(text);
}

}  // namespace

std::u16string HardwareId(const sim::usb::AdapterConfig& adapter) {
  return u"USB\\VID_" + Hex4(adapter.vendor) + u"&PID_" + Hex4(adapter.product);
}

std::u16string HardwareKeyOf(const sim::usb::AdapterConfig& adapter) {
  return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + HardwareId(adapter) + u"\\" + adapter.serial +
         u"\\Device Parameters";
}

PipeRig::PipeRig(PipeConfig config, sim::MachineOptions options)
    : config_(std::move(config)), machine_(std::move(options)) {
  machine_.Pnp().AddService({u"merrow", MerrowDriverEntry});
  machine_.Pnp().Bind({HardwareId(config_.adapter), u"merrow"});
  if (!config_.values.empty()) {
    machine_.Reg().CreateKey(HardwareKey());
    for (auto& [name, value] : config_.values) machine_.Reg().SetValue(HardwareKey(), name, value);
  }
  usb_ = std::make_unique<sim::usb::HostController>(config_.bus);
  adapter_ = std::make_shared<sim::usb::SerialAdapter>(config_.adapter);
  if (config_.plug) Plug();
}

PipeRig::~PipeRig() {
  if (port_ && !unplugged_) Unplug();
  machine_.Pnp().WaitIdle();
  usb_.reset();
}

bool PipeRig::Plug() {
  if (!port_) port_ = usb_->Plug(adapter_, config_.faults);
  machine_.Pnp().WaitIdle();
  sim::DeviceNode* node = Node();
  return node && node->State() == sim::NodeState::Started;
}

void PipeRig::Unplug() {
  if (!port_ || unplugged_) return;
  unplugged_ = true;
  usb_->Unplug(port_);
  machine_.Pnp().WaitIdle();
}

bool PipeRig::Remove() {
  sim::DeviceNode* node = Node();
  if (!node || node->State() == sim::NodeState::Removed) return true;
  bool removed = machine_.Pnp().RemoveDevice(node);
  machine_.Pnp().WaitIdle();
  return removed;
}

sim::DeviceNode* PipeRig::Node() {
  if (!port_) return nullptr;
  for (sim::DeviceNode* node : machine_.Pnp().Nodes())
    for (const std::u16string& id : node->HardwareIds())
      if (id == HardwareId(config_.adapter)) return node;
  return nullptr;
}

PDEVICE_OBJECT PipeRig::Device() {
  sim::DeviceNode* node = Node();
  if (!node) return nullptr;
  PDEVICE_OBJECT top = node->Top();
  return top && top != node->PhysicalDeviceObject() ? top : nullptr;
}

PPIPE_DEVICE_EXTENSION PipeRig::Extension() {
  PDEVICE_OBJECT device = Device();
  return device ? PipeExtension(device) : nullptr;
}

std::vector<std::u16string> PipeRig::Links() {
  return machine_.Notify().EnabledInterfaces(GUID_PIPE_DRIVER_INTERFACE);
}

std::u16string PipeRig::Link() {
  std::vector<std::u16string> links = Links();
  return links.empty() ? std::u16string() : links.front();
}

HANDLE PipeRig::Open(const std::u16string& pipe, DWORD flags) {
  return CreateFileW(Link() + pipe, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, flags);
}

void PipeRig::AsDriver(const std::function<void()>& body) {
  sim::FrameScope frame(Driver(), (const void*)&MerrowDriverEntry, sim::FrameKind::Other);
  body();
}

IoctlResult Ioctl(HANDLE handle, ULONG code, const void* in, DWORD inSize, void* out, DWORD outSize) {
  DWORD returned = 0xDEADBEEF;
  BOOL ok = DeviceIoControl(handle, code, const_cast<void*>(in), inSize, out, outSize, &returned, nullptr);
  return {ok ? STATUS_SUCCESS : LastNtStatus(), returned};
}

}  // namespace pipetest
