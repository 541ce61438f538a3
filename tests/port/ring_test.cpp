// The receive ring: a byte ring that never overwrites, with its wrap-around
// at the end of the storage.
#include <gtest/gtest.h>

#include <vector>

#include "port/routines.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/thread.h"

namespace {

class Ring : public ::testing::Test {
 protected:
  Ring() { RingInitialize(&ring_); }
  ~Ring() override { RingFree(&ring_); }

  ULONG Put(std::vector<UCHAR> bytes) { return RingPut(&ring_, bytes.data(), (ULONG)bytes.size()); }
  std::vector<UCHAR> Get(ULONG length) {
    std::vector<UCHAR> out(length, 0xEE);
    out.resize(RingGet(out.data(), &ring_, length));
    return out;
  }
  std::vector<UCHAR> Storage() { return std::vector<UCHAR>(ring_.Storage, ring_.Storage + ring_.Size); }

  sim::Machine machine_;
  RING_BUFFER ring_;
};

TEST_F(Ring, StoresAcrossTheEndAndReturnsBytesInArrivalOrder) {
  ASSERT_EQ(RingAllocate(&ring_, 8), STATUS_SUCCESS);
  EXPECT_EQ(Put({1, 2, 3, 4, 5}), 5u);
  EXPECT_EQ(ring_.WriteIndex, 5u);
  EXPECT_EQ(Get(3), (std::vector<UCHAR>{1, 2, 3}));
  EXPECT_EQ(ring_.ReadIndex, 3u);
  EXPECT_EQ(ring_.Count, 2u);

  EXPECT_EQ(Put({6, 7, 8, 9, 10, 11}), 6u) << "three bytes at offsets 5 to 7, three at 0 to 2";
  EXPECT_EQ(ring_.WriteIndex, 3u);
  EXPECT_EQ(ring_.Count, 8u);
  EXPECT_EQ(Storage(), (std::vector<UCHAR>{9, 10, 11, 4, 5, 6, 7, 8}));
  EXPECT_EQ(Put({12}), 0u) << "a full ring stores nothing";
  EXPECT_EQ(Get(8), (std::vector<UCHAR>{4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(ring_.ReadIndex, 3u);
  EXPECT_EQ(ring_.Count, 0u);
}

TEST_F(Ring, AnExactFillLeavesTheIndexAtTheEndAndTheNextOperationWraps) {
  ASSERT_EQ(RingAllocate(&ring_, 8), STATUS_SUCCESS);
  EXPECT_EQ(Put({1, 2, 3, 4, 5, 6, 7, 8}), 8u);
  EXPECT_EQ(ring_.WriteIndex, 8u);
  EXPECT_EQ(Get(8).size(), 8u);
  EXPECT_EQ(ring_.ReadIndex, 8u);
  EXPECT_EQ(Put({21, 22, 23, 24}), 4u);
  EXPECT_EQ(ring_.WriteIndex, 4u);
  EXPECT_EQ(std::vector<UCHAR>(ring_.Storage, ring_.Storage + 4), (std::vector<UCHAR>{21, 22, 23, 24}));
  EXPECT_EQ(Get(2), (std::vector<UCHAR>{21, 22}));
  EXPECT_EQ(ring_.ReadIndex, 2u);
}

TEST_F(Ring, TakesWhatFitsAndGivesWhatItHas) {
  ASSERT_EQ(RingAllocate(&ring_, 8), STATUS_SUCCESS);
  EXPECT_EQ(Put({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), 8u) << "a store into an empty ring of 8 takes 8";
  EXPECT_EQ(Get(20), (std::vector<UCHAR>{1, 2, 3, 4, 5, 6, 7, 8})) << "a get asking for more returns the count";
  EXPECT_TRUE(Get(1).empty()) << "an empty ring gives nothing";
}

TEST_F(Ring, ZeroLengthAndMissingStorageMoveNothing) {
  UCHAR byte = 7;
  EXPECT_EQ(RingPut(&ring_, &byte, 0), 0u);
  EXPECT_EQ(RingGet(&byte, &ring_, 0), 0u);
  EXPECT_EQ(RingPut(&ring_, &byte, 1), 0u) << "no storage before allocation";
  EXPECT_EQ(RingGet(&byte, &ring_, 1), 0u);
  ASSERT_EQ(RingAllocate(&ring_, 4), STATUS_SUCCESS);
  EXPECT_EQ(RingPut(&ring_, &byte, 0), 0u);
  EXPECT_EQ(ring_.Count, 0u);
}

TEST_F(Ring, ResetKeepsTheStorageAndFreeDropsIt) {
  ASSERT_EQ(RingAllocate(&ring_, 8), STATUS_SUCCESS);
  Put({1, 2, 3});
  Get(1);
  PUCHAR storage = ring_.Storage;
  RingReset(&ring_);
  EXPECT_EQ(ring_.Count, 0u);
  EXPECT_EQ(ring_.ReadIndex, 0u);
  EXPECT_EQ(ring_.WriteIndex, 0u);
  EXPECT_EQ(ring_.Storage, storage);
  EXPECT_EQ(ring_.Size, 8u);
  RingFree(&ring_);
  EXPECT_EQ(ring_.Size, 0u);
  EXPECT_EQ(ring_.Storage, nullptr);
  EXPECT_EQ(Put({1}), 0u);
  EXPECT_TRUE(Get(1).empty());
}

TEST_F(Ring, ReplacedStorageStartsEmptyWithItsOwnSize) {
  ASSERT_EQ(RingAllocate(&ring_, 8), STATUS_SUCCESS);
  Put({1, 2, 3, 4, 5});
  auto storage = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, 16, PORT_POOL_TAG);
  RingReplaceStorage(&ring_, storage, 16);
  EXPECT_EQ(ring_.Size, 16u);
  EXPECT_EQ(ring_.Count, 0u) << "bytes held before are lost";
  EXPECT_EQ(Put(std::vector<UCHAR>(20, 9)), 16u);
}

TEST_F(Ring, AFailedAllocationLeavesAnEmptyRingAndReportsIt) {
  sim::FaultPlan plan;
  plan.failTag = PORT_POOL_TAG;
  machine_.Pool().SetFaultPlan(plan);
  NTSTATUS status = STATUS_SUCCESS;
  {
    // Allocations fail only for a driver: run as one.
    PDRIVER_OBJECT driver = machine_.LoadDriver(u"ringowner", [](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; });
    {
      sim::FrameScope frame(driver, (const void*)&RingAllocate, sim::FrameKind::Other);
      status = RingAllocate(&ring_, 8);
    }
    machine_.UnloadDriver(driver);
  }
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ring_.Size, 0u);
  EXPECT_EQ(ring_.Storage, nullptr);
}

}  // namespace
