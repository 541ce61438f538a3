// The scheduler: the dispatcher lock, the count of runnable simulated threads
// and the kernel clock with its queue of deadlines. In virtual time the clock
// jumps to the next deadline as soon as every simulated thread is blocked; in
// real time deadlines are met by the host's steady clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "sim/kernel/thread.h"

namespace sim {

// Kernel time: 100-ns units since the machine booted (NT's interrupt time).
using Tick = int64_t;
constexpr Tick kTicksPerMs = 10'000;
constexpr Tick kTicksPerSecond = 10'000'000;

class Scheduler {
 public:
  Scheduler(bool virtualTime, Tick virtualTimeLimit);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // The dispatcher lock: guards every dispatcher object, wait and deadline.
  std::mutex& Lock() { return mutex_; }

  bool VirtualTime() const { return virtual_; }
  Tick Now();                  // takes the lock
  Tick NowLocked() const;      // caller holds the lock
  // System time (100 ns since 1601) when the machine booted.
  Tick BootSystemTime() const { return bootSystemTime_; }

  // Thread accounting. A new thread counts as runnable from its registration.
  void Register(KThread* thread);
  void Unregister(KThread* thread);
  void UnregisterLocked(KThread* thread);

  // Blocks `thread` (the caller) until Wake() or until `deadline` passes. The
  // caller holds the lock through `lock`. Returns false on timeout.
  bool Block(std::unique_lock<std::mutex>& lock, KThread* thread, std::optional<Tick> deadline,
             std::string waitingFor);
  // Makes a blocked thread runnable again. Caller holds the lock.
  void Wake(KThread* thread);

  // Deadlines: `fire` runs on the clock thread with the lock held, so it must
  // only signal, queue or wake. Returns an id for Cancel(). Caller holds the lock.
  uint64_t Schedule(Tick due, std::function<void()> fire);
  bool Cancel(uint64_t id);

  // A busy wait of the calling thread (KeStallExecutionProcessor): in virtual
  // time the clock moves on by `ticks` for everyone, as it would have while
  // the processor spun, and the deadlines passed meanwhile fire; in real time
  // the caller spins that long.
  void Stall(Tick ticks);

  // Stops the clock thread; waits no longer advance time.
  void Shutdown();
  // A description of every simulated thread, for hang reports.
  std::string DescribeThreads() const;

 private:
  void ClockLoop();
  void FireDue(Tick now);
  [[noreturn]] void ReportHang(const char* why);
  Tick RealNow() const;

  struct Deadline {
    Tick due;
    uint64_t id;
    bool operator<(const Deadline& other) const { return due != other.due ? due < other.due : id < other.id; }
  };

  mutable std::mutex mutex_;
  std::condition_variable clockWakeup_;
  const bool virtual_;
  const Tick virtualTimeLimit_;
  Tick virtualNow_ = 0;
  std::chrono::steady_clock::time_point bootTime_;
  Tick bootSystemTime_ = 0;
  std::set<KThread*> threads_;
  int runnable_ = 0;
  uint64_t nextId_ = 1;
  std::set<Deadline> deadlines_;
  std::map<uint64_t, std::pair<Tick, std::function<void()>>> actions_;
  bool stopping_ = false;
  std::thread clock_;
};

// Converts an NT timeout (negative: relative 100 ns; positive: absolute system
// time; zero: poll) into a kernel-clock deadline.
std::optional<Tick> DeadlineFromTimeout(const LARGE_INTEGER* timeout);

}  // namespace sim
