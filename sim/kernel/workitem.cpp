#include "sim/kernel/workitem.h"

#include <cstdio>

#include "sim/kernel/active.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {
constexpr ULONG kWorkItemTag = 0x49576F49;  // 'IoWI'
}

WorkQueues::WorkQueues(int criticalThreads, int delayedThreads) {
  for (int i = 0; i < criticalThreads; ++i)
    threads_.push_back(std::make_unique<Thread>("critical worker " + std::to_string(i), [this] { WorkerLoop(critical_); }));
  for (int i = 0; i < delayedThreads; ++i)
    threads_.push_back(std::make_unique<Thread>("delayed worker " + std::to_string(i), [this] { WorkerLoop(delayed_); }));
}

WorkQueues::~WorkQueues() { Stop(); }

void WorkQueues::Stop() {
  Scheduler& scheduler = CurrentMachine().Sched();
  {
    std::lock_guard guard(scheduler.Lock());
    stopping_ = true;
    for (Pool* pool : {&critical_, &delayed_}) {
      for (KThread* thread : pool->idle) scheduler.Wake(thread);
      pool->idle.clear();
    }
  }
  threads_.clear();
}

void WorkQueues::Push(Pool& pool, Job job) {
  Scheduler& scheduler = CurrentMachine().Sched();
  std::lock_guard guard(scheduler.Lock());
  pool.jobs.push_back(std::move(job));
  if (!pool.idle.empty()) {
    scheduler.Wake(pool.idle.back());
    pool.idle.pop_back();
  }
}

void WorkQueues::Queue(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE type, PVOID context) {
  {
    std::lock_guard guard(CurrentMachine().Sched().Lock());
    if (item->Queued)
      VerifierStop(Rule::WorkItemMisuse, nullptr, "IoQueueWorkItem of work item %p, which is already queued", (void*)item);
    item->Queued = true;
  }
  item->Routine = routine;
  item->Context = context;
  // The reference keeps the device, and so its driver, alive until the routine ran.
  ObReferenceObject(item->DeviceObject);
  MarkActive(item, ActiveKind::WorkItem);
  Push(PoolFor(type), Job{item, {}});
}

void WorkQueues::QueueKernelWork(WORK_QUEUE_TYPE type, std::function<void()> work) {
  Push(PoolFor(type), Job{nullptr, std::move(work)});
}

void WorkQueues::WorkerLoop(Pool& pool) {
  Scheduler& scheduler = CurrentMachine().Sched();
  KThread* self = CurrentThread();
  std::unique_lock lock(scheduler.Lock());
  for (;;) {
    while (!stopping_ && pool.jobs.empty()) {
      pool.idle.push_back(self);
      scheduler.Block(lock, self, std::nullopt, "work (idle worker)");
    }
    if (stopping_) return;
    Job job = std::move(pool.jobs.front());
    pool.jobs.pop_front();
    PIO_WORKITEM item = job.item;
    // Saved first: the routine may free or requeue its own work item.
    PDEVICE_OBJECT device = item ? item->DeviceObject : nullptr;
    PIO_WORKITEM_ROUTINE routine = item ? item->Routine : nullptr;
    PVOID context = item ? item->Context : nullptr;
    if (item) item->Queued = false;
    lock.unlock();
    if (item) {
      MarkInactive(item, ActiveKind::WorkItem);
      FrameScope frame(device->DriverObject, (const void*)routine, FrameKind::WorkItem);
      routine(device, context);
    } else {
      job.kernelWork();
    }
    if (device) ObDereferenceObject(device);
    lock.lock();
  }
}

std::string WorkQueues::Residue(PDRIVER_OBJECT driver) {
  std::lock_guard guard(CurrentMachine().Sched().Lock());
  std::string out;
  char line[160];
  for (Pool* pool : {&critical_, &delayed_}) {
    for (const Job& job : pool->jobs) {
      if (!job.item || job.item->DeviceObject->DriverObject != driver) continue;
      std::snprintf(line, sizeof line, "\n      work item %p still queued (%s)", (void*)job.item,
                    SymbolName((const void*)job.item->Routine).c_str());
      out += line;
    }
  }
  return out;
}

}  // namespace sim

using namespace sim;

extern "C" PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoAllocateWorkItem");
  auto* item = (PIO_WORKITEM)CurrentMachine().Pool().Allocate(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag,
                                                               __builtin_return_address(0));
  if (!item) return nullptr;
  item->DeviceObject = DeviceObject;
  item->Routine = nullptr;
  item->Context = nullptr;
  item->Queued = false;
  return item;
}

extern "C" void NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                      WORK_QUEUE_TYPE QueueType, PVOID Context) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoQueueWorkItem");
  CurrentMachine().Workers().Queue(IoWorkItem, WorkerRoutine, QueueType, Context);
}

extern "C" void NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoFreeWorkItem");
  if (IoWorkItem->Queued)
    VerifierStop(Rule::WorkItemMisuse, nullptr, "IoFreeWorkItem of work item %p, which is still queued", (void*)IoWorkItem);
  ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}
