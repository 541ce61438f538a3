// What the Plug and Play manager's files share: the device node's record, the
// manager's state and its routines, grouped by the file that defines them.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/jobthread.h"
#include "sim/kernel/pnp.h"

namespace sim {

struct DeviceNode::Impl {
  std::u16string instancePath;
  std::vector<std::u16string> hardwareIds;
  Pdo* pdo = nullptr;              // nullptr once the bus may have freed it
  std::unique_ptr<Pdo> ownedPdo;   // the root bus's PDOs live as long as the manager
  PDEVICE_OBJECT pdoDevice = nullptr;
  DeviceNode* parent = nullptr;
  NodeState state = NodeState::Enumerated;
  PNP_DEVICE_STATE deviceState = 0;
  DEVICE_CAPABILITIES caps{};
  std::vector<PDRIVER_OBJECT> drivers;  // of the stack, bottom up
  std::mutex* lock = nullptr;           // the manager's
};

// Access to the private parts of DeviceNode and Pdo for the manager's files.
struct NodeAccess {
  static DeviceNode::Impl& Of(const DeviceNode* node) { return *node->impl_; }
  static std::unique_ptr<DeviceNode> Make(std::mutex* lock);
};
struct PdoAccess {
  static void Bind(Pdo* pdo, DeviceNode* node) { pdo->node_ = node; }
  static void MarkGone(Pdo* pdo) { pdo->gone_ = true; }
  static bool IsGone(const Pdo* pdo) { return pdo->gone_; }
  // Deletes the PDO's device object now (the root bus drops a removed device);
  // the Pdo object itself stays to answer requests on handles still open.
  static void DeleteDevice(Pdo* pdo);
};

// ---- pnpbus.cpp: what the PDO answered ----

// Whether a PDO's Pnp routine got `irp` and the status it returned (unknown
// when it pended), recorded when the sender asked for it before sending.
// `irp` serves only as a key: it may be freed when the answer is taken.
struct PdoAnswer {
  bool reached = false;
  std::optional<NTSTATUS> status;
};
void ExpectPdoAnswer(PIRP irp);
PdoAnswer TakePdoAnswer(PIRP irp);

// ---- pnprequest.cpp: one Plug and Play request and the verifier's checks ----

struct PnpAnswer {
  NTSTATUS status;
  ULONG_PTR information;
};

// Sends IRP_MJ_PNP `minor` to the top of `pdo`'s stack from the calling thread
// and waits for it. The request starts with STATUS_NOT_SUPPORTED; `parameters`
// (optional) supplies the stack location. `what` names the device in reports.
PnpAnswer SendPnpRequest(PDEVICE_OBJECT pdo, UCHAR minor, const IO_STACK_LOCATION* parameters, const std::string& what);

// IoGetRelatedTargetDevice: asks the stack of `file` for its PDO with
// IRP_MN_QUERY_DEVICE_RELATIONS/TargetDeviceRelation. The PDO comes back
// referenced.
NTSTATUS QueryTargetDevice(PFILE_OBJECT file, PDEVICE_OBJECT* pdo);

// ---- the manager ----

struct PnpManager::Impl {
  struct Loaded {
    PDRIVER_OBJECT driver = nullptr;
    bool owned = false;  // loaded by the manager, which unloads it with its last device
  };

  mutable std::mutex mutex;  // everything below but the thread
  std::vector<ServiceEntry> services;
  std::vector<DriverBinding> bindings;
  std::vector<std::unique_ptr<DeviceNode>> nodes;  // in order of arrival
  std::map<std::u16string, Loaded> loaded;          // by upcased service name
  JobThread thread{"PnP manager"};
  bool shutDown = false;

  // pnptree.cpp: nodes, bindings, driver load and unload, AddDevice.
  DeviceNode* AddRoot(const RootDeviceConfig& config);
  DeviceNode* AddChild(Pdo* pdo, DeviceNode* parent);
  DeviceNode* NewNode(Pdo* pdo, std::unique_ptr<Pdo> owned, DeviceNode* parent);
  DeviceNode* Enumerate(DeviceNode* node);
  bool BindDrivers(DeviceNode* node);
  std::optional<DriverBinding> BindingFor(const DeviceNode::Impl& node);
  bool LoadStackDrivers(DeviceNode* node, const DriverBinding& binding);
  PDRIVER_OBJECT LoadService(const std::u16string& service, std::string* why);
  bool CallAddDevices(DeviceNode* node);
  void ReleaseDrivers(DeviceNode* node);
  bool DriverInUse(PDRIVER_OBJECT driver);  // caller holds `mutex`
  DeviceNode* FindPresent(PDEVICE_OBJECT pdo);
  DeviceNode* FindPresent(const std::u16string& instancePath);
  std::vector<DeviceNode*> SubtreeChildrenFirst(DeviceNode* node);
  NodeState StateOf(DeviceNode* node);
  void SetState(DeviceNode* node, NodeState state);
  bool HasStack(DeviceNode* node);  // drivers are attached above the PDO
  std::string Describe(DeviceNode* node);

  // pnpsequence.cpp: the orders of requests NT sends, on the manager's thread.
  void Start(DeviceNode* node, bool restart);
  void QueryCapabilities(DeviceNode* node);
  void QueryDeviceState(DeviceNode* node);
  bool Rebalance(DeviceNode* node);
  bool RemoveOrderly(DeviceNode* node);
  bool QueryRemove(DeviceNode* node);
  size_t FilesStillOpen(DeviceNode* node);
  void RemoveSurprise(DeviceNode* node);
  void RemoveIfUnused(DeviceNode* node);
  void SendRemove(DeviceNode* node, NodeState after);
  void ShutdownNodes();
  PnpAnswer Send(DeviceNode* node, UCHAR minor, const IO_STACK_LOCATION* parameters = nullptr);

  // pnpregistry.cpp: the node's keys and the services' keys.
  void WriteHardwareKey(DeviceNode* node, const RootDeviceConfig* config);
  void WriteService(DeviceNode* node, const std::u16string& service);
  static void WriteServiceKey(const std::u16string& service);
};

}  // namespace sim
