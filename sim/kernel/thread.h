// Simulated threads: every thread that runs driver code or waits in the kernel
// is known to the scheduler, carries its own IRQL, the spin locks it holds and
// the driver routines on its stack (for verifier reports).
#pragma once

#include <condition_variable>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sim/ddk/ntddk.h"

namespace sim {

enum class FrameKind {
  DriverEntry, AddDevice, Unload, Dispatch, Completion, Cancel, Dpc, WorkItem, IoTimer,
  Notification, PowerCompletion, Other,
};
const char* FrameKindName(FrameKind kind);

// A driver routine the kernel has called and that has not yet returned.
struct Frame {
  PDRIVER_OBJECT driver = nullptr;
  const void* routine = nullptr;
  FrameKind kind = FrameKind::Other;
  PIRP irp = nullptr;
  KIRQL entryIrql = PASSIVE_LEVEL;
  KIRQL expectedExitIrql = PASSIVE_LEVEL;
  size_t spinLocksAtEntry = 0;
  bool cancelLockAtEntry = false;
};

struct KThread {
  explicit KThread(std::string threadName) : name(std::move(threadName)) {}
  std::string name;
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<Frame> frames;
  std::vector<PKSPIN_LOCK> spinLocks;  // held, in order of acquisition
  bool holdsCancelLock = false;

  // Wait state, guarded by the scheduler's dispatcher lock.
  std::condition_variable wakeup;
  bool blocked = false;
  bool woken = false;
  bool timedOut = false;
  std::string waitingFor;
  int waitStatus = 0;                  // filled by whoever satisfies a kernel wait
  std::vector<PVOID> waitObjects;      // objects of a KeWaitFor* call in progress
  WAIT_TYPE waitType = WaitAny;
};

// The calling thread's record; stops with a clear message when the thread is
// not a simulated one.
KThread* CurrentThread();
KThread* CurrentThreadOrNull();

// Makes the calling (host) thread a simulated thread for its lifetime, e.g. the
// test's main thread acting as an application.
class ThreadScope {
 public:
  explicit ThreadScope(std::string name);
  ~ThreadScope();
  ThreadScope(const ThreadScope&) = delete;
  ThreadScope& operator=(const ThreadScope&) = delete;

 private:
  KThread* thread_;
};

// A simulated thread running `body`. Join() blocks through the scheduler, so
// virtual time goes on while the joiner waits.
class Thread {
 public:
  Thread(std::string name, std::function<void()> body);
  ~Thread();
  void Join();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::thread thread_;
};

// Pushes a driver frame for the duration of a call into driver code and checks,
// when the routine returns, that it left the IRQL and the locks as it found them.
class FrameScope {
 public:
  FrameScope(PDRIVER_OBJECT driver, const void* routine, FrameKind kind, PIRP irp = nullptr);
  ~FrameScope();
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;
  // A cancel routine returns at the IRQL saved in the IRP, not the one it got.
  void ExpectExitIrql(KIRQL irql);

 private:
  KThread* thread_;
};

// The driver whose routine is running on this thread, or nullptr for the kernel.
PDRIVER_OBJECT CurrentDriver();

}  // namespace sim
