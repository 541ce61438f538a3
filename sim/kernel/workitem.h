// System worker threads and I/O work items. A work item runs at PASSIVE_LEVEL
// on a worker thread of its queue, holding a reference on its device object.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/scheduler.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT DeviceObject;
  PIO_WORKITEM_ROUTINE Routine;
  PVOID Context;
  bool Queued;
};

namespace sim {

class WorkQueues {
 public:
  WorkQueues(int criticalThreads, int delayedThreads);
  ~WorkQueues();
  void Stop();

  void Queue(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE type, PVOID context);
  // Runs `work` at PASSIVE_LEVEL on a worker of `type` (the kernel's own work,
  // such as Plug and Play notifications).
  void QueueKernelWork(WORK_QUEUE_TYPE type, std::function<void()> work);
  // Describes work items of `driver` still queued.
  std::string Residue(PDRIVER_OBJECT driver);

 private:
  struct Job {
    PIO_WORKITEM item = nullptr;
    std::function<void()> kernelWork;
  };
  struct Pool {
    std::deque<Job> jobs;
    std::vector<KThread*> idle;
  };
  void WorkerLoop(Pool& pool);
  void Push(Pool& pool, Job job);
  Pool& PoolFor(WORK_QUEUE_TYPE type) { return type == DelayedWorkQueue ? delayed_ : critical_; }

  Pool critical_, delayed_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Thread>> threads_;
};

}  // namespace sim
