// PoCallDriver, PoStartNextPowerIrp and PoSetPowerState with Windows 2000 and
// XP semantics, and the verifier's power IRP rules. (From Vista on, IoCallDriver
// serves and PoStartNextPowerIrp does nothing; the drivers here target 2000 and
// later, so the simulated kernel holds them to the older, stricter contract.)
#include "sim/kernel/powerirp.h"

#include <algorithm>

#include "sim/kernel/irp.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/power.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/verifier.h"
#include "sim/kernel/workitem.h"

namespace sim {

namespace {

// NT calls a pagable device's power dispatch at PASSIVE_LEVEL and any other
// at DISPATCH_LEVEL (an inrush device is never pagable for power).
bool Pagable(PDEVICE_OBJECT device) { return (device->Flags & DO_POWER_PAGABLE) && !(device->Flags & DO_POWER_INRUSH); }

NTSTATUS CallAtDispatchLevel(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  NTSTATUS status = CallDriver(device, irp, true);
  KfLowerIrql(old);
  return status;
}

// Calls the device at a parked IRP's current location from a system worker
// thread, at the IRQL that device takes power IRPs at.
void DeliverLater(PIRP irp) {
  CurrentMachine().Workers().QueueKernelWork(CriticalWorkQueue, [irp] {
    if (Pagable(IoGetCurrentIrpStackLocation(irp)->DeviceObject)) {
      DispatchParked(irp);
      return;
    }
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    DispatchParked(irp);
    KfLowerIrql(old);
  });
}

// A device that is free for `irp`: a non-pagable one is called at once at
// DISPATCH_LEVEL, a pagable one at once if the caller runs at PASSIVE_LEVEL,
// else from a worker thread.
NTSTATUS Deliver(PDEVICE_OBJECT device, PIRP irp) {
  if (!Pagable(device)) return CallAtDispatchLevel(device, irp);
  if (CurrentThread()->irql == PASSIVE_LEVEL) return CallDriver(device, irp, true);
  ParkIrp(device, irp);
  DeliverLater(irp);
  return STATUS_PENDING;
}

PowerRecords& Records() { return CurrentMachine().Power().Records(); }

}  // namespace

// The queue a query or set IRP occupies on each device that receives it:
// system IRPs one at a time, device set-power IRPs one at a time, device
// queries held (PoStartNextPowerIrp is owed) without waiting for each other.
// -1: wait-wake and power-sequence IRPs, which NT does not serialise.
int PowerRecords::QueueOf(const IO_STACK_LOCATION& stack) {
  if (stack.MinorFunction != IRP_MN_QUERY_POWER && stack.MinorFunction != IRP_MN_SET_POWER) return -1;
  if (stack.Parameters.Power.Type == SystemPowerState) return kSystemQueue;
  return stack.MinorFunction == IRP_MN_SET_POWER ? kDeviceSetQueue : kQueues;
}

bool PowerRecords::HoldsLocked(PDEVICE_OBJECT device, PIRP irp) {
  auto it = devices_.find(device);
  if (it == devices_.end()) return false;
  return std::any_of(it->second.held.begin(), it->second.held.end(), [irp](const auto& entry) { return entry.first == irp; });
}

NTSTATUS PowerRecords::Call(PDEVICE_OBJECT device, PIRP irp) {
  MaybeYield();
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "PoCallDriver");
  CurrentMachine().Irps().Require(irp, "PoCallDriver");
  // No stack location left, or none set up: IoCallDriver's checks report it.
  if (irp->CurrentLocation <= 1 || IoGetNextIrpStackLocation(irp)->MajorFunction == kUnsetMajor)
    return CallDriver(device, irp, true);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (next->MajorFunction != IRP_MJ_POWER)
    VerifierStop(Rule::PowerIrpContract, irp, "PoCallDriver with a request that is not a power IRP (major 0x%02x)",
                 next->MajorFunction);
  CheckGivenUp(irp);
  int queue = QueueOf(*next);
  {
    std::lock_guard guard(mutex_);
    DeviceRecord& record = devices_[device];
    bool busy = queue >= 0 && queue < kQueues &&
                std::any_of(record.held.begin(), record.held.end(), [queue](const auto& e) { return e.second == queue; });
    if (busy) {
      ParkIrp(device, irp);
      record.waiting[queue].push_back(irp);
      return STATUS_PENDING;
    }
    if (queue >= 0) record.held.emplace_back(irp, queue);
  }
  return Deliver(device, irp);
}

// A driver passing a power IRP on must have called PoStartNextPowerIrp
// already, unless it set a completion routine to call it from. Whether the
// driver copied or skipped its location, the next one names its device.
void PowerRecords::CheckGivenUp(PIRP irp) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  PDEVICE_OBJECT caller = next->DeviceObject;
  if (!caller) return;  // the power manager's own send
  bool skipped = irp->CurrentLocation > irp->StackCount || IoGetCurrentIrpStackLocation(irp)->DeviceObject != caller;
  if (!skipped && next->CompletionRoutine) return;
  {
    std::lock_guard guard(mutex_);
    if (!HoldsLocked(caller, irp)) return;
  }
  VerifierStop(Rule::PowerIrpContract, irp,
               "%s passed a power IRP on without calling PoStartNextPowerIrp first, and set no completion routine "
               "to call it from",
               DriverName(caller->DriverObject).c_str());
}

void PowerRecords::StartNext(PIRP irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "PoStartNextPowerIrp");
  CurrentMachine().Irps().Require(irp, "PoStartNextPowerIrp");
  if (irp->CurrentLocation > irp->StackCount)
    VerifierStop(Rule::PowerIrpContract, irp,
                 "PoStartNextPowerIrp after the stack location was skipped; it must be called while the current "
                 "location is the caller's");
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_POWER)
    VerifierStop(Rule::PowerIrpContract, irp, "PoStartNextPowerIrp on a request that is not a power IRP");
  PDEVICE_OBJECT device = stack->DeviceObject;
  PDRIVER_OBJECT caller = CurrentDriver();
  if (caller && device && device->DriverObject != caller)
    VerifierStop(Rule::PowerIrpContract, irp,
                 "PoStartNextPowerIrp by %s while the current stack location is %s's; it must be called before "
                 "IoSkipCurrentIrpStackLocation, PoCallDriver and IoCompleteRequest",
                 DriverName(caller).c_str(), DriverName(device->DriverObject).c_str());
  if (QueueOf(*stack) < 0) return;
  PIRP waiting = nullptr;
  {
    std::unique_lock lock(mutex_);
    DeviceRecord& record = devices_[device];
    auto it = std::find_if(record.held.begin(), record.held.end(), [irp](const auto& e) { return e.first == irp; });
    if (it == record.held.end()) {
      lock.unlock();
      VerifierStop(Rule::PowerIrpContract, irp,
                   "PoStartNextPowerIrp by %s for a power IRP its device no longer holds (called twice for one IRP)",
                   DriverName(device->DriverObject).c_str());
    }
    int queue = it->second;
    record.held.erase(it);
    if (queue < kQueues && !record.waiting[queue].empty()) {
      waiting = record.waiting[queue].front();
      record.waiting[queue].pop_front();
      record.held.emplace_back(waiting, queue);
    }
  }
  if (waiting) DeliverLater(waiting);
}

void PowerRecords::CheckCompleting(PIRP irp) {
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  if (!device || device->DriverObject != CurrentDriver()) return;
  {
    std::lock_guard guard(mutex_);
    if (!HoldsLocked(device, irp)) return;
  }
  VerifierStop(Rule::PowerIrpContract, irp, "%s completed a power IRP without calling PoStartNextPowerIrp first",
               DriverName(device->DriverObject).c_str());
}

void PowerRecords::CheckFinished(PIRP irp) {
  std::unique_lock lock(mutex_);
  for (auto& [device, record] : devices_) {
    if (!HoldsLocked(device, irp)) continue;
    PDEVICE_OBJECT holder = device;
    lock.unlock();
    VerifierStop(Rule::PowerIrpContract, irp, "the power IRP completed, but %s never called PoStartNextPowerIrp for it (device %p)",
                 DriverName(holder->DriverObject).c_str(), (void*)holder);
  }
}

POWER_STATE PowerRecords::Report(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
  std::lock_guard guard(mutex_);
  DeviceRecord& record = devices_[device];
  POWER_STATE previous;
  if (type == SystemPowerState) {
    previous.SystemState = std::exchange(record.systemState, state.SystemState);
  } else {
    previous.DeviceState = std::exchange(record.deviceState, state.DeviceState);
  }
  return previous;
}

DEVICE_POWER_STATE PowerRecords::ReportedDeviceState(PDEVICE_OBJECT device) {
  std::lock_guard guard(mutex_);
  auto it = devices_.find(device);
  return it == devices_.end() ? PowerDeviceUnspecified : it->second.deviceState;
}

void PowerRecords::Forget(PDEVICE_OBJECT device) {
  std::lock_guard guard(mutex_);
  devices_.erase(device);
}

void PowerRecords::AddLog(std::string line) {
  std::lock_guard guard(mutex_);
  log_.push_back(std::move(line));
}

std::vector<std::string> PowerRecords::Log() {
  std::lock_guard guard(mutex_);
  return log_;
}

void CheckPowerIrpCompletion(PIRP irp) { Records().CheckCompleting(irp); }

}  // namespace sim

using namespace sim;

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Records().Call(DeviceObject, Irp); }

extern "C" void NTAPI PoStartNextPowerIrp(PIRP Irp) { Records().StartNext(Irp); }

extern "C" POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  // Only the move to D0 may be reported at DISPATCH_LEVEL.
  bool toD0 = Type == DevicePowerState && State.DeviceState == PowerDeviceD0;
  RequireIrqlAtMost(toD0 ? DISPATCH_LEVEL : APC_LEVEL, Rule::IrqlDispatch, "PoSetPowerState");
  return Records().Report(DeviceObject, Type, State);
}
