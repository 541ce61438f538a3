// tolvane: the byte rings RxRing and TxRing. A ring never overwrites: a store
// takes what fits and says how much that was. Every operation but
// RingInitialize takes the ring's spin lock, so it may run at DISPATCH_LEVEL.
#include "port/routines.h"

void RingInitialize(PRING_BUFFER Ring) {
  KeInitializeSpinLock(&Ring->Lock);
  Ring->Size = 0;
  Ring->Count = 0;
  Ring->ReadIndex = 0;
  Ring->WriteIndex = 0;
  Ring->Storage = NULL;
}

// Gives the ring `Size` bytes of storage. A storage already present is not
// freed: callers free the ring before they allocate it again.
NTSTATUS RingAllocate(PRING_BUFFER Ring, ULONG Size) {
  KIRQL irql = KfAcquireSpinLock(&Ring->Lock);
  Ring->Count = 0;
  Ring->ReadIndex = 0;
  Ring->WriteIndex = 0;
  Ring->Storage = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, PORT_POOL_TAG);
  Ring->Size = Ring->Storage ? Size : 0;
  KfReleaseSpinLock(&Ring->Lock, irql);
  return Ring->Storage ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void RingFree(PRING_BUFFER Ring) {
  KIRQL irql = KfAcquireSpinLock(&Ring->Lock);
  Ring->Size = 0;
  Ring->Count = 0;
  Ring->ReadIndex = 0;
  Ring->WriteIndex = 0;
  if (Ring->Storage) {
    ExFreePoolWithTag(Ring->Storage, PORT_POOL_TAG);
    Ring->Storage = NULL;
  }
  KfReleaseSpinLock(&Ring->Lock, irql);
}

void RingReset(PRING_BUFFER Ring) {
  KIRQL irql = KfAcquireSpinLock(&Ring->Lock);
  Ring->Count = 0;
  Ring->ReadIndex = 0;
  Ring->WriteIndex = 0;
  KfReleaseSpinLock(&Ring->Lock, irql);
}

// Installs new storage; the bytes held before are lost.
void RingReplaceStorage(PRING_BUFFER Ring, PUCHAR Storage, ULONG Size) {
  KIRQL irql = KfAcquireSpinLock(&Ring->Lock);
  if (Ring->Storage) ExFreePoolWithTag(Ring->Storage, PORT_POOL_TAG);
  Ring->Storage = Storage;
  Ring->Size = Size;
  Ring->Count = 0;
  Ring->ReadIndex = 0;
  Ring->WriteIndex = 0;
  KfReleaseSpinLock(&Ring->Lock, irql);
}

// Stores up to `Length` bytes; returns how many fitted. At most two block
// copies: up to the end of the storage, then from its start.
ULONG RingPut(PRING_BUFFER Ring, const UCHAR* Source, ULONG Length) {
  if (Length == 0) return 0;
  KIRQL irql = KfAcquireSpinLock(&Ring->Lock);
  if (Ring->Count >= Ring->Size || !Ring->Storage) {
    KfReleaseSpinLock(&Ring->Lock, irql);
    return 0;
  }
  ULONG n = Ring->Size - Ring->Count < Length ? Ring->Size - Ring->Count : Length;
  ULONG first = Ring->Size - Ring->WriteIndex < n ? Ring->Size - Ring->WriteIndex : n;
  RtlCopyMemory(Ring->Storage + Ring->WriteIndex, Source, first);
  if (first == n) {
    Ring->WriteIndex += n;
  } else {
    RtlCopyMemory(Ring->Storage, Source + first, n - first);
    Ring->WriteIndex = n - first;
  }
  Ring->Count += n;
  KfReleaseSpinLock(&Ring->Lock, irql);
  return n;
}

// Takes up to `Length` bytes in arrival order; returns how many it took.
ULONG RingGet(PUCHAR Destination, PRING_BUFFER Ring, ULONG Length) {
  if (Length == 0) return 0;
  KIRQL irql = KfAcquireSpinLock(&Ring->Lock);
  if (Ring->Count == 0 || !Ring->Storage) {
    KfReleaseSpinLock(&Ring->Lock, irql);
    return 0;
  }
  ULONG n = Ring->Count < Length ? Ring->Count : Length;
  ULONG first = Ring->Size - Ring->ReadIndex < n ? Ring->Size - Ring->ReadIndex : n;
  RtlCopyMemory(Destination, Ring->Storage + Ring->ReadIndex, first);
  if (first == n) {
    Ring->ReadIndex += n;
  } else {
    RtlCopyMemory(Destination + first, Ring->Storage, n - first);
    Ring->ReadIndex = n - first;
  }
  Ring->Count -= n;
  KfReleaseSpinLock(&Ring->Lock, irql);
  return n;
}

// The bytes held, read under the ring's lock.
ULONG RingCount(PRING_BUFFER Ring) {
  KIRQL irql = KfAcquireSpinLock(&Ring->Lock);
  ULONG count = Ring->Count;
  KfReleaseSpinLock(&Ring->Lock, irql);
  return count;
}
