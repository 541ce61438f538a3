// Device queues for the Wine check: Wine's KeRemoveEntryDeviceQueue raises.
// The four routines the port uses are replaced together, so that one list
// discipline (the queue's own spin lock, NT's Busy and Inserted rules) holds
// for all of them.
#include "tests/wine/compat/compat.h"

namespace {

VOID NTAPI InitializeDeviceQueue(PKDEVICE_QUEUE Queue) {
  RtlZeroMemory(Queue, sizeof *Queue);
  Queue->Type = 20;  // DeviceQueueObject
  Queue->Size = sizeof *Queue;
  InitializeListHead(&Queue->DeviceListHead);
  KeInitializeSpinLock(&Queue->Lock);
}

// FALSE when the queue was idle: it is busy now and the caller starts the entry.
BOOLEAN NTAPI InsertDeviceQueue(PKDEVICE_QUEUE Queue, PKDEVICE_QUEUE_ENTRY Entry) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Queue->Lock);
  BOOLEAN queued = Queue->Busy;
  if (queued) InsertTailList(&Queue->DeviceListHead, &Entry->DeviceListEntry);
  else Queue->Busy = TRUE;
  Entry->Inserted = queued;
  KeReleaseSpinLock(&Queue->Lock, irql);
  return queued;
}

// The next entry, or NULL with the queue idle again.
PKDEVICE_QUEUE_ENTRY NTAPI RemoveDeviceQueue(PKDEVICE_QUEUE Queue) {
  PKDEVICE_QUEUE_ENTRY entry = NULL;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Queue->Lock);
  if (IsListEmpty(&Queue->DeviceListHead)) {
    Queue->Busy = FALSE;
  } else {
    entry = CONTAINING_RECORD(RemoveHeadList(&Queue->DeviceListHead), KDEVICE_QUEUE_ENTRY, DeviceListEntry);
    entry->Inserted = FALSE;
  }
  KeReleaseSpinLock(&Queue->Lock, irql);
  return entry;
}

BOOLEAN NTAPI RemoveEntryDeviceQueue(PKDEVICE_QUEUE Queue, PKDEVICE_QUEUE_ENTRY Entry) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Queue->Lock);
  BOOLEAN removed = Entry->Inserted;
  if (removed) {
    RemoveEntryList(&Entry->DeviceListEntry);
    Entry->Inserted = FALSE;
  }
  KeReleaseSpinLock(&Queue->Lock, irql);
  return removed;
}

}  // namespace

COMPAT_REPLACE(KeInitializeDeviceQueue, InitializeDeviceQueue);
COMPAT_REPLACE(KeInsertDeviceQueue, InsertDeviceQueue);
COMPAT_REPLACE(KeRemoveDeviceQueue, RemoveDeviceQueue);
COMPAT_REPLACE(KeRemoveEntryDeviceQueue, RemoveEntryDeviceQueue);
