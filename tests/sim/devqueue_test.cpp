// Device queues: busy from the insertion that found the queue idle (which is
// not queued: the caller starts it at once) until a removal finds it empty.
#include <gtest/gtest.h>

#include <vector>

#include "sim/kernel/machine.h"

namespace {

class DeviceQueues : public ::testing::Test {
 protected:
  DeviceQueues() {
    KeInitializeDeviceQueue(&queue);
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);  // the queue routines run at DISPATCH_LEVEL
  }
  ~DeviceQueues() override { KeLowerIrql(oldIrql); }

  // Inserts a..z in order; the first one finds the queue idle.
  void InsertAll(std::vector<KDEVICE_QUEUE_ENTRY*> entries) {
    for (KDEVICE_QUEUE_ENTRY* entry : entries) KeInsertDeviceQueue(&queue, entry);
  }

  sim::Machine machine;
  KIRQL oldIrql = PASSIVE_LEVEL;
  KDEVICE_QUEUE queue;
  KDEVICE_QUEUE_ENTRY a{}, b{}, c{}, d{};
};

TEST_F(DeviceQueues, InsertIntoAnIdleQueueReturnsFalseAndMakesItBusy) {
  EXPECT_FALSE(queue.Busy) << "a new queue is idle";
  EXPECT_FALSE(KeInsertDeviceQueue(&queue, &a)) << "FALSE: the caller must start the entry itself";
  EXPECT_TRUE(queue.Busy);
  EXPECT_FALSE(a.Inserted) << "the entry that found the queue idle is not queued";
  EXPECT_TRUE(IsListEmpty(&queue.DeviceListHead));
}

TEST_F(DeviceQueues, InsertIntoABusyQueueQueuesTheEntry) {
  KeInsertDeviceQueue(&queue, &a);
  EXPECT_TRUE(KeInsertDeviceQueue(&queue, &b)) << "TRUE: the entry waits in the queue";
  EXPECT_TRUE(KeInsertDeviceQueue(&queue, &c));
  EXPECT_TRUE(b.Inserted);
  EXPECT_TRUE(c.Inserted);
  EXPECT_TRUE(queue.Busy);
}

TEST_F(DeviceQueues, RemoveReturnsEntriesInOrderAndMakesTheQueueIdleWhenEmpty) {
  InsertAll({&a, &b, &c});
  EXPECT_EQ(KeRemoveDeviceQueue(&queue), &b) << "first in, first out";
  EXPECT_FALSE(b.Inserted);
  EXPECT_TRUE(queue.Busy) << "the removed entry is now the one being worked on";
  EXPECT_EQ(KeRemoveDeviceQueue(&queue), &c);
  EXPECT_TRUE(queue.Busy);
  EXPECT_EQ(KeRemoveDeviceQueue(&queue), nullptr) << "nothing queued: NULL";
  EXPECT_FALSE(queue.Busy) << "a removal that finds the queue empty makes it idle";

  EXPECT_FALSE(KeInsertDeviceQueue(&queue, &d)) << "the next insertion finds the queue idle again";
  EXPECT_TRUE(queue.Busy);
}

TEST_F(DeviceQueues, RemoveEntryTakesOutAQueuedEntryOnly) {
  InsertAll({&a, &b, &c, &d});
  EXPECT_TRUE(KeRemoveEntryDeviceQueue(&queue, &c)) << "c was queued";
  EXPECT_FALSE(c.Inserted);
  EXPECT_FALSE(KeRemoveEntryDeviceQueue(&queue, &c)) << "c is no longer queued";
  EXPECT_FALSE(KeRemoveEntryDeviceQueue(&queue, &a)) << "a was never queued (it found the queue idle)";
  EXPECT_TRUE(queue.Busy) << "removing an entry does not change whether the device is busy";

  EXPECT_EQ(KeRemoveDeviceQueue(&queue), &b);
  EXPECT_EQ(KeRemoveDeviceQueue(&queue), &d) << "the others keep their order";
  EXPECT_EQ(KeRemoveDeviceQueue(&queue), nullptr);
}

TEST_F(DeviceQueues, RemoveEntryOfTheLastQueuedEntryLeavesTheQueueBusy) {
  InsertAll({&a, &b});
  EXPECT_TRUE(KeRemoveEntryDeviceQueue(&queue, &b));
  EXPECT_TRUE(queue.Busy) << "only KeRemoveDeviceQueue makes a queue idle";
  EXPECT_EQ(KeRemoveDeviceQueue(&queue), nullptr);
  EXPECT_FALSE(queue.Busy);
}

TEST_F(DeviceQueues, RemoveEntryAtPassiveLevelIsAllowed) {
  InsertAll({&a, &b});
  KeLowerIrql(PASSIVE_LEVEL);
  EXPECT_TRUE(KeRemoveEntryDeviceQueue(&queue, &b)) << "KeRemoveEntryDeviceQueue may be called at IRQL <= DISPATCH_LEVEL";
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  EXPECT_EQ(KeRemoveDeviceQueue(&queue), nullptr);
}

}  // namespace
