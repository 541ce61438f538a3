// Events and waits, with NT's semantics: notification events release every
// waiter and stay signalled; synchronization events release one waiter and
// reset; a wait-all is satisfied only when every object is signalled at once.
#include "sim/kernel/dispatcher.h"

#include <algorithm>
#include <cstdio>
#include <list>

#include "sim/kernel/active.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {

// Threads in a KeWait* call, in the order they began to wait. Guarded by the
// dispatcher lock.
std::list<KThread*> waiters;

bool IsKnownType(const DISPATCHER_HEADER* h) {
  return h->Type == EventNotificationObject || h->Type == EventSynchronizationObject ||
         h->Type == TimerNotificationObject || h->Type == TimerSynchronizationObject;
}

bool IsSignalled(PVOID object) { return ((PDISPATCHER_HEADER)object)->SignalState > 0; }

// A satisfied wait takes the signal of auto-resetting objects.
void Consume(PVOID object) {
  auto* h = (PDISPATCHER_HEADER)object;
  if (h->Type == EventSynchronizationObject || h->Type == TimerSynchronizationObject) h->SignalState = 0;
}

// The status a wait would end with now, or STATUS_PENDING if it cannot end yet.
NTSTATUS TrySatisfy(ULONG count, PVOID objects[], WAIT_TYPE waitType) {
  if (waitType == WaitAny) {
    for (ULONG i = 0; i < count; ++i) {
      if (IsSignalled(objects[i])) {
        Consume(objects[i]);
        return STATUS_WAIT_0 + (NTSTATUS)i;
      }
    }
    return STATUS_PENDING;
  }
  for (ULONG i = 0; i < count; ++i)
    if (!IsSignalled(objects[i])) return STATUS_PENDING;
  for (ULONG i = 0; i < count; ++i) Consume(objects[i]);
  return STATUS_WAIT_0;
}

std::string DescribeWait(ULONG count, PVOID objects[], WAIT_TYPE waitType) {
  char text[64];
  std::string out = count > 1 ? (waitType == WaitAll ? "all of " : "any of ") : "";
  for (ULONG i = 0; i < count; ++i) {
    auto* h = (PDISPATCHER_HEADER)objects[i];
    bool timer = h->Type == TimerNotificationObject || h->Type == TimerSynchronizationObject;
    std::snprintf(text, sizeof text, "%s%s %p", i ? ", " : "", timer ? "timer" : "event", objects[i]);
    out += text;
  }
  return out;
}

}  // namespace

void SignalObjectLocked(PDISPATCHER_HEADER header) {
  header->SignalState = 1;
  Scheduler& scheduler = CurrentMachine().Sched();
  for (auto it = waiters.begin(); it != waiters.end() && header->SignalState > 0;) {
    KThread* thread = *it;
    auto& objects = thread->waitObjects;
    // A wait whose timeout already fired (at this same tick) has ended: it
    // must not take the signal it will never report.
    if (thread->timedOut || std::find(objects.begin(), objects.end(), (PVOID)header) == objects.end()) {
      ++it;
      continue;
    }
    NTSTATUS status = TrySatisfy((ULONG)objects.size(), objects.data(), thread->waitType);
    if (status == STATUS_PENDING) {
      ++it;
      continue;
    }
    thread->waitStatus = status;
    it = waiters.erase(it);
    scheduler.Wake(thread);
  }
}

NTSTATUS WaitForObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, const LARGE_INTEGER* timeout,
                        const char* routine) {
  MaybeYield();
  KThread* thread = CurrentThread();
  bool poll = timeout && timeout->QuadPart == 0;
  if (thread->irql > DISPATCH_LEVEL || (thread->irql == DISPATCH_LEVEL && !poll))
    VerifierStop(Rule::IrqlWait, nullptr, "%s with %s at IRQL %d", routine,
                 timeout ? "a nonzero timeout" : "no timeout (an infinite wait)", thread->irql);
  for (ULONG i = 0; i < count; ++i) {
    if (!objects[i] || !IsKnownType((PDISPATCHER_HEADER)objects[i]))
      VerifierStop(Rule::KernelStop, nullptr, "%s on %p, which is not an initialised event or timer", routine, objects[i]);
  }

  Scheduler& scheduler = CurrentMachine().Sched();
  std::unique_lock lock(scheduler.Lock());
  NTSTATUS status = TrySatisfy(count, objects, waitType);
  if (status != STATUS_PENDING) return status;
  if (poll) return STATUS_TIMEOUT;

  std::optional<Tick> deadline = DeadlineFromTimeout(timeout);
  thread->waitObjects.assign(objects, objects + count);
  thread->waitType = waitType;
  thread->waitStatus = STATUS_PENDING;
  for (ULONG i = 0; i < count; ++i) MarkActive(objects[i], ActiveKind::WaitedObject);
  waiters.push_back(thread);
  bool woken = scheduler.Block(lock, thread, deadline, DescribeWait(count, objects, waitType));
  if (!woken) waiters.remove(thread);
  for (ULONG i = 0; i < count; ++i) MarkInactive(objects[i], ActiveKind::WaitedObject);
  thread->waitObjects.clear();
  return woken ? (NTSTATUS)thread->waitStatus : STATUS_TIMEOUT;
}

}  // namespace sim

using namespace sim;

extern "C" void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Absolute = 0;
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  MaybeYield();
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "KeSetEvent");
  std::lock_guard guard(CurrentMachine().Sched().Lock());
  LONG previous = Event->Header.SignalState;
  SignalObjectLocked(&Event->Header);
  return previous;
}

extern "C" void NTAPI KeClearEvent(PRKEVENT Event) {
  std::lock_guard guard(CurrentMachine().Sched().Lock());
  Event->Header.SignalState = 0;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "KeResetEvent");
  std::lock_guard guard(CurrentMachine().Sched().Lock());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard guard(CurrentMachine().Sched().Lock());
  return Event->Header.SignalState;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  return WaitForObjects(1, &Object, WaitAny, Timeout, "KeWaitForSingleObject");
}

extern "C" NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                                   KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                   PLARGE_INTEGER Timeout, void* WaitBlockArray) {
  // Without a wait-block array NT allows at most THREAD_WAIT_OBJECTS (3) objects.
  if (Count == 0 || (Count > 3 && !WaitBlockArray) || Count > 64)
    VerifierStop(Rule::KernelStop, nullptr, "KeWaitForMultipleObjects with %u objects%s", Count,
                 WaitBlockArray ? "" : " and no wait-block array");
  return WaitForObjects(Count, Object, WaitType, Timeout, "KeWaitForMultipleObjects");
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  KThread* thread = CurrentThread();
  if (thread->irql > APC_LEVEL)
    VerifierStop(Rule::IrqlWait, nullptr, "KeDelayExecutionThread at IRQL %d", thread->irql);
  if (!Interval) VerifierStop(Rule::KernelStop, nullptr, "KeDelayExecutionThread without an interval");
  Scheduler& scheduler = CurrentMachine().Sched();
  std::unique_lock lock(scheduler.Lock());
  std::optional<Tick> deadline = DeadlineFromTimeout(Interval);
  scheduler.Block(lock, thread, deadline, "KeDelayExecutionThread");
  return STATUS_SUCCESS;
}
