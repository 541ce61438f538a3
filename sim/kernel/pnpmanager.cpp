// The Plug and Play manager's public side: configuration, the calls of the
// machine's owner and of bus drivers, and IoInvalidateDeviceState. Work that
// sends requests runs on the manager's own thread, one piece at a time.
#include <cstdio>

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnpinternal.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {

PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device) {
  while (device->DeviceObjectExtension->AttachedTo) device = device->DeviceObjectExtension->AttachedTo;
  return device;
}

}  // namespace

PnpManager::PnpManager() : impl_(std::make_unique<Impl>()) {}

PnpManager::~PnpManager() { impl_->thread.Stop(); }

void PnpManager::AddService(ServiceEntry service) {
  Impl::WriteServiceKey(service.name);
  std::lock_guard guard(impl_->mutex);
  for (ServiceEntry& entry : impl_->services) {
    if (Upcase(entry.name) == Upcase(service.name)) {
      entry = std::move(service);
      return;
    }
  }
  impl_->services.push_back(std::move(service));
}

void PnpManager::Bind(DriverBinding binding) {
  std::lock_guard guard(impl_->mutex);
  impl_->bindings.push_back(std::move(binding));
}

DeviceNode* PnpManager::AddRootDevice(const RootDeviceConfig& config) {
  DeviceNode* node = nullptr;
  impl_->thread.RunSync([&] { node = impl_->AddRoot(config); });
  return node;
}

DeviceNode* PnpManager::ReportChildArrived(Pdo* pdo, DeviceNode* parent) {
  DeviceNode* node = nullptr;
  impl_->thread.RunSync([&] { node = impl_->AddChild(pdo, parent); });
  return node;
}

bool PnpManager::RemoveDevice(DeviceNode* node) {
  if (!node) {
    std::fprintf(stderr, "[sim] PnP: RemoveDevice without a device node\n");
    return false;
  }
  bool removed = false;
  impl_->thread.RunSync([&] { removed = impl_->RemoveOrderly(node); });
  return removed;
}

void PnpManager::SurpriseRemove(DeviceNode* node) {
  if (!node) return;
  impl_->thread.RunSync([&] {
    if (impl_->StateOf(node) == NodeState::Removed) {
      std::fprintf(stderr, "[sim] PnP: cannot surprise-remove %s: it was removed already\n", impl_->Describe(node).c_str());
      return;
    }
    if (Pdo* pdo = node->BusPdo()) PdoAccess::MarkGone(pdo);
    impl_->RemoveSurprise(node);
  });
}

void PnpManager::ReportChildGone(Pdo* pdo) {
  impl_->thread.RunSync([&] {
    PdoAccess::MarkGone(pdo);
    DeviceNode* node = impl_->FindPresent(pdo->DeviceObject());
    if (node) impl_->RemoveSurprise(node);
    else std::fprintf(stderr, "[sim] PnP: the bus reported a child gone that has no device node\n");
  });
}

bool PnpManager::Rebalance(DeviceNode* node) {
  if (!node) return false;
  bool restarted = false;
  impl_->thread.RunSync([&] { restarted = impl_->Rebalance(node); });
  return restarted;
}

void PnpManager::InvalidateDeviceState(PDEVICE_OBJECT pdo) {
  if (!impl_->FindPresent(pdo))
    VerifierStop(Rule::KernelStop, nullptr,
                 "IoInvalidateDeviceState on %p, which is not the PDO of a device node (NT stops with "
                 "PNP_DETECTED_FATAL_ERROR)",
                 (void*)pdo);
  impl_->thread.Post([this, pdo] {
    DeviceNode* node = impl_->FindPresent(pdo);
    if (node && impl_->StateOf(node) == NodeState::Started) impl_->QueryDeviceState(node);
  });
}

void PnpManager::LastFileClosed(PDEVICE_OBJECT pdo) {
  impl_->thread.Post([this, pdo] {
    if (DeviceNode* node = impl_->FindPresent(pdo)) impl_->RemoveIfUnused(node);
  });
}

void PnpManager::WaitIdle() {
  Notifications& notify = CurrentMachine().Notify();
  for (int round = 0; round < 2; ++round) {
    impl_->thread.WaitIdle();
    notify.WaitIdle();
  }
}

DeviceNode* PnpManager::NodeOfPdo(PDEVICE_OBJECT pdo) { return impl_->FindPresent(pdo); }

DeviceNode* PnpManager::NodeOfDevice(PDEVICE_OBJECT anyDeviceInStack) {
  return anyDeviceInStack ? impl_->FindPresent(BottomOf(anyDeviceInStack)) : nullptr;
}

DeviceNode* PnpManager::FindNode(const std::u16string& instancePath) { return impl_->FindPresent(instancePath); }

std::vector<DeviceNode*> PnpManager::Nodes() {
  std::lock_guard guard(impl_->mutex);
  std::vector<DeviceNode*> out;
  for (const auto& node : impl_->nodes)
    if (NodeAccess::Of(node.get()).state != NodeState::Removed) out.push_back(node.get());
  return out;
}

PDRIVER_OBJECT PnpManager::LoadedDriver(const std::u16string& service) {
  std::lock_guard guard(impl_->mutex);
  auto it = impl_->loaded.find(Upcase(service));
  return it == impl_->loaded.end() ? nullptr : it->second.driver;
}

NTSTATUS PnpManager::CheckOpen(PDEVICE_OBJECT device) {
  DeviceNode* node = impl_->FindPresent(BottomOf(device));
  if (!node) return STATUS_SUCCESS;
  switch (impl_->StateOf(node)) {
    case NodeState::Started:
    case NodeState::QueryStopped:
    case NodeState::Stopped:
    case NodeState::QueryRemoved:  // drivers refuse creates themselves once they agreed to go
      return STATUS_SUCCESS;
    case NodeState::SurpriseRemoved:
      return STATUS_DELETE_PENDING;
    default:
      return STATUS_NO_SUCH_DEVICE;
  }
}

// Every node goes, then the registrations' callbacks still queued run, and the
// manager's thread ends. The root bus's PDOs go last.
void PnpManager::Shutdown() {
  impl_->thread.RunSync([this] { impl_->ShutdownNodes(); });
  CurrentMachine().Notify().WaitIdle();
  impl_->thread.Stop();
  std::vector<std::unique_ptr<Pdo>> pdos;
  {
    std::lock_guard guard(impl_->mutex);
    for (const auto& node : impl_->nodes) {
      DeviceNode::Impl& n = NodeAccess::Of(node.get());
      if (!n.ownedPdo) continue;
      n.pdo = nullptr;
      pdos.push_back(std::move(n.ownedPdo));
    }
  }
  pdos.clear();
}

}  // namespace sim

using namespace sim;

extern "C" void NTAPI IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoInvalidateDeviceState");
  CurrentMachine().Pnp().InvalidateDeviceState(PhysicalDeviceObject);
}
