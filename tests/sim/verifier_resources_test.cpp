// The resource rules: what a driver leaves behind at unload, remove lock
// accounting, and work items queued or freed at the wrong moment.
#include <gtest/gtest.h>

#include "sim/kernel/thread.h"
#include "tests/sim/verifier_kit.h"

using verifierkit::kTag;

namespace {

PVOID const kReadTag = (PVOID)0x1001;
PVOID const kWriteTag = (PVOID)0x1002;

void NTAPI TimerDpc(PKDPC, PVOID, PVOID, PVOID) {}
void NTAPI QueuedDpc(PKDPC, PVOID, PVOID, PVOID) {}
void NTAPI QueuedWork(PDEVICE_OBJECT, PVOID) {}

// A machine whose DPCs and work items stay queued: no thread runs them.
sim::MachineOptions NothingRuns() {
  sim::MachineOptions options;
  options.processors = 0;
  options.criticalWorkers = 0;
  options.delayedWorkers = 0;
  return options;
}

void UnloadWithTimerSet() {
  sim::Machine machine;
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Port");
  KTIMER timer;
  KDPC dpc;
  testkit::AsDriver(driver, [&] {
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, TimerDpc, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10'000'000LL;
    KeSetTimer(&timer, due, &dpc);
  });
  machine.UnloadDriver(driver);
}

void UnloadWithDpcQueued() {
  sim::Machine machine(NothingRuns());
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Port");
  KDPC dpc;
  testkit::AsDriver(driver, [&] {
    KeInitializeDpc(&dpc, QueuedDpc, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
  });
  machine.UnloadDriver(driver);
}

void UnloadWithWorkItemQueued() {
  sim::Machine machine(NothingRuns());
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Port");
  testkit::Behaviour behaviour;
  PDEVICE_OBJECT device = testkit::CreateDevice(driver, behaviour);
  testkit::AsDriver(driver, [&] {
    IoQueueWorkItem(IoAllocateWorkItem(device), QueuedWork, DelayedWorkQueue, nullptr);
    IoDeleteDevice(device);  // the queued item keeps a reference on it
  });
  machine.UnloadDriver(driver);
}

void UnloadWithDeviceLeft() {
  sim::Machine machine;
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Port");
  testkit::Behaviour behaviour;
  testkit::CreateDevice(driver, behaviour, u"\\Device\\Port0");
  machine.UnloadDriver(driver);
}

// Runs `body` as a routine of a driver named Port with a fresh remove lock.
void WithRemoveLock(const std::function<void(PIO_REMOVE_LOCK)>& body) {
  sim::Machine machine;
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Port");
  IO_REMOVE_LOCK lock;
  testkit::AsDriver(driver, [&] {
    IoInitializeRemoveLock(&lock, kTag, 0, 0);
    body(&lock);
  });
}

void ReleaseMoreThanAcquired() {
  WithRemoveLock([](PIO_REMOVE_LOCK lock) {
    IoAcquireRemoveLock(lock, kReadTag);
    IoReleaseRemoveLock(lock, kReadTag);
    IoReleaseRemoveLock(lock, kReadTag);
  });
}

void ReleaseUnderAnotherTag() {
  WithRemoveLock([](PIO_REMOVE_LOCK lock) {
    IoAcquireRemoveLock(lock, kReadTag);
    IoReleaseRemoveLock(lock, kWriteTag);
  });
}

void ReleaseAfterRemoval() {
  WithRemoveLock([](PIO_REMOVE_LOCK lock) {
    IoAcquireRemoveLock(lock, kReadTag);
    IoReleaseRemoveLockAndWait(lock, kReadTag);
    IoReleaseRemoveLock(lock, kWriteTag);
  });
}

// Runs `body` as a routine of a driver named Port with a device to queue work on.
void WithIdleWorkers(const std::function<void(PDEVICE_OBJECT)>& body) {
  sim::Machine machine(NothingRuns());
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Port");
  testkit::Behaviour behaviour;
  PDEVICE_OBJECT device = testkit::CreateDevice(driver, behaviour);
  testkit::AsDriver(driver, [&] { body(device); });
}

void QueueWorkItemTwice() {
  WithIdleWorkers([](PDEVICE_OBJECT device) {
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    IoQueueWorkItem(item, QueuedWork, DelayedWorkQueue, nullptr);
    IoQueueWorkItem(item, QueuedWork, DelayedWorkQueue, nullptr);
  });
}

void FreeQueuedWorkItem() {
  WithIdleWorkers([](PDEVICE_OBJECT device) {
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    IoQueueWorkItem(item, QueuedWork, CriticalWorkQueue, nullptr);
    IoFreeWorkItem(item);
  });
}

}  // namespace

TEST(VerifierResources, UnloadingWithATimerStillSet) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(UnloadWithTimerSet(),
               "VERIFIER STOP: UnloadResidue.*Port unloads leaving:\n +timer 0x[0-9a-f]+ still set \\(DPC TimerDpc\\)");
}

TEST(VerifierResources, UnloadingWithADpcStillQueued) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(UnloadWithDpcQueued(),
               "VERIFIER STOP: UnloadResidue.*Port unloads leaving:\n +DPC 0x[0-9a-f]+ still queued \\(QueuedDpc\\)");
}

TEST(VerifierResources, UnloadingWithAWorkItemStillQueued) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(UnloadWithWorkItemQueued(),
               "VERIFIER STOP: UnloadResidue.*Port unloads leaving:\n +work item 0x[0-9a-f]+ still queued \\(QueuedWork\\)");
}

TEST(VerifierResources, UnloadingWithADeviceObjectLeft) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(UnloadWithDeviceLeft(),
               "VERIFIER STOP: UnloadResidue.*Port unloads leaving:\n +device object 0x[0-9a-f]+ still exists");
}

TEST(VerifierResources, ReleasingARemoveLockMoreOftenThanAcquired) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ReleaseMoreThanAcquired(),
               "VERIFIER STOP: RemoveLock.*IoReleaseRemoveLockEx of remove lock 0x[0-9a-f]+ with tag 0x1001: "
               "released more often than acquired");
  EXPECT_DEATH(ReleaseUnderAnotherTag(),
               "VERIFIER STOP: RemoveLock.*with tag 0x1002: released more often than acquired");
}

TEST(VerifierResources, TouchingARemoveLockAfterTheRemovalWait) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ReleaseAfterRemoval(),
               "VERIFIER STOP: RemoveLock.*IoReleaseRemoveLockEx on remove lock 0x[0-9a-f]+ after "
               "IoReleaseRemoveLockAndWaitEx returned");
}

TEST(VerifierResources, QueueingOrFreeingAWorkItemThatIsQueued) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(QueueWorkItemTwice(),
               "VERIFIER STOP: WorkItemMisuse.*IoQueueWorkItem of work item 0x[0-9a-f]+, which is already queued");
  EXPECT_DEATH(FreeQueuedWorkItem(),
               "VERIFIER STOP: WorkItemMisuse.*IoFreeWorkItem of work item 0x[0-9a-f]+, which is still queued");
}

// ---- The correct pattern: none of it stops the machine ----

namespace {

struct Removal {
  IO_REMOVE_LOCK lock;
  KEVENT acquired;
  NTSTATUS lateAcquire = STATUS_SUCCESS;
};

void NTAPI FreeItself(PDEVICE_OBJECT, PVOID context) { IoFreeWorkItem((PIO_WORKITEM)context); }

}  // namespace

TEST(VerifierResources, ATidyDriverUnloadsCleanly) {
  sim::Machine machine;
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"Tidy");
  testkit::Behaviour behaviour;
  PDEVICE_OBJECT device = testkit::CreateDevice(driver, behaviour);
  KTIMER timer;
  KDPC timerDpc, dpc;
  Removal removal;
  KeInitializeEvent(&removal.acquired, NotificationEvent, FALSE);
  testkit::AsDriver(driver, [&] {
    KeInitializeTimer(&timer);
    KeInitializeDpc(&timerDpc, TimerDpc, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10'000'000LL;
    KeSetTimer(&timer, due, &timerDpc);
    KeInitializeDpc(&dpc, QueuedDpc, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    IoQueueWorkItem(item, FreeItself, DelayedWorkQueue, item);
    IoInitializeRemoveLock(&removal.lock, kTag, 0, 0);
  });

  // Another thread holds the remove lock across the removal; the removal waits
  // for it, and an acquisition during the wait is refused.
  sim::Thread holder("holder", [&] {
    testkit::AsDriver(driver, [&] {
      IoAcquireRemoveLock(&removal.lock, kWriteTag);
      KeSetEvent(&removal.acquired, IO_NO_INCREMENT, FALSE);
      LARGE_INTEGER delay;
      delay.QuadPart = -10 * 10'000;
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      removal.lateAcquire = IoAcquireRemoveLock(&removal.lock, kReadTag);
      IoReleaseRemoveLock(&removal.lock, kWriteTag);
    });
  });
  KeWaitForSingleObject(&removal.acquired, Executive, KernelMode, FALSE, nullptr);
  testkit::AsDriver(driver, [&] {
    IoAcquireRemoveLock(&removal.lock, kReadTag);
    IoReleaseRemoveLockAndWait(&removal.lock, kReadTag);
    EXPECT_TRUE(KeCancelTimer(&timer));
    KeFlushQueuedDpcs();
  });
  holder.Join();
  EXPECT_EQ(removal.lateAcquire, STATUS_DELETE_PENDING);

  testkit::Delete(device);
  machine.UnloadDriver(driver);
  EXPECT_TRUE(machine.Drivers().empty());
}
