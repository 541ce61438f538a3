// Kernel timers and DPCs for the Wine check. Wine runs a timer's DPC as a
// thread-pool callback and waits for it in KeCancelTimer, so a DPC that sets
// or cancels its own timer (as the port's read timeouts do) deadlocks; and
// KeRemoveQueueDpc raises. Here one system thread of the layer plays the
// processor's DPC queue: it expires timers by the performance counter, queues
// their DPCs and runs queued DPCs one at a time, as NT does on one processor.
// CompatLock guards the armed timers and the DPC queue; routines never run
// under it. A timer is armed while its TimerListEntry is linked; its
// Header.SignalState is what KeReadStateTimer reads. Nothing waits on these
// timers as dispatcher objects (the port does not).
#include "tests/wine/compat/compat.h"

namespace {

KSPIN_LOCK CompatLock;
LIST_ENTRY ArmedTimers = {&ArmedTimers, &ArmedTimers};
LIST_ENTRY QueuedDpcs = {&QueuedDpcs, &QueuedDpcs};
KEVENT WakeDpcThread;       // set when a timer is armed or a DPC queued
volatile LONG ThreadState;  // 0 none, 1 starting, 2 running

// Now in 100 ns units, from the performance counter.
ULONGLONG Now() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
  return (ULONGLONG)counter.QuadPart / (ULONGLONG)frequency.QuadPart * 10000000ull +
         (ULONGLONG)counter.QuadPart % (ULONGLONG)frequency.QuadPart * 10000000ull / (ULONGLONG)frequency.QuadPart;
}

BOOLEAN Unlink(PLIST_ENTRY Entry) {
  if (!Entry->Flink) return FALSE;
  RemoveEntryList(Entry);
  Entry->Flink = Entry->Blink = NULL;
  return TRUE;
}

// Under CompatLock.
BOOLEAN QueueDpcLocked(PKDPC Dpc, PVOID Argument1, PVOID Argument2) {
  if (Dpc->DpcData) return FALSE;
  Dpc->DpcData = Dpc;
  Dpc->SystemArgument1 = Argument1;
  Dpc->SystemArgument2 = Argument2;
  InsertTailList(&QueuedDpcs, &Dpc->DpcListEntry);
  return TRUE;
}

// Signals every timer due by `now`, queues its DPC, arms a periodic one again;
// returns the earliest deadline left (0: none). Under CompatLock.
ULONGLONG ExpireTimersLocked(ULONGLONG now) {
  ULONGLONG earliest = 0;
  for (PLIST_ENTRY entry = ArmedTimers.Flink; entry != &ArmedTimers;) {
    PKTIMER timer = CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
    entry = entry->Flink;
    if (timer->DueTime.QuadPart <= now) {
      timer->Header.SignalState = 1;
      if (timer->Dpc) QueueDpcLocked(timer->Dpc, NULL, NULL);
      if (timer->Period) timer->DueTime.QuadPart = now + timer->Period * 10000ull;
      else Unlink(&timer->TimerListEntry);
    }
    if (timer->TimerListEntry.Flink && (!earliest || timer->DueTime.QuadPart < earliest))
      earliest = timer->DueTime.QuadPart;
  }
  return earliest;
}

PKDPC DequeueDpcLocked(PVOID* Argument1, PVOID* Argument2) {
  if (IsListEmpty(&QueuedDpcs)) return NULL;
  PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&QueuedDpcs), KDPC, DpcListEntry);
  dpc->DpcListEntry.Flink = dpc->DpcListEntry.Blink = NULL;
  *Argument1 = dpc->SystemArgument1;
  *Argument2 = dpc->SystemArgument2;
  dpc->DpcData = NULL;  // from here the routine may queue it again
  return dpc;
}

void NTAPI DpcThread(PVOID) {
  for (;;) {
    PVOID argument1, argument2;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&CompatLock);
    ULONGLONG now = Now();
    ULONGLONG earliest = ExpireTimersLocked(now);
    PKDPC dpc = DequeueDpcLocked(&argument1, &argument2);
    KeReleaseSpinLock(&CompatLock, irql);
    if (dpc) {
      dpc->DeferredRoutine(dpc, dpc->DeferredContext, argument1, argument2);
      continue;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)(earliest - now);
    KeWaitForSingleObject(&WakeDpcThread, Executive, KernelMode, FALSE, earliest ? &timeout : NULL);
  }
}

// The thread starts with the first timer or DPC the driver initialises
// (AddDevice, PASSIVE_LEVEL) and runs until the Wine session ends.
void EnsureDpcThread() {
  if (InterlockedCompareExchange(&ThreadState, 1, 0) != 0) {
    while (ThreadState != 2) YieldProcessor();
    return;
  }
  KeInitializeSpinLock(&CompatLock);
  KeInitializeEvent(&WakeDpcThread, SynchronizationEvent, FALSE);
  HANDLE thread;
  if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, DpcThread, NULL)))
    ZwClose(thread);
  InterlockedExchange(&ThreadState, 2);
}

}  // namespace

VOID CompatInitializeTimer(PKTIMER Timer) {
  EnsureDpcThread();
  RtlZeroMemory(Timer, sizeof *Timer);
  Timer->Header.Type = 8;  // TimerNotificationObject
}

VOID CompatInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE Routine, PVOID Context) {
  EnsureDpcThread();
  RtlZeroMemory(Dpc, sizeof *Dpc);
  Dpc->DeferredRoutine = Routine;
  Dpc->DeferredContext = Context;
}

// A negative due time is relative; the port sets no absolute ones, which
// would need the system clock and are taken as due at once.
BOOLEAN CompatSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&CompatLock);
  BOOLEAN wasArmed = Unlink(&Timer->TimerListEntry);
  ULONGLONG now = Now();
  Timer->DueTime.QuadPart = DueTime.QuadPart < 0 ? now + (ULONGLONG)-DueTime.QuadPart : now;
  Timer->Period = (ULONG)Period;
  Timer->Dpc = Dpc;
  Timer->Header.SignalState = 0;
  InsertTailList(&ArmedTimers, &Timer->TimerListEntry);
  KeReleaseSpinLock(&CompatLock, irql);
  KeSetEvent(&WakeDpcThread, IO_NO_INCREMENT, FALSE);
  return wasArmed;
}

// As on NT: takes the timer out of the queue without waiting for its DPC,
// which may be queued or running.
BOOLEAN CompatCancelTimer(PKTIMER Timer) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&CompatLock);
  BOOLEAN wasArmed = Unlink(&Timer->TimerListEntry);
  KeReleaseSpinLock(&CompatLock, irql);
  return wasArmed;
}

namespace {

VOID NTAPI InitializeTimer(PKTIMER Timer) { CompatInitializeTimer(Timer); }
VOID NTAPI InitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) { CompatInitializeTimer(Timer); }
VOID NTAPI InitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE Routine, PVOID Context) {
  CompatInitializeDpc(Dpc, Routine, Context);
}
BOOLEAN NTAPI SetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return CompatSetTimer(Timer, DueTime, 0, Dpc); }
BOOLEAN NTAPI SetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  return CompatSetTimer(Timer, DueTime, Period, Dpc);
}
BOOLEAN NTAPI CancelTimer(PKTIMER Timer) { return CompatCancelTimer(Timer); }
BOOLEAN NTAPI ReadStateTimer(PKTIMER Timer) { return Timer->Header.SignalState != 0; }

BOOLEAN NTAPI InsertQueueDpc(PRKDPC Dpc, PVOID Argument1, PVOID Argument2) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&CompatLock);
  BOOLEAN queued = QueueDpcLocked(Dpc, Argument1, Argument2);
  KeReleaseSpinLock(&CompatLock, irql);
  if (queued) KeSetEvent(&WakeDpcThread, IO_NO_INCREMENT, FALSE);
  return queued;
}

BOOLEAN NTAPI RemoveQueueDpc(PRKDPC Dpc) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&CompatLock);
  BOOLEAN removed = Dpc->DpcData != NULL;
  if (removed) {
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = NULL;
    Dpc->DpcData = NULL;
  }
  KeReleaseSpinLock(&CompatLock, irql);
  return removed;
}

}  // namespace

COMPAT_REPLACE(KeInitializeTimer, InitializeTimer);
COMPAT_REPLACE(KeInitializeTimerEx, InitializeTimerEx);
COMPAT_REPLACE(KeInitializeDpc, InitializeDpc);
COMPAT_REPLACE(KeSetTimer, SetTimer);
COMPAT_REPLACE(KeSetTimerEx, SetTimerEx);
COMPAT_REPLACE(KeCancelTimer, CancelTimer);
COMPAT_REPLACE(KeReadStateTimer, ReadStateTimer);
COMPAT_REPLACE(KeInsertQueueDpc, InsertQueueDpc);
COMPAT_REPLACE(KeRemoveQueueDpc, RemoveQueueDpc);
