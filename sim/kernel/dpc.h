// DPCs, kernel timers and the one-second I/O timer. DPCs run at DISPATCH_LEVEL
// on the machine's "processor" threads, so they run concurrently with each
// other and with dispatch routines, as on a multiprocessor.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/scheduler.h"

namespace sim {

class DpcEngine {
 public:
  explicit DpcEngine(int processors);
  ~DpcEngine();
  void Stop();

  bool Insert(PKDPC dpc, PVOID argument1, PVOID argument2);
  bool InsertLocked(PKDPC dpc, PVOID argument1, PVOID argument2);  // dispatcher lock held
  bool Remove(PKDPC dpc);
  void Flush();  // waits until every queued DPC has run

  void NoteOwner(PKDPC dpc, PDRIVER_OBJECT owner);
  bool SetTimer(PKTIMER timer, const LARGE_INTEGER& dueTime, LONG period, PKDPC dpc);
  bool CancelTimer(PKTIMER timer);

  // Describes timers still set and DPCs still queued that belong to `driver`.
  std::string Residue(PDRIVER_OBJECT driver);

 private:
  void ProcessorLoop();
  void ExpireLocked(PKTIMER timer);

  struct TimerState {
    uint64_t deadline = 0;
    Tick due = 0;
    PDRIVER_OBJECT owner = nullptr;
  };

  std::deque<PKDPC> queue_;
  std::map<PKDPC, PDRIVER_OBJECT> owners_;
  std::map<PKTIMER, TimerState> timers_;
  std::vector<KThread*> idle_;
  std::vector<KThread*> flushers_;
  int running_ = 0;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Thread>> processors_;
};

// The I/O manager's per-device one-second timers.
class IoTimers {
 public:
  NTSTATUS Initialize(PDEVICE_OBJECT device, PIO_TIMER_ROUTINE routine, PVOID context);
  void Start(PDEVICE_OBJECT device);
  void Stop(PDEVICE_OBJECT device);
  void Forget(PDEVICE_OBJECT device);  // at IoDeleteDevice
  void Shutdown();

 private:
  static void NTAPI TickDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
  void ScheduleTickLocked();

  struct Entry {
    PIO_TIMER_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    bool started = false;
  };
  std::map<PDEVICE_OBJECT, Entry> entries_;  // guarded by the dispatcher lock
  int started_ = 0;
  uint64_t tick_ = 0;
  KDPC dpc_{};
  bool dpcReady_ = false;
};

}  // namespace sim
