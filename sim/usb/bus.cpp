// The controller's two threads: the controller thread moves data, runs the
// models' timers and replays deferred requests, waiting through the kernel so
// that virtual time jumps straight to its next deadline; the hub thread does
// what must happen at PASSIVE_LEVEL outside any request (unplug, cycle port).
#include "sim/usb/bus.h"

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/usb/pdo.h"

namespace sim::usb {

namespace {

void WaitFor(KEVENT* event, std::optional<Tick> deadline, Tick now) {
  if (!deadline) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    return;
  }
  LARGE_INTEGER timeout;
  timeout.QuadPart = -(*deadline - now);
  if (timeout.QuadPart < 0) KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
}

}  // namespace

Bus::Bus(const ControllerOptions& options) : timed_(options.timed) {
  KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
  KeInitializeEvent(&hubWake_, SynchronizationEvent, FALSE);
  KeInitializeEvent(&reportGate_, SynchronizationEvent, TRUE);
  driver_ = CreateUsbBusDriver();
  ports_.resize(options.ports);
  for (int i = 0; i < options.ports; ++i) ports_[i].number = i + 1;
  if (!options.pcapPath.empty()) capture_.Open(options.pcapPath, CurrentMachine().Sched().BootSystemTime());
  controllerThread_ = std::make_unique<Thread>("usb controller", [this] { ControllerLoop(); });
  hubThread_ = std::make_unique<Thread>("usb hub", [this] { HubLoop(); });
}

namespace {

// PDOs the Plug and Play manager still held when their controller went (a
// handle kept their stack): they answer as PDOs of a vanished bus until the
// process ends.
std::vector<std::unique_ptr<UsbPdo>>& Orphans() {
  static std::vector<std::unique_ptr<UsbPdo>> orphans;
  return orphans;
}

}  // namespace

Bus::~Bus() {
  for (Port& port : ports_)
    if (port.device) Unplug(port.number);
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  KeSetEvent(&wake_, 0, FALSE);
  KeSetEvent(&hubWake_, 0, FALSE);
  controllerThread_->Join();
  hubThread_->Join();
  // Requests held back by forced pending are answered now (their devices are
  // gone), so that no driver waits for them after the controller stopped.
  std::vector<Deferred> held;
  {
    std::lock_guard guard(lock_);
    held.assign(deferred_.begin(), deferred_.end());
    deferred_.clear();
  }
  for (const Deferred& d : held) d.pdo->Replay(d.irp);
  CurrentMachine().Pnp().WaitIdle();
  bool orphaned = false;
  for (auto& pdo : pdos_) {
    if (pdo->Finished()) continue;
    pdo->Orphan();
    Orphans().push_back(std::move(pdo));
    orphaned = true;
  }
  pdos_.clear();
  // An orphan's device object still names the bus driver; the machine frees both.
  if (!orphaned) DeleteUsbBusDriver(driver_);
}

Bus::ReportGate::ReportGate(Bus& b) : bus(b) {
  KeWaitForSingleObject(&bus.reportGate_, Executive, KernelMode, FALSE, nullptr);
}

Bus::ReportGate::~ReportGate() { KeSetEvent(&bus.reportGate_, IO_NO_INCREMENT, FALSE); }

void Bus::CollectFinishedPdos() {
  CurrentMachine().Pnp().WaitIdle();
  ReportGate gate(*this);
  std::vector<UsbPdo*> waiting;
  {
    std::lock_guard guard(lock_);
    std::erase_if(pdos_, [](const std::unique_ptr<UsbPdo>& pdo) { return pdo->Finished(); });
    for (auto& pdo : pdos_)
      if (pdo->arrivalPending && !pdo->Device()->gone) waiting.push_back(pdo.get());
  }
  for (UsbPdo* pdo : waiting) ReportArrivalLocked(*pdo);
}

Tick Bus::Now() { return CurrentMachine().Sched().Now(); }

void Bus::ScheduleAt(Tick due, std::function<void()> action) {
  std::lock_guard guard(lock_);
  timers_.emplace(due, std::move(action));
  KeSetEvent(&wake_, 0, FALSE);
}

// Models call this for every byte that moves under RTS/CTS handshake, so it
// walks the selected interfaces in place rather than copying the pipe list.
void Bus::Notify() {
  std::lock_guard guard(lock_);
  for (Port& port : ports_) {
    if (!port.device) continue;
    port.device->control->nakked = false;
    for (const SelectedInterface& selected : port.device->interfaces)
      for (const std::shared_ptr<Endpoint>& pipe : selected.pipes) pipe->nakked = false;
  }
  KeSetEvent(&wake_, 0, FALSE);
}

void Bus::Defer(UsbPdo* pdo, PIRP irp, Tick due) {
  std::lock_guard guard(lock_);
  deferred_.push_back({due, pdo, irp});
  KeSetEvent(&wake_, 0, FALSE);
}

void Bus::RunOnHubThread(std::function<void()> work) {
  std::lock_guard guard(lock_);
  hubWork_.push_back(std::move(work));
  KeSetEvent(&hubWake_, 0, FALSE);
}

void* Bus::NewHandle() { return (void*)(uintptr_t)(0x0B5D0000u + 0x10u * nextHandle_++); }

std::optional<Tick> Bus::NextDeadline(Tick now) {
  std::optional<Tick> next = NextEngineDeadline(now);
  auto earlier = [&](Tick t) {
    if (!next || t < *next) next = t;
  };
  if (!timers_.empty()) earlier(timers_.begin()->first);
  for (const Deferred& d : deferred_) earlier(d.due);
  return next;
}

namespace {
thread_local bool controllerThread = false;
}

bool Bus::OnControllerThread() { return controllerThread; }

void Bus::ControllerLoop() {
  controllerThread = true;
  for (;;) {
    Tick now = Now();
    std::optional<Tick> deadline;
    {
      std::lock_guard guard(lock_);
      if (stopping_) return;
      deadline = NextDeadline(now);
    }
    WaitFor(&wake_, deadline, now);
    RunDue(Now());
  }
}

// One turn of the controller: the models' due timers, then in timed mode the
// completions due at the start of this (micro)frame before the engine serves
// it, so that a request a completion routine posts at once may still use it,
// as a host controller's schedule lets it; then the engine, its completions in
// untimed mode, and deferred requests, all completions outside the lock.
void Bus::RunDue(Tick now) {
  std::vector<Deferred> replay;
  uint64_t unit = (uint64_t)(now / kMicroframeTicks);
  {
    std::lock_guard guard(lock_);
    if (stopping_) return;
    while (!timers_.empty() && timers_.begin()->first <= now) {
      auto action = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
      action();
    }
    for (auto it = deferred_.begin(); it != deferred_.end();) {
      if (it->due <= now) {
        replay.push_back(*it);
        it = deferred_.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (timed_) {
    TransferList due;
    {
      std::lock_guard guard(lock_);
      if (stopping_) return;
      due = TakeFinished(unit);
    }
    completingDue_ = true;
    CompleteTransfers(due);
    completingDue_ = false;
  }
  TransferList done;
  {
    std::lock_guard guard(lock_);
    if (stopping_) return;
    if (timed_) {
      if (!Served(unit)) ServeUnit(unit);
    } else {
      UnitLimits unlimited;
      Service(unlimited);
      done = TakeFinished(UINT64_MAX);
    }
    for (Port& port : ports_) {
      if (!port.device || !port.device->unplugRequested || port.device->unplugQueued) continue;
      port.device->unplugQueued = true;
      int number = port.number;
      hubWork_.push_back([this, number] { Unplug(number); });
      KeSetEvent(&hubWake_, 0, FALSE);
    }
  }
  CompleteTransfers(done);
  for (const Deferred& d : replay) d.pdo->Replay(d.irp);
}

// Timed mode: one (micro)frame's budgets, the full-speed ones at the start of
// each 1 ms frame only.
void Bus::ServeUnit(uint64_t unit) {
  UnitLimits limits;
  limits.unlimited = false;
  limits.unit = unit;
  limits.fullSpeedFrame = unit % 8 == 0;
  limits.fullSpeedPackets = limits.fullSpeedFrame ? kFullSpeedBulkPackets : 0;
  limits.highSpeedPackets = kHighSpeedBulkPackets;
  Service(limits);
  servedUnit_ = unit;
}

bool Bus::Served(uint64_t unit) const { return servedUnit_ != kNoUnit && servedUnit_ >= unit; }

// Timed mode: the first (micro)frame a transfer submitted at `now` may use.
// One a completion routine posts while the controller completes what the last
// (micro)frame moved may use the current one, not served yet; any other waits
// for the next, as the engine may have passed its endpoint already.
uint64_t Bus::FirstOpenUnit(Speed speed, Tick now) const {
  uint64_t unit = (uint64_t)(now / kMicroframeTicks);
  if (speed == Speed::Full) unit = unit / 8 * 8;
  if (OnControllerThread() && completingDue_ && !Served(unit)) return unit;
  return unit + (speed == Speed::Full ? 8 : 1);
}

void Bus::HubLoop() {
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard guard(lock_);
      if (stopping_) return;
      if (!hubWork_.empty()) {
        work = std::move(hubWork_.front());
        hubWork_.pop_front();
      }
    }
    if (work) work();
    else KeWaitForSingleObject(&hubWake_, Executive, KernelMode, FALSE, nullptr);
  }
}

}  // namespace sim::usb
