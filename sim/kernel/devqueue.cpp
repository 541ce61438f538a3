// Device queues: a queue is busy from the first insertion that finds it idle
// until a removal finds it empty.
#include <mutex>

#include "sim/kernel/irp.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"

using namespace sim;

namespace {

std::mutex queueLock;  // NT takes the queue's own spin lock; one host lock serves all queues

void RequireDispatch(const char* routine) {
  KThread* thread = CurrentThread();
  if (thread->irql != DISPATCH_LEVEL)
    VerifierStop(Rule::IrqlDispatch, nullptr, "%s at IRQL %d; it must be called at DISPATCH_LEVEL", routine, thread->irql);
}

// Keeps the IRP record informed when the entry is an IRP's device-queue entry.
void NoteIrpQueued(PKDEVICE_QUEUE_ENTRY entry, bool queued) {
  auto irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry);
  if (auto record = CurrentMachine().Irps().Find(irp)) {
    std::lock_guard guard(CurrentMachine().Irps().Lock());
    record->inDeviceQueue = queued;
  }
}

}  // namespace

extern "C" void NTAPI KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
  DeviceQueue->Type = 20;  // DeviceQueueObject
  DeviceQueue->Size = sizeof(KDEVICE_QUEUE);
  InitializeListHead(&DeviceQueue->DeviceListHead);
  DeviceQueue->Lock = 0;
  DeviceQueue->Busy = FALSE;
}

extern "C" BOOLEAN NTAPI KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
  RequireDispatch("KeInsertDeviceQueue");
  std::lock_guard guard(queueLock);
  if (!DeviceQueue->Busy) {
    DeviceQueue->Busy = TRUE;
    DeviceQueueEntry->Inserted = FALSE;
    return FALSE;
  }
  InsertTailList(&DeviceQueue->DeviceListHead, &DeviceQueueEntry->DeviceListEntry);
  DeviceQueueEntry->Inserted = TRUE;
  NoteIrpQueued(DeviceQueueEntry, true);
  return TRUE;
}

extern "C" PKDEVICE_QUEUE_ENTRY NTAPI KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
  RequireDispatch("KeRemoveDeviceQueue");
  std::lock_guard guard(queueLock);
  if (!DeviceQueue->Busy)
    VerifierStop(Rule::KernelStop, nullptr, "KeRemoveDeviceQueue on device queue %p, which is not busy", (void*)DeviceQueue);
  if (IsListEmpty(&DeviceQueue->DeviceListHead)) {
    DeviceQueue->Busy = FALSE;
    return nullptr;
  }
  auto entry = CONTAINING_RECORD(RemoveHeadList(&DeviceQueue->DeviceListHead), KDEVICE_QUEUE_ENTRY, DeviceListEntry);
  entry->Inserted = FALSE;
  NoteIrpQueued(entry, false);
  return entry;
}

extern "C" BOOLEAN NTAPI KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "KeRemoveEntryDeviceQueue");
  std::lock_guard guard(queueLock);
  if (!DeviceQueueEntry->Inserted) return FALSE;
  RemoveEntryList(&DeviceQueueEntry->DeviceListEntry);
  DeviceQueueEntry->Inserted = FALSE;
  NoteIrpQueued(DeviceQueueEntry, false);
  return TRUE;
}
