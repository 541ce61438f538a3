// The Plug and Play manager: device nodes with their bus drivers' PDOs, the
// service table that says which driver serves which hardware ID, driver load
// and unload, and the Plug and Play requests in NT's order. Requests reach a
// stack from the PnP manager's own thread, one at a time.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/ddk/ntddk.h"
#include "sim/kernel/registry.h"

namespace sim {

class DeviceNode;

// A physical device object as its bus driver (code of the simulated machine)
// answers it. The defaults behave as a simple bus driver's PDO: Plug and Play
// requests it handles succeed (start, stop, removal and their queries and
// cancellations, capabilities, TargetDeviceRelation), the others keep their
// status; power requests succeed; cleanup and close succeed (a handle may
// outlive the function driver); WMI requests keep their status; other
// requests fail with STATUS_INVALID_DEVICE_REQUEST.
//
// The owner keeps the object until IRP_MN_REMOVE_DEVICE reached it with the
// device gone (Removed(false)); destroying it deletes the device object.
class Pdo {
 public:
  virtual ~Pdo();
  PDEVICE_OBJECT DeviceObject() const { return device_; }
  DeviceNode* Node() const { return node_; }

  // Each runs at the IRQL the request arrives at and must complete it.
  virtual NTSTATUS Pnp(PIRP irp);
  virtual NTSTATUS Power(PIRP irp);
  virtual NTSTATUS InternalDeviceControl(PIRP irp);
  virtual NTSTATUS Other(PIRP irp);

  // The capabilities the bus reports (IRP_MN_QUERY_CAPABILITIES fills these
  // in after the PnP manager set Size and Version).
  virtual void FillCapabilities(DEVICE_CAPABILITIES& caps);
  // The bus's device text and IDs for this child.
  virtual std::u16string InstancePath() const = 0;
  virtual std::vector<std::u16string> HardwareIds() const = 0;
  // IRP_MN_REMOVE_DEVICE reached the PDO; `present` says whether the bus still
  // has the device (an orderly removal) or reported it gone.
  virtual void Removed(bool present) {}

  Pdo(const Pdo&) = delete;
  Pdo& operator=(const Pdo&) = delete;

 protected:
  // Creates the PDO's device object for `busDriver` (a driver object of the
  // simulated machine, see CreateBusDriver).
  Pdo(PDRIVER_OBJECT busDriver, ULONG deviceType = FILE_DEVICE_UNKNOWN, bool exclusive = false);

 private:
  friend class PnpManager;
  friend struct PdoAccess;
  PDEVICE_OBJECT device_ = nullptr;
  DeviceNode* node_ = nullptr;
  bool gone_ = false;  // the bus reported the device gone (or the root bus dropped it)
};

// A driver object of the simulated machine whose requests go to the Pdo
// objects of its device objects.
PDRIVER_OBJECT CreateBusDriver(const std::u16string& name);

enum class NodeState {
  Enumerated,       // PDO reported, no function driver yet
  DriverMissing,    // no service serves its hardware IDs, or the driver failed to load
  AddDeviceFailed,
  Started,
  StartFailed,
  QueryStopped,
  Stopped,
  QueryRemoved,
  SurpriseRemoved,  // waiting for the last handle before IRP_MN_REMOVE_DEVICE
  Removed,
};
const char* NodeStateName(NodeState state);

class DeviceNode {
 public:
  std::u16string InstancePath() const;
  std::vector<std::u16string> HardwareIds() const;
  PDEVICE_OBJECT PhysicalDeviceObject() const;
  Pdo* BusPdo() const;
  NodeState State() const;
  // The hardware key: \Registry\Machine\System\CurrentControlSet\Enum\<instance>\Device Parameters.
  std::u16string HardwareKeyPath() const;
  // The answer to the last IRP_MN_QUERY_PNP_DEVICE_STATE (0 before any).
  PNP_DEVICE_STATE DeviceState() const;
  // The capabilities the stack reported at start.
  const DEVICE_CAPABILITIES& Capabilities() const;
  // The top of the device stack (nullptr when no driver is attached).
  PDEVICE_OBJECT Top() const;
  // The node of the bus device this one was enumerated by (nullptr: the root bus).
  DeviceNode* Parent() const;

 private:
  friend class PnpManager;
  friend struct NodeAccess;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// What the machine's configuration says about a driver.
struct ServiceEntry {
  std::u16string name;               // \Driver\<name>, Services\<name>
  PDRIVER_INITIALIZE entry = nullptr;
};

// Which drivers a hardware ID gets: the function driver and optional filters.
struct DriverBinding {
  std::u16string hardwareId;
  std::u16string functionService;
  std::vector<std::u16string> upperFilters;
  std::vector<std::u16string> lowerFilters;
};

// A device node on the root bus, as the machine's configuration describes it.
struct RootDeviceConfig {
  std::u16string instancePath;  // e.g. ROOT\PORTS\0000
  std::vector<std::u16string> hardwareIds;
  std::vector<std::pair<std::u16string, RegistryValue>> hardwareKeyValues;
  bool exclusive = false;       // the Exclusive device property (the Ports class sets it)
};

class PnpManager {
 public:
  PnpManager();
  ~PnpManager();

  // Configuration.
  void AddService(ServiceEntry service);
  void Bind(DriverBinding binding);

  // The root bus. Adding a node enumerates it at once: drivers load
  // (DriverEntry on the first node of a driver), AddDevice, start, capabilities,
  // device state. Returns when that is done.
  DeviceNode* AddRootDevice(const RootDeviceConfig& config);
  // Orderly removal: target-device-change query-remove to registrants, then
  // IRP_MN_QUERY_REMOVE_DEVICE. A veto by either, or a file still open on the
  // stack once the drivers agreed (PNP_VetoOutstandingOpen), sends the
  // cancellations and returns false; otherwise remove-complete and
  // IRP_MN_REMOVE_DEVICE. As on NT, only a surprise removal waits for the
  // last handle.
  bool RemoveDevice(DeviceNode* node);
  // The device is gone: IRP_MN_SURPRISE_REMOVAL and remove-complete at once,
  // IRP_MN_REMOVE_DEVICE once the last handle and file-object reference on the
  // stack are gone.
  void SurpriseRemove(DeviceNode* node);
  // Rebalance: query-stop, then stop and start again; or cancel-stop on a veto.
  bool Rebalance(DeviceNode* node);

  // For bus drivers of the simulated machine (the USB hub): a child appeared
  // (enumerated like a root device; `parent` is the node of the bus device, for
  // the order of removal) or vanished (surprise removal). The bus keeps `pdo`
  // until its Removed(false) ran.
  DeviceNode* ReportChildArrived(Pdo* pdo, DeviceNode* parent = nullptr);
  void ReportChildGone(Pdo* pdo);

  // IoInvalidateDeviceState: queues a new IRP_MN_QUERY_PNP_DEVICE_STATE.
  void InvalidateDeviceState(PDEVICE_OBJECT pdo);
  // Waits until the PnP manager has nothing queued or in progress.
  void WaitIdle();

  DeviceNode* NodeOfPdo(PDEVICE_OBJECT pdo);
  DeviceNode* NodeOfDevice(PDEVICE_OBJECT anyDeviceInStack);
  DeviceNode* FindNode(const std::u16string& instancePath);
  std::vector<DeviceNode*> Nodes();  // parents before children, in order of arrival

  // Loaded drivers and their device counts; a driver unloads when its last
  // device goes, and at shutdown.
  PDRIVER_OBJECT LoadedDriver(const std::u16string& service);
  void Shutdown();

  // Called by the object manager when the last file object on a stack goes.
  void LastFileClosed(PDEVICE_OBJECT pdo);
  // Called by the I/O manager before it opens `device`: the stack must be
  // started (STATUS_NO_SUCH_DEVICE before the start IRP succeeded and after
  // IRP_MN_REMOVE_DEVICE), and not surprise-removed (STATUS_DELETE_PENDING).
  // Devices outside any device node (named control devices) may be opened.
  NTSTATUS CheckOpen(PDEVICE_OBJECT device);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Device interfaces and Plug and Play notifications.
class Notifications {
 public:
  Notifications();
  ~Notifications();

  // The enabled interfaces of a class (their symbolic link names).
  std::vector<std::u16string> EnabledInterfaces(const GUID& interfaceClass);
  // The interfaces registered on a PDO (enabled or not), to disable at removal.
  std::vector<std::u16string> InterfacesOf(PDEVICE_OBJECT pdo);

  // Target-device-change events for the registrants on file objects of the
  // stack of `pdo`. For GUID_TARGET_DEVICE_QUERY_REMOVE, returns false if a
  // callback vetoed (failed); the others always succeed. Runs the callbacks on
  // a system worker thread, one at a time, and waits for them.
  bool NotifyTargetDeviceChange(PDEVICE_OBJECT pdo, const GUID& event);

  // Callbacks still registered by `driver` (unload residue).
  std::string Residue(PDRIVER_OBJECT driver);
  void WaitIdle();  // until every queued callback ran
  // Runs what is queued, then stops the notification thread (machine shutdown);
  // later events are dropped.
  void Stop();

  // The kernel routines' work (IoRegisterDeviceInterface, IoSetDeviceInterfaceState,
  // IoRegisterPlugPlayNotification, IoUnregisterPlugPlayNotification).
  NTSTATUS RegisterInterface(PDEVICE_OBJECT pdo, const GUID& interfaceClass, const std::u16string& reference,
                             std::u16string* link);
  NTSTATUS SetInterfaceState(const std::u16string& link, bool enable);
  NTSTATUS Register(IO_NOTIFICATION_EVENT_CATEGORY category, ULONG flags, PVOID data, PDRIVER_OBJECT driver,
                    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback, PVOID context, PVOID* entry);
  NTSTATUS Unregister(PVOID entry);

  // While a stack is being started, arrivals of its interfaces wait: NT exposes
  // a device's interfaces only once IRP_MN_START_DEVICE succeeded. Release
  // delivers what waited, or drops it when the start failed.
  void HoldArrivals(PDEVICE_OBJECT pdo);
  void ReleaseArrivals(PDEVICE_OBJECT pdo, bool deliver);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
