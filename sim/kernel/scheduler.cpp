#include "sim/kernel/scheduler.h"

#include <cstdio>

#include "sim/kernel/irp.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {
// System time (100 ns since 1601) of a virtual boot: 2026-01-01 00:00 UTC.
constexpr Tick kVirtualBootSystemTime = 134116992000000000;
constexpr Tick kUnixEpochSystemTime = 116444736000000000;
}  // namespace

Scheduler::Scheduler(bool virtualTime, Tick virtualTimeLimit)
    : virtual_(virtualTime), virtualTimeLimit_(virtualTimeLimit), bootTime_(std::chrono::steady_clock::now()) {
  bootSystemTime_ = virtual_ ? kVirtualBootSystemTime
                             : kUnixEpochSystemTime + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                          std::chrono::system_clock::now().time_since_epoch())
                                                              .count() / 100;
  clock_ = std::thread([this] { ClockLoop(); });
}

Scheduler::~Scheduler() { Shutdown(); }

void Scheduler::Shutdown() {
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  clockWakeup_.notify_all();
  if (clock_.joinable()) clock_.join();
}

Tick Scheduler::RealNow() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - bootTime_).count() / 100;
}

Tick Scheduler::NowLocked() const { return virtual_ ? virtualNow_ : RealNow(); }

Tick Scheduler::Now() {
  if (!virtual_) return RealNow();
  std::lock_guard guard(mutex_);
  return virtualNow_;
}

void Scheduler::Register(KThread* thread) {
  std::lock_guard guard(mutex_);
  threads_.insert(thread);
  ++runnable_;
}

void Scheduler::Unregister(KThread* thread) {
  std::lock_guard guard(mutex_);
  UnregisterLocked(thread);
}

void Scheduler::UnregisterLocked(KThread* thread) {
  threads_.erase(thread);
  --runnable_;
  clockWakeup_.notify_all();
}

bool Scheduler::Block(std::unique_lock<std::mutex>& lock, KThread* thread, std::optional<Tick> deadline,
                      std::string waitingFor) {
  thread->blocked = true;
  thread->woken = false;
  thread->timedOut = false;
  thread->waitingFor = std::move(waitingFor);
  uint64_t timeoutId = 0;
  if (deadline) {
    timeoutId = Schedule(*deadline, [this, thread] {
      thread->timedOut = true;
      Wake(thread);
    });
  }
  --runnable_;
  if (runnable_ == 0) clockWakeup_.notify_all();
  while (!thread->woken) thread->wakeup.wait(lock);
  if (timeoutId && !thread->timedOut) Cancel(timeoutId);
  thread->waitingFor.clear();
  return !thread->timedOut;
}

void Scheduler::Wake(KThread* thread) {
  if (!thread->blocked || thread->woken) return;
  thread->woken = true;
  thread->blocked = false;
  ++runnable_;
  thread->wakeup.notify_one();
}

uint64_t Scheduler::Schedule(Tick due, std::function<void()> fire) {
  uint64_t id = nextId_++;
  deadlines_.insert({due, id});
  actions_.emplace(id, std::make_pair(due, std::move(fire)));
  clockWakeup_.notify_all();
  return id;
}

bool Scheduler::Cancel(uint64_t id) {
  auto it = actions_.find(id);
  if (it == actions_.end()) return false;
  deadlines_.erase({it->second.first, id});
  actions_.erase(it);
  return true;
}

void Scheduler::Stall(Tick ticks) {
  if (ticks <= 0) return;
  if (!virtual_) {
    Tick until = RealNow() + ticks;
    while (RealNow() < until) std::this_thread::yield();
    return;
  }
  std::lock_guard guard(mutex_);
  virtualNow_ += ticks;
  FireDue(virtualNow_);
  clockWakeup_.notify_all();
}

void Scheduler::FireDue(Tick now) {
  while (!deadlines_.empty() && deadlines_.begin()->due <= now) {
    uint64_t id = deadlines_.begin()->id;
    deadlines_.erase(deadlines_.begin());
    auto node = actions_.extract(id);
    node.mapped().second();
  }
}

void Scheduler::ClockLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!virtual_) {
      if (deadlines_.empty()) {
        clockWakeup_.wait(lock);
        continue;
      }
      Tick due = deadlines_.begin()->due;
      Tick now = RealNow();
      if (now < due) {
        clockWakeup_.wait_for(lock, std::chrono::nanoseconds((due - now) * 100));
        continue;
      }
      FireDue(now);
      continue;
    }
    // Virtual time moves only while every simulated thread is blocked.
    if (runnable_ > 0 || threads_.empty()) {
      clockWakeup_.wait(lock);
      continue;
    }
    if (deadlines_.empty()) ReportHang("every simulated thread is blocked and no timer or timeout is pending");
    Tick due = deadlines_.begin()->due;
    if (due > virtualTimeLimit_)
      ReportHang("the virtual clock passed its limit while every other thread stayed blocked");
    if (due > virtualNow_) virtualNow_ = due;
    FireDue(virtualNow_);
  }
}

std::string Scheduler::DescribeThreads() const {
  std::string out;
  for (KThread* thread : threads_) {
    out += "\n      " + thread->name + ": ";
    out += thread->blocked ? "waiting for " + (thread->waitingFor.empty() ? std::string("?") : thread->waitingFor)
                           : std::string("running");
    for (size_t i = thread->frames.size(); i-- > 0;)
      out += "\n        in " + SymbolName(thread->frames[i].routine) + " (" + DriverName(thread->frames[i].driver) + ")";
  }
  return out;
}

void Scheduler::ReportHang(const char* why) {
  char now[64];
  std::snprintf(now, sizeof now, "%.3f s", virtualNow_ / double(kTicksPerSecond));
  std::string threads = DescribeThreads();
  Machine* machine = CurrentMachineOrNull();
  std::string irps = machine ? machine->Irps().DescribeLive() : "";
  std::fprintf(stderr, "\n*** VERIFIER STOP: KernelStop\n    what:    hang: %s (virtual time %s)\n    threads:%s\n",
               why, now, threads.c_str());
  if (!irps.empty()) std::fprintf(stderr, "    requests not completed:%s\n", irps.c_str());
  std::fflush(stderr);
  std::abort();
}

std::optional<Tick> DeadlineFromTimeout(const LARGE_INTEGER* timeout) {
  if (!timeout) return std::nullopt;
  Scheduler& scheduler = CurrentMachine().Sched();
  Tick now = scheduler.NowLocked();
  if (timeout->QuadPart <= 0) return now - timeout->QuadPart;
  // Absolute system time: convert through the system time at boot.
  Tick delta = timeout->QuadPart - (scheduler.BootSystemTime() + now);
  return now + (delta > 0 ? delta : 0);
}

}  // namespace sim
