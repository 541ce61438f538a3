// The Wine check's compatibility layer: kernel routines that Wine's ntoskrnl
// lacks or runs in a way the port cannot live with, replaced inside the test
// image only. Each replacement is installed by defining the import pointer
// (__imp_<name>) the driver's calls go through, so the linker takes ours and
// the image imports nothing for that name. Never linked into a driver package.
#pragma once

#include "common/kernel.h"

// Installs `replacement` as the routine the driver reaches as `name`.
#define COMPAT_REPLACE(name, replacement) extern "C" const PVOID __imp_##name = (PVOID)&replacement

// Timers and DPCs run by the layer's own thread (timers.cpp).
VOID CompatInitializeTimer(PKTIMER Timer);
VOID CompatInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE Routine, PVOID Context);
BOOLEAN CompatSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN CompatCancelTimer(PKTIMER Timer);
