// The power IRPs the power manager allocates: its own system IRPs and those
// drivers ask for with PoRequestPowerIrp.
#include <cstdio>

#include "sim/kernel/irp.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/power.h"
#include "sim/kernel/powerirp.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/trace.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"

namespace sim {

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

PIRP AllocatePowerIrp(PDEVICE_OBJECT top, UCHAR minor, std::function<void(PIRP)> completed) {
  IrpOriginator originator;
  originator.threadIrp = true;
  originator.onCompleted = [completed = std::move(completed)](PIRP irp) {
    CurrentMachine().Power().Records().CheckFinished(irp);
    completed(irp);
  };
  PIRP irp = CurrentMachine().Irps().Allocate(top->StackSize, nullptr, std::move(originator));
  irp->RequestorMode = KernelMode;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  std::memset(stack, 0, sizeof *stack);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = minor;
  return irp;
}

std::string PowerStateName(POWER_STATE_TYPE type, POWER_STATE state) {
  if (type == DevicePowerState) {
    int d = state.DeviceState - PowerDeviceD0;
    return d >= 0 && d <= 3 ? "D" + std::to_string(d) : "D?";
  }
  int s = state.SystemState - PowerSystemWorking;  // S0 working ... S4 hibernate, S5 shutdown
  return s >= 0 && s <= 5 ? "S" + std::to_string(s) : "S?";
}

const char* PowerMinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_WAIT_WAKE: return "WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE: return "POWER_SEQUENCE";
    case IRP_MN_SET_POWER: return "SET_POWER";
    case IRP_MN_QUERY_POWER: return "QUERY_POWER";
    default: return "POWER_?";
  }
}

std::string DeviceLabel(PDEVICE_OBJECT device) {
  std::u16string name = CurrentMachine().Objects().NameOf(device);
  if (!name.empty()) return Narrow(name);
  char text[40];
  std::snprintf(text, sizeof text, "device %p", (void*)device);
  return text;
}

}  // namespace sim

using namespace sim;

// Sends the IRP to the top of the stack `DeviceObject` is in, through
// PoCallDriver's serialisation; the completion function runs when it completed,
// at the IRQL it completed at, before the IRP is freed.
extern "C" NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                            PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "PoRequestPowerIrp");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  Machine& machine = CurrentMachine();
  if (machine.Pool().ShouldFail(0, __builtin_return_address(0))) return STATUS_INSUFFICIENT_RESOURCES;
  PDRIVER_OBJECT requester = CurrentDriver();
  bool waitWake = MinorFunction == IRP_MN_WAIT_WAKE;
  std::string entry = PowerStateName(waitWake ? SystemPowerState : DevicePowerState, PowerState) + " " +
                      PowerMinorName(MinorFunction) + " -> " + DeviceLabel(DeviceObject) + ": ";
  PDEVICE_OBJECT top = TopOfStack(DeviceObject);
  PIRP irp = AllocatePowerIrp(top, MinorFunction, [=](PIRP done) {
    CurrentMachine().Power().Records().AddLog(entry + StatusName(done->IoStatus.Status));
    if (!CompletionFunction) return;
    FrameScope frame(requester, (const void*)CompletionFunction, FrameKind::PowerCompletion, done);
    CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &done->IoStatus);
  });
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  if (waitWake) {
    stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State = PowerState;
    stack->Parameters.Power.ShutdownType = PowerActionNone;
  }
  if (Irp) *Irp = irp;
  machine.Power().Records().Call(top, irp);
  // NT reports the IRP as sent, whether or not it has completed already.
  return STATUS_PENDING;
}
