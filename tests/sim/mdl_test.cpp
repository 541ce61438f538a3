// Memory descriptor lists: layout, the flags after each step, partial MDLs,
// chains on IRPs, ownership and fault injection, and the misuse NT refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "sim/ddk/ntddk.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/mdl.h"
#include "tests/sim/testkit.h"

namespace {

struct alignas(PAGE_SIZE) Pages {
  UCHAR bytes[4 * PAGE_SIZE];
};

constexpr int kFixed = MDL_ALLOCATED_FIXED_SIZE;
constexpr ULONG kMdlTag = 0x206C644D;  // 'Mdl '
constexpr ULONG kTestTag = 0x74736554;  // 'Test'

PFN_NUMBER PageOf(const void* p) { return (PFN_NUMBER)((ULONG_PTR)p >> PAGE_SHIFT); }

// Frame numbers of the host pages the MDL describes, in order.
void ExpectFramesOf(PMDL mdl, const void* va) {
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, mdl->ByteCount);
  for (ULONG i = 0; i < pages; ++i)
    EXPECT_EQ(MmGetMdlPfnArray(mdl)[i], PageOf(va) + i) << "page " << i << " of the MDL at " << va;
}

PMDL LockedMdl(PVOID va, ULONG length, LOCK_OPERATION operation = IoWriteAccess) {
  PMDL mdl = IoAllocateMdl(va, length, FALSE, FALSE, nullptr);
  if (mdl) MmProbeAndLockPages(mdl, KernelMode, operation);
  return mdl;
}

void FreeLockedMdl(PMDL mdl) {
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
}

TEST(MdlLayout, BufferStraddlingPagesDescribesBothPages) {
  sim::Machine machine;
  auto pages = std::make_unique<Pages>();
  PUCHAR va = pages->bytes + PAGE_SIZE - 0x100;  // 0x100 bytes in page 0, 0x200 in page 1
  PMDL mdl = IoAllocateMdl(va, 0x300, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(mdl->StartVa, pages->bytes) << "StartVa is the page-aligned start";
  EXPECT_EQ(mdl->ByteOffset, PAGE_SIZE - 0x100u);
  EXPECT_EQ(mdl->ByteCount, 0x300u);
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), va);
  EXPECT_EQ((SIZE_T)mdl->Size, sizeof(MDL) + 2 * sizeof(PFN_NUMBER));
  EXPECT_EQ(mdl->Next, nullptr);
  EXPECT_EQ(mdl->MdlFlags, kFixed) << "a fresh MDL has no pages locked or mapped";

  MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
  ExpectFramesOf(mdl, va);
  FreeLockedMdl(mdl);
}

TEST(MdlLayout, SizeCountsEveryPageTheRangeTouches) {
  sim::Machine machine;
  auto pages = std::make_unique<Pages>();
  struct Case {
    ULONG offset, length, pages;
  } cases[] = {
      {0, 0x10, 1},          {0, PAGE_SIZE, 1},         {0, PAGE_SIZE + 1, 2},
      {1, PAGE_SIZE, 2},     {PAGE_SIZE - 1, 2, 2},     {0x800, 2 * PAGE_SIZE, 3},
      {0, 3 * PAGE_SIZE, 3}, {0x10, 3 * PAGE_SIZE, 4},
  };
  for (const Case& c : cases) {
    PVOID va = pages->bytes + c.offset;
    SIZE_T expected = sizeof(MDL) + c.pages * sizeof(PFN_NUMBER);
    EXPECT_EQ(MmSizeOfMdl(va, c.length), expected) << "offset " << c.offset << ", length " << c.length;
    PMDL mdl = IoAllocateMdl(va, c.length, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ((SIZE_T)mdl->Size, expected) << "offset " << c.offset << ", length " << c.length;
    IoFreeMdl(mdl);
  }
  EXPECT_EQ(MmSizeOfMdl(pages->bytes, 0), sizeof(MDL));
}

TEST(MdlLayout, ZeroOrOversizedLengthIsRefused) {
  sim::Machine machine;
  PVOID va = (PVOID)0x10000000;  // never touched: allocation only describes it
  EXPECT_EQ(IoAllocateMdl(va, 0, FALSE, FALSE, nullptr), nullptr) << "a zero length fails";
  EXPECT_EQ(IoAllocateMdl(va, 0x40000000, FALSE, FALSE, nullptr), nullptr) << "1 GiB is more than an MDL describes";
  PMDL large = IoAllocateMdl(va, 16 * 1024 * 1024, FALSE, FALSE, nullptr);
  ASSERT_NE(large, nullptr) << "16 MiB fits one MDL";
  IoFreeMdl(large);
}

TEST(MdlFlags, LockMapAndUnlock) {
  sim::Machine machine;
  auto pages = std::make_unique<Pages>();
  PUCHAR va = pages->bytes + 0x40;
  PMDL mdl = LockedMdl(va, 0x2000, IoWriteAccess);
  EXPECT_EQ(mdl->MdlFlags, kFixed | MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);

  auto system = (PUCHAR)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
  EXPECT_EQ(system, va) << "the system address keeps the buffer's byte offset";
  EXPECT_EQ(mdl->MappedSystemVa, va);
  EXPECT_EQ(mdl->MdlFlags, kFixed | MDL_PAGES_LOCKED | MDL_WRITE_OPERATION | MDL_MAPPED_TO_SYSTEM_VA);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), system) << "a mapped MDL is not mapped again";
  system[0x1FFF] = 0x5A;
  EXPECT_EQ(va[0x1FFF], 0x5A) << "writes through the system address reach the buffer";

  MmUnlockPages(mdl);
  EXPECT_EQ(mdl->MdlFlags, kFixed) << "unlocking also releases the mapping";
  IoFreeMdl(mdl);

  PMDL readOnly = LockedMdl(va, 0x10, IoReadAccess);
  EXPECT_EQ(readOnly->MdlFlags, kFixed | MDL_PAGES_LOCKED) << "read access is no write operation";
  FreeLockedMdl(readOnly);
}

TEST(MdlFlags, ExplicitMappingIsUnmappedExplicitly) {
  sim::Machine machine;
  auto pages = std::make_unique<Pages>();
  PMDL mdl = LockedMdl(pages->bytes + 8, 0x100, IoModifyAccess);
  EXPECT_EQ(mdl->MdlFlags, kFixed | MDL_PAGES_LOCKED | MDL_WRITE_OPERATION) << "modify access writes too";
  PVOID system = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
  EXPECT_EQ(system, pages->bytes + 8);
  EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  MmUnmapLockedPages(system, mdl);
  EXPECT_EQ(mdl->MdlFlags, kFixed | MDL_PAGES_LOCKED | MDL_WRITE_OPERATION) << "unmapping leaves the pages locked";
  FreeLockedMdl(mdl);
}

TEST(MdlFlags, NonPagedPoolIsAddressableWithoutMapping) {
  sim::Machine machine;
  auto buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, 0x1800, kTestTag);
  PMDL mdl = IoAllocateMdl(buffer, 0x1800, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_EQ(mdl->MdlFlags, kFixed | MDL_SOURCE_IS_NONPAGED_POOL);
  EXPECT_EQ(mdl->MappedSystemVa, buffer);
  ExpectFramesOf(mdl, buffer);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer);
  EXPECT_EQ(mdl->MdlFlags, kFixed | MDL_SOURCE_IS_NONPAGED_POOL) << "the address is returned without mapping";
  IoFreeMdl(mdl);  // nothing to unlock
  ExFreePool(buffer);
}

// The way a USB driver cuts a long transfer: one locked MDL for the whole
// buffer, one partial MDL rebuilt for each segment.
TEST(PartialMdl, SegmentsALockedBufferOneAtATime) {
  sim::Machine machine;
  auto pages = std::make_unique<Pages>();
  PUCHAR base = pages->bytes + 0x123;
  const ULONG total = 3 * PAGE_SIZE - 0x200;
  const ULONG segment = PAGE_SIZE;  // unaligned segments each touch two pages
  PMDL source = LockedMdl(base, total);
  PMDL partial = IoAllocateMdl(base, total, FALSE, FALSE, nullptr);  // room for any segment
  ASSERT_NE(partial, nullptr);

  for (ULONG offset = 0, index = 1; offset < total; offset += segment, ++index) {
    if (offset) MmPrepareMdlForReuse(partial);
    ULONG length = std::min(segment, total - offset);
    PUCHAR va = base + offset;
    IoBuildPartialMdl(source, partial, va, length);
    EXPECT_EQ(partial->StartVa, PAGE_ALIGN(va)) << "segment " << index;
    EXPECT_EQ(partial->ByteOffset, BYTE_OFFSET(va)) << "segment " << index;
    EXPECT_EQ(partial->ByteCount, length) << "segment " << index;
    EXPECT_EQ(partial->MdlFlags, kFixed | MDL_PARTIAL) << "segment " << index << ": a part of an unmapped source";
    ExpectFramesOf(partial, va);

    auto system = (PUCHAR)MmGetSystemAddressForMdlSafe(partial, NormalPagePriority);
    ASSERT_EQ(system, va) << "segment " << index;
    EXPECT_EQ(partial->MdlFlags, kFixed | MDL_PARTIAL | MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
    std::memset(system, (int)index, length);
  }
  for (ULONG i = 0; i < total; ++i)
    ASSERT_EQ(base[i], i / segment + 1) << "byte " << i << " was written by the wrong segment";
  EXPECT_EQ(source->MdlFlags, kFixed | MDL_PAGES_LOCKED | MDL_WRITE_OPERATION) << "the source stays unmapped";

  MmPrepareMdlForReuse(partial);
  EXPECT_EQ(partial->MdlFlags, kFixed | MDL_PARTIAL) << "MmPrepareMdlForReuse releases the partial mapping";
  IoFreeMdl(partial);
  FreeLockedMdl(source);
}

TEST(PartialMdl, ZeroLengthRunsToTheEndOfTheSource) {
  sim::Machine machine;
  auto pages = std::make_unique<Pages>();
  PMDL source = LockedMdl(pages->bytes + 0x10, 0x2000);
  PMDL partial = IoAllocateMdl(pages->bytes + 0x10, 0x2000, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(source, partial, pages->bytes + 0x1010, 0);
  EXPECT_EQ(MmGetMdlVirtualAddress(partial), pages->bytes + 0x1010);
  EXPECT_EQ(partial->ByteCount, 0x1000u);
  IoFreeMdl(partial);
  FreeLockedMdl(source);
}

TEST(PartialMdl, MappedSourceLendsItsMapping) {
  sim::Machine machine;
  auto pages = std::make_unique<Pages>();
  PMDL source = LockedMdl(pages->bytes, 3 * PAGE_SIZE);
  auto sourceSystem = (PUCHAR)MmGetSystemAddressForMdlSafe(source, NormalPagePriority);
  PMDL partial = IoAllocateMdl(pages->bytes, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);

  IoBuildPartialMdl(source, partial, pages->bytes + 0x1800, 0x100);
  EXPECT_EQ(partial->MdlFlags, kFixed | MDL_PARTIAL | MDL_MAPPED_TO_SYSTEM_VA | MDL_PARENT_MAPPED_SYSTEM_VA);
  EXPECT_EQ(partial->MappedSystemVa, sourceSystem + 0x1800);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), sourceSystem + 0x1800);
  EXPECT_FALSE(partial->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) << "the part made no mapping of its own";

  // Nothing of its own to release: it may be rebuilt straight away.
  IoBuildPartialMdl(source, partial, pages->bytes + 0x2000, 0x10);
  EXPECT_EQ(partial->MappedSystemVa, sourceSystem + 0x2000);
  IoFreeMdl(partial);
  FreeLockedMdl(source);
}

TEST(PartialMdl, NonPagedSourceLendsItsAddress) {
  sim::Machine machine;
  auto buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, 0x3000, kTestTag);
  PMDL source = IoAllocateMdl(buffer, 0x3000, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(source);
  PMDL partial = IoAllocateMdl(buffer, 0x3000, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(source, partial, buffer + 0x1234, 0x1000);
  EXPECT_EQ(partial->MdlFlags, kFixed | MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), buffer + 0x1234);
  EXPECT_EQ(partial->MdlFlags, kFixed | MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL);
  ExpectFramesOf(partial, buffer + 0x1234);
  IoFreeMdl(partial);
  IoFreeMdl(source);
  ExFreePool(buffer);
}

TEST(MdlChain, SecondaryBuffersAreAppendedToTheIrpsChain) {
  sim::Machine machine;
  auto pages = std::make_unique<Pages>();
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"chain");
  testkit::Behaviour behaviour;
  PDEVICE_OBJECT device = testkit::CreateDevice(driver, behaviour);
  testkit::AsDriver(driver, [&] {
    PIRP irp = testkit::NewIrp(device, IRP_MJ_WRITE);
    PMDL first = IoAllocateMdl(pages->bytes, 0x100, FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(pages->bytes + PAGE_SIZE, 0x100, TRUE, FALSE, irp);
    PMDL third = IoAllocateMdl(pages->bytes + 2 * PAGE_SIZE, 0x100, TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, first) << "the primary buffer's MDL is the IRP's MdlAddress";
    EXPECT_EQ(first->Next, second) << "secondary buffers go at the end of the chain";
    EXPECT_EQ(second->Next, third);
    EXPECT_EQ(third->Next, nullptr);
    for (PMDL mdl = irp->MdlAddress, next; mdl; mdl = next) {
      next = mdl->Next;
      IoFreeMdl(mdl);
    }
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
  });
  testkit::Delete(device);
}

// A thread request's MDLs go with it at completion: the kernel's own for the
// direct-I/O buffer and a secondary buffer the driver attached.
TEST(MdlChain, CompletionFreesTheRequestsMdlsWhoeverAllocatedThem) {
  sim::Machine machine;
  auto pages = std::make_unique<Pages>();
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"direct");
  testkit::Behaviour behaviour;
  behaviour.dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(irp->MdlAddress->MdlFlags, kFixed | MDL_PAGES_LOCKED | MDL_WRITE_OPERATION)
        << "an output buffer is locked for writing";
    auto out = (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    std::memset(out, 0x77, MmGetMdlByteCount(irp->MdlAddress));
    PMDL extra = IoAllocateMdl(pages->bytes + 2 * PAGE_SIZE, 0x40, TRUE, FALSE, irp);
    MmBuildMdlForNonPagedPool(extra);
    return testkit::Complete(irp, STATUS_SUCCESS, 0x300);
  };
  PDEVICE_OBJECT device = testkit::CreateDevice(driver, behaviour);

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, nullptr, 0, pages->bytes + 0x100, 0x300, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  if (IoCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(pages->bytes[0x100 + 0x2FF], 0x77);
  EXPECT_TRUE(machine.Pool().Outstanding(driver).empty()) << "the driver's secondary MDL was freed with the request";
  testkit::Delete(device);
}

TEST(MdlOwnership, KernelMdlsNeverFailAndCountAgainstNoDriver) {
  sim::MachineOptions options;
  options.faults.failTag = kMdlTag;
  sim::Machine machine(options);
  auto pages = std::make_unique<Pages>();
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"owner");
  testkit::AsDriver(driver, [&] {
    EXPECT_EQ(IoAllocateMdl(pages->bytes, 0x10, FALSE, FALSE, nullptr), nullptr) << "the driver's MDL fails";
    PMDL mdl = sim::KernelAllocateLockedMdl(pages->bytes + 0x10, 0x1000, IoReadAccess);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(mdl->MdlFlags, kFixed | MDL_PAGES_LOCKED);
    ExpectFramesOf(mdl, pages->bytes + 0x10);
    EXPECT_TRUE(machine.Pool().Outstanding(nullptr).empty()) << "a kernel MDL is not pool";
    sim::KernelFreeMdlChain(mdl);
  });
}

TEST(MdlOwnership, LeakedMdlIsReportedAtUnload) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::Machine machine;
        PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"leaky");
        testkit::AsDriver(driver, [] { IoAllocateMdl((PVOID)0x10000, 0x10, FALSE, FALSE, nullptr); });
        machine.UnloadDriver(driver);
      },
      "VERIFIER STOP: PoolLeak.*leaky.*tag 'Mdl '");
}

TEST(MdlFaults, InjectedFailureFailsIoAllocateMdl) {
  sim::Machine machine;
  auto pages = std::make_unique<Pages>();
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"faulty");
  testkit::Behaviour behaviour;
  PDEVICE_OBJECT device = testkit::CreateDevice(driver, behaviour);
  testkit::AsDriver(driver, [&] {
    PIRP irp = testkit::NewIrp(device, IRP_MJ_READ);
    sim::FaultPlan plan;
    plan.failTag = kMdlTag;
    machine.Pool().SetFaultPlan(plan);
    EXPECT_EQ(IoAllocateMdl(pages->bytes, 0x100, FALSE, FALSE, irp), nullptr);
    EXPECT_EQ(irp->MdlAddress, nullptr) << "a failed MDL is not attached";
    machine.Pool().SetFaultPlan({});
    PMDL mdl = IoAllocateMdl(pages->bytes, 0x100, FALSE, FALSE, irp);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(irp->MdlAddress, mdl);
    IoFreeMdl(mdl);
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
  });
  testkit::Delete(device);
}

// Only a mapping that must be made can fail, and only where the caller asked
// for NULL rather than a bug check.
TEST(MdlFaults, MappingFailsOnlyWhereNtCanFailIt) {
  sim::Machine machine;
  auto pages = std::make_unique<Pages>();
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"mapper");
  testkit::AsDriver(driver, [&] {
    PMDL locked = LockedMdl(pages->bytes, 0x100);
    auto buffer = ExAllocatePoolWithTag(NonPagedPool, 0x100, kTestTag);
    PMDL nonPaged = IoAllocateMdl(buffer, 0x100, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(nonPaged);
    sim::FaultPlan plan;
    plan.failNth = 1;

    machine.Pool().SetFaultPlan(plan);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(nonPaged, NormalPagePriority), buffer) << "nothing to map, nothing fails";
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(locked, NormalPagePriority), nullptr) << "the first mapping fails";
    EXPECT_FALSE(locked->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(locked, NormalPagePriority), pages->bytes) << "a retry succeeds";
    MmUnmapLockedPages(pages->bytes, locked);

    machine.Pool().SetFaultPlan(plan);
    EXPECT_EQ(MmMapLockedPagesSpecifyCache(locked, KernelMode, MmCached, nullptr, TRUE, NormalPagePriority),
              pages->bytes)
        << "a caller that asked for a bug check on failure gets its mapping";

    machine.Pool().SetFaultPlan({});
    IoFreeMdl(nonPaged);
    ExFreePool(buffer);
    FreeLockedMdl(locked);
  });
}

// Misuse: each stops the machine. The machine lives inside the dying statement.
void OnMachine(const std::function<void(Pages&)>& body) {
  sim::Machine machine;
  auto pages = std::make_unique<Pages>();
  body(*pages);
}

TEST(MdlMisuseDeathTest, MappingPagesNeitherLockedNorNonPaged) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(OnMachine([](Pages& p) {
                 PMDL mdl = IoAllocateMdl(p.bytes, 0x100, FALSE, FALSE, nullptr);
                 MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
               }),
               "VERIFIER STOP: MdlMisuse.*neither locked nor from nonpaged pool");
}

TEST(MdlMisuseDeathTest, MappingToUserMode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(OnMachine([](Pages& p) {
                 PMDL mdl = LockedMdl(p.bytes, 0x100);
                 MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
               }),
               "VERIFIER STOP: MdlMisuse.*user mode");
}

TEST(MdlMisuseDeathTest, LockingPagesTwice) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(OnMachine([](Pages& p) {
                 PMDL mdl = LockedMdl(p.bytes, 0x100);
                 MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
               }),
               "VERIFIER STOP: MdlMisuse.*already locked");
}

TEST(MdlMisuseDeathTest, UnlockingPagesNotLocked) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(OnMachine([](Pages& p) {
                 PMDL mdl = IoAllocateMdl(p.bytes, 0x100, FALSE, FALSE, nullptr);
                 MmBuildMdlForNonPagedPool(mdl);
                 MmUnlockPages(mdl);
               }),
               "VERIFIER STOP: MdlMisuse.*not locked");
}

TEST(MdlMisuseDeathTest, FreeingAnMdlWithPagesLocked) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(OnMachine([](Pages& p) { IoFreeMdl(LockedMdl(p.bytes, 0x100)); }),
               "VERIFIER STOP: MdlMisuse.*still locked");
}

TEST(MdlMisuseDeathTest, PartialRangeOutsideTheSource) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(OnMachine([](Pages& p) {
                 PMDL source = LockedMdl(p.bytes + 0x100, 0x1000);
                 PMDL target = IoAllocateMdl(p.bytes, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
                 IoBuildPartialMdl(source, target, p.bytes + 0x800, 0x1000);  // runs 0x100 past the end
               }),
               "VERIFIER STOP: MdlMisuse.*outside source");
}

TEST(MdlMisuseDeathTest, PartialTargetTooSmall) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(OnMachine([](Pages& p) {
                 PMDL source = LockedMdl(p.bytes, 3 * PAGE_SIZE);
                 // Room for one page, allocated for an aligned page; the segment straddles two.
                 PMDL target = IoAllocateMdl(p.bytes, PAGE_SIZE, FALSE, FALSE, nullptr);
                 IoBuildPartialMdl(source, target, p.bytes + 0x800, PAGE_SIZE);
               }),
               "VERIFIER STOP: MdlMisuse.*room for 1 page");
}

TEST(MdlMisuseDeathTest, PartialTargetStillMapped) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(OnMachine([](Pages& p) {
                 PMDL source = LockedMdl(p.bytes, 2 * PAGE_SIZE);
                 PMDL target = IoAllocateMdl(p.bytes, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
                 IoBuildPartialMdl(source, target, p.bytes, 0x100);
                 MmGetSystemAddressForMdlSafe(target, NormalPagePriority);
                 IoBuildPartialMdl(source, target, p.bytes + 0x100, 0x100);  // no MmPrepareMdlForReuse
               }),
               "VERIFIER STOP: MdlMisuse.*MmPrepareMdlForReuse");
}

TEST(MdlMisuseDeathTest, LockingAboveDispatchLevel) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(OnMachine([](Pages& p) {
                 PMDL mdl = IoAllocateMdl(p.bytes, 0x100, FALSE, FALSE, nullptr);
                 KfRaiseIrql(DISPATCH_LEVEL + 1);
                 MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
               }),
               "VERIFIER STOP: IrqlDispatch.*MmProbeAndLockPages");
}

}  // namespace
