// merrow: power, as the device's power policy owner. A system set-power
// request is held while the device set-power request derived from it runs;
// device power-downs are recorded before the lower drivers see them, the
// power-up after they have finished it. The device has DO_POWER_PAGABLE, so
// these dispatch routines run at PASSIVE_LEVEL.
#include "pipe/routines.h"

static NTSTATUS PassOn(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  NTSTATUS status = PoCallDriver(PipeExtension(DeviceObject)->LowerDeviceObject, Irp);
  DecrementIoCount(DeviceObject);
  return status;
}

static NTSTATUS CompletePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
  PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  DecrementIoCount(DeviceObject);
  return Status;
}

// The device request has finished: the held system request goes on whatever
// its outcome. Runs in the power manager's completion context.
static void NTAPI DevicePowerComplete(PDEVICE_OBJECT PhysicalDeviceObject, UCHAR MinorFunction, POWER_STATE State,
                                      PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  PDEVICE_OBJECT deviceObject = (PDEVICE_OBJECT)Context;
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(deviceObject);
  PIRP systemIrp = extension->PendingSystemPowerIrp;
  extension->PendingSystemPowerIrp = NULL;
  IoCopyCurrentIrpStackLocationToNext(systemIrp);
  PoStartNextPowerIrp(systemIrp);
  PoCallDriver(extension->LowerDeviceObject, systemIrp);
  DecrementIoCount(deviceObject);
}

// The device state for system state s: D0 when working, else what the bus
// reported; a state the bus left unspecified (or a refused capability query)
// means D3, the state in which a sleeping system can keep no device powered.
static DEVICE_POWER_STATE DeviceStateFor(PPIPE_DEVICE_EXTENSION Extension, SYSTEM_POWER_STATE State) {
  if (State == PowerSystemWorking) return PowerDeviceD0;
  DEVICE_POWER_STATE device = PowerDeviceUnspecified;
  if (State > PowerSystemUnspecified && State < PowerSystemMaximum)
    device = Extension->DeviceCapabilities.DeviceState[State];
  return device == PowerDeviceUnspecified ? PowerDeviceD3 : device;
}

// Holds the system request while the device request runs. The request is
// marked pending before the device request is asked for, since its
// completion may pass the held request on before this routine returns. When
// the power manager refuses the device request, the held request goes on
// down at once: a set-power request may not fail, and the device simply
// stays in the state it is in.
static NTSTATUS SystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
  POWER_STATE device;
  device.DeviceState = DeviceStateFor(extension, system);
  if (device.DeviceState == extension->DevicePowerState) return PassOn(DeviceObject, Irp);
  extension->PendingSystemPowerIrp = Irp;
  IoMarkIrpPending(Irp);
  NTSTATUS status = PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, device,
                                      DevicePowerComplete, DeviceObject, NULL);
  if (!NT_SUCCESS(status)) {
    extension->PendingSystemPowerIrp = NULL;
    PassOn(DeviceObject, Irp);
  }
  return STATUS_PENDING;
}

// Runs after the lower drivers have powered the device up: only now is D0
// recorded. A power-up is reported as successful whatever they returned.
static NTSTATUS NTAPI PowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  extension->DevicePowerState = PowerDeviceD0;
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  PoSetPowerState(DeviceObject, DevicePowerState, state);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  DecrementIoCount(DeviceObject);
  return STATUS_SUCCESS;
}

static NTSTATUS DeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
  switch (state.DeviceState) {
    case PowerDeviceD0:
      PoStartNextPowerIrp(Irp);
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, PowerUpComplete, NULL, TRUE, TRUE, TRUE);
      return PoCallDriver(extension->LowerDeviceObject, Irp);
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3:
      PoSetPowerState(DeviceObject, DevicePowerState, state);
      extension->DevicePowerState = state.DeviceState;
      return PassOn(DeviceObject, Irp);
    default:
      return PassOn(DeviceObject, Irp);
  }
}

static void NTAPI WakePowerUpComplete(PDEVICE_OBJECT PhysicalDeviceObject, UCHAR MinorFunction, POWER_STATE State,
                                      PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  PDEVICE_OBJECT deviceObject = (PDEVICE_OBJECT)Context;
  KeSetEvent(&PipeExtension(deviceObject)->PowerUpEvent, IO_NO_INCREMENT, FALSE);
  DecrementIoCount(deviceObject);
}

// Arms the wake in the lower drivers and waits until it fires, then powers
// the device up and waits for that. The wait-wake request is completed with
// the lower drivers' status, which is also what this routine returns (a
// completed request's status is its dispatch routine's answer).
static NTSTATUS WaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPIPE_DEVICE_EXTENSION extension = PipeExtension(DeviceObject);
  if (extension->DevicePowerState == PowerDeviceD0 ||
      extension->DeviceCapabilities.DeviceWake > extension->DevicePowerState)
    return CompletePower(DeviceObject, Irp, STATUS_INVALID_DEVICE_STATE);
  PoStartNextPowerIrp(Irp);
  NTSTATUS lowerStatus = SendAndWait(DeviceObject, Irp, TRUE);
  IncrementIoCount(DeviceObject);
  KeInitializeEvent(&extension->PowerUpEvent, NotificationEvent, FALSE);
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  NTSTATUS status = PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, state, WakePowerUpComplete,
                                      DeviceObject, NULL);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&extension->PowerUpEvent, Executive, KernelMode, FALSE, NULL);
  } else if (!NT_SUCCESS(status)) {
    DecrementIoCount(DeviceObject);  // refused: the completion function will not run
  }
  Irp->IoStatus.Status = lowerStatus;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  DecrementIoCount(DeviceObject);
  return lowerStatus;
}

NTSTATUS NTAPI PipePower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IncrementIoCount(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == SystemPowerState) return SystemSetPower(DeviceObject, Irp);
      return DeviceSetPower(DeviceObject, Irp);
    case IRP_MN_WAIT_WAKE:
      return WaitWake(DeviceObject, Irp);
    default:
      return PassOn(DeviceObject, Irp);
  }
}
