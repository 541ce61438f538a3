// Pool requests no x86 system could satisfy fail as they do on NT, instead of
// succeeding from the host's memory.
#include <gtest/gtest.h>

#include "sim/kernel/machine.h"

namespace {

constexpr ULONG kTag = 0x74696D4C;  // 'Lmit'

TEST(PoolLimits, ARequestBeyondTheLargestX86PoolFails) {
  sim::Machine machine;
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 0xFFFFFFFFu, kTag), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 0x80000000u, kTag), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, (256u << 20) + 1, kTag), nullptr);
  PVOID ordinary = ExAllocatePoolWithTag(NonPagedPool, 64 * 1024, kTag);
  EXPECT_NE(ordinary, nullptr) << "an ordinary request still succeeds";
  if (ordinary) ExFreePool(ordinary);
}

}  // namespace
