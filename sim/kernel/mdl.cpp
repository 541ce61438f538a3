// Memory descriptor lists. The host's address space is flat, so an MDL's
// "physical" pages are its virtual pages: the page-frame array holds the
// virtual page numbers, and mapping a locked MDL gives back StartVa +
// ByteOffset. What is kept faithful is what drivers see and depend on: the
// header fields, the flags after each step, who owns the MDL, which mappings
// can fail, and the calls NT refuses.
#include "sim/kernel/mdl.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {

constexpr ULONG kMdlTag = 0x206C644D;  // 'Mdl ', as NT tags its MDLs
// The most pages one MDL can describe: Size, a CSHORT, holds the header and
// the page-frame array.
constexpr ULONG kMaxMdlPages = (0x7FFF - sizeof(MDL)) / sizeof(PFN_NUMBER);
// Flags that describe the MDL's allocation rather than the buffer, and so
// survive IoBuildPartialMdl rebuilding the MDL.
constexpr int kAllocationFlags = MDL_ALLOCATED_FIXED_SIZE | MDL_ALLOCATED_MUST_SUCCEED;
// Flags that describe the source's memory and so hold for a part of it too.
constexpr int kInheritedFlags = MDL_SOURCE_IS_NONPAGED_POOL | MDL_IO_PAGE_READ | MDL_IO_SPACE;
// Any of these makes an MDL's pages safe to map: locked by this MDL, nonpaged
// memory, or a part of a source that IoBuildPartialMdl found locked.
constexpr int kResidentFlags = MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL;

// MDLs the kernel made for its own requests (KernelAllocateLockedMdl). They
// live in host memory, not in pool, so they count against no driver.
struct KernelMdls {
  std::mutex mutex;
  std::set<PMDL> mdls;
};
KernelMdls& Kernel() {
  static KernelMdls kernel;
  return kernel;
}

enum class Owner { Pool, Kernel, Unknown };

Owner OwnerOf(PMDL mdl) {
  if (CurrentMachine().Pool().Contains(mdl)) return Owner::Pool;
  std::lock_guard guard(Kernel().mutex);
  return Kernel().mdls.count(mdl) ? Owner::Kernel : Owner::Unknown;
}

bool Has(PMDL mdl, int flags) { return (mdl->MdlFlags & flags) != 0; }
void SetFlags(PMDL mdl, int flags) { mdl->MdlFlags = (CSHORT)(mdl->MdlFlags | flags); }
void ClearFlags(PMDL mdl, int flags) { mdl->MdlFlags = (CSHORT)(mdl->MdlFlags & ~flags); }

ULONG PagesSpanned(PVOID va, SIZE_T length) { return ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, length); }
ULONG PagesOf(PMDL mdl) { return PagesSpanned(MmGetMdlVirtualAddress(mdl), mdl->ByteCount); }
// Pages the MDL has room for, which after IoBuildPartialMdl can exceed the
// pages it describes.
ULONG Capacity(PMDL mdl) { return (ULONG)(((USHORT)mdl->Size - sizeof(MDL)) / sizeof(PFN_NUMBER)); }

// What MmInitializeMdl does: describes [va, va + length) with no pages yet.
void InitializeMdl(PMDL mdl, PVOID va, SIZE_T length) {
  mdl->Next = nullptr;
  mdl->Size = (CSHORT)(sizeof(MDL) + PagesSpanned(va, length) * sizeof(PFN_NUMBER));
  mdl->MdlFlags = 0;
  mdl->Process = nullptr;
  mdl->StartVa = PAGE_ALIGN(va);
  mdl->ByteOffset = BYTE_OFFSET(va);
  mdl->ByteCount = (ULONG)length;
}

// The pages are the host's: frame numbers are virtual page numbers.
void FillPageFrames(PMDL mdl) {
  PPFN_NUMBER frames = MmGetMdlPfnArray(mdl);
  auto first = (ULONG_PTR)mdl->StartVa >> PAGE_SHIFT;
  for (ULONG i = 0, pages = PagesOf(mdl); i < pages; ++i) frames[i] = (PFN_NUMBER)(first + i);
}

void Lock(PMDL mdl, LOCK_OPERATION operation) {
  FillPageFrames(mdl);
  mdl->Process = nullptr;
  SetFlags(mdl, MDL_PAGES_LOCKED | (operation == IoReadAccess ? 0 : MDL_WRITE_OPERATION));
}

void Unmap(PMDL mdl) { ClearFlags(mdl, MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED); }

// Releases the MDL's own system mapping; a partial MDL sharing its parent's
// mapping has none.
void ReleaseOwnMapping(PMDL mdl) {
  if (Has(mdl, MDL_MAPPED_TO_SYSTEM_VA) && !Has(mdl, MDL_PARENT_MAPPED_SYSTEM_VA)) Unmap(mdl);
}

void Unlock(PMDL mdl) {
  ReleaseOwnMapping(mdl);
  ClearFlags(mdl, MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}

// Maps `mdl` to system space. A mapping that has to be made can fail under
// low resources when the caller asked for NULL rather than a bug check, so
// fault injection fails it there as it fails an allocation from `site`.
PVOID Map(PMDL mdl, KPROCESSOR_MODE mode, bool canFail, const void* site, const char* routine) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, routine);
  if (mode != KernelMode)
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "%s of MDL %p to user mode: the simulated kernel has no user address space; map it with KernelMode",
                 routine, (void*)mdl);
  if (!Has(mdl, kResidentFlags))
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "%s of MDL %p whose pages are neither locked nor from nonpaged pool; expected MmProbeAndLockPages "
                 "or MmBuildMdlForNonPagedPool first",
                 routine, (void*)mdl);
  if (Has(mdl, MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return mdl->MappedSystemVa;
  if (canFail && CurrentMachine().Pool().ShouldFail(0, site)) return nullptr;
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  SetFlags(mdl, MDL_MAPPED_TO_SYSTEM_VA | (Has(mdl, MDL_PARTIAL) ? MDL_PARTIAL_HAS_BEEN_MAPPED : 0));
  return mdl->MappedSystemVa;
}

// Returns the MDL's memory to whoever it came from.
void Release(PMDL mdl, Owner owner) {
  if (owner == Owner::Pool) {
    CurrentMachine().Pool().Free(mdl, nullptr);
    return;
  }
  {
    std::lock_guard guard(Kernel().mutex);
    Kernel().mdls.erase(mdl);
  }
  std::memset(mdl, 0xDD, (USHORT)mdl->Size);  // as pool poisons freed blocks
  std::free(mdl);
}

Owner RequireMdl(PMDL mdl, const char* routine) {
  Owner owner = mdl ? OwnerOf(mdl) : Owner::Unknown;
  if (owner == Owner::Unknown)
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "%s of %p, which is not an allocated MDL (freed already, or never allocated)", routine, (void*)mdl);
  return owner;
}

void AttachToIrp(PIRP irp, PMDL mdl, BOOLEAN secondaryBuffer) {
  if (!secondaryBuffer || !irp->MdlAddress) {
    irp->MdlAddress = mdl;
    return;
  }
  PMDL last = irp->MdlAddress;
  while (last->Next) last = last->Next;
  last->Next = mdl;
}

// IoBuildPartialMdl's refusals: a target whose old state would be lost, a
// source whose pages may move, a range outside the source, a target too small.
void CheckPartialRequest(PMDL source, PMDL target, uintptr_t begin, ULONG length) {
  if (Has(target, MDL_PARTIAL_HAS_BEEN_MAPPED))
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "IoBuildPartialMdl into target MDL %p, which is still mapped from its last use; expected "
                 "MmPrepareMdlForReuse before rebuilding it",
                 (void*)target);
  if (!Has(target, MDL_PARTIAL) && Has(target, MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA))
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "IoBuildPartialMdl into target MDL %p, whose own pages are still locked or mapped; expected "
                 "MmUnlockPages first",
                 (void*)target);
  if (!Has(source, kResidentFlags))
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "IoBuildPartialMdl from source MDL %p whose pages are neither locked nor from nonpaged pool; "
                 "expected MmProbeAndLockPages or MmBuildMdlForNonPagedPool on the source first",
                 (void*)source);
  auto sourceBegin = (uintptr_t)MmGetMdlVirtualAddress(source);
  auto sourceEnd = sourceBegin + source->ByteCount;
  if (begin < sourceBegin || begin >= sourceEnd || length > sourceEnd - begin)
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "IoBuildPartialMdl of [%p, +%lu) outside source MDL %p; expected a range within the [%p, +%lu) "
                 "it describes", (void*)begin,
                 (unsigned long)length, (void*)source, (void*)sourceBegin, (unsigned long)source->ByteCount);
  ULONG pages = PagesSpanned((PVOID)begin, length);
  if (pages > Capacity(target))
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "IoBuildPartialMdl into target MDL %p, which has room for %lu page(s); [%p, +%lu) spans %lu, and "
                 "the target must be allocated large enough for every range it will describe",
                 (void*)target, (unsigned long)Capacity(target), (void*)begin, (unsigned long)length,
                 (unsigned long)pages);
}

}  // namespace

PMDL KernelAllocateLockedMdl(PVOID va, ULONG length, LOCK_OPERATION operation) {
  ULONG pages = PagesSpanned(va, length);
  if (length == 0 || pages > kMaxMdlPages)
    VerifierStop(Rule::KernelStop, nullptr, "the I/O manager cannot describe %lu bytes at %p with one MDL",
                 (unsigned long)length, va);
  auto mdl = (PMDL)std::malloc(sizeof(MDL) + pages * sizeof(PFN_NUMBER));
  if (!mdl) VerifierStop(Rule::KernelStop, nullptr, "host memory exhausted allocating an MDL");
  InitializeMdl(mdl, va, length);
  SetFlags(mdl, MDL_ALLOCATED_FIXED_SIZE);
  Lock(mdl, operation);
  std::lock_guard guard(Kernel().mutex);
  Kernel().mdls.insert(mdl);
  return mdl;
}

// Frees a request's MDLs as NT's I/O completion does, whether the kernel or
// a driver (a secondary buffer it attached) allocated them.
void KernelFreeMdlChain(PMDL mdl) {
  while (mdl) {
    PMDL next = mdl->Next;
    Owner owner = RequireMdl(mdl, "freeing a request's MDL chain");
    if (Has(mdl, MDL_PAGES_LOCKED)) Unlock(mdl);
    ReleaseOwnMapping(mdl);
    Release(mdl, owner);
    mdl = next;
  }
}

}  // namespace sim

using namespace sim;

extern "C" SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length) {
  return sizeof(MDL) + PagesSpanned(Base, Length) * sizeof(PFN_NUMBER);
}

extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN, PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoAllocateMdl");
  if (Length == 0 || PagesSpanned(VirtualAddress, Length) > kMaxMdlPages) return nullptr;
  SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
  auto mdl = (PMDL)CurrentMachine().Pool().Allocate(NonPagedPool, size, kMdlTag, __builtin_return_address(0));
  if (!mdl) return nullptr;
  InitializeMdl(mdl, VirtualAddress, Length);
  SetFlags(mdl, MDL_ALLOCATED_FIXED_SIZE);
  if (Irp) AttachToIrp(Irp, mdl, SecondaryBuffer);
  return mdl;
}

extern "C" PMDL NTAPI MmCreateMdl(PMDL MemoryDescriptorList, PVOID Base, SIZE_T Length) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "MmCreateMdl");
  if (PagesSpanned(Base, Length) > kMaxMdlPages) return nullptr;
  PMDL mdl = MemoryDescriptorList;
  if (!mdl)
    mdl = (PMDL)CurrentMachine().Pool().Allocate(NonPagedPool, MmSizeOfMdl(Base, Length), kMdlTag,
                                                 __builtin_return_address(0));
  if (mdl) InitializeMdl(mdl, Base, Length);
  return mdl;
}

extern "C" void NTAPI IoFreeMdl(PMDL Mdl) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoFreeMdl");
  Owner owner = RequireMdl(Mdl, "IoFreeMdl");
  if (Has(Mdl, MDL_PAGES_LOCKED))
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "IoFreeMdl of MDL %p whose pages are still locked; expected MmUnlockPages first", (void*)Mdl);
  // A partial MDL's own mapping goes with it (MmPrepareMdlForReuse not needed).
  ReleaseOwnMapping(Mdl);
  Release(Mdl, owner);
}

extern "C" void NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "MmBuildMdlForNonPagedPool");
  PMDL mdl = MemoryDescriptorList;
  FillPageFrames(mdl);
  mdl->Process = nullptr;
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  SetFlags(mdl, MDL_SOURCE_IS_NONPAGED_POOL);
}

extern "C" void NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE, LOCK_OPERATION Operation) {
  // Pageable memory may only be touched at APC_LEVEL or below; the simulated
  // kernel has none, so only the routine's own limit is checked.
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "MmProbeAndLockPages");
  PMDL mdl = MemoryDescriptorList;
  if (Has(mdl, MDL_PAGES_LOCKED))
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "MmProbeAndLockPages of MDL %p whose pages are already locked; expected one lock per MDL, "
                 "released by MmUnlockPages",
                 (void*)mdl);
  if (Has(mdl, MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "MmProbeAndLockPages of MDL %p, which is %s; its pages must not be locked through it", (void*)mdl,
                 Has(mdl, MDL_PARTIAL) ? "a partial MDL (lock the source)" : "built by MmBuildMdlForNonPagedPool");
  if (mdl->StartVa == nullptr)
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "MmProbeAndLockPages of MDL %p describing the page at address 0, which NT refuses with an "
                 "access violation",
                 (void*)mdl);
  Lock(mdl, Operation);
}

extern "C" void NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "MmUnlockPages");
  PMDL mdl = MemoryDescriptorList;
  if (!Has(mdl, MDL_PAGES_LOCKED))
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "MmUnlockPages of MDL %p whose pages are not locked; expected an MDL locked by MmProbeAndLockPages "
                 "(not a partial MDL, nor one built by MmBuildMdlForNonPagedPool)",
                 (void*)mdl);
  Unlock(mdl);
}

extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                    MEMORY_CACHING_TYPE, PVOID, ULONG BugCheckOnFailure, ULONG) {
  return Map(MemoryDescriptorList, AccessMode, !BugCheckOnFailure, __builtin_return_address(0),
             "MmMapLockedPagesSpecifyCache");
}

// The old routine bug-checks rather than fail, so no failure is injected.
extern "C" PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
  return Map(MemoryDescriptorList, AccessMode, false, nullptr, "MmMapLockedPages");
}

extern "C" PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG) {
  return Map(Mdl, KernelMode, true, __builtin_return_address(0), "MmGetSystemAddressForMdlSafe");
}

extern "C" void NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "MmUnmapLockedPages");
  PMDL mdl = MemoryDescriptorList;
  if (!Has(mdl, MDL_MAPPED_TO_SYSTEM_VA) || Has(mdl, MDL_PARENT_MAPPED_SYSTEM_VA))
    VerifierStop(Rule::MdlMisuse, nullptr,
                 "MmUnmapLockedPages of MDL %p, which has no mapping of its own; expected a mapping made by "
                 "MmMapLockedPagesSpecifyCache or MmGetSystemAddressForMdlSafe",
                 (void*)mdl);
  if (BaseAddress != mdl->MappedSystemVa)
    VerifierStop(Rule::MdlMisuse, nullptr, "MmUnmapLockedPages of MDL %p at %p; it is mapped at %p", (void*)mdl,
                 BaseAddress, mdl->MappedSystemVa);
  Unmap(mdl);
}

extern "C" void NTAPI MmPrepareMdlForReuse(PMDL Mdl) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "MmPrepareMdlForReuse");
  // Only a mapping a partial MDL made itself is released; NT leaves any
  // other MDL as it is.
  if (Has(Mdl, MDL_PARTIAL_HAS_BEEN_MAPPED)) Unmap(Mdl);
}

extern "C" void NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoBuildPartialMdl");
  auto begin = (uintptr_t)VirtualAddress;
  auto sourceBegin = (uintptr_t)MmGetMdlVirtualAddress(SourceMdl);
  ULONG length = Length;
  if (length == 0 && begin >= sourceBegin && begin < sourceBegin + SourceMdl->ByteCount)
    length = (ULONG)(sourceBegin + SourceMdl->ByteCount - begin);
  CheckPartialRequest(SourceMdl, TargetMdl, begin, length);

  // Size (the room the target was allocated with) and Next stay as they are.
  TargetMdl->StartVa = PAGE_ALIGN(VirtualAddress);
  TargetMdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  TargetMdl->ByteCount = length;
  TargetMdl->Process = SourceMdl->Process;
  TargetMdl->MdlFlags =
      (CSHORT)((TargetMdl->MdlFlags & kAllocationFlags) | (SourceMdl->MdlFlags & kInheritedFlags) | MDL_PARTIAL);
  // A mapped or nonpaged source lends its system address; the part needs no
  // mapping of its own.
  if (Has(SourceMdl, MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
    TargetMdl->MappedSystemVa = (PCHAR)SourceMdl->MappedSystemVa + (begin - sourceBegin);
  if (Has(SourceMdl, MDL_MAPPED_TO_SYSTEM_VA))
    SetFlags(TargetMdl, MDL_MAPPED_TO_SYSTEM_VA | MDL_PARENT_MAPPED_SYSTEM_VA);

  auto firstPage = ((uintptr_t)TargetMdl->StartVa - (uintptr_t)SourceMdl->StartVa) >> PAGE_SHIFT;
  std::memcpy(MmGetMdlPfnArray(TargetMdl), MmGetMdlPfnArray(SourceMdl) + firstPage,
              PagesOf(TargetMdl) * sizeof(PFN_NUMBER));
}
