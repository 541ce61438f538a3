// merrow: Plug and Play. Start configures the device, the query and cancel
// requests open and close the request gate, stop releases the configuration
// and removal tears the device down once no request is left inside the
// driver. PnP requests arrive one at a time at PASSIVE_LEVEL.
#include "pipe/routines.h"

static NTSTATUS NTAPI SignalEventComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request to the lower driver and waits until it is back in this
// driver's hands; PoCallDriver for power requests. Returns the request's
// status after a wait, else the call's.
NTSTATUS SendAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN PowerRequest) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalEventComplete, &event, TRUE, TRUE, TRUE);
  PDEVICE_OBJECT lower = PipeExtension(DeviceObject)->LowerDeviceObject;
  NTSTATUS status = PowerRequest ? PoCallDriver(lower, Irp) : IoCallDriver(lower, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

static NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  NTSTATUS status = IoCallDriver(PipeExtension(DeviceObject)->LowerDeviceObject, Irp);
  DecrementIoCount(DeviceObject);
  return status;
}

// Completes keeping the information the lower drivers set.
static NTSTATUS Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  DecrementIoCount(DeviceObject);
  return Status;
}


// Ends what is still inside the driver before its configuration goes: every
// pipe is aborted (the bus driver completes the transfers pending on it)
// until only the base count and this request's are left. A request that
// passed the gate just before it closed may reach the bus after an abort,
// hence the loop. With Rounds 0 it waits for as long as it takes (removal
// must: the device object goes next); otherwise it gives up after that many
// rounds of 50 ms and returns FALSE with requests still inside.
// PendingIoCount is interlocked only: it is read here by an interlocked
// operation too, as requests enter and leave on other processors.
static LONG RequestsInside(PPIPE_DEVICE_EXTENSION Extension) {
  return InterlockedExchangeAdd(&Extension->PendingIoCount, 0);
}

static BOOLEAN DrainRequests(PDEVICE_OBJECT DeviceObject, ULONG Rounds) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  for (ULONG round = 1; RequestsInside(extension) > 2; round++) {
    ULONG pipes = PipeCount(DeviceObject);
    for (ULONG i = 0; i < pipes; i++) AbortPipe(DeviceObject, &extension->ConfigRecord->PipeTable[i]);
    if (RequestsInside(extension) <= 2) break;
    if (Rounds && round >= Rounds) return FALSE;
    LARGE_INTEGER interval;
    interval.QuadPart = -50 * 1000 * 10;  // 50 ms
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
  return TRUE;
}

// Stop and start give requests that no abort ends this long (100 x 50 ms)
// before going on without them.
#define BOUNDED_DRAIN_ROUNDS 100

// Releases the configuration once no request is left inside; one that
// outlives the bounded drain still uses the pipe table, so the table is kept
// (the device stays closed) and FALSE returned.
static BOOLEAN ReleaseConfiguration(PDEVICE_OBJECT DeviceObject) {
  if (!DrainRequests(DeviceObject, BOUNDED_DRAIN_ROUNDS)) {
    DbgPrint("merrow: %d requests not ended by aborting the pipes; the configuration is kept until they end\n",
             (int)(RequestsInside(PipeExtension(DeviceObject)) - 2));
    return FALSE;
  }
  DeconfigureDevice(DeviceObject);
  return TRUE;
}

// Stop must not fail (the PnP manager has no way back from it), and the
// configuration is released even when the unconfigure request fails. So the
// device counts as stopped either way and the request goes down with success;
// open pipe files are refused from now on (PipeFromFile). Requests the drain
// could not end keep the configuration alive past the stop rather than
// holding the Plug and Play thread for good.
static NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  ReleaseConfiguration(DeviceObject);
  WriteShared(extension->Started, FALSE);
  WriteShared(extension->StopPending, FALSE);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(DeviceObject, Irp);
}

// A configuration left by a start that failed half-way, or kept by a stop
// for requests that were still inside, is released first, so a second start
// never overwrites (and leaks) it. If those requests are still inside, the
// start fails: the table cannot go while they use it.
static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  NTSTATUS status = SendAndWait(DeviceObject, Irp, FALSE);
  if (NT_SUCCESS(status) && extension->ConfigRecord && !ReleaseConfiguration(DeviceObject)) status = STATUS_DEVICE_BUSY;
  if (NT_SUCCESS(status)) {
    status = ConfigureDevice(DeviceObject);
    if (NT_SUCCESS(status)) WriteShared(extension->Started, TRUE);
  }
  return Complete(DeviceObject, Irp, status);
}

// The removal: no pipe file is opened or closed against the configuration
// from here on, and every request already inside the driver (an open or a
// close after a surprise removal included) ends before the configuration is
// released, as at stop.
static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  WriteShared(extension->Removed, TRUE);
  WriteShared(extension->RemoveStarted, TRUE);
  DrainRequests(DeviceObject, 0);
  DecrementIoCount(DeviceObject);
  AbortOpenPipes(DeviceObject);
  DeconfigureDevice(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  PDEVICE_OBJECT lower = extension->LowerDeviceObject;
  NTSTATUS status = IoCallDriver(lower, Irp);
  DecrementIoCount(DeviceObject);
  KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
  // A request that came in after the drain may have made the fall to 0; it
  // still holds IoCountLock as this thread wakes, and lets go of it last.
  KIRQL irql = KfAcquireSpinLock(&extension->IoCountLock);
  KfReleaseSpinLock(&extension->IoCountLock, irql);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, extension->InterfaceName);
  IoSetDeviceInterfaceState(&link, FALSE);
  IoDetachDevice(lower);
  IoDeleteDevice(DeviceObject);
  return status;
}

// The structure must be at least version 1 and 64 bytes; the device is safe
// to unplug without warning, whatever the lower drivers say.
static NTSTATUS QueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  if (capabilities->Version < 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
    Irp->IoStatus.Information = 0;
    return Complete(DeviceObject, Irp, STATUS_UNSUCCESSFUL);
  }
  capabilities->SurpriseRemovalOK = TRUE;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = SendAndWait(DeviceObject, Irp, FALSE);
  capabilities->SurpriseRemovalOK = TRUE;
  Irp->IoStatus.Information = 0;
  return Complete(DeviceObject, Irp, status);
}

// Query and cancel requests change a state byte only on a started device;
// before start they go down unchanged.
static NTSTATUS SetPendingFlag(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN* Flag, BOOLEAN Value) {
  if (PipeExtension(DeviceObject)->Started) {
    WriteShared(*Flag, Value);
    Irp->IoStatus.Status = STATUS_SUCCESS;
  }
  return PassDown(DeviceObject, Irp);
}

static NTSTATUS QueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  if (extension->Started) {
    WriteShared(extension->RemovePending, TRUE);
    KeWaitForSingleObject(&extension->NoPendingIoEvent, Executive, KernelMode, FALSE, NULL);
    Irp->IoStatus.Status = STATUS_SUCCESS;
  }
  return PassDown(DeviceObject, Irp);
}

NTSTATUS NTAPI PipePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  IncrementIoCount(DeviceObject);
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return QueryRemove(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return SetPendingFlag(DeviceObject, Irp, &extension->RemovePending, FALSE);
    case IRP_MN_STOP_DEVICE:
      return StopDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      return SetPendingFlag(DeviceObject, Irp, &extension->StopPending, TRUE);
    case IRP_MN_CANCEL_STOP_DEVICE:
      return SetPendingFlag(DeviceObject, Irp, &extension->StopPending, FALSE);
    case IRP_MN_QUERY_CAPABILITIES:
      return QueryCapabilities(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
      WriteShared(extension->Removed, TRUE);
      WriteShared(extension->SurpriseRemoved, TRUE);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(DeviceObject, Irp);
    default:
      return PassDown(DeviceObject, Irp);
  }
}
