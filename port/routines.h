// tolvane: the routines one part of the driver calls in another. Routines used
// inside a single file are static there.
#pragma once

#include "port/port.h"

// GUIDs compare with the kernel's routine (the DDK's IsEqualGUID would pull
// a C library memcmp into the image).
inline BOOLEAN SameGuid(const GUID& A, const GUID& B) { return RtlCompareMemory(&A, &B, sizeof(GUID)) == sizeof(GUID); }

// Driver-wide state (frame/entry.cpp): reset by DriverEntry.
extern ULONG DebugLevel;

// Dispatch routines and AddDevice.
DRIVER_ADD_DEVICE PortAddDevice;                 // frame/vport.cpp
DRIVER_DISPATCH PortCreateClose;                 // frame/create.cpp
DRIVER_DISPATCH PortCleanup;                     // frame/create.cpp
DRIVER_DISPATCH PortReadWrite;                   // frame/dispatch.cpp
DRIVER_DISPATCH PortFlush;                       // frame/dispatch.cpp
DRIVER_DISPATCH PortSystemControl;               // frame/dispatch.cpp
DRIVER_DISPATCH PortPnp;                         // frame/pnp.cpp
DRIVER_DISPATCH PortPower;                       // frame/power.cpp
DRIVER_DISPATCH PortDeviceControl;               // control/ioctl.cpp
DRIVER_NOTIFICATION_CALLBACK_ROUTINE InterfaceArrivalCallback;  // frame/binding.cpp

// Frame (frame/dispatch.cpp, frame/create.cpp).
void IncrementBusy(PPORT_EXTENSION Extension);
void DecrementBusy(PPORT_EXTENSION Extension);
void WaitUntilIdle(PPORT_EXTENSION Extension);
NTSTATUS StopPipeReads(PPORT_EXTENSION Extension);
void FreeTransmitQueue(PPORT_EXTENSION Extension);
IO_TIMER_ROUTINE PortTimerTick;
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost = IO_NO_INCREMENT);
BOOLEAN TargetBound(PPORT_EXTENSION Extension);
BOOLEAN PipesReady(PPORT_EXTENSION Extension);

// Removal or surprise removal has begun: requests are refused from here on.
// Read without a lock (see ReadShared); the remove lock and the busy count
// make a request that saw the port still present safe.
inline BOOLEAN RemovalBegun(PPORT_EXTENSION Extension) {
  return ReadShared(Extension->Removed) || ReadShared(Extension->SurpriseRemoved);
}

// The bound pipe driver's device, or NULL. Its changes are made under
// BindingLock; readers holding the busy count see it stable.
inline PDEVICE_OBJECT TargetDevice(PPORT_EXTENSION Extension) { return ReadShared(Extension->TargetDeviceObject); }

// Creation, naming and the registry (frame/vport.cpp, frame/registry.cpp).
NTSTATUS CreatePortName(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReadRegistryDword(PDEVICE_OBJECT PhysicalDeviceObject, PCWSTR ValueName, PULONG Value);
NTSTATUS ReadConfigDword(PDEVICE_OBJECT PhysicalDeviceObject, PCWSTR ValueName, PULONG Value);
NTSTATUS WriteRegistryDword(PDEVICE_OBJECT PhysicalDeviceObject, PCWSTR ValueName, ULONG Value);
NTSTATUS QueryRegistryString(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PWCHAR Buffer, ULONG BufferSize);

// The driver-wide binding lock and interface registration (frame/entry.cpp).
void AcquireBindingLock();
void ReleaseBindingLock();
void DeletePortDevice(PDEVICE_OBJECT DeviceObject);
void WatchPipeDriverInterfaces(PDRIVER_OBJECT DriverObject);

// Target binding (frame/binding.cpp, frame/target.cpp, frame/pipefiles.cpp).
BOOLEAN MatchTarget(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING SymbolicLinkName);
NTSTATUS CopyLinkName(PUNICODE_STRING Copy, PCUNICODE_STRING Source);
NTSTATUS BindTarget(PDEVICE_OBJECT DeviceObject, PDEVICE_INTERFACE_CHANGE_NOTIFICATION Notification);
DRIVER_NOTIFICATION_CALLBACK_ROUTINE TargetChangeCallback;
void DetachTarget(PPORT_EXTENSION Extension);
void EndBinding(PPORT_EXTENSION Extension);
void ForgetTargetLink(PPORT_EXTENSION Extension);
NTSTATUS PipeOpenClose(PPORT_EXTENSION Extension, UCHAR MajorFunction);
NTSTATUS SendTargetIoctl(PPORT_EXTENSION Extension, ULONG IoControlCode, PFILE_OBJECT FileObject, PVOID Input,
                         ULONG InputLength, PVOID Output, ULONG OutputLength);
NTSTATUS QueryReceiveReadLength(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject, PULONG Length);

// Rings (control/ring.cpp).
void RingInitialize(PRING_BUFFER Ring);
NTSTATUS RingAllocate(PRING_BUFFER Ring, ULONG Size);
void RingFree(PRING_BUFFER Ring);
void RingReset(PRING_BUFFER Ring);
void RingReplaceStorage(PRING_BUFFER Ring, PUCHAR Storage, ULONG Size);
ULONG RingPut(PRING_BUFFER Ring, const UCHAR* Source, ULONG Length);
ULONG RingGet(PUCHAR Destination, PRING_BUFFER Ring, ULONG Length);
ULONG RingCount(PRING_BUFFER Ring);

// Serial requests (control/*.cpp): each completes its request.
NTSTATUS SerialSettingsRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code);
NTSTATUS SerialModemRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code);
NTSTATUS SerialQueueRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code);
NTSTATUS SerialWaitRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code);
void ClearCommStatus(PPORT_EXTENSION Extension);

// Wait-on-mask (control/waitmask.cpp).
NTSTATUS RaiseWaitEvents(PDEVICE_OBJECT DeviceObject, ULONG Events);
NTSTATUS CompleteWaitIfSatisfied(PDEVICE_OBJECT DeviceObject);
void SweepCancelledWait(PDEVICE_OBJECT DeviceObject);
void CompletePendingWait(PPORT_EXTENSION Extension);

// Device control messages (control/message.cpp).
NTSTATUS SendDeviceControl(PDEVICE_OBJECT DeviceObject, PUCHAR Message, ULONG Length);
NTSTATUS SendLineSettings(PDEVICE_OBJECT DeviceObject);
NTSTATUS SendModemControl(PDEVICE_OBJECT DeviceObject);
NTSTATUS SendCharacters(PDEVICE_OBJECT DeviceObject);
NTSTATUS BuildLineSettings(PUCHAR Message, PPORT_EXTENSION Extension);
NTSTATUS BuildLineSettingsEx(PUCHAR Message, PULONG Length, PPORT_EXTENSION Extension);
NTSTATUS BuildModemControl(PUCHAR Message, PPORT_EXTENSION Extension);
NTSTATUS PortOpenHandshake(PPORT_EXTENSION Extension);
void PortCloseMessage(PPORT_EXTENSION Extension);
void ReplayDeviceSettings(PPORT_EXTENSION Extension, ULONG Attempts);

// Receive engine (datapath/pipeloop.cpp, datapath/receive.cpp, datapath/status.cpp).
BOOLEAN StatusPipeInUse(PPORT_EXTENSION Extension);
void InitializePipeLoop(PPIPE_CONTEXT Pipe, PIO_COMPLETION_ROUTINE CompletionRoutine);
NTSTATUS StartPipeLoop(PPORT_EXTENSION Extension, PPIPE_CONTEXT Pipe);
void StopPipeLoop(PPORT_EXTENSION Extension, PPIPE_CONTEXT Pipe, PKTIMER RetryTimer);
NTSTATUS PostPipeRead(PPORT_EXTENSION Extension, PPIPE_CONTEXT Pipe, PUCHAR Buffer, ULONG Length);
IO_STATUS_BLOCK ReleasePipeRead(PIRP Irp);
void EndPipeLoop(PPIPE_CONTEXT Pipe, BOOLEAN Stop);
void InitializeReceivePath(PPORT_EXTENSION Extension);
void InitializeStatusPath(PPORT_EXTENSION Extension);
NTSTATUS StartReceive(PPORT_EXTENSION Extension);
NTSTATUS StopReceive(PPORT_EXTENSION Extension);
NTSTATUS StartStatusPipe(PPORT_EXTENSION Extension);
NTSTATUS StopStatusPipe(PPORT_EXTENSION Extension);
NTSTATUS SendPipeControl(PPORT_EXTENSION Extension, ULONG IoControlCode, PPIPE_CONTEXT Pipe);
ULONG StoreReceivedBytes(PPORT_EXTENSION Extension, const UCHAR* Bytes, ULONG Count);
void SetModemStatus(PPORT_EXTENSION Extension, UCHAR StatusByte);
void SynthesizeModemLines(PPORT_EXTENSION Extension, UCHAR Lines);

// Read requests (datapath/read.cpp).
NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ServiceCurrentRead(PPORT_EXTENSION Extension);
void CancelReadRequests(PPORT_EXTENSION Extension);
void InitializeReadPath(PPORT_EXTENSION Extension);

// Write requests, the immediate character, purge and flush (datapath/write.cpp,
// datapath/pipewrite.cpp, datapath/immediate.cpp, datapath/purge.cpp).
void InitializeWritePath(PPORT_EXTENSION Extension);
PIRP RecordedPipeWrite(PIRP WriteIrp);
NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void CompleteWriteRequest(PPORT_EXTENSION Extension, PIRP Irp, NTSTATUS Status, ULONG_PTR Information,
                          CCHAR Boost = IO_NO_INCREMENT);
BOOLEAN TakeNextWrite(PPORT_EXTENSION Extension);
void StartNextWrite(PPORT_EXTENSION Extension);
void RaiseTransmitEmpty(PPORT_EXTENSION Extension);
void InitializePipeWrites(PPORT_EXTENSION Extension);
NTSTATUS BuildPipeWrite(PPORT_EXTENSION Extension, PVOID Buffer, ULONG Length, PIO_COMPLETION_ROUTINE CompletionRoutine,
                        PIRP* PipeWrite);
void FreePipeWrite(PIRP PipeWrite);
void CancelPipeWrite(PPORT_EXTENSION Extension, PIRP PipeWrite);
void ReleasePipeWrite(PPORT_EXTENSION Extension, PIRP PipeWrite);
NTSTATUS SendImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void CancelImmediateChar(PPORT_EXTENSION Extension);
void StopTransmit(PPORT_EXTENSION Extension);
void AllowTransmit(PPORT_EXTENSION Extension);
void CancelWriteRequests(PPORT_EXTENSION Extension);
void ResetTransmit(PPORT_EXTENSION Extension);
NTSTATUS FlushTransmit(PPORT_EXTENSION Extension);
void SweepCancelledWrite(PPORT_EXTENSION Extension);
