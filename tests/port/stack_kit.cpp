#include "tests/port/stack_kit.h"

namespace stacktest {

namespace {

pipetest::PipeConfig AdapterSide(const StackConfig& config) {
  pipetest::PipeConfig pipe = config.pipe;
  if (config.portFirst) pipe.plug = false;
  return pipe;
}

}  // namespace

StackRig::StackRig(StackConfig config, sim::MachineOptions options)
    : config_(std::move(config)), pipe_(AdapterSide(config_), std::move(options)) {
  if (config_.farEndScript) Adapter().WireScript();
  Machine().Pnp().AddService({u"tolvane", TolvaneDriverEntry});
  Machine().Pnp().Bind({porttest::kHardwareId, u"tolvane", {}, config_.portLowerFilters});
  if (config_.beforePort) config_.beforePort(Machine());
  AddPort();
  if (config_.portFirst && config_.pipe.plug) pipe_.Plug();
}

StackRig::~StackRig() {
  if (portNode_ && portNode_->State() != sim::NodeState::Removed) Machine().Pnp().RemoveDevice(portNode_);
}

sim::DeviceNode* StackRig::AddPort() {
  porttest::Values values = {{u"PortName", sim::RegistryValue::String(u"COM7")},
                             {u"EndPointCaps", sim::RegistryValue::Dword(config_.endPointCaps)},
                             {u"TargetDevice", sim::RegistryValue::String(config_.targetDevice)}};
  if (config_.cxPollPeriod) values.emplace_back(u"CxPollPeriod", sim::RegistryValue::Dword((ULONG)config_.cxPollPeriod));
  for (auto& [name, value] : config_.portValues) {
    std::erase_if(values, [&](const auto& each) { return each.first == name; });
    values.emplace_back(name, value);
  }
  portNode_ = Machine().Pnp().AddRootDevice({porttest::kInstancePath, {porttest::kHardwareId}, values, true});
  return portNode_;
}

PDEVICE_OBJECT StackRig::PortDevice() const {
  PDEVICE_OBJECT top = portNode_ ? portNode_->Top() : nullptr;
  return top && top != portNode_->PhysicalDeviceObject() ? top : nullptr;
}

HANDLE StackRig::Open(DWORD flags) {
  return CreateFileW(u"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, flags);
}

bool StackRig::RunUntil(const std::function<bool()>& done) { return pipetest::RunUntil(pipe_, done); }

// Bound and settled: the pipes are open, and the busy count is down to the
// binding's own hold and one read per running loop.
bool StackRig::WaitBound() {
  return RunUntil([&] {
    PPORT_EXTENSION port = Port();
    return port && portstate::BoundAndSettled(port);
  });
}

bool StackRig::WaitUnbound() {
  return RunUntil([&] {
    PPORT_EXTENSION port = Port();
    return !port || (TargetReleased(port) && BusyCount(port) == 0);
  });
}

std::vector<std::vector<uint8_t>> StackRig::MessagesSince(size_t from) {
  std::vector<std::vector<uint8_t>> out;
  std::vector<sim::usb::AdapterMessage> all = Adapter().Messages();
  for (size_t i = from; i < all.size(); ++i) out.push_back(all[i].bytes);
  return out;
}

void StackRig::AsPort(const std::function<void()>& body) {
  sim::FrameScope frame(PortDriver(), (const void*)&TolvaneDriverEntry, sim::FrameKind::Other);
  body();
}

LONG BusyCount(PPORT_EXTENSION port) { return ReadShared(port->BusyCount); }

std::optional<ULONG_PTR> CurrentReadBytes(PPORT_EXTENSION port) {
  KIRQL irql = KfAcquireSpinLock(&port->ReadQueueLock);
  std::optional<ULONG_PTR> bytes;
  if (PIRP current = port->CurrentReadIrp) bytes = current->IoStatus.Information;
  KfReleaseSpinLock(&port->ReadQueueLock, irql);
  return bytes;
}

bool WriteInFlight(PPORT_EXTENSION port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  bool sent = port->CurrentWriteIrp && RecordedPipeWrite(port->CurrentWriteIrp);
  IoReleaseCancelSpinLock(irql);
  return sent;
}

bool TargetReleased(PPORT_EXTENSION port) {
  AcquireBindingLock();
  bool released = !port->TargetFileObject && !port->TargetDeviceObject;
  ReleaseBindingLock();
  return released;
}

PendingIo::PendingIo(HANDLE port, std::vector<uint8_t> bytes, bool write) : port(port), buffer(std::move(bytes)) {
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD done = 0;
  BOOL ok = write ? WriteFile(port, buffer.data(), (DWORD)buffer.size(), &done, &overlapped)
                  : ReadFile(port, buffer.data(), (DWORD)buffer.size(), &done, &overlapped);
  started = !ok && GetLastError() == ERROR_IO_PENDING;
  if (!started) result = {ok ? STATUS_SUCCESS : LastNtStatus(), done};
}

PendingIo::~PendingIo() { CloseHandle(overlapped.hEvent); }

bool PendingIo::Done() { return !started || WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }

IoResult PendingIo::Finish() {
  if (!started) return result;
  DWORD done = 0;
  BOOL ok = GetOverlappedResult(port, &overlapped, &done, TRUE);
  result = {ok ? STATUS_SUCCESS : (NTSTATUS)overlapped.Internal, done};
  started = false;
  return result;
}

std::vector<uint8_t> PendingRead::Bytes() {
  return std::vector<uint8_t>(buffer.begin(), buffer.begin() + (long)result.bytes);
}

bool SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant) {
  COMMTIMEOUTS timeouts{interval, multiplier, constant, 0, 0};
  return SetCommTimeouts(port, &timeouts);
}

bool SetWriteTimeouts(HANDLE port, DWORD multiplier, DWORD constant) {
  COMMTIMEOUTS timeouts{0, 0, 0, multiplier, constant};
  return SetCommTimeouts(port, &timeouts);
}

FarEnd::FarEnd(StackRig& rig, std::vector<std::pair<LONGLONG, std::string>> pieces)
    : thread_("far end", [&rig, pieces = std::move(pieces), start = porttest::Now()] {
        for (const auto& [at, text] : pieces) {
          LONGLONG wait = at - MsSince(start);
          if (wait > 0) Sleep((DWORD)wait);
          rig.Adapter().PeerSend(std::span((const uint8_t*)text.data(), text.size()));
        }
      }) {}

}  // namespace stacktest
