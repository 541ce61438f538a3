// merrow: the routines one file of the driver calls in another. Routines used
// inside a single file are static there.
#pragma once

#include "pipe/pipe.h"

// Device frame (pipe/frame.cpp): entry, AddDevice, request counting, the
// request gate and the two waiting helpers. DriverEntry is declared by the DDK.
DRIVER_ADD_DEVICE PipeAddDevice;
DRIVER_UNLOAD PipeUnload;
DRIVER_DISPATCH PipeSystemControl;
void IncrementIoCount(PDEVICE_OBJECT DeviceObject);
LONG DecrementIoCount(PDEVICE_OBJECT DeviceObject);  // returns the new count
BOOLEAN CanAcceptRequests(PDEVICE_OBJECT DeviceObject);
// Completes with no priority increment and returns Status; the caller still
// owes its DecrementIoCount.
NTSTATUS CompletePipeRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
// PASSIVE_LEVEL: an internal device-control request to LowerDeviceObject with
// Argument1 in its stack location, waited for (WaitReason) when it pends.
NTSTATUS CallLowerSync(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PVOID Argument1, KWAIT_REASON WaitReason);
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);  // PASSIVE_LEVEL
NTSTATUS ReadDeviceRegistryDword(PDEVICE_OBJECT PhysicalDeviceObject, PCWSTR ValueName, PULONG Value);

// Configuration and pipe table (pipe/config.cpp), PASSIVE_LEVEL.
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIG_RECORD ConfigRecord);
NTSTATUS DeconfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PPIPE_TABLE_ENTRY Pipe);
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, PPIPE_TABLE_ENTRY Pipe);
// Pipe files and the configuration's lifetime (pipe/config.cpp), any IRQL up
// to DISPATCH_LEVEL: see PIPE_TABLE_ENTRY in pipe.h.
void BindPipeFile(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject, PPIPE_TABLE_ENTRY Pipe);
void UnbindPipeFile(PFILE_OBJECT FileObject);
PPIPE_TABLE_ENTRY PipeFromFile(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject);
ULONG PipeCount(PDEVICE_OBJECT DeviceObject);  // pipes of the current configuration, 0 without one

// Plug and Play (pipe/pnp.cpp) and power (pipe/power.cpp).
DRIVER_DISPATCH PipePnp;
DRIVER_DISPATCH PipePower;
// PASSIVE_LEVEL: passes the request down and waits until it is back in this
// driver's hands (PoCallDriver for power requests); the caller completes it.
NTSTATUS SendAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN PowerRequest);

// Pipe files and names (pipe/files.cpp).
DRIVER_DISPATCH PipeCreate;
DRIVER_DISPATCH PipeClose;

// Segmented transfer engine (pipe/transfer.cpp).
DRIVER_DISPATCH PipeRead;
DRIVER_DISPATCH PipeWrite;

// Private control interface (pipe/control.cpp).
DRIVER_DISPATCH PipeDeviceControl;
