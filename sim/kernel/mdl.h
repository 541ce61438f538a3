// MDLs the I/O manager builds for requests it issues itself (direct I/O of
// application requests, IoBuild* requests it frees at completion). They are
// the kernel's, so they count against no driver and never fail by injection.
#pragma once

#include "sim/ddk/ntddk.h"

namespace sim {

// An MDL describing [va, va + length) with its pages locked.
PMDL KernelAllocateLockedMdl(PVOID va, ULONG length, LOCK_OPERATION operation);
// Unlocks (if locked) and frees an MDL chain.
void KernelFreeMdlChain(PMDL mdl);

}  // namespace sim
