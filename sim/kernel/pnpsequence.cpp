// The Plug and Play requests in the order NT sends them: start with its
// capability and state queries, rebalance, orderly and surprise removal with
// the target-device-change notifications around them. Everything here runs on
// the PnP manager's thread, one sequence at a time.
#include <cstdio>

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnpinternal.h"
#include "sim/kernel/trace.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {

PDEVICE_OBJECT PdoOf(DeviceNode* node) { return NodeAccess::Of(node).pdoDevice; }

bool Notify(DeviceNode* node, const GUID& event) {
  return CurrentMachine().Notify().NotifyTargetDeviceChange(PdoOf(node), event);
}

// After IRP_MN_REMOVE_DEVICE every device a driver put on the stack must be
// detached and deleted. `stack` holds references, so the devices can still be
// read after their drivers deleted them.
void CheckStackRemoved(PDEVICE_OBJECT pdo, const std::vector<PDEVICE_OBJECT>& stack, const std::string& what) {
  ObjectManager& objects = CurrentMachine().Objects();
  for (PDEVICE_OBJECT device : stack) {
    if (objects.IsDeletePending(device)) continue;
    bool attached = device->DeviceObjectExtension->AttachedTo != nullptr;
    VerifierStop(Rule::PnpRemoveContract, nullptr,
                 "%s's device %p %s after IRP_MN_REMOVE_DEVICE on %s; a driver detaches and deletes its device when "
                 "it handles the request",
                 DriverName(device->DriverObject).c_str(), (void*)device,
                 attached ? "is still attached and not deleted" : "was detached but not deleted", what.c_str());
  }
  if (pdo->AttachedDevice)
    VerifierStop(Rule::PnpRemoveContract, nullptr, "the PDO of %s still has device %p attached after IRP_MN_REMOVE_DEVICE",
                 what.c_str(), (void*)pdo->AttachedDevice);
}

}  // namespace

PnpAnswer PnpManager::Impl::Send(DeviceNode* node, UCHAR minor, const IO_STACK_LOCATION* parameters) {
  return SendPnpRequest(PdoOf(node), minor, parameters, Describe(node));
}

// IRP_MN_START_DEVICE, then the capabilities and (on a first start) the device state. The
// device's interfaces become visible only once the start succeeded. A failed
// first start removes the stack; a failed restart after a stop is handled as
// a surprise removal, as NT does.
void PnpManager::Impl::Start(DeviceNode* node, bool restart) {
  Notifications& notify = CurrentMachine().Notify();
  if (restart) notify.HoldArrivals(PdoOf(node));  // a first start's arrivals wait since enumeration
  IO_STACK_LOCATION parameters{};  // no hardware resources on these buses
  PnpAnswer start = Send(node, IRP_MN_START_DEVICE, &parameters);
  if (!NT_SUCCESS(start.status)) {
    std::fprintf(stderr, "[sim] PnP: %s failed IRP_MN_START_DEVICE with %s\n", Describe(node).c_str(),
                 StatusName(start.status).c_str());
    PDEVICE_OBJECT pdo = PdoOf(node);  // the removal may forget it
    if (restart) RemoveSurprise(node);
    else SendRemove(node, NodeState::StartFailed);
    notify.ReleaseArrivals(pdo, false);  // what the drivers enabled and disabled meanwhile was never visible
    return;
  }
  SetState(node, NodeState::Started);
  notify.ReleaseArrivals(PdoOf(node), true);
  QueryCapabilities(node);
  // Not after the start that follows a stop for rebalancing: NT does not ask
  // the device state again then.
  if (!restart) QueryDeviceState(node);
}

// The PnP manager prepares the record as NT does: zeroed, with its size and
// version, and Address and UINumber unknown (-1) until the bus fills them.
void PnpManager::Impl::QueryCapabilities(DeviceNode* node) {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  IO_STACK_LOCATION parameters{};
  parameters.Parameters.DeviceCapabilities.Capabilities = &caps;
  PnpAnswer answer = Send(node, IRP_MN_QUERY_CAPABILITIES, &parameters);
  if (!NT_SUCCESS(answer.status)) return;
  std::lock_guard guard(mutex);
  NodeAccess::Of(node).caps = caps;
}

// A device that reports itself failed or removed is surprise-removed.
void PnpManager::Impl::QueryDeviceState(DeviceNode* node) {
  PnpAnswer answer = Send(node, IRP_MN_QUERY_PNP_DEVICE_STATE);
  PNP_DEVICE_STATE state = NT_SUCCESS(answer.status) ? (PNP_DEVICE_STATE)answer.information : 0;
  {
    std::lock_guard guard(mutex);
    NodeAccess::Of(node).deviceState = state;
  }
  if (state & (PNP_DEVICE_FAILED | PNP_DEVICE_REMOVED)) {
    std::fprintf(stderr, "[sim] PnP: %s reports itself %s; removing it\n", Describe(node).c_str(),
                 (state & PNP_DEVICE_REMOVED) ? "removed" : "failed");
    RemoveSurprise(node);
  }
}

// Rebalance: query-stop; on success stop and start again, on a veto cancel.
bool PnpManager::Impl::Rebalance(DeviceNode* node) {
  if (StateOf(node) != NodeState::Started) {
    std::fprintf(stderr, "[sim] PnP: cannot rebalance %s: it is %s\n", Describe(node).c_str(),
                 NodeStateName(StateOf(node)));
    return false;
  }
  PnpAnswer query = Send(node, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(query.status)) {
    Send(node, IRP_MN_CANCEL_STOP_DEVICE);
    return false;
  }
  SetState(node, NodeState::QueryStopped);
  Send(node, IRP_MN_STOP_DEVICE);
  SetState(node, NodeState::Stopped);
  Start(node, true);
  return StateOf(node) == NodeState::Started;
}

// Orderly removal of a node and everything below it. Each node, children
// first, is asked: its target-device-change registrants, then its drivers with
// IRP_MN_QUERY_REMOVE_DEVICE, then whether files are still open on its stack.
// A veto cancels every query made (drivers first, then registrants, as NT
// does). Otherwise each node is told remove-complete and gets
// IRP_MN_REMOVE_DEVICE; no file is left on the stack to wait for.
bool PnpManager::Impl::RemoveOrderly(DeviceNode* node) {
  NodeState state = StateOf(node);
  if (state == NodeState::Removed || state == NodeState::SurpriseRemoved) {
    std::fprintf(stderr, "[sim] PnP: cannot remove %s: it was %s already\n", Describe(node).c_str(),
                 state == NodeState::Removed ? "removed" : "surprise-removed (it goes with its last handle)");
    return false;
  }
  std::vector<DeviceNode*> subtree = SubtreeChildrenFirst(node);
  std::vector<std::pair<DeviceNode*, NodeState>> asked;
  for (DeviceNode* each : subtree) {
    if (!HasStack(each)) continue;
    asked.emplace_back(each, StateOf(each));
    if (QueryRemove(each)) continue;
    for (auto it = asked.rbegin(); it != asked.rend(); ++it) {
      Send(it->first, IRP_MN_CANCEL_REMOVE_DEVICE);
      SetState(it->first, it->second);
      Notify(it->first, GUID_TARGET_DEVICE_REMOVE_CANCELLED);
    }
    return false;
  }
  for (DeviceNode* each : subtree) {
    if (HasStack(each)) Notify(each, GUID_TARGET_DEVICE_REMOVE_COMPLETE);
    SendRemove(each, NodeState::Removed);
  }
  return true;
}

// One node's part of an orderly removal; false, after saying why, on a veto.
// Registrants hear of the query first so that they can close their files;
// whatever is still open once the drivers agreed vetoes the removal, as NT's
// PNP_VetoOutstandingOpen: an orderly removal never pulls a device from under
// an open handle.
bool PnpManager::Impl::QueryRemove(DeviceNode* node) {
  if (!Notify(node, GUID_TARGET_DEVICE_QUERY_REMOVE)) {
    std::fprintf(stderr, "[sim] PnP: removal of %s vetoed by a notification callback\n", Describe(node).c_str());
    return false;
  }
  PnpAnswer query = Send(node, IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(query.status)) {
    std::fprintf(stderr, "[sim] PnP: removal of %s vetoed by its drivers: %s\n", Describe(node).c_str(),
                 StatusName(query.status).c_str());
    return false;
  }
  SetState(node, NodeState::QueryRemoved);
  size_t open = FilesStillOpen(node);
  if (open == 0) return true;
  std::fprintf(stderr, "[sim] PnP: removal of %s vetoed: PNP_VetoOutstandingOpen, %zu file%s still open\n",
               Describe(node).c_str(), open, open == 1 ? "" : "s");
  return false;
}

// The files open on the node's stack. A file whose last reference went at
// raised IRQL is closed by a worker thread: nobody can use it any more and
// its close is on its way. The count waits (bounded) for the closes already
// under way on this stack, so that a caller that let go of its file just
// before the removal does not see it vetoed or not depending on how soon
// the worker ran. A close still not through after the bound counts as open.
size_t PnpManager::Impl::FilesStillOpen(DeviceNode* node) {
  ObjectManager& objects = CurrentMachine().Objects();
  objects.WaitForDeferredCloses(PdoOf(node));
  return objects.FilesOnStack(PdoOf(node));
}

// The device is gone: IRP_MN_SURPRISE_REMOVAL and remove-complete now,
// IRP_MN_REMOVE_DEVICE once no file object is left on the stack.
void PnpManager::Impl::RemoveSurprise(DeviceNode* node) {
  for (DeviceNode* each : SubtreeChildrenFirst(node)) {
    NodeState state = StateOf(each);
    if (state == NodeState::Removed || state == NodeState::SurpriseRemoved) continue;
    if (!HasStack(each)) {
      SendRemove(each, NodeState::Removed);
      continue;
    }
    Send(each, IRP_MN_SURPRISE_REMOVAL);
    SetState(each, NodeState::SurpriseRemoved);
    Notify(each, GUID_TARGET_DEVICE_REMOVE_COMPLETE);
    RemoveIfUnused(each);
  }
}

void PnpManager::Impl::RemoveIfUnused(DeviceNode* node) {
  if (StateOf(node) != NodeState::SurpriseRemoved) return;
  if (CurrentMachine().Objects().FilesOnStack(PdoOf(node)) != 0) return;
  SendRemove(node, NodeState::Removed);
}

// IRP_MN_REMOVE_DEVICE and what follows it: the contract check, the interfaces
// a driver left enabled (NT disables them when it removes the device), the
// drivers that served only this node, and for a removed node its PDO.
void PnpManager::Impl::SendRemove(DeviceNode* node, NodeState after) {
  DeviceNode::Impl& n = NodeAccess::Of(node);
  PDEVICE_OBJECT pdo = n.pdoDevice;
  std::string what = Describe(node);
  std::vector<PDEVICE_OBJECT> stack;
  for (PDEVICE_OBJECT device = pdo->AttachedDevice; device; device = device->AttachedDevice) {
    ObReferenceObject(device);
    stack.push_back(device);
  }
  Send(node, IRP_MN_REMOVE_DEVICE);
  CheckStackRemoved(pdo, stack, what);
  for (PDEVICE_OBJECT device : stack) ObDereferenceObject(device);
  Notifications& notify = CurrentMachine().Notify();
  for (const std::u16string& link : notify.InterfacesOf(pdo)) notify.SetInterfaceState(link, false);
  ReleaseDrivers(node);
  if (after != NodeState::Removed) {
    SetState(node, after);
    return;
  }
  {
    std::lock_guard guard(mutex);
    n.state = NodeState::Removed;
    n.pdoDevice = nullptr;
    if (!n.ownedPdo) n.pdo = nullptr;  // the bus may free it now
  }
  if (n.ownedPdo) PdoAccess::DeleteDevice(n.ownedPdo.get());
}

// Machine shutdown: every node goes, children first, with IRP_MN_REMOVE_DEVICE.
void PnpManager::Impl::ShutdownNodes() {
  std::vector<DeviceNode*> present;
  {
    std::lock_guard guard(mutex);
    shutDown = true;
    for (const auto& node : nodes)
      if (NodeAccess::Of(node.get()).state != NodeState::Removed) present.push_back(node.get());
  }
  for (auto it = present.rbegin(); it != present.rend(); ++it)
    if (StateOf(*it) != NodeState::Removed) SendRemove(*it, NodeState::Removed);
}

}  // namespace sim
