// I/O work items: run at PASSIVE_LEVEL on a system worker thread, hold a
// reference on their device until the routine returned, and may free or
// queue again their own item from the routine.
#include <gtest/gtest.h>

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/thread.h"
#include "tests/sim/testkit.h"

namespace {

// What a work item routine found, and the events it waits on and sets.
struct WorkRun {
  PIO_WORKITEM item = nullptr;
  int calls = 0;
  int requeues = 0;         // how many more times the routine queues its item
  bool freeItself = false;  // the routine frees its item
  bool waitForGo = false;   // the routine first waits on `go`
  KEVENT go, done;
  KIRQL irql = HIGH_LEVEL;
  sim::KThread* thread = nullptr;
  PDEVICE_OBJECT device = nullptr;
  PDRIVER_OBJECT driverOfDevice = nullptr;
  PVOID context = nullptr;
};

void NTAPI WorkRoutine(PDEVICE_OBJECT device, PVOID context) {
  auto* run = static_cast<WorkRun*>(context);
  if (run->waitForGo) KeWaitForSingleObject(&run->go, Executive, KernelMode, FALSE, nullptr);
  ++run->calls;
  run->irql = KeGetCurrentIrql();
  run->thread = sim::CurrentThread();
  run->device = device;
  run->driverOfDevice = device->DriverObject;  // the device object must still be there
  run->context = context;
  if (run->requeues > 0) {
    --run->requeues;
    IoQueueWorkItem(run->item, WorkRoutine, DelayedWorkQueue, run);
    return;
  }
  if (run->freeItself) IoFreeWorkItem(run->item);
  KeSetEvent(&run->done, IO_NO_INCREMENT, FALSE);
}

class WorkItems : public ::testing::Test {
 protected:
  WorkItems() {
    driver = testkit::LoadDriver(machine, u"Worker");
    device = testkit::CreateDevice(driver, behaviour);
    KeInitializeEvent(&run.go, NotificationEvent, FALSE);
    KeInitializeEvent(&run.done, NotificationEvent, FALSE);
    testkit::AsDriver(driver, [&] { run.item = IoAllocateWorkItem(device); });
  }
  ~WorkItems() override {
    if (!run.freeItself) testkit::AsDriver(driver, [&] { IoFreeWorkItem(run.item); });
    if (device) testkit::Delete(device);
  }

  void Queue(WORK_QUEUE_TYPE type) {
    testkit::AsDriver(driver, [&] { IoQueueWorkItem(run.item, WorkRoutine, type, &run); });
  }
  void WaitDone() { KeWaitForSingleObject(&run.done, Executive, KernelMode, FALSE, nullptr); }

  sim::Machine machine;
  PDRIVER_OBJECT driver = nullptr;
  testkit::Behaviour behaviour;
  PDEVICE_OBJECT device = nullptr;
  WorkRun run;
};

TEST_F(WorkItems, RunAtPassiveLevelOnAWorkerThread) {
  for (WORK_QUEUE_TYPE type : {CriticalWorkQueue, DelayedWorkQueue}) {
    SCOPED_TRACE(type == CriticalWorkQueue ? "CriticalWorkQueue" : "DelayedWorkQueue");
    KeClearEvent(&run.done);
    run.thread = nullptr;
    Queue(type);
    WaitDone();
    EXPECT_EQ(run.irql, PASSIVE_LEVEL);
    EXPECT_NE(run.thread, nullptr);
    EXPECT_NE(run.thread, sim::CurrentThread()) << "the routine ran on a system worker thread";
    EXPECT_EQ(run.device, device) << "the routine gets the item's device";
    EXPECT_EQ(run.context, &run);
  }
}

TEST_F(WorkItems, QueuedFromDispatchLevelStillRunsAtPassiveLevel) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  Queue(DelayedWorkQueue);
  KeLowerIrql(old);
  WaitDone();
  EXPECT_EQ(run.irql, PASSIVE_LEVEL);
}

TEST_F(WorkItems, RoutineMayFreeItsOwnItem) {
  run.freeItself = true;
  Queue(DelayedWorkQueue);
  WaitDone();
  machine.Sleep(sim::kTicksPerMs);  // the worker is idle again
  EXPECT_TRUE(machine.Pool().Outstanding(driver).empty()) << "the item's pool went back";
}

TEST_F(WorkItems, RoutineMayQueueItsItemAgain) {
  run.requeues = 2;
  Queue(DelayedWorkQueue);
  WaitDone();
  EXPECT_EQ(run.calls, 3);
}

TEST_F(WorkItems, ItemKeepsItsDeviceReferencedUntilTheRoutineReturned) {
  sim::ObjectManager& objects = machine.Objects();
  LONG references = objects.PointerCount(device);
  run.waitForGo = true;
  Queue(DelayedWorkQueue);
  EXPECT_EQ(objects.PointerCount(device), references + 1) << "queueing referenced the device";

  // The driver deletes its device while the item is still outstanding.
  PDEVICE_OBJECT deleted = device;
  testkit::Delete(device);
  device = nullptr;
  EXPECT_TRUE(objects.IsObject(deleted, sim::ObjectType::Device)) << "the item's reference keeps the object";

  KeSetEvent(&run.go, IO_NO_INCREMENT, FALSE);
  WaitDone();
  EXPECT_EQ(run.device, deleted);
  EXPECT_EQ(run.driverOfDevice, driver) << "the routine could still use its device object";
  machine.Sleep(sim::kTicksPerMs);
  EXPECT_FALSE(objects.IsObject(deleted, sim::ObjectType::Device)) << "the last reference went with the routine";
}

}  // namespace
