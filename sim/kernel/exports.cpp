// Every kernel routine the drivers may call. A routine that is declared but
// not implemented yet stops the machine with its name when called, rather than
// silently succeeding.
#include "sim/kernel/exports.h"

#include "sim/ddk/ntddk.h"
#include "sim/kernel/verifier.h"

using namespace sim;

// The body of a routine declared in sim/ddk before the simulated kernel
// implements it (none at present); the table lists such a routine as MISSING.
#define NOT_IMPLEMENTED(name) \
  VerifierStop(Rule::KernelStop, nullptr, "%s is not implemented by the simulated kernel yet", #name)

namespace sim {

#define IMPLEMENTED(name) {#name, (const void*)&name, true}
#define MISSING(name) {#name, (const void*)&name, false}

const std::vector<Export>& ExportTable() {
  static const std::vector<Export> table = {
      // Objects and the I/O manager
      IMPLEMENTED(IoCreateDevice), IMPLEMENTED(IoDeleteDevice), IMPLEMENTED(IoAttachDeviceToDeviceStack),
      IMPLEMENTED(IoDetachDevice), IMPLEMENTED(IoGetAttachedDeviceReference), IMPLEMENTED(IoGetRelatedDeviceObject),
      IMPLEMENTED(IoGetDeviceObjectPointer), IMPLEMENTED(IoCreateSymbolicLink), IMPLEMENTED(IoDeleteSymbolicLink),
      IMPLEMENTED(ObfReferenceObject), IMPLEMENTED(ObfDereferenceObject),
      // IRPs
      IMPLEMENTED(IoAllocateIrp), IMPLEMENTED(IoFreeIrp), IMPLEMENTED(IoReuseIrp), IMPLEMENTED(IofCallDriver),
      IMPLEMENTED(IofCompleteRequest), IMPLEMENTED(IoSetCompletionRoutineEx), IMPLEMENTED(IoBuildDeviceIoControlRequest),
      IMPLEMENTED(IoBuildAsynchronousFsdRequest), IMPLEMENTED(IoBuildSynchronousFsdRequest), IMPLEMENTED(IoCancelIrp),
      IMPLEMENTED(IoAcquireCancelSpinLock), IMPLEMENTED(IoReleaseCancelSpinLock), IMPLEMENTED(IoIsOperationSynchronous),
      // Device queues
      IMPLEMENTED(KeInitializeDeviceQueue), IMPLEMENTED(KeInsertDeviceQueue), IMPLEMENTED(KeRemoveDeviceQueue),
      IMPLEMENTED(KeRemoveEntryDeviceQueue),
      // IRQL and spin locks
      IMPLEMENTED(KeGetCurrentIrql), IMPLEMENTED(KfRaiseIrql), IMPLEMENTED(KfLowerIrql), IMPLEMENTED(KeRaiseIrqlToDpcLevel),
      IMPLEMENTED(KeInitializeSpinLock), IMPLEMENTED(KfAcquireSpinLock), IMPLEMENTED(KfReleaseSpinLock),
      IMPLEMENTED(KefAcquireSpinLockAtDpcLevel), IMPLEMENTED(KefReleaseSpinLockFromDpcLevel),
      // Events, waits and time
      IMPLEMENTED(KeInitializeEvent), IMPLEMENTED(KeSetEvent), IMPLEMENTED(KeClearEvent), IMPLEMENTED(KeResetEvent),
      IMPLEMENTED(KeReadStateEvent), IMPLEMENTED(KeWaitForSingleObject), IMPLEMENTED(KeWaitForMultipleObjects),
      IMPLEMENTED(KeDelayExecutionThread), IMPLEMENTED(KeQuerySystemTime), IMPLEMENTED(KeQueryTickCount),
      IMPLEMENTED(KeQueryTimeIncrement), IMPLEMENTED(KeQueryInterruptTime), IMPLEMENTED(KeQueryPerformanceCounter),
      IMPLEMENTED(ReadTimeStampCounter), IMPLEMENTED(KeStallExecutionProcessor),
      // Timers and DPCs
      IMPLEMENTED(KeInitializeTimer), IMPLEMENTED(KeInitializeTimerEx), IMPLEMENTED(KeSetTimer), IMPLEMENTED(KeSetTimerEx),
      IMPLEMENTED(KeCancelTimer), IMPLEMENTED(KeReadStateTimer), IMPLEMENTED(KeInitializeDpc), IMPLEMENTED(KeInsertQueueDpc),
      IMPLEMENTED(KeRemoveQueueDpc), IMPLEMENTED(KeFlushQueuedDpcs), IMPLEMENTED(IoInitializeTimer),
      IMPLEMENTED(IoStartTimer), IMPLEMENTED(IoStopTimer),
      // Work items
      IMPLEMENTED(IoAllocateWorkItem), IMPLEMENTED(IoQueueWorkItem), IMPLEMENTED(IoFreeWorkItem),
      // Pool and MDLs
      IMPLEMENTED(ExAllocatePoolWithTag), IMPLEMENTED(ExAllocatePool), IMPLEMENTED(ExFreePool),
      IMPLEMENTED(ExFreePoolWithTag), IMPLEMENTED(IoAllocateMdl), IMPLEMENTED(IoFreeMdl), IMPLEMENTED(IoBuildPartialMdl),
      IMPLEMENTED(MmBuildMdlForNonPagedPool), IMPLEMENTED(MmProbeAndLockPages), IMPLEMENTED(MmUnlockPages),
      IMPLEMENTED(MmMapLockedPagesSpecifyCache), IMPLEMENTED(MmMapLockedPages), IMPLEMENTED(MmUnmapLockedPages),
      IMPLEMENTED(MmSizeOfMdl), IMPLEMENTED(MmCreateMdl), IMPLEMENTED(MmGetSystemAddressForMdlSafe),
      IMPLEMENTED(MmPrepareMdlForReuse),
      // Remove locks
      IMPLEMENTED(IoInitializeRemoveLockEx), IMPLEMENTED(IoAcquireRemoveLockEx), IMPLEMENTED(IoReleaseRemoveLockEx),
      IMPLEMENTED(IoReleaseRemoveLockAndWaitEx),
      // Strings
      IMPLEMENTED(RtlInitUnicodeString), IMPLEMENTED(RtlInitAnsiString), IMPLEMENTED(RtlAppendUnicodeToString),
      IMPLEMENTED(RtlAppendUnicodeStringToString), IMPLEMENTED(RtlCopyUnicodeString), IMPLEMENTED(RtlUnicodeStringToInteger),
      IMPLEMENTED(RtlIntegerToUnicodeString), IMPLEMENTED(RtlCompareUnicodeString), IMPLEMENTED(RtlEqualUnicodeString),
      IMPLEMENTED(RtlPrefixUnicodeString), IMPLEMENTED(RtlUpcaseUnicodeString), IMPLEMENTED(RtlUpcaseUnicodeChar),
      IMPLEMENTED(RtlFreeUnicodeString), IMPLEMENTED(RtlStringFromGUID), IMPLEMENTED(RtlNtStatusToDosError),
      IMPLEMENTED(RtlCompareMemory),
      {"wcslen", (const void*)&SimWcslen, true}, {"wcscpy", (const void*)&SimWcscpy, true},
      {"wcsncpy", (const void*)&SimWcsncpy, true}, {"wcscat", (const void*)&SimWcscat, true},
      {"wcscmp", (const void*)&SimWcscmp, true}, {"wcsncmp", (const void*)&SimWcsncmp, true},
      {"_wcsicmp", (const void*)&SimWcsicmp, true}, {"_wcsnicmp", (const void*)&SimWcsnicmp, true},
      {"wcschr", (const void*)&SimWcschr, true}, {"wcsrchr", (const void*)&SimWcsrchr, true},
      {"wcsstr", (const void*)&SimWcsstr, true}, {"_wcsupr", (const void*)&SimWcsupr, true},
      {"_wcslwr", (const void*)&SimWcslwr, true}, {"_snwprintf", (const void*)&SimSnwprintf, true},
      {"_vsnwprintf", (const void*)&SimVsnwprintf, true},
      // Diagnostics
      IMPLEMENTED(DbgPrint), IMPLEMENTED(KeBugCheckEx),
      // USB driver interface library (USBD.SYS, sim/usb/usbd.cpp)
      IMPLEMENTED(USBD_GetUSBDIVersion), IMPLEMENTED(USBD_ParseDescriptors),
      IMPLEMENTED(USBD_ParseConfigurationDescriptorEx), IMPLEMENTED(USBD_ParseConfigurationDescriptor),
      IMPLEMENTED(USBD_CreateConfigurationRequestEx), IMPLEMENTED(USBD_CreateConfigurationRequest),
      IMPLEMENTED(USBD_GetInterfaceLength),
      // Plug and Play, device interfaces and notifications
      IMPLEMENTED(IoRegisterDeviceInterface), IMPLEMENTED(IoSetDeviceInterfaceState),
      IMPLEMENTED(IoRegisterPlugPlayNotification), IMPLEMENTED(IoUnregisterPlugPlayNotification),
      IMPLEMENTED(IoInvalidateDeviceState),
      // Registry
      IMPLEMENTED(IoOpenDeviceRegistryKey), IMPLEMENTED(ZwQueryValueKey), IMPLEMENTED(ZwSetValueKey), IMPLEMENTED(ZwClose),
      IMPLEMENTED(RtlWriteRegistryValue), IMPLEMENTED(RtlDeleteRegistryValue),
      // Power
      IMPLEMENTED(PoCallDriver), IMPLEMENTED(PoStartNextPowerIrp), IMPLEMENTED(PoRequestPowerIrp),
      IMPLEMENTED(PoSetPowerState),
  };
  return table;
}

}  // namespace sim
