#include "sim/tools/portcheck.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "pipe/pipe.h"
#include "port/port.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"
#include "sim/tools/report.h"
#include "sim/win32/comm.h"
#include "sim/win32/win32.h"

namespace simulator {

namespace {

using namespace win32;

std::string Text(const std::u16string& text) { return sim::Narrow(text); }
std::string Status(NTSTATUS status) { return sim::StatusName(status); }

PPORT_EXTENSION PortOf(sim::DeviceNode* node) { return (PPORT_EXTENSION)node->Top()->DeviceExtension; }

// The binding work has opened the pipes (after the arrival of the interface).
bool WaitBound(PPORT_EXTENSION port) { return RunUntil([&] { return port->TargetStarted && port->StatusPipeOpen; }); }

HANDLE OpenCom(const std::u16string& name) {
  return CreateFileW(u"\\\\.\\" + name, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
}

std::string ReadText(HANDLE port, DWORD length) {
  std::string text(length, '\0');
  DWORD got = 0;
  ReadFile(port, text.data(), length, &got, nullptr);
  text.resize(got);
  return text;
}

void SendText(sim::usb::SerialAdapter& adapter, const std::string& text) {
  adapter.PeerSend(std::span((const uint8_t*)text.data(), text.size()));
}

std::string Printable(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

// The binding as the port and merrow show it once the adapter is in.
void ShowBinding(sim::Machine& machine, sim::DeviceNode* portNode, PPORT_EXTENSION port) {
  std::vector<std::u16string> links = machine.Notify().EnabledInterfaces(GUID_PIPE_DRIVER_INTERFACE);
  Check(WaitBound(port), "the port bound merrow's interface %s: its TargetDevice text %s occurs in it",
        links.empty() ? "(none)" : Text(links[0]).c_str(), Text((const char16_t*)port->TargetMatch).c_str());
  PPIPE_DEVICE_EXTENSION pipes = PipeExtension(port->TargetDeviceObject);
  bool opened = pipes->ConfigRecord && pipes->ConfigRecord->PipeTable[0].PipeInfo->PipeFlags &&
                pipes->ConfigRecord->PipeTable[1].PipeInfo->PipeFlags && pipes->ConfigRecord->PipeTable[2].PipeInfo->PipeFlags;
  Check(opened, "it opened \\PIPE00 (output), \\PIPE01 (input) and \\PIPE02 (line status) with file objects of its own");
  Log("     IOCTL_PIPE_GET_MAX_PACKET_SIZE for \\PIPE01: every input read asks for %u bytes",
      (unsigned)port->InputPipe.Length);
  Check(RunUntil([&] { return !(portNode->DeviceState() & PNP_DEVICE_DONT_DISPLAY_IN_UI); }),
        "HasPluggedIn written: the port is shown in the user interface from now on");
}

// Settings and a modem-line change on the open port.
void UseSettingsAndLines(HANDLE port, sim::usb::SerialAdapter& adapter) {
  size_t before = adapter.Messages().size();
  DCB dcb{};
  GetCommState(port, &dcb);
  dcb.BaudRate = 19200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  bool set = SetCommState(port, &dcb);
  ULONG baud = adapter.Line().baud;
  Check(set && baud == 19200,
        "SetCommState 19200 8N1, DTR and RTS on: vendor requests 40 0B 0000 0000 carrying %s; the adapter runs at %u baud",
        Hex(MessagesSince(adapter, before)).c_str(), (unsigned)baud);

  // The open assumed CTS and DSR up until the device's first report; that
  // change is taken out of the history first.
  DWORD status = 0, events = 0;
  adapter.PeerSetLines(0);
  RunUntil([&] { return GetCommModemStatus(port, &status) && status == 0; });
  SetCommMask(port, EV_CTS | EV_DSR | EV_RLSD);
  WaitCommEvent(port, &events, nullptr);
  adapter.PeerSetLines(sim::usb::kLineCts | sim::usb::kLineDcd);
  bool waited = WaitCommEvent(port, &events, nullptr);
  GetCommModemStatus(port, &status);
  Check(waited && events == (EV_CTS | EV_RLSD) && status == (MS_CTS_ON | MS_RLSD_ON),
        "the far end raised CTS and DCD: the status pipe reported them, WaitCommEvent ended with EV_CTS | EV_RLSD, "
        "GetCommModemStatus 0x%02X", (unsigned)status);
}

// The adapter pulled out under a pending read and plugged in again. Returns
// the root-hub port it is in now.
int UnplugAndReplug(sim::Machine& machine, sim::usb::HostController& usb, int usbPort, HANDLE port,
                    sim::DeviceNode* portNode, const std::shared_ptr<sim::usb::SerialAdapter>& adapter) {
  PPORT_EXTENSION extension = PortOf(portNode);
  COMMTIMEOUTS waitForAll{0, 0, 0, 0, 0};
  SetCommTimeouts(port, &waitForAll);
  DWORD got = 0;
  char buffer[16];
  IO_STATUS_BLOCK readStatus{};
  sim::Thread reader("reader", [&] {
    BOOL ok = ReadFile(port, buffer, sizeof buffer, &got, nullptr);
    readStatus.Status = ok ? STATUS_SUCCESS : LastNtStatus();
  });
  Sleep(50);
  usb.Unplug(usbPort);
  machine.Pnp().WaitIdle();
  reader.Join();
  Check(readStatus.Status == STATUS_CANCELLED && got == 0, "adapter unplugged: the pending read ended with %s",
        Status(readStatus.Status).c_str());
  DCB dcb{};
  bool valid = GetCommState(port, &dcb);
  bool unbound = RunUntil([&] { return !extension->TargetFileObject; });
  Check(valid && unbound, "the port let go of merrow's device; the application's handle stays valid (still %u baud)",
        (unsigned)dcb.BaudRate);
  // Asked again with no device bound, the port answers from HasPluggedIn.
  machine.Pnp().InvalidateDeviceState(portNode->PhysicalDeviceObject());
  machine.Pnp().WaitIdle();
  Check(!(portNode->DeviceState() & PNP_DEVICE_DONT_DISPLAY_IN_UI),
        "IRP_MN_QUERY_PNP_DEVICE_STATE asked again while unplugged: the port stays shown in the user interface");

  size_t before = adapter->Messages().size();
  int again = usb.Plug(adapter);
  machine.Pnp().WaitIdle();
  bool bound = again && WaitBound(extension) && RunUntil([&] { return adapter->Line().baud == 19200; });
  Check(bound, "plugged in again: the port bound anew and replayed its settings to the reset adapter: %s",
        Hex(MessagesSince(*adapter, before)).c_str());
  COMMTIMEOUTS firstByte{MAXULONG, MAXULONG, 500, 0, 0};
  SetCommTimeouts(port, &firstByte);
  SendText(*adapter, "Back again.\r\n");
  std::string text = ReadText(port, 64);
  Check(text == "Back again.\r\n", "ReadFile on the same handle: \"%s\"", Printable(text).c_str());
  return again;
}

struct Variant {
  ULONG caps;
  bool statusPipe;
  const char* what;
};

// One variant: its own port (COM1x) and adapter, opened, set and closed.
void ShowVariant(sim::Machine& machine, sim::usb::HostController& usb, const Variant& variant, int index) {
  std::u16string serial = sim::Widen("SIMV" + std::to_string(index));
  std::u16string comName = sim::Widen("COM1" + std::to_string(index));
  std::vector<std::pair<std::u16string, sim::RegistryValue>> values = {
      {u"PortName", sim::RegistryValue::String(comName)},
      {u"EndPointCaps", sim::RegistryValue::Dword(variant.caps)},
      {u"TargetDevice", sim::RegistryValue::String(u"#" + serial + u"#")}};
  if (!variant.statusPipe) values.emplace_back(u"CxPollPeriod", sim::RegistryValue::Dword((ULONG)-1));
  sim::DeviceNode* node =
      machine.Pnp().AddRootDevice({sim::Widen("ROOT\\PORTS\\000" + std::to_string(index)), {u"ROOT\\TOLVANE"}, values, true});
  sim::usb::AdapterConfig config;
  config.serial = serial;
  config.variant = (int)variant.caps;
  config.statusEndpoint = variant.statusPipe;
  auto adapter = std::make_shared<sim::usb::SerialAdapter>(config);
  adapter->WireScript();
  int usbPort = usb.Plug(adapter);
  machine.Pnp().WaitIdle();
  PPORT_EXTENSION port = node && node->Top() ? PortOf(node) : nullptr;
  if (!port || !WaitBound(port)) {
    Check(false, "EndPointCaps %u: the port bound its adapter", (unsigned)variant.caps);
    return;
  }
  // Without a status pipe the binding work makes the lines up after it opened the pipes.
  bool synthesized = variant.caps == 3 && !variant.statusPipe;
  bool linesUp = synthesized && RunUntil([&] { return port->StatusPipe.ModemStatus == (SERIAL_MSR_CTS | SERIAL_MSR_DSR); });

  HANDLE com = OpenCom(comName);
  std::vector<Bytes> atOpen = MessagesSince(*adapter, 0);
  size_t before = adapter->Messages().size();
  DCB dcb{};
  GetCommState(com, &dcb);
  dcb.BaudRate = 9600;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.fOutxCtsFlow = variant.caps == 2;
  dcb.fRtsControl = variant.caps == 2 ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  SetCommState(com, &dcb);
  std::vector<Bytes> settings = MessagesSince(*adapter, before);
  before = adapter->Messages().size();
  CloseHandle(com);
  std::vector<Bytes> atClose = MessagesSince(*adapter, before);
  bool allTaken = true;
  for (const sim::usb::AdapterMessage& m : adapter->Messages()) allTaken = allTaken && m.accepted;
  Check(com != INVALID_HANDLE_VALUE && allTaken, "EndPointCaps %u (%s) on %s: the adapter took every message",
        (unsigned)variant.caps, variant.what, Text(comName).c_str());
  Log("       open: %s", Hex(atOpen).c_str());
  Log("       SetCommState 9600 7E1%s: %s", variant.caps == 2 ? " with RTS/CTS handshake" : "", Hex(settings).c_str());
  Log("       close: %s", Hex(atClose).c_str());
  if (synthesized)
    Check(linesUp,
          "       no status pipe (CxPollPeriod -1): CTS and DSR taken as up from the binding on");
  machine.Pnp().RemoveDevice(node);
  usb.Unplug(usbPort);
  machine.Pnp().WaitIdle();
}

}  // namespace

int UseBoundPort(sim::Machine& machine, sim::usb::HostController& usb, sim::DeviceNode* portNode,
                 const std::shared_ptr<sim::usb::SerialAdapter>& adapter) {
  adapter->WireScript();  // the far end of the line is played here
  int usbPort = usb.Plug(adapter);
  machine.Pnp().WaitIdle();
  Check(usbPort != 0, "the adapter plugged in again, into root-hub port %d; its far end is played by the simulator",
        usbPort);
  PPORT_EXTENSION port = PortOf(portNode);
  ShowBinding(machine, portNode, port);
  if (!port->TargetStarted) return usbPort;

  HANDLE com = OpenCom(u"COM7");
  Check(com != INVALID_HANDLE_VALUE, "application opened \\\\.\\COM7: the receive loops read \\PIPE01 and \\PIPE02");
  if (com == INVALID_HANDLE_VALUE) return usbPort;
  UseSettingsAndLines(com, *adapter);
  COMMTIMEOUTS firstByte{MAXULONG, MAXULONG, 500, 0, 0};
  SetCommTimeouts(com, &firstByte);
  SendText(*adapter, "Hello from the far end of the line.\r\n");
  std::string text = ReadText(com, 64);
  Check(text == "Hello from the far end of the line.\r\n", "the far end sent a line; ReadFile returned it: \"%s\"",
        Printable(text).c_str());
  usbPort = UnplugAndReplug(machine, usb, usbPort, com, portNode, adapter);
  Check(CloseHandle(com), "application closed the port (cleanup, then close): the receive loops stopped");
  return usbPort;
}

void ShowDeviceVariants(sim::Machine& machine, sim::usb::HostController& usb) {
  const Variant variants[] = {{0, false, "modem control, flow and error characters only"},
                              {1, true, "two-byte line settings"},
                              {2, true, "two-byte line settings, RTS raised for hardware flow"},
                              {3, true, "three-byte line settings and the port state"},
                              {3, false, "the same without a status pipe"}};
  int index = 1;
  for (const Variant& variant : variants) ShowVariant(machine, usb, variant, index++);
}

}  // namespace simulator
