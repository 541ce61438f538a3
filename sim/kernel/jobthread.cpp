#include "sim/kernel/jobthread.h"

namespace sim {

JobThread::JobThread(std::string name) {
  KeInitializeEvent(&workReady_, SynchronizationEvent, FALSE);
  thread_ = std::make_unique<Thread>(std::move(name), [this] { Loop(); });
}

JobThread::~JobThread() { Stop(); }

void JobThread::Loop() {
  {
    std::lock_guard guard(mutex_);
    self_ = CurrentThread();
  }
  for (;;) {
    std::function<void()> job;
    {
      std::lock_guard guard(mutex_);
      if (!jobs_.empty()) {
        job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
      } else if (stopping_) {
        stopped_ = true;
        return;
      }
    }
    if (!job) {
      KeWaitForSingleObject(&workReady_, Executive, KernelMode, FALSE, nullptr);
      continue;
    }
    job();
    std::lock_guard guard(mutex_);
    busy_ = false;
  }
}

void JobThread::Post(std::function<void()> job) {
  {
    std::lock_guard guard(mutex_);
    if (stopping_) return;
    jobs_.push_back(std::move(job));
  }
  KeSetEvent(&workReady_, IO_NO_INCREMENT, FALSE);
}

bool JobThread::OnThisThread() const { return CurrentThreadOrNull() && CurrentThreadOrNull() == self_; }

void JobThread::RunSync(const std::function<void()>& job) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  {
    std::unique_lock lock(mutex_);
    if (stopping_ || (CurrentThreadOrNull() && CurrentThreadOrNull() == self_)) {
      lock.unlock();
      job();
      return;
    }
    jobs_.push_back([&job, &done] {
      job();
      KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
  }
  KeSetEvent(&workReady_, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

void JobThread::WaitIdle() {
  if (OnThisThread()) return;
  // A job that finds the queue empty while it runs proves that nothing else
  // is queued or running at that moment.
  for (bool idle = false; !idle;) {
    RunSync([this, &idle] {
      std::lock_guard guard(mutex_);
      idle = jobs_.empty();
    });
    std::lock_guard guard(mutex_);
    if (stopping_) return;
  }
}

void JobThread::Stop() {
  {
    std::lock_guard guard(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  KeSetEvent(&workReady_, IO_NO_INCREMENT, FALSE);
  thread_.reset();  // joins once the queue ran empty
}

}  // namespace sim
