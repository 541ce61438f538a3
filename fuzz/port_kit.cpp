#include "fuzz/port_kit.h"

#include <cstdlib>

#include "sim/kernel/object.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/registry.h"
#include "sim/tools/portstate.h"

extern "C" NTSTATUS NTAPI MerrowDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
extern "C" NTSTATUS NTAPI TolvaneDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace fuzzkit {

namespace {

// Inputs one machine serves before it is rebuilt (each leaves a removed
// device node and some virtual time behind).
constexpr uint64_t kInputsPerMachine = 2000;

const std::u16string kAdapterId = u"USB\\VID_5E1A&PID_0C01";
const std::u16string kPortId = u"ROOT\\TOLVANE";
const std::u16string kPortInstance = u"ROOT\\PORTS\\0000";

}  // namespace

PortMachine& PortMachine::Get() {
  // Shut down by an exit handler, for the reason FuzzMachine::Get gives.
  static PortMachine* machine = [] {
    auto* made = new PortMachine();
    std::atexit([] { machine->Shutdown(); });
    return made;
  }();
  return *machine;
}

PortMachine::PortMachine() { Boot(); }

void PortMachine::Boot() {
  machine_ = std::make_unique<sim::Machine>(KeptMachineOptions());
  farEndReceived_ = written_ = 0;
  machine_->Pnp().AddService({u"merrow", MerrowDriverEntry});
  machine_->Pnp().Bind({kAdapterId, u"merrow", {}, {}});
  machine_->Pnp().AddService({u"tolvane", TolvaneDriverEntry});
  machine_->Pnp().Bind({kPortId, u"tolvane", {}, {}});
  usb_ = std::make_unique<sim::usb::HostController>();
  adapter_ = std::make_shared<sim::usb::SerialAdapter>();
  adapter_->WireScript();
  if (!usb_->Plug(adapter_)) Finding("the adapter could not be plugged in");
  Settle();
  PDRIVER_OBJECT merrow = machine_->Pnp().LoadedDriver(u"merrow");
  if (!merrow) Finding("merrow did not load for the adapter");
  merrowBlocks_ = MerrowPoolBlocks();
  busTransfers_ = usb_->PendingTransfers();
}

void PortMachine::Shutdown() {
  machine_->Pnp().WaitIdle();
  adapter_.reset();
  usb_.reset();
  machine_.reset();
}

void PortMachine::Settle() { machine_->Pnp().WaitIdle(); }

void PortMachine::Run(uint32_t milliseconds) { machine_->Sleep((sim::Tick)milliseconds * sim::kTicksPerMs); }

size_t PortMachine::MerrowPoolBlocks() {
  PDRIVER_OBJECT merrow = machine_->Pnp().LoadedDriver(u"merrow");
  return merrow ? machine_->Pool().Outstanding(merrow).size() : 0;
}

PPORT_EXTENSION PortMachine::Port() {
  PDEVICE_OBJECT top = portNode_ ? portNode_->Top() : nullptr;
  return top && top != portNode_->PhysicalDeviceObject() ? PortExtension(top) : nullptr;
}

bool PortMachine::Bound() {
  PPORT_EXTENSION port = Port();
  return port && portstate::BoundAndSettled(port);
}

void PortMachine::AddPort(ULONG endPointCaps) {
  if (++inputs_ % kInputsPerMachine == 0) {
    Shutdown();
    Boot();
  }
  std::vector<std::pair<std::u16string, sim::RegistryValue>> values = {
      {u"PortName", sim::RegistryValue::String(u"COM7")},
      {u"EndPointCaps", sim::RegistryValue::Dword(endPointCaps)},
      {u"TargetDevice", sim::RegistryValue::String(u"Vid_5E1A&Pid_0C01")}};
  portNode_ = machine_->Pnp().AddRootDevice({kPortInstance, {kPortId}, values, true});
  if (!portNode_ || portNode_->State() != sim::NodeState::Started) Finding("the port's device node did not start");
  // The binding runs from the interface arrival on a work item; each step
  // of the wait lets the machine's clock move by a millisecond.
  auto bound = [&] {
    Settle();
    return Bound();
  };
  if (!RunUntil(*machine_, 1000, bound)) Finding("the port did not bind to merrow within a second");
}

HANDLE PortMachine::Open() {
  return win32::CreateFileW(u"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, win32::OPEN_EXISTING,
                            win32::FILE_FLAG_OVERLAPPED);
}

void PortMachine::TakeFarEnd() {
  farEndReceived_ += adapter_->PeerTake().size();
  if (farEndReceived_ > written_)
    Finding("the far end received %llu bytes, the application wrote %llu", (unsigned long long)farEndReceived_,
            (unsigned long long)written_);
}

// No handle is open: an orderly removal must be accepted. tolvane unloads
// with its only device (the unload is where the kernel reports its leaks).
void PortMachine::RemovePort() {
  Settle();
  if (!machine_->Pnp().RemoveDevice(portNode_)) Finding("the port's removal was vetoed with no handle open");
  Settle();
  machine_->Objects().WaitForDeferredCloses();
  Settle();
  portNode_ = nullptr;
  if (PDRIVER_OBJECT driver = machine_->Pnp().LoadedDriver(u"tolvane")) {
    size_t blocks = machine_->Pool().Outstanding(driver).size();
    Finding("tolvane is still loaded after its port was removed (%zu pool blocks held)", blocks);
  }
  // merrow's pipes were closed by the port's unbinding; what it holds for its
  // device alone must be what it held before the port came.
  RunUntil(*machine_, 100,
           [&] { return MerrowPoolBlocks() == merrowBlocks_ && usb_->PendingTransfers() == busTransfers_; });
  if (size_t blocks = MerrowPoolBlocks(); blocks != merrowBlocks_)
    Finding("merrow holds %zu pool blocks after the port went, %zu before it came", blocks, merrowBlocks_);
  if (size_t left = usb_->PendingTransfers(); left != busTransfers_)
    Finding("%zu transfers on the bus after the port went, %zu before it came", left, busTransfers_);
  TakeFarEnd();
}

}  // namespace fuzzkit
