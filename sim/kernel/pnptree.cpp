// The device tree: device nodes and their PDOs, the service table that says
// which drivers a hardware ID gets, loading drivers on a driver's first device
// node and unloading them after its last, and AddDevice in NT's order.
#include <algorithm>
#include <cstdio>
#include <set>

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnpinternal.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"

namespace sim {

const char* NodeStateName(NodeState state) {
  switch (state) {
    case NodeState::Enumerated: return "Enumerated";
    case NodeState::DriverMissing: return "DriverMissing";
    case NodeState::AddDeviceFailed: return "AddDeviceFailed";
    case NodeState::Started: return "Started";
    case NodeState::StartFailed: return "StartFailed";
    case NodeState::QueryStopped: return "QueryStopped";
    case NodeState::Stopped: return "Stopped";
    case NodeState::QueryRemoved: return "QueryRemoved";
    case NodeState::SurpriseRemoved: return "SurpriseRemoved";
    case NodeState::Removed: return "Removed";
  }
  return "?";
}

// ---- DeviceNode ----

std::unique_ptr<DeviceNode> NodeAccess::Make(std::mutex* lock) {
  auto node = std::make_unique<DeviceNode>();
  node->impl_ = std::make_unique<DeviceNode::Impl>();
  node->impl_->lock = lock;
  return node;
}

std::u16string DeviceNode::InstancePath() const { return impl_->instancePath; }
std::vector<std::u16string> DeviceNode::HardwareIds() const { return impl_->hardwareIds; }
DeviceNode* DeviceNode::Parent() const { return impl_->parent; }

std::u16string DeviceNode::HardwareKeyPath() const {
  return kEnumKey + u"\\" + impl_->instancePath + u"\\Device Parameters";
}

PDEVICE_OBJECT DeviceNode::PhysicalDeviceObject() const {
  std::lock_guard guard(*impl_->lock);
  return impl_->pdoDevice;
}

Pdo* DeviceNode::BusPdo() const {
  std::lock_guard guard(*impl_->lock);
  return impl_->pdo;
}

NodeState DeviceNode::State() const {
  std::lock_guard guard(*impl_->lock);
  return impl_->state;
}

PNP_DEVICE_STATE DeviceNode::DeviceState() const {
  std::lock_guard guard(*impl_->lock);
  return impl_->deviceState;
}

const DEVICE_CAPABILITIES& DeviceNode::Capabilities() const {
  std::lock_guard guard(*impl_->lock);
  return impl_->caps;
}

PDEVICE_OBJECT DeviceNode::Top() const {
  std::lock_guard guard(*impl_->lock);
  PDEVICE_OBJECT pdo = impl_->pdoDevice;
  if (!pdo || !pdo->AttachedDevice) return nullptr;
  PDEVICE_OBJECT top = pdo->AttachedDevice;
  while (top->AttachedDevice) top = top->AttachedDevice;
  return top;
}

// ---- the root bus ----

namespace {

// A device node the machine's configuration puts on the root bus.
class RootPdo final : public Pdo {
 public:
  RootPdo(PDRIVER_OBJECT bus, const RootDeviceConfig& config)
      : Pdo(bus, FILE_DEVICE_UNKNOWN, config.exclusive), config_(config) {}
  std::u16string InstancePath() const override { return config_.instancePath; }
  std::vector<std::u16string> HardwareIds() const override { return config_.hardwareIds; }

 private:
  RootDeviceConfig config_;
};

bool SameId(const std::u16string& a, const std::u16string& b) { return Upcase(a) == Upcase(b); }

std::string Join(const std::vector<std::u16string>& ids) {
  std::string out;
  for (const auto& id : ids) out += (out.empty() ? "" : ", ") + Narrow(id);
  return out.empty() ? "none" : out;
}

}  // namespace

DeviceNode* PnpManager::Impl::AddRoot(const RootDeviceConfig& config) {
  if (config.instancePath.empty() || FindPresent(config.instancePath)) {
    std::fprintf(stderr, "[sim] PnP: cannot add root device '%s': %s\n", Narrow(config.instancePath).c_str(),
                 config.instancePath.empty() ? "no instance path" : "a device node with that instance path exists");
    return nullptr;
  }
  PDRIVER_OBJECT& bus = CurrentMachine().RootBusDriver();
  if (!bus) bus = CreateBusDriver(u"PnpManager");
  auto pdo = std::make_unique<RootPdo>(bus, config);
  Pdo* raw = pdo.get();
  DeviceNode* node = NewNode(raw, std::move(pdo), nullptr);
  WriteHardwareKey(node, &config);
  return Enumerate(node);
}

DeviceNode* PnpManager::Impl::AddChild(Pdo* pdo, DeviceNode* parent) {
  std::u16string path = pdo->InstancePath();
  if (path.empty() || FindPresent(path) || FindPresent(pdo->DeviceObject())) {
    std::fprintf(stderr, "[sim] PnP: the bus reported child '%s' twice or without an instance path; ignored\n",
                 Narrow(path).c_str());
    return nullptr;
  }
  // A child the bus reported gone is no longer among its relations: an
  // arrival reported after that (the two crossed on their way) adds no node.
  if (PdoAccess::IsGone(pdo)) {
    std::fprintf(stderr, "[sim] PnP: the bus reported child '%s' after reporting it gone; ignored\n", Narrow(path).c_str());
    return nullptr;
  }
  DeviceNode* node = NewNode(pdo, nullptr, parent);
  WriteHardwareKey(node, nullptr);
  return Enumerate(node);
}

DeviceNode* PnpManager::Impl::NewNode(Pdo* pdo, std::unique_ptr<Pdo> owned, DeviceNode* parent) {
  std::unique_ptr<DeviceNode> node = NodeAccess::Make(&mutex);
  DeviceNode::Impl& n = NodeAccess::Of(node.get());
  n.instancePath = pdo->InstancePath();
  n.hardwareIds = pdo->HardwareIds();
  n.pdo = pdo;
  n.ownedPdo = std::move(owned);
  n.pdoDevice = pdo->DeviceObject();
  n.parent = parent;
  PdoAccess::Bind(pdo, node.get());
  std::lock_guard guard(mutex);
  nodes.push_back(std::move(node));
  return nodes.back().get();
}

// Finds the drivers, loads them and calls their AddDevice routines, then
// starts the stack. Failures leave the node in a state that says why.
DeviceNode* PnpManager::Impl::Enumerate(DeviceNode* node) {
  DeviceNode::Impl& n = NodeAccess::Of(node);
  // Interfaces enabled before the start succeeded are announced after it.
  Notifications& notify = CurrentMachine().Notify();
  notify.HoldArrivals(n.pdoDevice);
  if (BindDrivers(node) && CallAddDevices(node)) {
    Start(node, false);
    return node;
  }
  notify.ReleaseArrivals(n.pdoDevice, false);
  return node;
}

// Finds and loads the node's drivers; without them the node stays DriverMissing.
bool PnpManager::Impl::BindDrivers(DeviceNode* node) {
  DeviceNode::Impl& n = NodeAccess::Of(node);
  std::optional<DriverBinding> binding = BindingFor(n);
  if (!binding) {
    std::fprintf(stderr, "[sim] PnP: no driver serves %s (hardware IDs: %s); the device stays without a driver\n",
                 Narrow(n.instancePath).c_str(), Join(n.hardwareIds).c_str());
    SetState(node, NodeState::DriverMissing);
    return false;
  }
  WriteService(node, binding->functionService);
  if (!LoadStackDrivers(node, *binding)) {
    SetState(node, NodeState::DriverMissing);
    return false;
  }
  return true;
}

// The first of the node's hardware IDs that a binding names wins.
std::optional<DriverBinding> PnpManager::Impl::BindingFor(const DeviceNode::Impl& node) {
  std::lock_guard guard(mutex);
  for (const std::u16string& id : node.hardwareIds)
    for (const DriverBinding& binding : bindings)
      if (SameId(binding.hardwareId, id)) return binding;
  return std::nullopt;
}

bool PnpManager::Impl::LoadStackDrivers(DeviceNode* node, const DriverBinding& binding) {
  std::vector<std::u16string> order = binding.lowerFilters;
  order.push_back(binding.functionService);
  order.insert(order.end(), binding.upperFilters.begin(), binding.upperFilters.end());
  std::vector<PDRIVER_OBJECT> drivers;
  for (const std::u16string& service : order) {
    std::string why;
    PDRIVER_OBJECT driver = LoadService(service, &why);
    if (!driver) {
      std::fprintf(stderr, "[sim] PnP: %s: %s; the device stays without a driver\n",
                   Narrow(NodeAccess::Of(node).instancePath).c_str(), why.c_str());
      {
        std::lock_guard guard(mutex);
        NodeAccess::Of(node).drivers = drivers;
      }
      ReleaseDrivers(node);
      return false;
    }
    drivers.push_back(driver);
  }
  std::lock_guard guard(mutex);
  NodeAccess::Of(node).drivers = std::move(drivers);
  return true;
}

// DriverEntry runs on the driver's first device node, with the registry path
// of its service key.
PDRIVER_OBJECT PnpManager::Impl::LoadService(const std::u16string& service, std::string* why) {
  std::u16string key = Upcase(service);
  ServiceEntry entry;
  {
    std::lock_guard guard(mutex);
    if (auto it = loaded.find(key); it != loaded.end()) return it->second.driver;
    auto found = std::find_if(services.begin(), services.end(), [&](const ServiceEntry& s) { return SameId(s.name, service); });
    if (found == services.end()) {
      *why = "service '" + Narrow(service) + "' is not installed";
      return nullptr;
    }
    entry = *found;
  }
  Machine& machine = CurrentMachine();
  // A driver the machine's owner loaded directly serves its nodes too; it is
  // not the manager's to unload.
  for (PDRIVER_OBJECT driver : machine.Drivers()) {
    if (Upcase(machine.Objects().NameOf(driver)) == Upcase(u"\\Driver\\" + entry.name)) {
      std::lock_guard guard(mutex);
      loaded[key] = Loaded{driver, false};
      return driver;
    }
  }
  if (!entry.entry) {
    *why = "service '" + Narrow(service) + "' has no driver entry";
    return nullptr;
  }
  PDRIVER_OBJECT driver = machine.LoadDriver(entry.name, entry.entry);
  if (!driver) {
    *why = "DriverEntry of " + Narrow(entry.name) + " failed";
    return nullptr;
  }
  std::lock_guard guard(mutex);
  loaded[key] = Loaded{driver, true};
  return driver;
}

// AddDevice for lower filters, the function driver and upper filters, in that
// order. If one fails, the drivers already attached get IRP_MN_REMOVE_DEVICE.
bool PnpManager::Impl::CallAddDevices(DeviceNode* node) {
  DeviceNode::Impl& n = NodeAccess::Of(node);
  ObjectManager& objects = CurrentMachine().Objects();
  for (PDRIVER_OBJECT driver : std::vector<PDRIVER_OBJECT>(n.drivers)) {
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    std::vector<PDEVICE_OBJECT> before = objects.DevicesOf(driver);
    if (addDevice) {
      FrameScope frame(driver, (const void*)addDevice, FrameKind::AddDevice);
      status = addDevice(driver, n.pdoDevice);
    }
    if (NT_SUCCESS(status)) {
      for (PDEVICE_OBJECT device : objects.DevicesOf(driver))
        if (std::find(before.begin(), before.end(), device) == before.end() && (device->Flags & DO_DEVICE_INITIALIZING))
          VerifierStop(Rule::AttachFlags, nullptr,
                       "%s's AddDevice returned with DO_DEVICE_INITIALIZING still set on device %p (for %s)",
                       DriverName(driver).c_str(), (void*)device, Narrow(n.instancePath).c_str());
      continue;
    }
    std::fprintf(stderr, "[sim] PnP: %s: %s of %s failed with 0x%08X\n", Narrow(n.instancePath).c_str(),
                 addDevice ? "AddDevice" : "a missing AddDevice routine", DriverName(driver).c_str(), (unsigned)status);
    SendRemove(node, NodeState::AddDeviceFailed);
    return false;
  }
  return true;
}

bool PnpManager::Impl::DriverInUse(PDRIVER_OBJECT driver) {
  for (const auto& node : nodes) {
    const DeviceNode::Impl& n = NodeAccess::Of(node.get());
    if (std::find(n.drivers.begin(), n.drivers.end(), driver) != n.drivers.end()) return true;
  }
  return false;
}

// The node's stack is gone: each of its drivers that serves no other node and
// was loaded by the manager unloads (upper drivers first).
void PnpManager::Impl::ReleaseDrivers(DeviceNode* node) {
  std::vector<PDRIVER_OBJECT> unload;
  {
    std::lock_guard guard(mutex);
    std::vector<PDRIVER_OBJECT> drivers = std::move(NodeAccess::Of(node).drivers);
    NodeAccess::Of(node).drivers.clear();
    std::set<PDRIVER_OBJECT> seen;
    for (auto it = drivers.rbegin(); it != drivers.rend(); ++it) {
      if (!seen.insert(*it).second || DriverInUse(*it)) continue;
      for (auto entry = loaded.begin(); entry != loaded.end(); ++entry) {
        if (entry->second.driver != *it) continue;
        if (entry->second.owned) unload.push_back(*it);
        loaded.erase(entry);
        break;
      }
    }
  }
  for (PDRIVER_OBJECT driver : unload) CurrentMachine().UnloadDriver(driver);
}

DeviceNode* PnpManager::Impl::FindPresent(PDEVICE_OBJECT pdo) {
  std::lock_guard guard(mutex);
  for (const auto& node : nodes) {
    const DeviceNode::Impl& n = NodeAccess::Of(node.get());
    if (pdo && n.state != NodeState::Removed && n.pdoDevice == pdo) return node.get();
  }
  return nullptr;
}

DeviceNode* PnpManager::Impl::FindPresent(const std::u16string& instancePath) {
  std::lock_guard guard(mutex);
  for (const auto& node : nodes) {
    const DeviceNode::Impl& n = NodeAccess::Of(node.get());
    if (n.state != NodeState::Removed && SameId(n.instancePath, instancePath)) return node.get();
  }
  return nullptr;
}

// The present nodes below `node`, children before their parents, then `node`.
std::vector<DeviceNode*> PnpManager::Impl::SubtreeChildrenFirst(DeviceNode* node) {
  std::vector<DeviceNode*> children;
  {
    std::lock_guard guard(mutex);
    for (const auto& each : nodes) {
      const DeviceNode::Impl& n = NodeAccess::Of(each.get());
      if (n.parent == node && n.state != NodeState::Removed) children.push_back(each.get());
    }
  }
  std::vector<DeviceNode*> out;
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    std::vector<DeviceNode*> below = SubtreeChildrenFirst(*it);
    out.insert(out.end(), below.begin(), below.end());
  }
  out.push_back(node);
  return out;
}

NodeState PnpManager::Impl::StateOf(DeviceNode* node) {
  std::lock_guard guard(mutex);
  return NodeAccess::Of(node).state;
}

void PnpManager::Impl::SetState(DeviceNode* node, NodeState state) {
  std::lock_guard guard(mutex);
  NodeAccess::Of(node).state = state;
}

bool PnpManager::Impl::HasStack(DeviceNode* node) {
  std::lock_guard guard(mutex);
  return !NodeAccess::Of(node).drivers.empty();
}

// "ROOT\PORTS\0000 (stack: Lower, Function)", for reports.
std::string PnpManager::Impl::Describe(DeviceNode* node) {
  std::lock_guard guard(mutex);
  const DeviceNode::Impl& n = NodeAccess::Of(node);
  std::string out = Narrow(n.instancePath) + " (stack:";
  for (PDRIVER_OBJECT driver : n.drivers) out += " " + DriverName(driver);
  return out + (n.drivers.empty() ? " no driver)" : ")");
}

}  // namespace sim
