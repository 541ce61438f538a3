#include "sim/tools/selfcheck.h"

#include <cstdarg>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "pipe/pipe.h"
#include "port/port.h"
#include "sim/kernel/exports.h"
#include "sim/kernel/irp.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"
#include "sim/tools/portcheck.h"
#include "sim/tools/report.h"
#include "sim/win32/comm.h"
#include "sim/usb/adapter.h"
#include "sim/usb/controller.h"
#include "sim/win32/win32.h"

extern "C" NTSTATUS NTAPI TolvaneDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);
extern "C" NTSTATUS NTAPI MerrowDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace simulator {

namespace {

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

// merrow's device the port of `node` is bound to, if it is.
PDEVICE_OBJECT BoundTarget(sim::DeviceNode* node) {
  PPORT_EXTENSION port = node->Top() ? (PPORT_EXTENSION)node->Top()->DeviceExtension : nullptr;
  return port && port->TargetFileObject && port->OutputPipeOpen ? port->TargetDeviceObject : nullptr;
}

// Files open on the stack of merrow's `device`, counted on the PDO the
// interface link names.
LONG FilesOpen(PDEVICE_OBJECT device) { return PipeExtension(device)->PhysicalDeviceObject->ReferenceCount; }

int PipesOpen(PDEVICE_OBJECT device) {
  PUSB_CONFIG_RECORD config = PipeExtension(device)->ConfigRecord;
  int open = 0;
  for (ULONG i = 0; config && i < config->InterfaceInformation->NumberOfPipes; ++i)
    open += config->PipeTable[i].PipeInfo->PipeFlags ? 1 : 0;
  return open;
}

// The port's device node removed while it is bound: the binding torn down
// with it, then tolvane unloaded.
void RemovePort(sim::Machine& machine, sim::DeviceNode* node) {
  PDEVICE_OBJECT target = BoundTarget(node);
  if (target)
    Log("     COM7 is bound to merrow's device %s: the port holds %ld file on its stack and %d pipes open",
        Text(NameOf(target)).c_str(), (long)FilesOpen(target), PipesOpen(target));
  bool removed = machine.Pnp().RemoveDevice(node);
  Check(removed && node->State() == sim::NodeState::Removed,
        "orderly removal of %s: query-remove, remove; the driver detached and deleted its device",
        Text(node->InstancePath()).c_str());
  if (target)
    Check(FilesOpen(target) == 0 && PipesOpen(target) == 0,
          "the removal tore the binding down: the port closed \\PIPE00, \\PIPE01 and \\PIPE02 and released "
          "merrow's device (%ld files, %d pipes open)", (long)FilesOpen(target), PipesOpen(target));
  Check(machine.Pnp().LoadedDriver(u"tolvane") == nullptr,
        "tolvane unloaded with its last device: no device, pool, timer, DPC, work item or notification left behind");
}

// The port's names: the DOS name that leads to its COM-port interface, and
// the SERIALCOMM entry keyed by that interface.
void ShowPortNames(sim::Machine& machine, const std::u16string& portName) {
  std::u16string target;
  for (const auto& [link, to] : machine.Objects().Links())
    if (sim::Upcase(link) == sim::Upcase(u"\\??\\" + portName)) target = to;
  Check(!target.empty(), "\\DosDevices\\%s leads to %s", Text(portName).c_str(), Text(target).c_str());
  std::optional<sim::RegistryValue> entry = machine.Reg().GetValue(sim::kDeviceMapKey + u"\\SERIALCOMM", target);
  std::optional<std::u16string> text = entry ? entry->AsString() : std::nullopt;
  Check(text && *text == portName, "HARDWARE\\DEVICEMAP\\SERIALCOMM names the port %s",
        text ? Text(*text).c_str() : "(no entry)");
}

std::string FrameText(const win32::DCB& dcb) {
  static const char parity[] = "NOEMS";
  char text[64];
  std::snprintf(text, sizeof text, "%u baud, %u%c%s", (unsigned)dcb.BaudRate, (unsigned)dcb.ByteSize,
                dcb.Parity < 5 ? parity[dcb.Parity] : '?', dcb.StopBits == win32::TWOSTOPBITS ? "2" : "1");
  return text;
}

// An application on \\.\COM7 while no USB device is bound to the port:
// settings applied and read back, a read timing out, a wait-on-mask that is
// cancelled and swept by the port's one-second timer, a swallowed write.
void UseComPort(const std::u16string& path) {
  using namespace win32;
  HANDLE port = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
  Check(port != INVALID_HANDLE_VALUE, "application opened %s", Text(path).c_str());
  if (port == INVALID_HANDLE_VALUE) return;
  HANDLE second = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  Check(second == INVALID_HANDLE_VALUE && LastNtStatus() == STATUS_ACCESS_DENIED, "a second open is refused: %s",
        Status(LastNtStatus()).c_str());
  if (second != INVALID_HANDLE_VALUE) CloseHandle(second);

  DCB dcb{};
  bool got = GetCommState(port, &dcb);
  Check(got, "GetCommState: %s (the port's defaults)", FrameText(dcb).c_str());
  dcb.BaudRate = 9600;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  Check(SetCommState(port, &dcb), "SetCommState 9600 7E1 with DTR and RTS on (kept by the port until a device binds)");
  DCB back{};
  got = GetCommState(port, &back);
  Check(got && back.BaudRate == 9600 && back.ByteSize == 7 && back.Parity == EVENPARITY, "GetCommState reads back %s",
        FrameText(back).c_str());
  COMMPROP properties{};
  got = GetCommProperties(port, &properties);
  Check(got, "GetCommProperties: settable rates 0x%05X, queues %u/%u bytes",
        (unsigned)properties.dwSettableBaud, (unsigned)properties.dwCurrentRxQueue,
        (unsigned)properties.dwCurrentTxQueue);

  COMMTIMEOUTS timeouts{MAXULONG, MAXULONG, 250, 0, 0};
  SetCommTimeouts(port, &timeouts);
  OVERLAPPED read{};
  read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  unsigned char buffer[16];
  ReadFile(port, buffer, sizeof buffer, nullptr, &read);
  DWORD bytes = 0;
  Check(GetOverlappedResult(port, &read, &bytes, TRUE) && bytes == 0,
        "a read waiting for its first byte ends after 250 ms with %u bytes (nothing arrives unbound)", (unsigned)bytes);

  SetCommMask(port, EV_RXCHAR | EV_CTS);
  OVERLAPPED wait{};
  wait.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD events = 0;
  bool pending = !WaitCommEvent(port, &events, &wait) && GetLastError() == ERROR_IO_PENDING;
  Check(pending, "WaitCommEvent for EV_RXCHAR | EV_CTS is pending");
  CancelIo(port);
  WaitForSingleObject(wait.hEvent, INFINITE);
  Check((NTSTATUS)wait.Internal == STATUS_CANCELLED, "CancelIo: the wait ends with %s at the port's next timer tick",
        Status((NTSTATUS)wait.Internal).c_str());

  OVERLAPPED write{};
  write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  BOOL written = WriteFile(port, "hello", 5, &bytes, &write);
  Log("     a write without a USB device bound: %s, %u bytes written", written ? "STATUS_SUCCESS" : "failed",
      (unsigned)bytes);
  COMSTAT status{};
  got = ClearCommError(port, nullptr, &status);
  Check(got, "ClearCommError: %u bytes waiting to be read, %u to be sent",
        (unsigned)status.cbInQue, (unsigned)status.cbOutQue);
  for (HANDLE event : {read.hEvent, wait.hEvent, write.hEvent}) CloseHandle(event);
  Check(CloseHandle(port), "application closed the port (cleanup, then close)");
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


const char* PipeTypeName(USBD_PIPE_TYPE type) {
  static const char* const names[] = {"control", "isochronous", "bulk", "interrupt"};
  return (unsigned)type < 4 ? names[type] : "?";
}

// merrow as the adapter's function driver: its device node on the USB hub,
// the interface link it registered, and the configuration it selected with
// the pipe table built from it.
sim::DeviceNode* ShowPipeDevice(sim::Machine& machine, sim::usb::HostController& usb, int port) {
  sim::DeviceNode* node = machine.Pnp().NodeOfPdo(usb.Pdo(port));
  Check(node && node->State() == sim::NodeState::Started, "device node %s is %s",
        node ? Text(node->InstancePath()).c_str() : "(none)", node ? sim::NodeStateName(node->State()) : "missing");
  PDRIVER_OBJECT driver = machine.Pnp().LoadedDriver(u"merrow");
  Check(driver != nullptr, "merrow loaded as the adapter's function driver (DriverEntry with Services\\merrow)");
  if (!node || !driver || !node->Top() || node->Top()->DriverObject != driver) return node;
  Log("     merrow handles %s", HandledRequests(driver).c_str());
  PDEVICE_OBJECT device = node->Top();
  Log("     merrow's device %s on top of the hub's PDO %s", Text(NameOf(device)).c_str(),
      Text(NameOf(usb.Pdo(port))).c_str());
  std::vector<std::u16string> links = machine.Notify().EnabledInterfaces(GUID_PIPE_DRIVER_INTERFACE);
  Check(links.size() == 1, "GUID_PIPE_DRIVER_INTERFACE enabled: %zu link(s)", links.size());
  for (const std::u16string& link : links) Log("     interface link %s", Text(link).c_str());
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(device);
  PUSB_CONFIG_RECORD config = extension->ConfigRecord;
  Check(config && config->PipeTable, "configuration 0 selected with its first interface; MaximumTransferSize %u",
        (unsigned)extension->MaximumTransferSize);
  if (!config || !config->PipeTable) return node;
  const USB_DEVICE_DESCRIPTOR& d = *config->DeviceDescriptor;
  Log("     device descriptor: USB %x.%02x, VID %04X PID %04X, %u configuration(s)", d.bcdUSB >> 8, d.bcdUSB & 0xFF,
      d.idVendor, d.idProduct, d.bNumConfigurations);
  Log("     configuration descriptor: %u bytes, %u interface(s), value %u", config->ConfigurationDescriptor->wTotalLength,
      config->ConfigurationDescriptor->bNumInterfaces, config->ConfigurationDescriptor->bConfigurationValue);
  PUSBD_INTERFACE_INFORMATION selected = config->InterfaceInformation;
  Log("     interface %u: class 0x%02X, %u pipes", selected->InterfaceNumber, selected->Class,
      (unsigned)selected->NumberOfPipes);
  for (ULONG i = 0; i < selected->NumberOfPipes; ++i) {
    const PIPE_TABLE_ENTRY& entry = config->PipeTable[i];
    char segment[32] = "-";
    if (entry.PipeInfo->PipeType == UsbdPipeTypeBulk || entry.PipeInfo->PipeType == UsbdPipeTypeInterrupt)
      std::snprintf(segment, sizeof segment, "%u", (unsigned)entry.SegmentSize);
    Log("     \\PIPE%02X: endpoint 0x%02X, %-9s max packet %4u, segment size %s", (unsigned)i,
        entry.PipeInfo->EndpointAddress, PipeTypeName(entry.PipeInfo->PipeType), entry.PipeInfo->MaximumPacketSize,
        segment);
  }
  return node;
}

// A device-control request on `handle`; the status, and the byte count in `returned`.
NTSTATUS PipeIoctl(HANDLE handle, ULONG code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
  win32::BOOL ok = win32::DeviceIoControl(handle, code, in, inSize, out, outSize, returned, nullptr);
  return ok ? STATUS_SUCCESS : win32::LastNtStatus();
}

// Every pipe of the interface as IOCTL_PIPE_GET_PIPE_INFO describes it, each
// opened by its \PIPExx name below the link.
void ListPipes(const std::u16string& link, ULONG pipes) {
  using namespace win32;
  for (ULONG i = 0; i < pipes; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "\\PIPE%02X", (unsigned)i);
    HANDLE file = CreateFileW(link + sim::Widen(name), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    PIPE_INFO_OUTPUT info{};
    DWORD returned = 0;
    NTSTATUS status = file == INVALID_HANDLE_VALUE
                          ? LastNtStatus()
                          : PipeIoctl(file, IOCTL_PIPE_GET_PIPE_INFO, nullptr, 0, &info, sizeof info, &returned);
    Check(NT_SUCCESS(status), "%s: IOCTL_PIPE_GET_PIPE_INFO endpoint 0x%02X, %s, max packet %u, max transfer %u, %s",
          name, info.EndpointAddress, PipeTypeName(info.PipeType), info.MaximumPacketSize,
          (unsigned)info.MaximumTransferSize, info.PipeFlags ? "open" : "closed");
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
}

// Writes `pattern` to \PIPE00 and reads it back from \PIPE01 through the
// adapter's loopback plug.
bool Loopback(HANDLE out, HANDLE in, const std::vector<uint8_t>& pattern) {
  using namespace win32;
  DWORD written = 0;
  BOOL ok = WriteFile(out, pattern.data(), (DWORD)pattern.size(), &written, nullptr);
  Check(ok && written == pattern.size(), "WriteFile \\PIPE00: %u bytes, cut by merrow into segments of 64 bytes "
        "(one packet: no EP1_SegmentSize value)", (unsigned)written);
  std::vector<uint8_t> back;
  // Only what went out can come back: reading for more would wait for ever.
  for (int reads = 0; back.size() < written && reads < 16; ++reads) {
    uint8_t buffer[4096];
    DWORD got = 0;
    if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr)) break;
    back.insert(back.end(), buffer, buffer + got);
  }
  Check(back == pattern, "ReadFile \\EA82: %zu bytes back through the loopback plug, equal to what was written",
        back.size());
  return back == pattern;
}

// The application's side of merrow: a device handle for the device-level
// codes, the pipes listed, a pattern through the loopback, a vendor command
// to the adapter and the statistics of a pipe.
void UsePipes(sim::Machine& machine, sim::usb::SerialAdapter& adapter, ULONG pipes) {
  using namespace win32;
  std::vector<std::u16string> links = machine.Notify().EnabledInterfaces(GUID_PIPE_DRIVER_INTERFACE);
  if (links.empty()) return;
  HANDLE device = CreateFileW(links[0], GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  Check(device != INVALID_HANDLE_VALUE, "application opened the interface link itself: a device handle");
  if (device == INVALID_HANDLE_VALUE) return;
  uint8_t descriptor[512];
  DWORD returned = 0;
  NTSTATUS status = PipeIoctl(device, IOCTL_PIPE_GET_CONFIG_DESCRIPTOR, nullptr, 0, descriptor, 512, &returned);
  Check(NT_SUCCESS(status), "IOCTL_PIPE_GET_CONFIG_DESCRIPTOR on it: %u bytes", (unsigned)returned);
  ListPipes(links[0], pipes);

  HANDLE out = CreateFileW(links[0] + u"\\PIPE00", GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  HANDLE in = CreateFileW(links[0] + u"\\EA82", GENERIC_READ, 0, OPEN_EXISTING, 0);
  Check(out != INVALID_HANDLE_VALUE && in != INVALID_HANDLE_VALUE, "opened \\PIPE00 (bulk OUT) and \\EA82 (bulk IN)");
  HANDLE twice = CreateFileW(links[0] + u"\\PIPE01", GENERIC_READ, 0, OPEN_EXISTING, 0);
  Check(twice == INVALID_HANDLE_VALUE, "\\PIPE01 names the same pipe as \\EA82 and is refused: %s",
        Status(LastNtStatus()).c_str());
  if (out != INVALID_HANDLE_VALUE && in != INVALID_HANDLE_VALUE) {
    PipeIoctl(in, IOCTL_PIPE_START_STATISTICS, nullptr, 0, nullptr, 0, &returned);
    std::vector<uint8_t> pattern(500);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = (uint8_t)(i * 7 + 1);
    Loopback(out, in, pattern);
    PIPE_STATISTICS statistics{};
    status = PipeIoctl(in, IOCTL_PIPE_GET_STATISTICS, nullptr, 0, &statistics, sizeof statistics, &returned);
    Check(NT_SUCCESS(status), "IOCTL_PIPE_GET_STATISTICS \\EA82: %u bytes/s, %u cycles/byte (isochronous transfers "
          "feed them; a bulk pipe stays at 0)", (unsigned)statistics.Throughput, (unsigned)statistics.CyclesPerByte);
  }
  UCHAR modemControl[2] = {0x01, 0x03};
  status = PipeIoctl(device, IOCTL_PIPE_VENDOR_COMMAND, modemControl, 2, nullptr, 0, &returned);
  Check(NT_SUCCESS(status) && adapter.Rts() && adapter.Dtr(),
        "IOCTL_PIPE_VENDOR_COMMAND 01 03: setup 40 0B 0000 0000 0002 on the bus; the adapter raised RTS and DTR");
  for (HANDLE h : {out, in, device})
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

// The adapter pulled out: merrow's device goes with the node, and merrow
// unloads with its last device.
void UnplugPipeDevice(sim::Machine& machine, sim::usb::HostController& usb, int port, sim::DeviceNode* node) {
  usb.Unplug(port);
  machine.Pnp().WaitIdle();
  Check(!node || node->State() == sim::NodeState::Removed, "adapter unplugged: surprise removal, then removal of %s",
        node ? Text(node->InstancePath()).c_str() : "(none)");
  Check(machine.Notify().EnabledInterfaces(GUID_PIPE_DRIVER_INTERFACE).empty(), "merrow's interface link disabled");
  Check(machine.Pnp().LoadedDriver(u"merrow") == nullptr,
        "merrow unloaded with its last device: no device, pool, timer, DPC, work item or notification left behind");
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
  pnp.Bind({u"USB\\VID_5E1A&PID_0C01", u"merrow"});
  Log("     services tolvane and merrow installed; ROOT\\TOLVANE -> tolvane, USB\\VID_5E1A&PID_0C01 -> merrow");
  // The USB bus with the default adapter plugged in: the hub enumerates it
  // (and the capture, if any, shows it).
  sim::usb::ControllerOptions usbOptions;
  usbOptions.pcapPath = options.pcap;
  auto usb = std::make_unique<sim::usb::HostController>(usbOptions);
  auto adapter = std::make_shared<sim::usb::SerialAdapter>();
  int adapterPort = usb->Plug(adapter);
  Check(adapterPort != 0, "USB: the default adapter plugged into root-hub port %d, address %u, PDO %s", adapterPort,
        (unsigned)usb->Address(adapterPort), Text(NameOf(usb->Pdo(adapterPort))).c_str());

  Heading("merrow: the adapter's function driver");
  sim::DeviceNode* pipe = adapterPort ? ShowPipeDevice(machine, *usb, adapterPort) : nullptr;
  if (pipe && pipe->Top() && pipe->Top()->DriverObject == machine.Pnp().LoadedDriver(u"merrow")) {
    Heading("merrow: pipe files, transfers and control codes");
    PUSB_CONFIG_RECORD config = PipeExtension(pipe->Top())->ConfigRecord;
    UsePipes(machine, *adapter, config && config->InterfaceInformation ? config->InterfaceInformation->NumberOfPipes : 0);
  }

  Heading("merrow: the adapter pulled out");
  if (adapterPort) UnplugPipeDevice(machine, *usb, adapterPort, pipe);

  Heading("tolvane: the port's device node");
  sim::RootDeviceConfig portConfig{u"ROOT\\PORTS\\0000",
                                   {u"ROOT\\TOLVANE"},
                                   {{u"PortName", sim::RegistryValue::String(u"COM7")},
                                    {u"EndPointCaps", sim::RegistryValue::Dword(1)},
                                    {u"TargetDevice", sim::RegistryValue::String(u"Vid_5E1A&Pid_0C01")}},
                                   true};
  Log("     the port's hardware key: PortName COM7, EndPointCaps 1, TargetDevice Vid_5E1A&Pid_0C01");
  sim::DeviceNode* port = AddNode(machine, portConfig, u"tolvane");
  if (port) {
    ShowPortNames(machine, u"COM7");
    UseComPort(u"\\\\.\\COM7");
    Heading("tolvane bound to merrow");
    adapterPort = UseBoundPort(machine, *usb, port, adapter);
    Heading("tolvane: the write path");
    ShowWrites(machine, *usb, port, *adapter);
    Heading("tolvane: system sleep and wake");
    ShowSleepAndWake(port, *adapter);
    Heading("tolvane: each device variant against an adapter that speaks it");
    ShowDeviceVariants(machine, *usb);
  }

  Heading("Removal");
  for (sim::DeviceNode* node : machine.Pnp().Nodes())
    Log("     device tree: %s, %s", Text(node->InstancePath()).c_str(), sim::NodeStateName(node->State()));
  if (port) {
    RemovePort(machine, port);
    bool linkGone = true;
    for (const auto& [link, target] : machine.Objects().Links())
      if (sim::Upcase(link) == u"\\??\\COM7") linkGone = false;
    Check(linkGone && machine.Reg().ValueNames(sim::kDeviceMapKey + u"\\SERIALCOMM").empty(),
          "removal took \\DosDevices\\COM7 and the SERIALCOMM entry away");
  }
  if (adapterPort) UnplugPipeDevice(machine, *usb, adapterPort, machine.Pnp().NodeOfPdo(usb->Pdo(adapterPort)));
  if (!options.pcap.empty()) Log("     USB capture: %llu records in %s", (unsigned long long)usb->CapturedRecords(), options.pcap.c_str());
  usb.reset();
  Summary(machine);
  sim::SetTraceSink({});
  return Failures();
}

}  // namespace simulator
