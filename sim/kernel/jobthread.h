// A simulated system thread that runs queued jobs one at a time, in the order
// they were queued: the Plug and Play manager's thread and the thread that
// delivers Plug and Play notifications are two of them.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "sim/ddk/ntddk.h"
#include "sim/kernel/thread.h"

namespace sim {

class JobThread {
 public:
  explicit JobThread(std::string name);
  ~JobThread();
  JobThread(const JobThread&) = delete;
  JobThread& operator=(const JobThread&) = delete;

  // Queues `job` and returns at once (any IRQL up to DISPATCH_LEVEL).
  void Post(std::function<void()> job);
  // Runs `job` on the thread and waits for it; on the thread itself, or once
  // the thread has stopped, runs it at once. The caller runs at PASSIVE_LEVEL.
  void RunSync(const std::function<void()>& job);
  bool OnThisThread() const;
  // Waits until nothing is queued or running.
  void WaitIdle();
  // Runs what is queued, then ends the thread. Later jobs are dropped.
  void Stop();

 private:
  void Loop();

  std::mutex mutex_;
  std::deque<std::function<void()>> jobs_;
  bool busy_ = false;
  bool stopping_ = false;
  bool stopped_ = false;
  KEVENT workReady_;
  KThread* self_ = nullptr;
  std::unique_ptr<Thread> thread_;
};

}  // namespace sim
