// Remove locks: IoReleaseRemoveLockAndWait holds the remover until every other
// holder has released, and acquisitions from then on are refused.
#include <gtest/gtest.h>

#include <atomic>

#include "sim/kernel/machine.h"

namespace {

using sim::kTicksPerMs;
using sim::kTicksPerSecond;
using sim::Tick;

Tick Now() { return (Tick)KeQueryInterruptTime(); }

class RemoveLocks : public ::testing::Test {
 protected:
  RemoveLocks() { IoInitializeRemoveLock(&lock, 0x74736554, 0, 0); }

  // Starts a thread that takes the lock for the remove request and waits
  // for the other holders; `removed` tells when the wait returned.
  std::unique_ptr<sim::Thread> StartRemoval() {
    auto remover = std::make_unique<sim::Thread>("remover", [this] {
      EXPECT_EQ(IoAcquireRemoveLock(&lock, kRemoveTag), STATUS_SUCCESS);
      IoReleaseRemoveLockAndWait(&lock, kRemoveTag);
      removedAt = Now();
      removed = true;
    });
    machine.Sleep(kTicksPerMs);  // the remover is waiting by now
    return remover;
  }

  static inline PVOID const kRemoveTag = (PVOID)0x52454D;  // the remove request
  static inline PVOID const kIoTag = (PVOID)0x494F;        // an I/O request

  sim::Machine machine;
  IO_REMOVE_LOCK lock;
  std::atomic<bool> removed{false};
  Tick removedAt = 0;
};

TEST_F(RemoveLocks, ReleaseAndWaitBlocksUntilTheLastHolderReleases) {
  ASSERT_EQ(IoAcquireRemoveLock(&lock, kIoTag), STATUS_SUCCESS);
  auto remover = StartRemoval();
  machine.Sleep(kTicksPerSecond);
  EXPECT_FALSE(removed) << "an I/O request still holds the lock";

  Tick releasedAt = Now();
  IoReleaseRemoveLock(&lock, kIoTag);
  remover->Join();
  EXPECT_TRUE(removed);
  EXPECT_EQ(removedAt, releasedAt) << "the wait ends at the last release";
}

TEST_F(RemoveLocks, AcquireDuringRemovalReturnsDeletePending) {
  ASSERT_EQ(IoAcquireRemoveLock(&lock, kIoTag), STATUS_SUCCESS);
  auto remover = StartRemoval();

  EXPECT_EQ(IoAcquireRemoveLock(&lock, (PVOID)0x2), STATUS_DELETE_PENDING)
      << "once removal began, new requests are refused";
  EXPECT_FALSE(removed);
  IoReleaseRemoveLock(&lock, kIoTag);
  remover->Join();
  EXPECT_TRUE(removed) << "the refused acquisition holds nothing, so the release of the last holder ended the wait";
}

TEST_F(RemoveLocks, AcquireAfterTheRemovalWaitReturnsDeletePending) {
  ASSERT_EQ(IoAcquireRemoveLock(&lock, kRemoveTag), STATUS_SUCCESS);
  IoReleaseRemoveLockAndWait(&lock, kRemoveTag);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, kIoTag), STATUS_DELETE_PENDING) << "as documented: refused, not a fault";
}

TEST_F(RemoveLocks, ReleaseAndWaitReturnsAtOnceWithoutOtherHolders) {
  Tick before = Now();
  ASSERT_EQ(IoAcquireRemoveLock(&lock, kRemoveTag), STATUS_SUCCESS);
  IoReleaseRemoveLockAndWait(&lock, kRemoveTag);
  EXPECT_EQ(Now(), before);
}

TEST_F(RemoveLocks, HoldersReleasingOnOtherThreadsAllCount) {
  ASSERT_EQ(IoAcquireRemoveLock(&lock, kIoTag), STATUS_SUCCESS);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, kIoTag), STATUS_SUCCESS);
  auto remover = StartRemoval();
  sim::Thread completer("completer", [this] {
    machine.Sleep(10 * kTicksPerMs);
    IoReleaseRemoveLock(&lock, kIoTag);
  });
  completer.Join();
  machine.Sleep(kTicksPerMs);
  EXPECT_FALSE(removed) << "one of two holders released";
  IoReleaseRemoveLock(&lock, kIoTag);
  remover->Join();
  EXPECT_TRUE(removed);
}

}  // namespace
