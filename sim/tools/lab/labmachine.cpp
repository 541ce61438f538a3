#include "sim/tools/lab/labmachine.h"

#include "port/port.h"
#include "sim/kernel/irp.h"
#include "sim/kernel/ustring.h"
#include "sim/tools/lab/events.h"
#include "sim/tools/portstate.h"
#include "sim/tools/report.h"

extern "C" NTSTATUS NTAPI TolvaneDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);
extern "C" NTSTATUS NTAPI MerrowDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace simulator::lab {

namespace {

PPORT_EXTENSION PortOf(const LabPort& port) {
  return port.node && port.node->Top() ? (PPORT_EXTENSION)port.node->Top()->DeviceExtension : nullptr;
}

}  // namespace

LabMachine::LabMachine(const Options& options) : options_(options) {}

LabMachine::~LabMachine() {
  usb_.reset();
  machine_.reset();
}

bool LabMachine::WaitBound(const LabPort& port) {
  PPORT_EXTENSION extension = PortOf(port);
  return extension && RunUntil([&] { return portstate::BoundAndSettled(extension); });
}

// A port node of EndPointCaps 1 whose TargetDevice names its adapter's serial
// number, and that adapter plugged in.
bool LabMachine::AddPort(const std::string& name, const std::u16string& serial) {
  LabPort port;
  port.name = name;
  std::u16string instance = sim::Widen("ROOT\\PORTS\\LAB" + std::to_string(ports_.size()));
  port.node = machine_->Pnp().AddRootDevice(
      {instance, {u"ROOT\\TOLVANE"},
       {{u"PortName", sim::RegistryValue::String(sim::Widen(name))}, {u"EndPointCaps", sim::RegistryValue::Dword(1)},
        {u"TargetDevice", sim::RegistryValue::String(u"#" + serial + u"#")}},
       true});
  port.adapter = std::make_shared<sim::usb::SerialAdapter>(
      sim::usb::AdapterConfig{.serial = serial, .pacing = !options_.unpaced});
  port.usbPort = usb_->Plug(port.adapter);
  machine_->Pnp().WaitIdle();
  ports_.push_back(port);
  bool bound = port.node && port.usbPort && WaitBound(port);
  if (bound) Event("%s: bound to the adapter %s on root-hub port %d", name.c_str(), sim::Narrow(serial).c_str(), port.usbPort);
  else Event("%s: the port did not bind to its adapter", name.c_str());
  return bound;
}

bool LabMachine::Boot() {
  sim::MachineOptions machineOptions;
  machineOptions.virtualTime = false;
  machineOptions.faults.failNth = options_.failNth;
  machineOptions.delayFuzzSeed = options_.delayFuzzSeed;
  machine_ = std::make_unique<sim::Machine>(machineOptions);
  sim::PnpManager& pnp = machine_->Pnp();
  pnp.AddService({u"tolvane", TolvaneDriverEntry});
  pnp.AddService({u"merrow", MerrowDriverEntry});
  pnp.Bind({u"ROOT\\TOLVANE", u"tolvane"});
  pnp.Bind({u"USB\\VID_5E1A&PID_0C01", u"merrow"});
  sim::usb::ControllerOptions usbOptions;
  usbOptions.timed = true;
  usbOptions.pcapPath = options_.pcap;
  usb_ = std::make_unique<sim::usb::HostController>(usbOptions);
  Event("machine up in real time, verifier on; the bus timed like the wire, adapters %s",
        options_.unpaced ? "unpaced (as fast as the bus)" : "paced at the line rate");
  if (!AddPort("COM7", u"LAB7")) return false;
  if (options_.far == "nullmodem") {
    if (!AddPort("COM8", u"LAB8")) return false;
    sim::usb::SerialAdapter::WireNullModem(*ports_[0].adapter, *ports_[1].adapter);
    Event("COM7 and COM8 wired null-modem: TX to RX, RTS to CTS, DTR to DSR and DCD");
  } else if (options_.far == "loopback") {
    Event("COM7's far end: the loopback plug (TX to RX, RTS to CTS, DTR to DSR and DCD)");
  }
  return true;
}

std::string LabMachine::Replug(LabPort& port) {
  port.usbPort = usb_->Plug(port.adapter);
  machine_->Pnp().WaitIdle();
  if (!port.usbPort || !WaitBound(port)) return "ERR the port did not bind again";
  Event("%s: adapter plugged in again on root-hub port %d; the port bound anew", port.name.c_str(), port.usbPort);
  return "OK";
}

std::string LabMachine::Request(size_t index, const std::string& verb) {
  std::lock_guard guard(mutex_);
  if (index >= ports_.size()) return "ERR no such port";
  LabPort& port = ports_[index];
  if (verb == "LINE") {
    sim::usb::LineSettings line = port.adapter->Line();
    const char* parity = line.parity == sim::usb::LineSettings::Parity::None ? "N"
                         : line.parity == sim::usb::LineSettings::Parity::Even ? "E" : "O";
    return "OK " + std::to_string(line.baud) + " " + std::to_string(line.dataBits) + " " + parity + " " +
           std::to_string(line.stopBits);
  }
  if (verb == "UNPLUG") {
    if (!port.usbPort) return "ERR already unplugged";
    usb_->Unplug(port.usbPort);
    machine_->Pnp().WaitIdle();
    port.usbPort = 0;
    Event("%s: adapter unplugged; the port stays open, unbound", port.name.c_str());
    return "OK";
  }
  if (verb == "REPLUG") return port.usbPort ? "ERR still plugged in" : Replug(port);
  return "ERR unknown request";
}

// As the self-check ends: every port removed, every adapter unplugged, then
// nothing may be left in flight or allocated, and both drivers unloaded.
int LabMachine::Shutdown() {
  if (!machine_) return 1;
  std::lock_guard guard(mutex_);
  for (LabPort& port : ports_) {
    bool removed = port.node && machine_->Pnp().RemoveDevice(port.node);
    Check(removed, "%s removed: query-remove, remove; tolvane detached and deleted its device", port.name.c_str());
    if (port.usbPort) usb_->Unplug(port.usbPort);
    port.usbPort = 0;
  }
  machine_->Pnp().WaitIdle();
  Check(machine_->Pnp().LoadedDriver(u"tolvane") == nullptr && machine_->Pnp().LoadedDriver(u"merrow") == nullptr,
        "tolvane and merrow unloaded: no device, pool, timer, DPC, work item or notification left behind");
  if (!options_.pcap.empty())
    Log("     USB capture: %llu records in %s", (unsigned long long)usb_->CapturedRecords(), options_.pcap.c_str());
  usb_.reset();
  Check(machine_->Irps().LiveCount() == 0, "no request is left in flight (%zu)", machine_->Irps().LiveCount());
  Check(machine_->Pool().Outstanding(nullptr).empty(), "no pool is left allocated (%zu blocks)",
        machine_->Pool().Outstanding(nullptr).size());
  Log("     verifier: no rule fired (a rule that fires stops the machine with its report)");
  return Failures();
}

}  // namespace simulator::lab
