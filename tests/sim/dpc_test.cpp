// DPCs: where and how they run, and what queueing one that is already queued
// does.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/kernel/machine.h"
#include "sim/kernel/thread.h"

namespace {

// What a DPC routine found when it ran.
struct DpcRun {
  std::atomic<int> calls{0};
  KIRQL irql = PASSIVE_LEVEL;
  sim::KThread* thread = nullptr;
  PVOID context = nullptr, argument1 = nullptr, argument2 = nullptr;
  int requeues = 0;  // how many more times the routine queues itself
  std::vector<BOOLEAN> requeueReturned;
};

void NTAPI RecordDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  auto* run = static_cast<DpcRun*>(context);
  run->irql = KeGetCurrentIrql();
  run->thread = sim::CurrentThread();
  run->context = context;
  run->argument1 = argument1;
  run->argument2 = argument2;
  if (run->requeues > 0) {
    --run->requeues;
    run->requeueReturned.push_back(KeInsertQueueDpc(dpc, argument1, argument2));
  }
  run->calls++;
}

// Occupies the processor it runs on until released.
std::atomic<bool> released{false};
void NTAPI BusyDpc(PKDPC, PVOID, PVOID, PVOID) {
  while (!released.load()) std::this_thread::yield();
}

sim::MachineOptions OneProcessor() {
  sim::MachineOptions options;
  options.processors = 1;
  return options;
}

TEST(Dpcs, RunAtDispatchLevelOnAnotherThreadWithTheirArguments) {
  sim::Machine machine;
  KDPC dpc;
  DpcRun run;
  KeInitializeDpc(&dpc, RecordDpc, &run);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, (PVOID)1, (PVOID)2));
  KeFlushQueuedDpcs();

  EXPECT_EQ(run.calls, 1);
  EXPECT_EQ(run.irql, DISPATCH_LEVEL);
  EXPECT_NE(run.thread, sim::CurrentThread()) << "the DPC ran on a processor thread, not the one that queued it";
  EXPECT_EQ(run.context, &run) << "DeferredContext as given to KeInitializeDpc";
  EXPECT_EQ(run.argument1, (PVOID)1);
  EXPECT_EQ(run.argument2, (PVOID)2);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(Dpcs, QueueingAQueuedDpcReturnsFalseAndKeepsTheFirstArguments) {
  sim::Machine machine(OneProcessor());
  released = false;
  KDPC busy, dpc;
  DpcRun run;
  KeInitializeDpc(&busy, BusyDpc, nullptr);
  KeInitializeDpc(&dpc, RecordDpc, &run);
  KeInsertQueueDpc(&busy, nullptr, nullptr);  // the only processor is taken

  EXPECT_TRUE(KeInsertQueueDpc(&dpc, (PVOID)1, (PVOID)2));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, (PVOID)3, (PVOID)4)) << "the DPC is still queued";
  released = true;
  KeFlushQueuedDpcs();

  EXPECT_EQ(run.calls, 1) << "a DPC queued twice runs once";
  EXPECT_EQ(run.argument1, (PVOID)1) << "the second KeInsertQueueDpc changed nothing";
  EXPECT_EQ(run.argument2, (PVOID)2);
}

TEST(Dpcs, RemoveQueueDpcTakesBackAQueuedDpc) {
  sim::Machine machine(OneProcessor());
  released = false;
  KDPC busy, dpc;
  DpcRun run;
  KeInitializeDpc(&busy, BusyDpc, nullptr);
  KeInitializeDpc(&dpc, RecordDpc, &run);
  KeInsertQueueDpc(&busy, nullptr, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);

  EXPECT_TRUE(KeRemoveQueueDpc(&dpc)) << "the DPC was queued";
  EXPECT_FALSE(KeRemoveQueueDpc(&dpc)) << "it no longer is";
  released = true;
  KeFlushQueuedDpcs();
  EXPECT_EQ(run.calls, 0) << "a removed DPC does not run";
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "and may be queued again";
  KeFlushQueuedDpcs();
  EXPECT_EQ(run.calls, 1);
}

TEST(Dpcs, DpcMayQueueItselfAgain) {
  sim::Machine machine(OneProcessor());
  KDPC dpc;
  DpcRun run;
  run.requeues = 3;
  KeInitializeDpc(&dpc, RecordDpc, &run);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();

  EXPECT_EQ(run.calls, 4) << "once, then once for each time it queued itself";
  EXPECT_EQ(run.requeueReturned, (std::vector<BOOLEAN>{TRUE, TRUE, TRUE}))
      << "a running DPC is no longer queued, so queueing it again succeeds";
}

}  // namespace
