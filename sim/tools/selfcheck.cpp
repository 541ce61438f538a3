#include "sim/tools/selfcheck.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "sim/kernel/exports.h"
#include "sim/kernel/irp.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"
#include "sim/tools/report.h"
#include "sim/usb/adapter.h"
#include "sim/usb/controller.h"
#include "sim/win32/win32.h"

extern "C" NTSTATUS NTAPI TolvaneDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);
extern "C" NTSTATUS NTAPI MerrowDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace simulator {

namespace {

int failures = 0;

void Check(bool ok, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Check(bool ok, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Log("%s %s", ok ? "ok  " : "FAIL", text);
  if (!ok) ++failures;
}

std::string Status(NTSTATUS status) { return sim::StatusName(status); }

// The major functions a driver handles itself (the others keep the I/O
// manager's default, which refuses them).
std::string HandledRequests(PDRIVER_OBJECT driver) {
  PDRIVER_DISPATCH fallback = driver->MajorFunction[IRP_MJ_QUERY_INFORMATION];
  std::string out;
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    if (driver->MajorFunction[major] == fallback) continue;
    out += out.empty() ? "" : ", ";
    out += sim::MajorFunctionName((UCHAR)major) + 7;  // without "IRP_MJ_"
  }
  return out;
}

std::u16string NameOf(PDEVICE_OBJECT device) { return sim::CurrentMachine().Objects().NameOf(device); }

// What an application sees of a started device: open, a request the driver
// does not know, a read, and close.
void UseAsApplication(PDEVICE_OBJECT pdo, bool exclusive, NTSTATUS expectedUnknownIoctl) {
  std::u16string path = NameOf(pdo);
  HANDLE handle = win32::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, win32::OPEN_EXISTING, 0);
  Check(handle != win32::INVALID_HANDLE_VALUE, "application opened %s", sim::Narrow(path).c_str());
  if (handle == win32::INVALID_HANDLE_VALUE) return;

  if (exclusive) {
    HANDLE second = win32::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, win32::OPEN_EXISTING, 0);
    bool refused = second == win32::INVALID_HANDLE_VALUE;
    Check(refused && win32::LastNtStatus() == STATUS_ACCESS_DENIED,
          "a second open of the exclusive device is refused by the I/O manager: %s (Win32 error %u)",
          refused ? Status(win32::LastNtStatus()).c_str() : "it succeeded", (unsigned)win32::GetLastError());
    if (!refused) win32::CloseHandle(second);
  }

  DWORD returned = 0;
  unsigned char buffer[16] = {};
  win32::BOOL ok = win32::DeviceIoControl(handle, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                      nullptr, 0, buffer, sizeof buffer, &returned, nullptr);
  Check(!ok && win32::LastNtStatus() == expectedUnknownIoctl, "an unknown control code is refused with %s (Win32 error %u)",
        Status(win32::LastNtStatus()).c_str(), (unsigned)win32::GetLastError());

  ok = win32::ReadFile(handle, buffer, sizeof buffer, &returned, nullptr);
  Log("     a read before the driver moves data: %s, %u bytes", ok ? "STATUS_SUCCESS" : Status(win32::LastNtStatus()).c_str(),
      (unsigned)returned);

  Check(win32::CloseHandle(handle), "application closed the device (cleanup, then close)");
}

std::string Text(const std::u16string& text) { return sim::Narrow(text); }

std::string DeviceStateText(PNP_DEVICE_STATE state) {
  if (!state) return "0 (nothing to report)";
  static const std::pair<PNP_DEVICE_STATE, const char*> bits[] = {
      {PNP_DEVICE_DISABLED, "DISABLED"}, {PNP_DEVICE_DONT_DISPLAY_IN_UI, "DONT_DISPLAY_IN_UI"},
      {PNP_DEVICE_FAILED, "FAILED"}, {PNP_DEVICE_REMOVED, "REMOVED"},
      {PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED, "RESOURCE_REQUIREMENTS_CHANGED"},
      {PNP_DEVICE_NOT_DISABLEABLE, "NOT_DISABLEABLE"}};
  std::string out;
  for (auto [bit, name] : bits)
    if (state & bit) out += (out.empty() ? "" : " | ") + std::string(name);
  return out;
}

// The Plug and Play manager adds a root device node: the driver loads with its
// first node, AddDevice, start, capabilities and device state follow.
sim::DeviceNode* AddNode(sim::Machine& machine, const sim::RootDeviceConfig& config, const char16_t* service) {
  sim::DeviceNode* node = machine.Pnp().AddRootDevice(config);
  Check(node && node->State() == sim::NodeState::Started, "device node %s (hardware ID %s) is %s",
        Text(config.instancePath).c_str(), Text(config.hardwareIds[0]).c_str(),
        node ? sim::NodeStateName(node->State()) : "missing");
  if (!node) return nullptr;
  PDRIVER_OBJECT driver = machine.Pnp().LoadedDriver(service);
  Check(driver != nullptr, "%s loaded for its first device node (DriverEntry with Services\\%s)", Text(service).c_str(),
        Text(service).c_str());
  if (driver) Log("     %s handles %s", Text(service).c_str(), HandledRequests(driver).c_str());
  PDEVICE_OBJECT pdo = node->PhysicalDeviceObject();
  Log("     root bus PDO %s%s; %s's device on top of it", Text(NameOf(pdo)).c_str(),
      config.exclusive ? " (exclusive, as the Ports class installs serial ports)" : "",
      node->Top() ? sim::DriverName(node->Top()->DriverObject).c_str() : "no driver");
  const DEVICE_CAPABILITIES& caps = node->Capabilities();
  Log("     capabilities: Size %u, Version %u, D-state in S3 D%d, SurpriseRemovalOK %u", caps.Size, caps.Version,
      caps.DeviceState[PowerSystemSleeping3] - 1, (unsigned)caps.SurpriseRemovalOK);
  Log("     answer to IRP_MN_QUERY_PNP_DEVICE_STATE: %s", DeviceStateText(node->DeviceState()).c_str());
  std::vector<std::u16string> interfaces = machine.Notify().InterfacesOf(pdo);
  if (interfaces.empty()) Log("     device interfaces: none registered yet");
  for (const std::u16string& link : interfaces) Log("     device interface %s", Text(link).c_str());
  return node;
}

void RemoveNode(sim::Machine& machine, sim::DeviceNode* node, const char16_t* service) {
  bool removed = machine.Pnp().RemoveDevice(node);
  Check(removed && node->State() == sim::NodeState::Removed,
        "orderly removal of %s: query-remove, remove; the driver detached and deleted its device",
        Text(node->InstancePath()).c_str());
  Check(machine.Pnp().LoadedDriver(service) == nullptr,
        "%s unloaded with its last device: no device, pool, timer, DPC, work item or notification left behind",
        Text(service).c_str());
}

void Summary(sim::Machine& machine) {
  int implemented = 0, missing = 0;
  for (const sim::Export& entry : sim::ExportTable()) (entry.implemented ? implemented : missing)++;
  Log("     kernel export table: %d routines implemented, %d declared for later (they stop the machine if called)",
      implemented, missing);
  Check(machine.Irps().LiveCount() == 0, "no request is left in flight (%zu)", machine.Irps().LiveCount());
  Check(machine.Pool().Outstanding(nullptr).empty(), "no pool is left allocated (%zu blocks)",
        machine.Pool().Outstanding(nullptr).size());
}

}  // namespace

int RunSelfCheck(const Options& options) {
  sim::MachineOptions machineOptions;
  machineOptions.virtualTime = !options.realTime;
  machineOptions.faults.failNth = options.failNth;
  machineOptions.delayFuzzSeed = options.delayFuzzSeed;
  sim::Machine machine(machineOptions);
  if (options.trace) sim::SetTraceSink(PrintTraceEvent);

  Heading("Boot");
  Log("     simulated machine up: %d processors, %s, verifier on", machineOptions.processors,
      options.realTime ? "real time" : "virtual time");
  sim::PnpManager& pnp = machine.Pnp();
  pnp.AddService({u"tolvane", TolvaneDriverEntry});
  pnp.AddService({u"merrow", MerrowDriverEntry});
  pnp.Bind({u"ROOT\\TOLVANE", u"tolvane"});
  pnp.Bind({u"USB\\VID_1234&PID_5678", u"merrow"});
  Log("     services tolvane and merrow installed; ROOT\\TOLVANE -> tolvane, USB\\VID_1234&PID_5678 -> merrow");
  // The USB bus with the default adapter plugged in: the hub enumerates it
  // (and the capture, if any, shows it).
  sim::usb::ControllerOptions usbOptions;
  usbOptions.pcapPath = options.pcap;
  auto usb = std::make_unique<sim::usb::HostController>(usbOptions);
  int adapterPort = usb->Plug(std::make_shared<sim::usb::SerialAdapter>());
  Check(adapterPort != 0, "USB: the default adapter plugged into root-hub port %d, address %u, PDO %s", adapterPort,
        (unsigned)usb->Address(adapterPort), Text(NameOf(usb->Pdo(adapterPort))).c_str());

  // Until the simulated USB bus exists the pipe device sits on the root bus.
  Heading("merrow: a device node");
  sim::DeviceNode* pipe = AddNode(machine, {u"ROOT\\MERROW\\0000", {u"USB\\VID_1234&PID_5678"}}, u"merrow");
  if (pipe) UseAsApplication(pipe->PhysicalDeviceObject(), false, STATUS_INVALID_PARAMETER);

  Heading("tolvane: the port's device node");
  sim::DeviceNode* port = AddNode(machine, {u"ROOT\\PORTS\\0000", {u"ROOT\\TOLVANE"}, {}, true}, u"tolvane");
  if (port) UseAsApplication(port->PhysicalDeviceObject(), true, STATUS_NOT_SUPPORTED);

  Heading("Removal");
  for (sim::DeviceNode* node : machine.Pnp().Nodes())
    Log("     device tree: %s, %s", Text(node->InstancePath()).c_str(), sim::NodeStateName(node->State()));
  if (port) RemoveNode(machine, port, u"tolvane");
  if (pipe) RemoveNode(machine, pipe, u"merrow");
  if (!options.pcap.empty()) Log("     USB capture: %llu records in %s", (unsigned long long)usb->CapturedRecords(), options.pcap.c_str());
  usb.reset();
  Summary(machine);
  sim::SetTraceSink({});
  return failures;
}

}  // namespace simulator
