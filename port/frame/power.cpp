// tolvane: IRP_MJ_POWER. The port keeps no device power state of its own and
// never fails a power request it can honour. Before the system sleeps it
// stops its data path (the pipe reads and the write path; the pipes stay
// open and pending reads stay queued); once the system works again, a work
// item powers the target up, brings the device back into its open state and
// restarts the data path, without the application reopening the port.
#include "port/routines.h"

namespace {

IO_COMPLETION_ROUTINE PortSystemPowerComplete;
IO_COMPLETION_ROUTINE PortQueryPowerComplete;
IO_WORKITEM_ROUTINE PortResumeWork;
REQUEST_POWER_COMPLETE TargetPowerComplete;

NTSTATUS PassDown(PPORT_EXTENSION Extension, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(Extension->LowerDeviceObject, Irp);
}

// The data path stops before a sleep. Under BindingLock, so that a binding,
// an open or a close finds it either running or stopped. Received bytes stay
// in the ring for the reads after the wake; writes are ended (with the bytes
// that went out) rather than left to a device that is about to lose power.
// PASSIVE_LEVEL: the loops' stops wait.
void PortPrepareSleep(PDEVICE_OBJECT DeviceObject, SYSTEM_POWER_STATE State) {
  if (State <= PowerSystemWorking) return;
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  AcquireBindingLock();
  StopReceive(extension);
  StopStatusPipe(extension);
  WriteShared(extension->DeviceReady, FALSE);
  StopTransmit(extension);
  CancelWriteRequests(extension);
  ResetTransmit(extension);
  WriteShared(extension->SleepPrepared, TRUE);
  ReleaseBindingLock();
}

void NTAPI TargetPowerComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK) {
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
}

// Asks for the target device in D0 and waits until the pipe driver has
// powered it up, so the replay that follows reaches a device that is awake.
// The target's file object is referenced meanwhile: a removal of the target
// cannot delete its device under the request.
void PowerUpTarget(PPORT_EXTENSION Extension) {
  AcquireBindingLock();
  PDEVICE_OBJECT target = TargetBound(Extension) ? TargetDevice(Extension) : NULL;
  PFILE_OBJECT file = target ? Extension->TargetFileObject : NULL;
  if (file) ObReferenceObject(file);
  ReleaseBindingLock();
  if (!file) return;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  if (PoRequestPowerIrp(target, IRP_MN_SET_POWER, state, TargetPowerComplete, &event, NULL) == STATUS_PENDING)
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  ObDereferenceObject(file);
}

BOOLEAN ResumeWanted(PPORT_EXTENSION Extension) {
  return TargetBound(Extension) && ReadShared(Extension->PortOpen) && !RemovalBegun(Extension);
}

// The device is brought back into its open state (outside BindingLock: the
// port-state message may be tried for ten seconds, and a target teardown
// must not wait for that lock meanwhile), then the data path restarts under
// it, if the port is still open on a bound target.
void ResumeAfterSleep(PPORT_EXTENSION Extension) {
  if (!ResumeWanted(Extension)) return;
  ReplayDeviceSettings(Extension, 10);
  AcquireBindingLock();
  if (ResumeWanted(Extension)) {
    StartReceive(Extension);
    StartStatusPipe(Extension);
    AllowTransmit(Extension);
    ClearCommStatus(Extension);
    RaiseTransmitEmpty(Extension);
  }
  ReleaseBindingLock();
}

void NTAPI PortResumeWork(PDEVICE_OBJECT DeviceObject, PVOID) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  InterlockedExchange(&extension->ResumeQueued, 0);
  AcquireBindingLock();
  WriteShared(extension->SleepPrepared, FALSE);
  ReleaseBindingLock();
  PowerUpTarget(extension);
  ResumeAfterSleep(extension);
  DecrementBusy(extension);
}

// Queues PortResumeWork with the port's own work item, holding a busy count
// until it has run, so that a target teardown (and the removal, which frees
// the item) waits for it. A wake while it is still queued is served by it.
void QueueResumeWork(PDEVICE_OBJECT DeviceObject) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (InterlockedExchange(&extension->ResumeQueued, 1)) return;
  IncrementBusy(extension);
  IoQueueWorkItem(extension->ResumeWorkItem, PortResumeWork, DelayedWorkQueue, NULL);
}

// The end of a system power request the port sent down with a completion
// routine: when `Resume` holds and the port had stopped its data path for a
// sleep, the resume is queued. Up to DISPATCH_LEVEL.
NTSTATUS ResumeIfPrepared(PIRP Irp, PDEVICE_OBJECT DeviceObject, BOOLEAN Resume) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  IncrementBusy(extension);
  if (Resume && ReadShared(extension->SleepPrepared) && TargetDevice(extension)) QueueResumeWork(DeviceObject);
  DecrementBusy(extension);
  return STATUS_SUCCESS;
}

// A system set-power request came back up: the wake to the working state
// after a sleep the port prepared for (or one another driver vetoed) resumes.
NTSTATUS NTAPI PortSystemPowerComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  SYSTEM_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
  return ResumeIfPrepared(Irp, (PDEVICE_OBJECT)Context, state == PowerSystemWorking);
}

// A driver below the port refused the sleep the port had prepared for. The
// power manager then tells only the stacks that agreed, so the port hears no
// working state again: it brings its data path back itself.
NTSTATUS NTAPI PortQueryPowerComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  return ResumeIfPrepared(Irp, (PDEVICE_OBJECT)Context, !NT_SUCCESS(Irp->IoStatus.Status));
}

// A system set-power request goes down with PortSystemPowerComplete, which
// queues the resume once the system works again. A sleep the port was not
// asked about first is prepared for here.
NTSTATUS SystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, SYSTEM_POWER_STATE State) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  BOOLEAN passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
  if (State > PowerSystemWorking && !passive) return PassDown(extension, Irp);
  if (!ReadShared(extension->SleepPrepared)) PortPrepareSleep(DeviceObject, State);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, PortSystemPowerComplete, DeviceObject, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(Irp);
  return PoCallDriver(extension->LowerDeviceObject, Irp);
}

// A system query: the data path stops before a sleep. Power requests reach
// the port at PASSIVE_LEVEL while its stack is power-pagable; on a stack that
// is not, they come at DISPATCH_LEVEL, where the port cannot stop its data
// path: it refuses the sleep, loudly, rather than wait there.
NTSTATUS SystemQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, SYSTEM_POWER_STATE State) {
  PPORT_EXTENSION extension = PortExtension(DeviceObject);
  if (State > PowerSystemWorking && KeGetCurrentIrql() > PASSIVE_LEVEL) {
    DbgPrint("tolvane: system power query at IRQL %d: the port's stack is not power-pagable; sleep refused\n",
             KeGetCurrentIrql());
    PoStartNextPowerIrp(Irp);
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
  }
  PortPrepareSleep(DeviceObject, State);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, PortQueryPowerComplete, DeviceObject, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(Irp);
  return PoCallDriver(extension->LowerDeviceObject, Irp);
}

}  // namespace

NTSTATUS NTAPI PortPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  BOOLEAN system = (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) &&
                   stack->Parameters.Power.Type == SystemPowerState;
  if (!system) return PassDown(PortExtension(DeviceObject), Irp);
  SYSTEM_POWER_STATE state = stack->Parameters.Power.State.SystemState;
  if (stack->MinorFunction == IRP_MN_QUERY_POWER) return SystemQueryPower(DeviceObject, Irp, state);
  return SystemSetPower(DeviceObject, Irp, state);
}
