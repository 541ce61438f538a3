// tolvane, the serial port driver: the port's device extension and the
// records inside it. Beside each field: who owns it and what guards it.
#pragma once

#include "common/kernel.h"
#include "common/pipeif.h"

// Pool tags, as ULONGs whose bytes NT shows in memory order.
constexpr ULONG PORT_POOL_TAG = 0x206D6457;   // "Wdm ": every allocation of the port driver
constexpr ULONG MATCH_POOL_TAG = 0x4E425355;  // "USBN": the target match's temporary buffer
constexpr ULONG REMOVE_LOCK_TAG = 0x4F444C4B; // "KLDO": the port's remove lock

// Modem status register bits, as a 16550 reports them (ModemStatus).
#define SERIAL_MSR_DCTS 0x01
#define SERIAL_MSR_DDSR 0x02
#define SERIAL_MSR_TERI 0x04
#define SERIAL_MSR_DDCD 0x08
#define SERIAL_MSR_CTS 0x10
#define SERIAL_MSR_DSR 0x20
#define SERIAL_MSR_RI 0x40
#define SERIAL_MSR_DCD 0x80

// Modem control register bits of IOCTL_SERIAL_GET_MODEM_CONTROL and SET_MODEM_CONTROL.
#define SERIAL_MCR_DTR 0x01
#define SERIAL_MCR_RTS 0x02

// ModemControl: the output lines the device is told about in MSG_MODEM_CONTROL.
#define MODEM_CONTROL_RTS 0x01
#define MODEM_CONTROL_DTR 0x02
#define MODEM_CONTROL_BREAK 0x04

// The device's control messages: byte 0 of each.
#define MSG_LINE_SETTINGS 0x00
#define MSG_MODEM_CONTROL 0x01
#define MSG_FLOW_CHARS 0x02
#define MSG_PORT_STATE 0x03
#define MSG_ERROR_CHAR 0x04

// The port's private pass-through codes (functions 200 to 202 of the serial device type).
#define IOCTL_PORT_RESET_INPUT_PIPE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 200, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORT_RESET_OUTPUT_PIPE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 201, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORT_ENSURE_DEVICE_ENABLED CTL_CODE(FILE_DEVICE_SERIAL_PORT, 202, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_PORT_RESET_INPUT_PIPE == 0x1B0320 && IOCTL_PORT_ENSURE_DEVICE_ENABLED == 0x1B0328,
              "the pass-through codes");

// Sizes the port works with.
constexpr ULONG DEFAULT_QUEUE_SIZE = 4096;       // RxQueueSize and TxQueueSize after creation and at every open
constexpr ULONG RECEIVE_BUFFER_SIZE = 1024;      // InputPipe.Buffer
constexpr ULONG TARGET_MATCH_CHARS = 128;        // TargetMatch, terminator included
constexpr USHORT DOS_NAME_BYTES = 256;           // DosName's buffer, and the most PortName data read
constexpr ULONG PORT_NAME_MAX_CHARS = 127;       // PortName's text
constexpr ULONG PIPE_NAME_CHARS = 10;            // each pipe name buffer

// PnpState and PreviousPnpState.
enum PORT_PNP_STATE : ULONG {
  PortNotStarted = 0,
  PortStarted = 1,
  PortStopped = 2,  // a stop queried or done
  PortRemovePending = 4,
  PortSurpriseRemovePending = 5,
  PortRemoved = 6,
};

// A byte ring that never overwrites. Every field is guarded by Lock; an index
// equal to Size means "at the end", and the next operation wraps to 0.
typedef struct _RING_BUFFER {
  KSPIN_LOCK Lock;
  ULONG Size;        // capacity; 0 while there is no storage
  ULONG Count;       // bytes held
  ULONG ReadIndex;   // oldest byte held
  ULONG WriteIndex;  // where the next byte goes
  PUCHAR Storage;    // nonpaged, owned by the ring
} RING_BUFFER, *PRING_BUFFER;

// The header of each pipe record: the port's view of one pipe of the pipe
// driver. Stopped is also read without a lock, through ReadShared, by the
// loop's own post and retry: a stop a moment late only costs the stopper
// one more abort. PipeFile is the file object every request for this
// pipe carries; the pipe driver may keep its own context in it.
typedef struct _PIPE_CONTEXT {
  BOOLEAN Stopped;                            // TRUE while the pipe has no loop (from creation)
  KEVENT PipeIdleEvent;                       // notification; cleared when a loop starts, signalled when it ends
  FILE_OBJECT PipeFile;                       // DeviceObject and FileName set at creation
  PIO_COMPLETION_ROUTINE CompletionRoutine;   // of the transfers posted on the pipe
  PUCHAR Buffer;                              // where a pipe read lands
  ULONG Length;                               // bytes asked for by each pipe read
  // LoopLock guards the changes of Stopped by a start, a stop or the end of a
  // loop, and LoopActive with PipeIdleEvent: LoopActive is TRUE from the start
  // of a loop until it ended (its read failed, a post failed, or a stop ended
  // it), so that only one loop at a time owns the pipe's read and Buffer.
  KSPIN_LOCK LoopLock;
  BOOLEAN LoopActive;
} PIPE_CONTEXT, *PPIPE_CONTEXT;

// The input pipe "\PIPE01": the receive loop and the read timers. The receive
// fields are touched only by the completion or DPC that carries the loop.
typedef struct _INPUT_PIPE_CONTEXT : PIPE_CONTEXT {
  ULONG ReceiveLastCount;   // bytes of the last completed transfer
  ULONG ReceivePending;     // of those, bytes not yet stored in RxRing
  KTIMER ReadTotalTimer;    // total timeout of CurrentReadIrp
  KDPC ReadTotalTimerDpc;
  KTIMER ReadIntervalTimer; // interval timeout of CurrentReadIrp
  KDPC ReadIntervalTimerDpc;
  KTIMER ReceiveRetryTimer; // retry of a store into a full RxRing
  KDPC ReceiveRetryTimerDpc;
  ULONG RxRawDump;          // registry value, stored only
} INPUT_PIPE_CONTEXT;

// The status pipe "\PIPE02": one-byte line-state reports.
typedef struct _STATUS_PIPE_CONTEXT : PIPE_CONTEXT {
  UCHAR StatusBytes[4];     // Buffer points here; Length is 1
  ULONG ModemStatus;        // SERIAL_MSR_* lines; written by the status path, read unlocked
  LONG CxPollPeriod;        // registry value; only its sign is used
} STATUS_PIPE_CONTEXT;

// The output pipe "\PIPE00": the write path. Here Stopped holds queued
// writes back, PipeIdleEvent is signalled while no write is current, and
// LoopLock and LoopActive are unused. The cancel spin lock guards Stopped and
// every field from WritesHeld to SpentPipeWrites.
typedef struct _OUTPUT_PIPE_CONTEXT : PIPE_CONTEXT {
  KTIMER WriteTotalTimer;      // total timeout of CurrentWriteIrp
  KDPC WriteTotalTimerDpc;
  KDPC StartWriteDpc;          // sends a write that became current outside DispatchWrite
  KEVENT TxDrainedEvent;       // notification; signalled while no write is in progress
  BOOLEAN WritesHeld;          // stopped with writes queued: queue busy, no write current
  BOOLEAN WriteCancelPending;  // the current write ends as cancelled, whatever its pipe write ends with
  ULONG CurrentWriteNumber;    // counts the writes that became current
  ULONG TimerWriteNumber;      // the write WriteTotalTimer was last set for
  PIRP ImmediatePipeWrite;     // the pipe write of ImmediateCharIrp
  ULONG PipeWriteCancels;      // callers inside IoCancelIrp on one of the port's pipe writes
  LIST_ENTRY SpentPipeWrites;  // pipe writes that completed meanwhile; the last of them frees these
  ULONG TxRawDump;             // registry values, stored only
  ULONG TxKickThreshold;
} OUTPUT_PIPE_CONTEXT;

// The device extension of a port. The groups lie in a fixed order.
typedef struct _PORT_EXTENSION {
  // 1. Set by AddDevice.
  PDEVICE_OBJECT DeviceObject;
  // 2. Plug and Play state; PnP manager's thread only.
  ULONG PnpState;
  ULONG PreviousPnpState;
  // 3. Set by removal and surprise removal; read unlocked (RemovalBegun) by every dispatch routine.
  BOOLEAN Removed;
  BOOLEAN SurpriseRemoved;
  // 4. AddDevice's hold plus one per open handle.
  IO_REMOVE_LOCK RemoveLock;
  // 5. Set by AddDevice.
  PDEVICE_OBJECT PhysicalDeviceObject;
  // 6. The COM-port interface's link name; nonpaged buffer owned from AddDevice to removal.
  UNICODE_STRING InterfaceName;
  // 7. "\DosDevices\COMn"; 256-byte nonpaged buffer owned from the first start to removal.
  UNICODE_STRING DosName;
  // 8. Successful opens not yet closed (0 or 1); interlocked.
  volatile LONG OpenCount;
  // 9. Device variant 0 to 3, from the registry at AddDevice.
  ULONG EndPointCaps;
  // 10. Storage of the pipe names the PipeFile records point to.
  WCHAR InputPipeNameBuffer[PIPE_NAME_CHARS];
  WCHAR OutputPipeNameBuffer[PIPE_NAME_CHARS];
  WCHAR StatusPipeNameBuffer[PIPE_NAME_CHARS];
  // 11. Received bytes waiting for read requests; its own lock.
  RING_BUFFER RxRing;
  // 12. Read requests; ReadQueueLock guards the queue, CurrentReadIrp and the
  // numbers: each read that becomes current gets the next CurrentReadNumber,
  // and each read timer remembers the read it was set for, so that a timer
  // DPC left over from one read never ends the next.
  KSPIN_LOCK ReadQueueLock;
  KDEVICE_QUEUE ReadQueue;
  PIRP CurrentReadIrp;
  ULONG CurrentReadNumber;
  ULONG TotalTimerReadNumber;
  ULONG IntervalTimerReadNumber;
  // 13-15. The three pipes (see their records).
  INPUT_PIPE_CONTEXT InputPipe;
  STATUS_PIPE_CONTEXT StatusPipe;
  OUTPUT_PIPE_CONTEXT OutputPipe;
  // 16. Transmit queue storage, allocated at open; its own lock.
  RING_BUFFER TxRing;
  // 17. Write requests; the I/O manager's cancel spin lock guards all three.
  KDEVICE_QUEUE WriteQueue;
  PIRP CurrentWriteIrp;
  PIRP ImmediateCharIrp;
  // 18. Wait-on-mask; WaitLock guards the three fields after it.
  KSPIN_LOCK WaitLock;
  PIRP PendingWaitIrp;
  ULONG WaitMask;
  ULONG EventHistory;
  // 19. Serial settings; written by the settings requests at PASSIVE_LEVEL without a lock.
  UCHAR ModemControl;          // MODEM_CONTROL_* bits
  SERIALPERF_STATS PerfStats;
  ULONG RxQueueSize;           // changed under RxRing.Lock by IOCTL_SERIAL_SET_QUEUE_SIZE
  ULONG TxQueueSize;
  ULONG BaudRate;
  SERIAL_TIMEOUTS Timeouts;
  SERIAL_LINE_CONTROL LineControl;
  SERIAL_CHARS Chars;
  SERIAL_HANDFLOW HandFlow;
  // 20. Status reported to applications; guarded by CommStatusLock.
  SERIAL_STATUS CommStatus;
  KSPIN_LOCK CommStatusLock;
  // 21. The next device down the port's own stack; set by AddDevice.
  PDEVICE_OBJECT LowerDeviceObject;
  // 22. The bound pipe driver: its device (no reference of its own) and the
  // referenced file object; set by the binding, cleared after the teardown
  // drained. TargetLinkName (nonpaged, owned) is its interface link, kept from
  // the binding until the target is gone for good, so that a removal the
  // system cancels can bind the same device again. TargetStarted: the binding
  // work opened the pipes, and the binding's own busy hold is counted.
  // BindingLock (driver-wide) guards the changes of the binding fields;
  // TargetDeviceObject, TargetStarted and TargetDetached are also read
  // without it (TargetDevice, TargetBound), by paths that hold the busy
  // count: a teardown detaches, then waits for the count to drain before it
  // clears the device, so such a reader either sees the target detached or
  // is waited for.
  PDEVICE_OBJECT TargetDeviceObject;
  PFILE_OBJECT TargetFileObject;
  UNICODE_STRING TargetLinkName;
  BOOLEAN TargetStarted;
  // 23. Which pipes are open; set and cleared by the binding at PASSIVE_LEVEL,
  // read unlocked by the data path under the busy count.
  BOOLEAN OutputPipeOpen;
  BOOLEAN InputPipeOpen;
  BOOLEAN StatusPipeOpen;
  // 24. An application has the port open; create and close. Read unlocked.
  BOOLEAN PortOpen;
  // 25. The device is in its open state; open, close, binding, sleep. Read unlocked.
  BOOLEAN DeviceReady;
  // 26. No pipe driver bound: TRUE from creation until a binding.
  BOOLEAN TargetDetached;
  // 27. Requests of the port inside the pipe driver; IdleEvent is signalled
  // exactly when BusyCount is 0. BusyLock makes the count's change and the
  // event's one step, so a count rising again cannot meet an event set late.
  volatile LONG BusyCount;
  KEVENT IdleEvent;
  KSPIN_LOCK BusyLock;
  // 28. Uppercased TargetDevice text, terminated; set by AddDevice.
  WCHAR TargetMatch[TARGET_MATCH_CHARS];
  // 29. The target-device-change registration on TargetFileObject.
  PVOID TargetNotificationEntry;
  // 30. Set at every modem-status update; the open waits on it.
  KEVENT StatusEvent;
  // 31. The data path was stopped for a system sleep; the wake brings it
  // back. Set under BindingLock by the preparation, cleared by the resume;
  // read unlocked by the power requests' completion.
  BOOLEAN SleepPrepared;
  // 32. The work item that resumes the data path after a wake: allocated by
  // AddDevice, so a wake never waits on memory, and freed at the removal.
  // ResumeQueued is 1 from its queueing until its routine starts; interlocked.
  PIO_WORKITEM ResumeWorkItem;
  volatile LONG ResumeQueued;
} PORT_EXTENSION, *PPORT_EXTENSION;

inline PPORT_EXTENSION PortExtension(PDEVICE_OBJECT DeviceObject) {
  return (PPORT_EXTENSION)DeviceObject->DeviceExtension;
}
