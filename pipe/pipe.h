// merrow, the USB pipe driver: its device extension, configuration record,
// pipe-table entry and segmented-transfer context. Beside each field: who
// writes it and what guards it.
#pragma once

#include "common/kernel.h"
#include "common/pipeif.h"

// "Wdm ": the tag of every allocation of the driver, as the ULONG whose bytes
// NT shows in memory order (a multi-character literal warns in the Windows
// build).
constexpr ULONG PIPE_POOL_TAG = 0x206D6457;

constexpr ULONG DEFAULT_MAXIMUM_TRANSFER_SIZE = 4096;  // MaximumTransferSize without a registry value
constexpr ULONG INTERFACE_NAME_CHARS = 256;             // InterfaceName's text, terminator not counted
constexpr ULONG REGISTRY_NAME_CHARS = 256;              // value names ReadDeviceRegistryDword accepts
constexpr ULONG CONFIG_DESCRIPTOR_FIRST_SIZE = 0x209;   // first read of the configuration descriptor

// The configuration selected at start: configuration index 0 and its first
// interface. Created and freed only by config.cpp (ConfigureDevice,
// DeconfigureDevice) at PASSIVE_LEVEL while PnP requests are serialised; the
// other parts read it through ConfigRecord and never free any of it.
typedef struct _PIPE_TABLE_ENTRY PIPE_TABLE_ENTRY, *PPIPE_TABLE_ENTRY;
typedef struct _USB_CONFIG_RECORD {
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;                // 18 bytes, nonpaged
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // wTotalLength bytes, nonpaged
  PUSBD_INTERFACE_INFORMATION InterfaceInformation;       // copy of the selected interface, its Length bytes
  PPIPE_TABLE_ENTRY PipeTable;                            // NumberOfPipes entries, same order as the pipes
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;          // from the select-configuration request
} USB_CONFIG_RECORD, *PUSB_CONFIG_RECORD;

// One pipe of the configuration. A pipe file's FsContext points here while the
// file is bound to the pipe (files.cpp). PipeInfo and SegmentSize are written
// once when the table is built; the statistics fields by the opener
// (files.cpp), the control codes (control.cpp) and transfer completions
// (transfer.cpp), without a lock, at up to DISPATCH_LEVEL.
//
// The pipe's open mark is PipeInfo->PipeFlags: 1 while a file is bound to it.
//
// A pipe file may outlive its configuration: a stop (even one whose
// unconfigure failed) or a removal frees the table while files stay open, and
// a restart may allocate the new table at the same address. So a file never
// trusts its FsContext alone: BindPipeFile stamps the file with the
// extension's ConfigGeneration (in FsContext2), and PipeFromFile (config.cpp)
// returns the entry only when ConfigRecord exists and the stamp is the current
// generation, NULL otherwise. Every request that reaches a pipe through a file
// object goes through PipeFromFile; a NULL answer is refused like an unbound
// file (STATUS_INVALID_HANDLE, or STATUS_INVALID_PARAMETER where the code
// says so), and closing such a stale file only unbinds it (UnbindPipeFile)
// without touching the freed entry.
struct _PIPE_TABLE_ENTRY {
  PUSBD_PIPE_INFORMATION PipeInfo;  // the pipe inside ConfigRecord->InterfaceInformation
  ULONGLONG TotalBytes;             // statistics: bytes moved
  LONGLONG CounterTicks;            // statistics: accumulated performance-counter ticks
  LONGLONG CycleCount;              // statistics: accumulated time-stamp-counter cycles
  BOOLEAN StatisticsEnabled;        // statistics switch
  ULONG SegmentSize;                // bulk and interrupt pipes: most bytes per USB transfer; never 0
};

// Who sends the next segment of a transfer (SEGMENT_TRANSFER.SendState).
enum SEGMENT_SEND_STATE : LONG {
  SegmentIdle = 0,        // no sender is inside IoCallDriver: the completion carries on itself
  SegmentSending = 1,     // SendSegment is inside IoCallDriver for this transfer
  SegmentNextReady = 2,   // a completion during SegmentSending prepared the next segment
  SegmentFinished = 3,    // a completion during SegmentSending ended the request
};

// The context of one bulk or interrupt read or write in flight (transfer.cpp).
// Nonpaged; owned by its request from the start until the completion of its
// last segment, touched only by the segment's sender and that request's
// completion routine (at up to DISPATCH_LEVEL), one after the other as
// SendState hands it over, so it needs no lock.
typedef struct _SEGMENT_TRANSFER {
  PURB Urb;                   // the bulk/interrupt URB, reused for every segment
  PDEVICE_OBJECT DeviceObject;  // this driver's device: DecrementIoCount, LowerDeviceObject
  PMDL PartialMdl;            // the current segment inside the request's MDL
  ULONG BytesRemaining;       // bytes not yet given to the bus driver
  ULONG BytesTransferred;     // sum of the lengths the finished segments returned
  PVOID NextVirtualAddress;   // where the next segment starts in the request's buffer
  ULONG SegmentSize;          // the pipe's SegmentSize, copied at the start
  volatile LONG SendState;    // SEGMENT_SEND_STATE, interlocked only
} SEGMENT_TRANSFER, *PSEGMENT_TRANSFER;

// The device extension of merrow's function device object. Zero-filled by the
// I/O manager; set up by AddDevice (frame.cpp). The driver has no lock: the
// state bytes are plain byte stores by pnp.cpp/power.cpp, read without a lock
// by CanAcceptRequests.
typedef struct _PIPE_DEVICE_EXTENSION {
  PDEVICE_OBJECT LowerDeviceObject;       // AddDevice; every URB and passed-down request goes here
  PDEVICE_OBJECT PhysicalDeviceObject;    // AddDevice; registry key, interface, capabilities, power
  DEVICE_CAPABILITIES DeviceCapabilities;  // AddDevice, once; read by power.cpp
  DEVICE_POWER_STATE DevicePowerState;     // power.cpp, at PASSIVE_LEVEL (power requests are serialised)
  PIRP PendingSystemPowerIrp;              // power.cpp: the held system set-power request, else NULL
  KEVENT PowerUpEvent;                     // power.cpp: the power-up after a wait-wake
  ULONG MaximumTransferSize;               // AddDevice (registry, default 4096); read by config.cpp
  volatile LONG PendingIoCount;            // interlocked only: 1 + requests inside the driver
  KEVENT RemoveEvent;                      // notification; set when PendingIoCount reaches 0
  KSPIN_LOCK IoCountLock;                  // DecrementIoCount: a decrement and the event it sets
  KEVENT NoPendingIoEvent;                 // notification; set whenever PendingIoCount falls to 1, never reset
  // The six flags are changed with WriteShared and read unlocked with ReadShared (frame.cpp, files.cpp).
  BOOLEAN Started;                         // pnp.cpp: configured at start; FALSE after a successful stop
  BOOLEAN Removed;                         // pnp.cpp: from remove or surprise removal on
  BOOLEAN SurpriseRemoved;                 // pnp.cpp: from surprise removal on
  BOOLEAN RemoveStarted;                   // pnp.cpp: from IRP_MN_REMOVE_DEVICE on; no pipe file is opened or let go of then
  BOOLEAN RemovePending;                   // pnp.cpp: query-remove until cancel-remove or removal
  BOOLEAN StopPending;                     // pnp.cpp: query-stop until cancel-stop or stop
  WCHAR InterfaceName[INTERFACE_NAME_CHARS + 1];  // AddDevice: the interface's link, zero-terminated
  PUSB_CONFIG_RECORD ConfigRecord;         // config.cpp only; NULL while not configured

  // Kept beside the fields above for the lifetime of pipe files (see
  // PIPE_TABLE_ENTRY): ConfigureDevice increments it for every configuration
  // it builds, so it names the configuration a file was bound to. Written at
  // PASSIVE_LEVEL under the PnP manager's serialisation; read without a lock.
  ULONG ConfigGeneration;
} PIPE_DEVICE_EXTENSION, *PPIPE_DEVICE_EXTENSION;

inline PPIPE_DEVICE_EXTENSION PipeExtension(PDEVICE_OBJECT DeviceObject) {
  return (PPIPE_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES as the DDK lays it out");
static_assert(sizeof(((PIPE_DEVICE_EXTENSION*)0)->InterfaceName) == (INTERFACE_NAME_CHARS + 1) * 2,
              "InterfaceName holds 256 characters and a terminator");
