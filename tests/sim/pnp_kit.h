// Small Plug and Play drivers for tests of the PnP manager: a scripted
// function or filter driver the manager loads by its service name, a bus whose
// children tests plug and unplug, and a client driver that registers for
// notifications. Everything they see goes to one shared log, so a test can
// assert the order of events across drivers and threads.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"

namespace pnpkit {

// The log of a test: "Function: IRP_MN_START_DEVICE", "Client: query-remove".
class Log {
 public:
  void Add(std::string line);
  std::vector<std::string> Lines();
  // The lines that start with `prefix` (e.g. "Function: "), in order, without it.
  std::vector<std::string> Of(const std::string& prefix);
  bool Contains(const std::string& line);
  void Clear();

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// What one scripted driver does. Unless a hook takes a request over, the
// driver is a correct WDM function driver (or filter): it starts after the
// lower drivers, passes on what it does not handle untouched, and detaches and
// deletes its device at IRP_MN_REMOVE_DEVICE.
struct Script {
  // Takes over an IRP_MJ_PNP request when it returns a status (it must then
  // complete or pass on the IRP itself); std::nullopt: the default handling.
  std::function<std::optional<NTSTATUS>(PDEVICE_OBJECT device, PIRP irp)> onPnp;
  // Runs after the lower drivers started the device, before the driver
  // completes IRP_MN_START_DEVICE (where drivers enable their interfaces).
  std::function<void(PDEVICE_OBJECT device, PDEVICE_OBJECT pdo)> onStarted;
  // Runs in AddDevice once the device is attached.
  std::function<void(PDEVICE_OBJECT device, PDEVICE_OBJECT pdo)> onAdded;
  // Runs at IRP_MN_REMOVE_DEVICE before the driver passes it on.
  std::function<void(PDEVICE_OBJECT device)> onRemove;
  // Runs in IRP_MJ_CREATE; its status is the create's.
  std::function<NTSTATUS()> onCreate;
  // Runs in IRP_MJ_CLOSE before the driver completes it.
  std::function<void()> onClose;
  NTSTATUS entryStatus = STATUS_SUCCESS;   // DriverEntry's answer
  NTSTATUS addDeviceStatus = STATUS_SUCCESS;
  bool leaveInitializing = false;          // AddDevice forgets to clear DO_DEVICE_INITIALIZING
  bool keepDeviceAtRemove = false;         // detaches at IRP_MN_REMOVE_DEVICE but does not delete
  PNP_DEVICE_STATE deviceState = 0;        // added to IRP_MN_QUERY_PNP_DEVICE_STATE's answer
  NTSTATUS systemQueryAnswer = STATUS_SUCCESS;  // a failure vetoes system sleeps at IRP_MN_QUERY_POWER

  // What the driver saw.
  std::atomic<int> entries{0};
  std::atomic<int> unloads{0};
  std::u16string registryPath;             // passed to DriverEntry
  std::u16string lastCreateName;           // FileName of the last IRP_MJ_CREATE
};

// Installs `script` as service `name`; the manager loads the driver with the
// first device node that needs it. Its log lines start with "<name>: ".
void Install(sim::Machine& machine, const std::u16string& name, Script& script, Log& log);

// A root device configuration: instance path and hardware IDs.
sim::RootDeviceConfig Root(const std::u16string& instancePath, std::vector<std::u16string> hardwareIds);

// A child of a test bus, as a USB hub reports one.
class TestPdo : public sim::Pdo {
 public:
  TestPdo(PDRIVER_OBJECT bus, std::u16string instancePath, std::vector<std::u16string> hardwareIds);
  std::u16string InstancePath() const override { return instancePath_; }
  std::vector<std::u16string> HardwareIds() const override { return hardwareIds_; }
  void FillCapabilities(DEVICE_CAPABILITIES& caps) override;
  void Removed(bool present) override { removals.push_back(present); }

  std::vector<bool> removals;  // Removed()'s argument, per IRP_MN_REMOVE_DEVICE
  DEVICE_CAPABILITIES seen{};  // the record as it reached the bus

 private:
  std::u16string instancePath_;
  std::vector<std::u16string> hardwareIds_;
};

// A driver outside the device stacks that registers for notifications, as
// tolvane does for merrow's pipes. Its callbacks log "<name>: arrival <link>",
// "<name>: removal <link>", "<name>: query-remove", "<name>: remove-complete",
// "<name>: remove-cancelled".
struct Client {
  Client(sim::Machine& machine, const std::u16string& name, Log& log);
  NTSTATUS WatchInterfaces(const GUID& interfaceClass, bool includeExisting);
  NTSTATUS WatchTarget(PFILE_OBJECT file);
  void Unregister();  // every registration of this client

  // Reacts to a notification after it was logged; its status is the callback's.
  std::function<NTSTATUS(const GUID& event, PVOID notification)> react;

  PDRIVER_OBJECT driver;
  std::u16string name;
  Log& log;
  std::vector<PVOID> entries;
  std::vector<std::string> threads;  // thread of each callback
  std::vector<KIRQL> irqls;          // IRQL of each callback
  std::atomic<int> inside{0};        // callbacks running now
  std::atomic<int> mostInside{0};    // most callbacks ever running at once
};

// The link of an interface as text, for logs and comparisons.
std::string Text(const std::u16string& text);

// Runs `body` as a routine of `driver` at `irql`.
void AtIrql(PDRIVER_OBJECT driver, KIRQL irql, const std::function<void()>& body);

// A GUID for test interfaces.
inline constexpr GUID kTestInterface = {0x6a1f0c2eL, 0x51b3, 0x4c8d, {0x9e, 0x47, 0x0b, 0xa2, 0x3d, 0x5c, 0x71, 0xe8}};

// A Plug and Play request sent to the top of `device`'s stack, as the PnP
// manager would send it (status STATUS_NOT_SUPPORTED until a driver answers);
// its final status block.
IO_STATUS_BLOCK SendPnp(PDEVICE_OBJECT device, UCHAR minor, const IO_STACK_LOCATION& parameters = {});

}  // namespace pnpkit
