#include "fuzz/fuzz_kit.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "common/pipeif.h"
#include "sim/kernel/irp.h"
#include "sim/kernel/object.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/pool.h"

extern "C" NTSTATUS NTAPI MerrowDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace fuzzkit {

namespace {

// Inputs one machine serves before it is rebuilt.
constexpr uint64_t kInputsPerMachine = 5000;

const std::u16string kHardwareId = u"USB\\VID_5E1A&PID_0C01";

}  // namespace

std::vector<uint8_t> Input::Bytes(size_t count) {
  size_t n = count < Left() ? count : Left();
  std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
  at_ += n;
  return out;
}

void Finding(const char* format, ...) {
  std::fprintf(stderr, "\n*** FUZZ FINDING: ");
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
  std::abort();
}

FuzzMachine& FuzzMachine::Get() {
  // libFuzzer ends the process with exit(). The machine's threads must be
  // joined before the simulator's static objects are destroyed, or one of them
  // (a job thread going back to its wait, say) uses a destroyed global. An
  // exit handler registered now runs before the destructors of every static
  // made before it; a static destructor of the kit's own would not.
  static FuzzMachine* machine = [] {
    auto* made = new FuzzMachine();
    std::atexit([] { machine->Shutdown(); });
    return made;
  }();
  return *machine;
}

FuzzMachine::FuzzMachine() { Boot(); }

sim::MachineOptions KeptMachineOptions() {
  sim::MachineOptions options;
  options.virtualTimeLimit = (sim::Tick)1 << 62;
  options.processors = 1;
  options.criticalWorkers = 1;
  options.delayedWorkers = 1;
  return options;
}

bool RunUntil(sim::Machine& machine, unsigned milliseconds, const std::function<bool()>& done) {
  for (unsigned ms = 0; ms < milliseconds; ++ms) {
    if (done()) return true;
    machine.Sleep(sim::kTicksPerMs);
  }
  return done();
}

void FuzzMachine::Boot() {
  machine_ = std::make_unique<sim::Machine>(KeptMachineOptions());
  machine_->Pnp().AddService({u"merrow", MerrowDriverEntry});
  machine_->Pnp().Bind({kHardwareId, u"merrow", {}, {}});
  usb_ = std::make_unique<sim::usb::HostController>();
}

void FuzzMachine::Shutdown() {
  machine_->Pnp().WaitIdle();
  usb_.reset();
  machine_.reset();
}

bool FuzzMachine::Plug(std::shared_ptr<sim::usb::DeviceModel> model, const sim::usb::DeviceFaults& faults) {
  if (++inputs_ % kInputsPerMachine == 0) {
    Shutdown();
    Boot();
  }
  port_ = usb_->Plug(std::move(model), faults);
  if (!port_) Finding("no free root-hub port: an earlier device was not pulled out");
  Settle();
  sim::DeviceNode* node = Node();
  return node && node->State() == sim::NodeState::Started;
}

void FuzzMachine::Settle() { machine_->Pnp().WaitIdle(); }

// The hub cycles a port on its own thread after the request completed.
void FuzzMachine::WaitForNewPdo(PDEVICE_OBJECT oldPdo) {
  auto back = [&] {
    PDEVICE_OBJECT pdo = usb_->Pdo(port_);
    return pdo && pdo != oldPdo;
  };
  if (!RunUntil(*machine_, 1000, back))
    Finding("the hub did not put the device back within a second after its port was cycled");
}

void FuzzMachine::WaitForCycle(PDEVICE_OBJECT oldPdo) {
  auto started = [&] {
    Settle();
    PDEVICE_OBJECT pdo = usb_->Pdo(port_);
    sim::DeviceNode* node = Node();
    return pdo && pdo != oldPdo && node && node->PhysicalDeviceObject() == pdo &&
           node->State() == sim::NodeState::Started;
  };
  if (!RunUntil(*machine_, 1000, started))
    Finding("the device did not start again within a second after its port was cycled");
}

// The device goes; merrow sees the surprise removal and, once the last
// reference to its files is gone, the removal, and unloads with its device.
void FuzzMachine::Unplug() {
  if (!port_) return;
  if (cycledPdo_) WaitForNewPdo(cycledPdo_);
  cycledPdo_ = nullptr;
  Settle();
  usb_->Unplug(port_);
  port_ = 0;
  // The removal follows the last request's completion and the last close,
  // which other threads may still be running: a virtual second is allowed.
  RunUntil(*machine_, 1000, [&] {
    Settle();
    machine_->Objects().WaitForDeferredCloses();
    Settle();
    return !machine_->Pnp().LoadedDriver(u"merrow");
  });
  if (PDRIVER_OBJECT driver = machine_->Pnp().LoadedDriver(u"merrow")) {
    size_t blocks = machine_->Pool().Outstanding(driver).size();
    DescribeNodes();
    Finding("merrow is still loaded after its device was pulled out (%zu pool blocks held)", blocks);
  }
  if (size_t left = usb_->PendingTransfers()) Finding("%zu transfers still on the bus after the unplug", left);
  if (sim::DeviceNode* node = Node())
    Finding("the device node is still %s after its device was pulled out", sim::NodeStateName(node->State()));
}

// What holds a driver loaded: the device nodes not removed yet, each with its
// state and the files still open on its stack.
void FuzzMachine::DescribeNodes() {
  for (sim::DeviceNode* node : machine_->Pnp().Nodes()) {
    if (node->State() == sim::NodeState::Removed) continue;
    PDEVICE_OBJECT pdo = node->PhysicalDeviceObject();
    std::fprintf(stderr, "node %s: %s, pdo %p, %zu file(s) open on its stack\n", sim::Narrow(node->InstancePath()).c_str(),
                 sim::NodeStateName(node->State()), (void*)pdo, pdo ? machine_->Objects().FilesOnStack(pdo) : 0);
  }
  std::string irps = machine_->Irps().DescribeLive();
  if (!irps.empty()) std::fprintf(stderr, "requests not completed:%s\n", irps.c_str());
}

sim::DeviceNode* FuzzMachine::Node() {
  for (sim::DeviceNode* node : machine_->Pnp().Nodes()) {
    if (node->State() == sim::NodeState::Removed) continue;
    for (const std::u16string& id : node->HardwareIds())
      if (id == kHardwareId) return node;
  }
  return nullptr;
}

std::u16string FuzzMachine::Link() {
  std::vector<std::u16string> links = machine_->Notify().EnabledInterfaces(GUID_PIPE_DRIVER_INTERFACE);
  return links.empty() ? std::u16string() : links.front();
}

HANDLE FuzzMachine::Open(const std::u16string& pipe) {
  std::u16string link = Link();
  if (link.empty()) return win32::INVALID_HANDLE_VALUE;
  return win32::CreateFileW(link + pipe, GENERIC_READ | GENERIC_WRITE, 0, win32::OPEN_EXISTING,
                            win32::FILE_FLAG_OVERLAPPED);
}

Request::Request(HANDLE file) : file_(file), event_(win32::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  overlapped_.hEvent = event_;
}

Request::~Request() {
  if (pending_) Finding("a request was dropped while still pending");
  win32::CloseHandle(event_);
}

void Request::Started(BOOL ok) {
  pending_ = !ok && win32::GetLastError() == win32::ERROR_IO_PENDING;
  status_ = ok ? STATUS_SUCCESS : win32::LastNtStatus();
  if (!pending_) transferred_ = (DWORD)overlapped_.InternalHigh;
}

void Request::Read(uint32_t length, uint32_t frameOffset) {
  out_.assign(length, 0xA5);
  overlapped_.Offset = frameOffset;
  overlapped_.OffsetHigh = frameOffset ? 1 : 0;
  Started(win32::ReadFile(file_, out_.data(), length, nullptr, &overlapped_));
}

void Request::Write(std::vector<uint8_t> data) {
  in_ = std::move(data);
  Started(win32::WriteFile(file_, in_.data(), (DWORD)in_.size(), nullptr, &overlapped_));
}

void Request::Control(uint32_t code, std::vector<uint8_t> in, uint32_t outLength) {
  in_ = std::move(in);
  out_.assign(outLength, 0xA5);
  Started(win32::DeviceIoControl(file_, code, in_.empty() ? nullptr : in_.data(), (DWORD)in_.size(),
                                 out_.empty() ? nullptr : out_.data(), outLength, nullptr, &overlapped_));
}

bool Request::Pending() {
  return pending_ && (NTSTATUS)__atomic_load_n(&overlapped_.Internal, __ATOMIC_ACQUIRE) == STATUS_PENDING;
}

NTSTATUS Request::Finish(bool cancel) {
  if (!pending_) return status_;
  if (cancel) win32::CancelIo(file_);
  DWORD done = 0;
  BOOL ok = win32::GetOverlappedResult(file_, &overlapped_, &done, TRUE);
  pending_ = false;
  status_ = ok ? STATUS_SUCCESS : win32::LastNtStatus();
  transferred_ = done;
  return status_;
}

bool Request::WaitDone(DWORD milliseconds) {
  if (!pending_) return true;
  if (win32::WaitForSingleObject(event_, milliseconds) != win32::WAIT_OBJECT_0) return false;
  pending_ = false;
  status_ = (NTSTATUS)__atomic_load_n(&overlapped_.Internal, __ATOMIC_ACQUIRE);
  transferred_ = (DWORD)overlapped_.InternalHigh;
  return true;
}

std::vector<uint32_t> ControlCodes() {
  return {IOCTL_PIPE_GET_CONFIG_DESCRIPTOR, IOCTL_PIPE_ENSURE_PORT_ENABLED, IOCTL_PIPE_RESET_PIPE,
          IOCTL_PIPE_GET_PIPE_INFO,         IOCTL_PIPE_START_STATISTICS,    IOCTL_PIPE_STOP_STATISTICS,
          IOCTL_PIPE_GET_STATISTICS,        IOCTL_PIPE_VENDOR_COMMAND,      IOCTL_PIPE_ABORT_PIPE,
          IOCTL_PIPE_CONTROL_TRANSFER,      IOCTL_PIPE_GET_MAX_PACKET_SIZE, IOCTL_PIPE_RESET_PORT,
          IOCTL_PIPE_CYCLE_PORT};
}

}  // namespace fuzzkit
