#include "sim/kernel/dpc.h"

#include <algorithm>
#include <cstdio>

#include "sim/kernel/active.h"
#include "sim/kernel/dispatcher.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {
// Marks a queued KDPC; NT keeps a pointer to the processor's DPC data there.
PVOID const kQueued = (PVOID)(uintptr_t)1;
}

DpcEngine::DpcEngine(int processors) {
  for (int i = 0; i < processors; ++i)
    processors_.push_back(std::make_unique<Thread>("processor " + std::to_string(i) + " (DPCs)", [this] { ProcessorLoop(); }));
}

DpcEngine::~DpcEngine() { Stop(); }

void DpcEngine::Stop() {
  Scheduler& scheduler = CurrentMachine().Sched();
  {
    std::lock_guard guard(scheduler.Lock());
    stopping_ = true;
    for (KThread* thread : idle_) scheduler.Wake(thread);
    idle_.clear();
  }
  processors_.clear();
  // DPCs still queued and timers still set go with the machine; their marks
  // must not outlive them, or a later machine's pool at the same address
  // would be taken for memory holding them.
  std::lock_guard guard(scheduler.Lock());
  for (PKDPC dpc : queue_) MarkInactive(dpc, ActiveKind::Dpc);
  for (auto& [timer, state] : timers_) MarkInactive(timer, ActiveKind::Timer);
}

void DpcEngine::NoteOwner(PKDPC dpc, PDRIVER_OBJECT owner) {
  std::lock_guard guard(CurrentMachine().Sched().Lock());
  owners_[dpc] = owner;
}

bool DpcEngine::Insert(PKDPC dpc, PVOID argument1, PVOID argument2) {
  MaybeYield();
  std::lock_guard guard(CurrentMachine().Sched().Lock());
  return InsertLocked(dpc, argument1, argument2);
}

bool DpcEngine::InsertLocked(PKDPC dpc, PVOID argument1, PVOID argument2) {
  if (dpc->DpcData) return false;
  dpc->DpcData = kQueued;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  if (!owners_.count(dpc)) owners_[dpc] = CurrentDriver();
  if (dpc->Importance == HighImportance) queue_.push_front(dpc);
  else queue_.push_back(dpc);
  MarkActive(dpc, ActiveKind::Dpc);
  if (!idle_.empty()) {
    CurrentMachine().Sched().Wake(idle_.back());
    idle_.pop_back();
  }
  return true;
}

bool DpcEngine::Remove(PKDPC dpc) {
  std::lock_guard guard(CurrentMachine().Sched().Lock());
  auto it = std::find(queue_.begin(), queue_.end(), dpc);
  if (it == queue_.end()) return false;
  queue_.erase(it);
  dpc->DpcData = nullptr;
  MarkInactive(dpc, ActiveKind::Dpc);
  return true;
}

void DpcEngine::Flush() {
  RequireIrqlPassive("KeFlushQueuedDpcs");
  Scheduler& scheduler = CurrentMachine().Sched();
  std::unique_lock lock(scheduler.Lock());
  while (!queue_.empty() || running_ > 0) {
    flushers_.push_back(CurrentThread());
    scheduler.Block(lock, CurrentThread(), std::nullopt, "KeFlushQueuedDpcs");
  }
}

void DpcEngine::ProcessorLoop() {
  Scheduler& scheduler = CurrentMachine().Sched();
  KThread* self = CurrentThread();
  std::unique_lock lock(scheduler.Lock());
  for (;;) {
    while (!stopping_ && queue_.empty()) {
      idle_.push_back(self);
      scheduler.Block(lock, self, std::nullopt, "DPCs (idle processor)");
    }
    if (stopping_) return;
    PKDPC dpc = queue_.front();
    queue_.pop_front();
    // NT dequeues before calling, so the routine may queue its DPC again.
    dpc->DpcData = nullptr;
    MarkInactive(dpc, ActiveKind::Dpc);
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext, argument1 = dpc->SystemArgument1, argument2 = dpc->SystemArgument2;
    PDRIVER_OBJECT owner = owners_[dpc];
    ++running_;
    lock.unlock();
    self->irql = DISPATCH_LEVEL;
    {
      FrameScope frame(owner, (const void*)routine, FrameKind::Dpc);
      routine(dpc, context, argument1, argument2);
    }
    self->irql = PASSIVE_LEVEL;
    lock.lock();
    --running_;
    if (queue_.empty() && running_ == 0) {
      for (KThread* flusher : flushers_) scheduler.Wake(flusher);
      flushers_.clear();
    }
  }
}

bool DpcEngine::SetTimer(PKTIMER timer, const LARGE_INTEGER& dueTime, LONG period, PKDPC dpc) {
  MaybeYield();
  Scheduler& scheduler = CurrentMachine().Sched();
  std::lock_guard guard(scheduler.Lock());
  bool wasSet = timer->Header.Inserted != 0;
  auto& state = timers_[timer];
  if (wasSet) scheduler.Cancel(state.deadline);
  else MarkActive(timer, ActiveKind::Timer);
  state.owner = CurrentDriver();
  timer->Header.Inserted = TRUE;
  timer->Header.SignalState = 0;
  timer->Dpc = dpc;
  timer->Period = period;
  state.due = *DeadlineFromTimeout(&dueTime);
  timer->DueTime.QuadPart = (ULONGLONG)state.due;
  state.deadline = scheduler.Schedule(state.due, [this, timer] { ExpireLocked(timer); });
  return wasSet;
}

void DpcEngine::ExpireLocked(PKTIMER timer) {
  auto it = timers_.find(timer);
  PDRIVER_OBJECT owner = it->second.owner;
  if (timer->Period > 0) {
    TimerState& state = it->second;
    state.due += (Tick)timer->Period * kTicksPerMs;
    timer->DueTime.QuadPart = (ULONGLONG)state.due;
    state.deadline = CurrentMachine().Sched().Schedule(state.due, [this, timer] { ExpireLocked(timer); });
  } else {
    // Only set timers are tracked, so the memory of an expired one may be freed.
    timers_.erase(it);
    timer->Header.Inserted = FALSE;
    MarkInactive(timer, ActiveKind::Timer);
  }
  SignalObjectLocked(&timer->Header);
  if (timer->Dpc) {
    if (!owners_.count(timer->Dpc)) owners_[timer->Dpc] = owner;
    // NT passes the expiration time as the DPC's system arguments.
    LARGE_INTEGER now;
    now.QuadPart = CurrentMachine().Sched().NowLocked() + CurrentMachine().Sched().BootSystemTime();
    InsertLocked(timer->Dpc, (PVOID)(ULONG_PTR)now.LowPart, (PVOID)(ULONG_PTR)(ULONG)now.HighPart);
  }
}

bool DpcEngine::CancelTimer(PKTIMER timer) {
  Scheduler& scheduler = CurrentMachine().Sched();
  std::lock_guard guard(scheduler.Lock());
  if (!timer->Header.Inserted) return false;
  scheduler.Cancel(timers_[timer].deadline);
  timers_.erase(timer);
  timer->Header.Inserted = FALSE;
  MarkInactive(timer, ActiveKind::Timer);
  return true;
}

std::string DpcEngine::Residue(PDRIVER_OBJECT driver) {
  std::lock_guard guard(CurrentMachine().Sched().Lock());
  std::string out;
  char line[160];
  for (auto& [timer, state] : timers_) {
    if (state.owner != driver) continue;
    std::snprintf(line, sizeof line, "\n      timer %p still set (DPC %s)", (void*)timer,
                  timer->Dpc ? SymbolName((const void*)timer->Dpc->DeferredRoutine).c_str() : "none");
    out += line;
  }
  for (PKDPC dpc : queue_) {
    if (owners_[dpc] != driver) continue;
    std::snprintf(line, sizeof line, "\n      DPC %p still queued (%s)", (void*)dpc,
                  SymbolName((const void*)dpc->DeferredRoutine).c_str());
    out += line;
  }
  return out;
}

// ---- The one-second I/O timer ----

NTSTATUS IoTimers::Initialize(PDEVICE_OBJECT device, PIO_TIMER_ROUTINE routine, PVOID context) {
  std::lock_guard guard(CurrentMachine().Sched().Lock());
  Entry& entry = entries_[device];
  entry.routine = routine;
  entry.context = context;
  device->Timer = (PIO_TIMER)&entry;
  return STATUS_SUCCESS;
}

void IoTimers::Start(PDEVICE_OBJECT device) {
  std::lock_guard guard(CurrentMachine().Sched().Lock());
  auto it = entries_.find(device);
  if (it == entries_.end())
    VerifierStop(Rule::KernelStop, nullptr, "IoStartTimer on device %p, which has no IoInitializeTimer", (void*)device);
  if (it->second.started) return;
  it->second.started = true;
  if (started_++ == 0) ScheduleTickLocked();
}

void IoTimers::Stop(PDEVICE_OBJECT device) {
  Scheduler& scheduler = CurrentMachine().Sched();
  std::lock_guard guard(scheduler.Lock());
  auto it = entries_.find(device);
  if (it == entries_.end() || !it->second.started) return;
  it->second.started = false;
  if (--started_ == 0) scheduler.Cancel(tick_);
}

void IoTimers::Forget(PDEVICE_OBJECT device) {
  Scheduler& scheduler = CurrentMachine().Sched();
  std::lock_guard guard(scheduler.Lock());
  auto it = entries_.find(device);
  if (it == entries_.end()) return;
  if (it->second.started && --started_ == 0) scheduler.Cancel(tick_);
  entries_.erase(it);
}

void IoTimers::Shutdown() {
  std::lock_guard guard(CurrentMachine().Sched().Lock());
  if (started_) CurrentMachine().Sched().Cancel(tick_);
  started_ = 0;
  entries_.clear();
}

// The tick comes on whole seconds of kernel time, so a timer started at any
// moment first runs between 0 and 1 s later, as NT's does.
void IoTimers::ScheduleTickLocked() {
  if (!dpcReady_) {  // a kernel-owned DPC; KeInitializeDpc would retake the lock
    dpc_.Importance = MediumImportance;
    dpc_.DeferredRoutine = &IoTimers::TickDpc;
    dpc_.DeferredContext = this;
    dpcReady_ = true;
  }
  Scheduler& scheduler = CurrentMachine().Sched();
  Tick now = scheduler.NowLocked();
  Tick next = (now / kTicksPerSecond + 1) * kTicksPerSecond;
  tick_ = scheduler.Schedule(next, [this] {
    if (started_ == 0) return;
    CurrentMachine().Dpcs().InsertLocked(&dpc_, nullptr, nullptr);
    ScheduleTickLocked();
  });
}

void NTAPI IoTimers::TickDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* self = (IoTimers*)context;
  std::vector<std::pair<PDEVICE_OBJECT, Entry>> due;
  {
    std::lock_guard guard(CurrentMachine().Sched().Lock());
    for (auto& [device, entry] : self->entries_)
      if (entry.started) due.emplace_back(device, entry);
  }
  for (auto& [device, entry] : due) {
    FrameScope frame(device->DriverObject, (const void*)entry.routine, FrameKind::IoTimer);
    entry.routine(device, entry.context);
  }
}

}  // namespace sim

using namespace sim;

extern "C" void NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 19;  // DpcObject
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->DpcData = nullptr;
  CurrentMachine().Dpcs().NoteOwner(Dpc, CurrentDriver());
}

extern "C" BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  return CurrentMachine().Dpcs().Insert(Dpc, SystemArgument1, SystemArgument2);
}

extern "C" BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) { return CurrentMachine().Dpcs().Remove(Dpc); }

extern "C" void NTAPI KeFlushQueuedDpcs(void) { CurrentMachine().Dpcs().Flush(); }

extern "C" void NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  Timer->Header.Type = Type == SynchronizationTimer ? TimerSynchronizationObject : TimerNotificationObject;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Inserted = FALSE;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

extern "C" void NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

extern "C" BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "KeSetTimerEx");
  if (Timer->Header.Type != TimerNotificationObject && Timer->Header.Type != TimerSynchronizationObject)
    VerifierStop(Rule::KernelStop, nullptr, "KeSetTimer on %p, which is not an initialised timer", (void*)Timer);
  if (Period < 0) VerifierStop(Rule::KernelStop, nullptr, "KeSetTimerEx with a negative period %d", Period);
  return CurrentMachine().Dpcs().SetTimer(Timer, DueTime, Period, Dpc);
}

extern "C" BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

extern "C" BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "KeCancelTimer");
  return CurrentMachine().Dpcs().CancelTimer(Timer);
}

extern "C" BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  std::lock_guard guard(CurrentMachine().Sched().Lock());
  return Timer->Header.SignalState > 0;
}

extern "C" NTSTATUS NTAPI IoInitializeTimer(PDEVICE_OBJECT DeviceObject, PIO_TIMER_ROUTINE TimerRoutine, PVOID Context) {
  RequireIrqlPassive("IoInitializeTimer");
  return CurrentMachine().Timers().Initialize(DeviceObject, TimerRoutine, Context);
}

extern "C" void NTAPI IoStartTimer(PDEVICE_OBJECT DeviceObject) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoStartTimer");
  CurrentMachine().Timers().Start(DeviceObject);
}

extern "C" void NTAPI IoStopTimer(PDEVICE_OBJECT DeviceObject) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoStopTimer");
  CurrentMachine().Timers().Stop(DeviceObject);
}
