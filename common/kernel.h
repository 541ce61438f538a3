// The one header driver code includes for the kernel API: the real DDK headers
// in the Windows build, the simulated kernel's in the host build.
#pragma once

#if defined(_WIN32)

// mingw-w64's intrin.h and wdm.h both define these two in C++; keep wdm.h's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

extern "C" {
// The DDK's DEFINE_GUIDs only declare their GUIDs here; each driver defines
// the few it uses (port/frame/guids.cpp), so its image holds no others.
#include <ntddk.h>
#include <wdm.h>
#include <wdmguid.h>
#include <ntddser.h>
// The USB headers must come in this order, before usbdlib.h.
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
}

// Exported by ntoskrnl.exe but not declared by the DDK headers.
extern "C" int __cdecl _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...);

// On x64 the spin lock and IRQL routines are ntoskrnl.exe's (KeLowerIrql is an
// inline that writes CR8); the Kf* names are HAL.dll exports of x86 only.
#if defined(_WIN64)
#define KfAcquireSpinLock KeAcquireSpinLockRaiseToDpc
#define KfReleaseSpinLock KeReleaseSpinLock
#define KfLowerIrql KeLowerIrql
#endif

// The processor's time-stamp counter, as newer DDKs name the intrinsic.
#ifndef ReadTimeStampCounter
#define ReadTimeStampCounter() __rdtsc()
#endif

#else

#include "sim/ddk/ntddk.h"

#endif

// Fields some paths read without the lock that guards their changes, where a
// value a moment old is harmless (a flag that is checked again later, or that
// a handshake such as the busy count makes safe), are read with ReadShared and
// changed with WriteShared, so that the compiler neither caches nor splits the
// access. On x86 and x64 an aligned access of up to a pointer's size is
// whole, loads are ordered as acquires and stores as releases: the kernel
// build's plain volatile accesses are all that is needed. The host build
// states the same ordering with atomics, so that its race detector can tell
// these deliberate unlocked accesses from accidental ones.
template <typename T>
inline T ReadShared(const volatile T& Field) {
#if defined(_WIN32)
  return Field;
#else
  return __atomic_load_n(&Field, __ATOMIC_ACQUIRE);
#endif
}

template <typename T, typename V>
inline void WriteShared(volatile T& Field, V Value) {
#if defined(_WIN32)
  Field = (T)Value;
#else
  __atomic_store_n(&Field, (T)Value, __ATOMIC_RELEASE);
#endif
}
