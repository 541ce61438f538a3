#include "bench/stack_rig.h"

#include <cstdio>

#include "common/pipeif.h"
#include "port/routines.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/thread.h"
#include "sim/tools/report.h"
#include "sim/win32/comm.h"

extern "C" NTSTATUS NTAPI MerrowDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
extern "C" NTSTATUS NTAPI TolvaneDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace bench {

namespace {

using namespace win32;

std::u16string Number(const char* format, int value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

std::u16string SerialOf(int index) { return Number("BENCH%04d", index); }

sim::MachineOptions MachineFor(const StackOptions& options) {
  sim::MachineOptions machine;
  machine.virtualTime = options.virtualTime;
  return machine;
}

sim::usb::ControllerOptions BusFor(const StackOptions& options) {
  sim::usb::ControllerOptions bus;
  bus.timed = options.timed;
  bus.ports = std::max(8, options.adapters);
  return bus;
}

// A started port with both pipes open and its receive loop running.
bool PortStarted(sim::DeviceNode* node) {
  PDEVICE_OBJECT top = node ? node->Top() : nullptr;
  if (!top || top == node->PhysicalDeviceObject()) return false;
  PPORT_EXTENSION port = PortExtension(top);
  return port->TargetStarted && port->StatusPipeOpen;
}

}  // namespace

StackMachine::StackMachine(StackOptions options) : options_(options), machine_(MachineFor(options)) {
  machine_.Pnp().AddService({u"merrow", MerrowDriverEntry});
  machine_.Pnp().AddService({u"tolvane", TolvaneDriverEntry});
  machine_.Pnp().Bind({u"USB\\VID_5E1A&PID_0C01", u"merrow"});
  machine_.Pnp().Bind({u"ROOT\\TOLVANE", u"tolvane"});
  usb_ = std::make_unique<sim::usb::HostController>(BusFor(options));
  for (int i = 0; i < options.adapters; ++i) {
    sim::usb::AdapterConfig config{.serial = SerialOf(i), .speed = options.speed, .receiveFifo = options.receiveFifo,
                                   .transmitFifo = options.transmitFifo, .pacing = options.pacing};
    auto adapter = std::make_shared<sim::usb::SerialAdapter>(config);
    if (options.loopback) adapter->WireLoopback();
    else adapter->WireScript();
    adapters_.push_back(adapter);
    usbPorts_.push_back(usb_->Plug(adapter));
    if (!options.ports) continue;
    portNodes_.push_back(machine_.Pnp().AddRootDevice(
        {u"ROOT\\PORTS\\" + Number("%04d", i), {u"ROOT\\TOLVANE"},
         {{u"PortName", sim::RegistryValue::String(Number("COM%d", 7 + i))},
          {u"EndPointCaps", sim::RegistryValue::Dword(options.endPointCaps)},
          {u"TargetDevice", sim::RegistryValue::String(u"#" + SerialOf(i) + u"#")}},
         true}));
  }
  machine_.Pnp().WaitIdle();
  ready_ = WaitStarted();
}

StackMachine::~StackMachine() {
  for (sim::DeviceNode* node : portNodes_)
    if (node) machine_.Pnp().RemoveDevice(node);
  for (int port : usbPorts_)
    if (port) usb_->Unplug(port);
  machine_.Pnp().WaitIdle();
  usb_.reset();
}

// The binding work runs on the port's own worker: a few virtual seconds at most.
bool StackMachine::WaitStarted() {
  for (int tries = 0; tries < 5000; ++tries) {
    bool all = true;
    for (sim::DeviceNode* node : portNodes_) all = all && PortStarted(node);
    if (all) return true;
    Sleep(1);
  }
  return false;
}

HANDLE StackMachine::OpenPort(int index, bool handshake) {
  HANDLE port = CreateFileW(u"\\\\.\\" + Number("COM%d", 7 + index), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED);
  COMMTIMEOUTS timeouts{0, 0, 0, 0, 0};
  if (port != INVALID_HANDLE_VALUE && (!SetCommTimeouts(port, &timeouts) || (handshake && !simulator::UseHardwareFlow(port)))) {
    CloseHandle(port);
    return INVALID_HANDLE_VALUE;
  }
  // The port raises RTS from its own work after the settings; until then the
  // loopback plug holds CTS low and nothing would move.
  for (int tries = 0; handshake && port != INVALID_HANDLE_VALUE && !adapters_[index]->Rts() && tries < 5000; ++tries)
    Sleep(1);
  return port;
}

HANDLE StackMachine::OpenPipe(int index, bool input) {
  std::u16string serial = SerialOf(index);
  for (const std::u16string& link : machine_.Notify().EnabledInterfaces(GUID_PIPE_DRIVER_INTERFACE)) {
    if (link.find(serial) == std::u16string::npos) continue;
    return CreateFileW(link + (input ? u"\\PIPE01" : u"\\PIPE00"), input ? GENERIC_READ : GENERIC_WRITE, 0,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
  }
  return INVALID_HANDLE_VALUE;
}

bool StackMachine::UseAdapterHandshake(int index) {
  std::u16string serial = SerialOf(index);
  for (const std::u16string& link : machine_.Notify().EnabledInterfaces(GUID_PIPE_DRIVER_INTERFACE)) {
    if (link.find(serial) == std::u16string::npos) continue;
    HANDLE device = CreateFileW(link, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    if (device == INVALID_HANDLE_VALUE) return false;
    // Line settings (short form): 115200, 8 data bits, RTS/CTS; modem control: RTS and DTR.
    UCHAR line[] = {sim::usb::kMsgLineSettings, 0x03 | 0x04 | 0x40}, modem[] = {sim::usb::kMsgModemControl, 0x03};
    DWORD returned = 0;
    bool ok = DeviceIoControl(device, IOCTL_PIPE_VENDOR_COMMAND, line, sizeof line, nullptr, 0, &returned, nullptr) &&
              DeviceIoControl(device, IOCTL_PIPE_VENDOR_COMMAND, modem, sizeof modem, nullptr, 0, &returned, nullptr);
    CloseHandle(device);
    return ok;
  }
  return false;
}

Transfer::Transfer(HANDLE file, uint8_t* buffer, DWORD length, bool write) : file_(file) {
  overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD done = 0;
  BOOL ok = write ? WriteFile(file, buffer, length, &done, &overlapped_)
                  : ReadFile(file, buffer, length, &done, &overlapped_);
  pending_ = !ok && GetLastError() == ERROR_IO_PENDING;
  if (ok) result_ = (long)done;
}

Transfer::~Transfer() {
  Finish();
  CloseHandle(overlapped_.hEvent);
}

bool Transfer::Done() { return !pending_ || WaitForSingleObject(overlapped_.hEvent, 0) == WAIT_OBJECT_0; }

long Transfer::Finish() {
  if (!pending_) return result_;
  DWORD done = 0;
  result_ = GetOverlappedResult(file_, &overlapped_, &done, TRUE) ? (long)done : -1;
  pending_ = false;
  return result_;
}

bool WriteAndReadBack(HANDLE out, HANDLE in, const Bytes& sent, Bytes& received) {
  DWORD length = (DWORD)sent.size();
  received.resize(length);
  Transfer first(in, received.data(), length, false);
  Transfer write(out, const_cast<uint8_t*>(sent.data()), length, true);
  long got = first.Finish();
  DWORD at = got > 0 ? (DWORD)got : 0;
  while (got > 0 && at < length) {  // a pipe read ends at a short packet
    Transfer more(in, received.data() + at, length - at, false);
    got = more.Finish();
    if (got > 0) at += (DWORD)got;
  }
  return write.Finish() == (long)length && at == length;
}

Bytes Pattern(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = (uint8_t)(seed + i * 7 + i / 251);
  return bytes;
}

}  // namespace bench
