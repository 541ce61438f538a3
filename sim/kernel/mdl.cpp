// Placeholder: MDLs (being written).
#include "sim/kernel/mdl.h"
#include "sim/kernel/verifier.h"
using namespace sim;
#define TODO(name) VerifierStop(Rule::KernelStop, nullptr, #name " is not implemented yet")
namespace sim {
PMDL KernelAllocateLockedMdl(PVOID, ULONG, LOCK_OPERATION) { TODO(KernelAllocateLockedMdl); }
void KernelFreeMdlChain(PMDL) { TODO(KernelFreeMdlChain); }
}
extern "C" {
PMDL NTAPI IoAllocateMdl(PVOID, ULONG, BOOLEAN, BOOLEAN, PIRP) { TODO(IoAllocateMdl); }
void NTAPI IoFreeMdl(PMDL) { TODO(IoFreeMdl); }
void NTAPI IoBuildPartialMdl(PMDL, PMDL, PVOID, ULONG) { TODO(IoBuildPartialMdl); }
void NTAPI MmBuildMdlForNonPagedPool(PMDL) { TODO(MmBuildMdlForNonPagedPool); }
void NTAPI MmProbeAndLockPages(PMDL, KPROCESSOR_MODE, LOCK_OPERATION) { TODO(MmProbeAndLockPages); }
void NTAPI MmUnlockPages(PMDL) { TODO(MmUnlockPages); }
PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG) { TODO(MmMapLockedPagesSpecifyCache); }
PVOID NTAPI MmMapLockedPages(PMDL, KPROCESSOR_MODE) { TODO(MmMapLockedPages); }
void NTAPI MmUnmapLockedPages(PVOID, PMDL) { TODO(MmUnmapLockedPages); }
SIZE_T NTAPI MmSizeOfMdl(PVOID, SIZE_T) { TODO(MmSizeOfMdl); }
PMDL NTAPI MmCreateMdl(PMDL, PVOID, SIZE_T) { TODO(MmCreateMdl); }
PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL, ULONG) { TODO(MmGetSystemAddressForMdlSafe); }
void NTAPI MmPrepareMdlForReuse(PMDL) { TODO(MmPrepareMdlForReuse); }
}
