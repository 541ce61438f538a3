#include "tests/sim/pnp_kit.h"

#include <map>

#include "sim/kernel/thread.h"
#include "sim/kernel/trace.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"
#include "tests/sim/testkit.h"

namespace pnpkit {

// ---- the log ----

void Log::Add(std::string line) {
  std::lock_guard guard(mutex_);
  lines_.push_back(std::move(line));
}

std::vector<std::string> Log::Lines() {
  std::lock_guard guard(mutex_);
  return lines_;
}

std::vector<std::string> Log::Of(const std::string& prefix) {
  std::lock_guard guard(mutex_);
  std::vector<std::string> out;
  for (const std::string& line : lines_)
    if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
  return out;
}

bool Log::Contains(const std::string& line) {
  std::lock_guard guard(mutex_);
  for (const std::string& each : lines_)
    if (each == line) return true;
  return false;
}

void Log::Clear() {
  std::lock_guard guard(mutex_);
  lines_.clear();
}

std::string Text(const std::u16string& text) { return sim::Narrow(text); }

// ---- the scripted driver ----

namespace {

struct Installed {
  Script* script;
  Log* log;
};
std::mutex installedLock;
std::map<std::u16string, Installed> installed;  // by upcased service name

struct Extension {
  Script* script;
  Log* log;
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
  char name[32];
};

Extension& Ext(PDEVICE_OBJECT device) { return *(Extension*)device->DeviceExtension; }

Installed Lookup(PDRIVER_OBJECT driver) {
  std::lock_guard guard(installedLock);
  return installed.at(sim::Upcase(sim::Widen(sim::DriverName(driver))));
}

void Say(const Extension& ext, const std::string& what) { ext.log->Add(std::string(ext.name) + ": " + what); }

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(Ext(device).lower, irp);
}

NTSTATUS NTAPI Signal(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT device, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, Signal, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(Ext(device).lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS Remove(PDEVICE_OBJECT device, PIRP irp) {
  Extension& ext = Ext(device);
  Script& script = *ext.script;
  if (script.onRemove) script.onRemove(device);
  PDEVICE_OBJECT lower = ext.lower;
  irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = PassDown(device, irp);
  IoDetachDevice(lower);
  if (!script.keepDeviceAtRemove) IoDeleteDevice(device);
  return status;
}

NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp) {
  Extension& ext = Ext(device);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  Say(ext, sim::PnpMinorName(minor));
  if (ext.script->onPnp)
    if (std::optional<NTSTATUS> taken = ext.script->onPnp(device, irp)) return *taken;
  switch (minor) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(device, irp);
      if (NT_SUCCESS(status) && ext.script->onStarted) ext.script->onStarted(device, ext.pdo);
      return Complete(irp, status);
    }
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      if (ext.script->deviceState) {
        irp->IoStatus.Information |= ext.script->deviceState;
        irp->IoStatus.Status = STATUS_SUCCESS;
      }
      return PassDown(device, irp);
    case IRP_MN_REMOVE_DEVICE:
      return Remove(device, irp);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device, irp);
    default:
      return PassDown(device, irp);
  }
}

NTSTATUS Files(PDEVICE_OBJECT device, PIRP irp) {
  Extension& ext = Ext(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  if (stack->MajorFunction == IRP_MJ_CREATE) {
    ext.script->lastCreateName = sim::ToU16(&file->FileName);
    Say(ext, "IRP_MJ_CREATE " + Text(ext.script->lastCreateName));
    if (ext.script->onCreate) return Complete(irp, ext.script->onCreate());
  } else if (stack->MajorFunction == IRP_MJ_CLOSE && ext.script->onClose) {
    ext.script->onClose();
  }
  return Complete(irp, STATUS_SUCCESS);
}

// Power requests go down, except a system query the script refuses.
NTSTATUS Power(PDEVICE_OBJECT device, PIRP irp) {
  Extension& ext = Ext(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  if (stack->MinorFunction == IRP_MN_QUERY_POWER && stack->Parameters.Power.Type == SystemPowerState &&
      !NT_SUCCESS(ext.script->systemQueryAnswer))
    return Complete(irp, ext.script->systemQueryAnswer);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(ext.lower, irp);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
      return Pnp(device, irp);
    case IRP_MJ_POWER:
      return Power(device, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return Files(device, irp);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  Installed it = Lookup(driver);
  it.log->Add(sim::DriverName(driver) + ": AddDevice");
  if (!NT_SUCCESS(it.script->addDeviceStatus)) return it.script->addDeviceStatus;
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  Extension& ext = Ext(device);
  ext.script = it.script;
  ext.log = it.log;
  ext.pdo = pdo;
  std::snprintf(ext.name, sizeof ext.name, "%s", sim::DriverName(driver).c_str());
  ext.lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= DO_BUFFERED_IO | (ext.lower->Flags & DO_POWER_PAGABLE);
  if (!it.script->leaveInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
  if (it.script->onAdded) it.script->onAdded(device, pdo);
  return STATUS_SUCCESS;
}

void NTAPI Unload(PDRIVER_OBJECT driver) { ++Lookup(driver).script->unloads; }

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  Installed it = Lookup(driver);
  ++it.script->entries;
  it.script->registryPath = sim::ToU16(registryPath);
  for (auto& major : driver->MajorFunction) major = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return it.script->entryStatus;
}

}  // namespace

void Install(sim::Machine& machine, const std::u16string& name, Script& script, Log& log) {
  {
    std::lock_guard guard(installedLock);
    installed[sim::Upcase(name)] = Installed{&script, &log};
  }
  machine.Pnp().AddService({name, Entry});
}

sim::RootDeviceConfig Root(const std::u16string& instancePath, std::vector<std::u16string> hardwareIds) {
  sim::RootDeviceConfig config;
  config.instancePath = instancePath;
  config.hardwareIds = std::move(hardwareIds);
  return config;
}

// ---- the test bus ----

TestPdo::TestPdo(PDRIVER_OBJECT bus, std::u16string instancePath, std::vector<std::u16string> hardwareIds)
    : Pdo(bus), instancePath_(std::move(instancePath)), hardwareIds_(std::move(hardwareIds)) {}

// A hot-plug bus: the device may go without warning and wakes from D2.
void TestPdo::FillCapabilities(DEVICE_CAPABILITIES& caps) {
  seen = caps;
  Pdo::FillCapabilities(caps);
  caps.Address = 3;
  caps.Removable = TRUE;
  caps.SurpriseRemovalOK = TRUE;
  caps.DeviceWake = PowerDeviceD2;
}

// ---- the client ----

namespace {

std::string EventName(const GUID& event) {
  if (event == GUID_DEVICE_INTERFACE_ARRIVAL) return "arrival";
  if (event == GUID_DEVICE_INTERFACE_REMOVAL) return "removal";
  if (event == GUID_TARGET_DEVICE_QUERY_REMOVE) return "query-remove";
  if (event == GUID_TARGET_DEVICE_REMOVE_COMPLETE) return "remove-complete";
  if (event == GUID_TARGET_DEVICE_REMOVE_CANCELLED) return "remove-cancelled";
  return "other event";
}

NTSTATUS NTAPI ClientCallback(PVOID structure, PVOID context) {
  auto& client = *(Client*)context;
  int now = ++client.inside;
  for (int most = client.mostInside; now > most && !client.mostInside.compare_exchange_weak(most, now);) {
  }
  client.threads.push_back(sim::CurrentThread()->name);
  client.irqls.push_back(KeGetCurrentIrql());
  auto header = (PPLUGPLAY_NOTIFICATION_HEADER)structure;
  std::string line = Text(client.name) + ": " + EventName(header->Event);
  if (header->Event == GUID_DEVICE_INTERFACE_ARRIVAL || header->Event == GUID_DEVICE_INTERFACE_REMOVAL)
    line += " " + Text(sim::ToU16(((PDEVICE_INTERFACE_CHANGE_NOTIFICATION)structure)->SymbolicLinkName));
  client.log.Add(line);
  NTSTATUS status = client.react ? client.react(header->Event, structure) : STATUS_SUCCESS;
  --client.inside;
  return status;
}

}  // namespace

Client::Client(sim::Machine& machine, const std::u16string& clientName, Log& clientLog)
    : driver(testkit::LoadDriver(machine, clientName)), name(clientName), log(clientLog) {}

NTSTATUS Client::WatchInterfaces(const GUID& interfaceClass, bool includeExisting) {
  NTSTATUS status;
  PVOID entry = nullptr;
  testkit::AsDriver(driver, [&] {
    status = IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange,
                                            includeExisting ? PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES : 0,
                                            (PVOID)&interfaceClass, driver, ClientCallback, this, &entry);
  });
  if (NT_SUCCESS(status)) entries.push_back(entry);
  return status;
}

NTSTATUS Client::WatchTarget(PFILE_OBJECT file) {
  NTSTATUS status;
  PVOID entry = nullptr;
  testkit::AsDriver(driver, [&] {
    status = IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, file, driver, ClientCallback, this, &entry);
  });
  if (NT_SUCCESS(status)) entries.push_back(entry);
  return status;
}

void Client::Unregister() {
  testkit::AsDriver(driver, [&] {
    for (PVOID entry : entries) IoUnregisterPlugPlayNotification(entry);
  });
  entries.clear();
}

void AtIrql(PDRIVER_OBJECT driver, KIRQL irql, const std::function<void()>& body) {
  testkit::AsDriver(driver, [&] {
    KIRQL old;
    KeRaiseIrql(irql, &old);
    body();
    KeLowerIrql(old);
  });
}

IO_STATUS_BLOCK SendPnp(PDEVICE_OBJECT device, UCHAR minor, const IO_STACK_LOCATION& parameters) {
  struct Result {
    KEVENT done;
    IO_STATUS_BLOCK iosb;
  } result;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  KeInitializeEvent(&result.done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  *next = parameters;
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
        auto r = (Result*)context;
        r->iosb = irp->IoStatus;
        IoFreeIrp(irp);
        KeSetEvent(&r->done, 0, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &result, TRUE, TRUE, TRUE);
  IoCallDriver(top, irp);
  KeWaitForSingleObject(&result.done, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(top);
  return result.iosb;
}

}  // namespace pnpkit
