// System sleep and wake as the Windows 2000/XP power manager drives them:
// system power IRPs to every device stack, one stack at a time, children
// before parents on the way down and parents before children on the way up.
// Stacks are walked one at a time (NT may overlap the stacks of one level;
// the order between parents and children is what drivers can rely on).
#include "sim/kernel/power.h"

#include <mutex>
#include <optional>

#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/powerirp.h"
#include "sim/kernel/trace.h"
#include "sim/kernel/verifier.h"

namespace sim {

struct PowerManager::Impl {
  Impl() { KeInitializeEvent(&transitionFree, SynchronizationEvent, TRUE); }
  PowerRecords records;
  // One system transition at a time; a kernel wait, so that virtual time goes
  // on while a second caller waits for the first.
  KEVENT transitionFree;
  std::mutex mutex;  // guards what follows
  SYSTEM_POWER_STATE state = PowerSystemWorking;
  ULONG transitions = 0;  // each transition's IRPs carry its number as SystemContext
  std::optional<std::vector<PDEVICE_OBJECT>> testStacks;
};

namespace {

// Sends a system power IRP to the top of `pdo`'s stack and waits for it.
NTSTATUS SendSystemIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action, ULONG context) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  POWER_STATE power;
  power.SystemState = state;
  std::string entry = PowerStateName(SystemPowerState, power) + " " + PowerMinorName(minor) + " -> " + DeviceLabel(pdo) + ": ";
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  NTSTATUS result = STATUS_PENDING;
  PIRP irp = AllocatePowerIrp(top, minor, [&](PIRP completed) {
    result = completed->IoStatus.Status;
    CurrentMachine().Power().Records().AddLog(entry + StatusName(result));
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
  });
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.Power.SystemContext = context;
  stack->Parameters.Power.Type = SystemPowerState;
  stack->Parameters.Power.State = power;
  stack->Parameters.Power.ShutdownType = action;
  CurrentMachine().Power().Records().Call(top, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(top);
  return result;
}

bool IsSleepState(SYSTEM_POWER_STATE state) { return state >= PowerSystemSleeping1 && state <= PowerSystemHibernate; }

class TransitionScope {
 public:
  explicit TransitionScope(PKEVENT free) : free_(free) { KeWaitForSingleObject(free_, Executive, KernelMode, FALSE, nullptr); }
  ~TransitionScope() { KeSetEvent(free_, IO_NO_INCREMENT, FALSE); }
  TransitionScope(const TransitionScope&) = delete;
  TransitionScope& operator=(const TransitionScope&) = delete;

 private:
  PKEVENT free_;
};

}  // namespace

PowerManager::PowerManager() : impl_(std::make_unique<Impl>()) {}
PowerManager::~PowerManager() = default;

PowerRecords& PowerManager::Records() { return impl_->records; }

void PowerManager::SetStacksForTest(std::vector<PDEVICE_OBJECT> pdos) {
  std::lock_guard guard(impl_->mutex);
  impl_->testStacks = std::move(pdos);
}

// The device stacks, parents before children: the device nodes whose driver
// stack is in place (started, stopped for a rebalance, or between a query and
// its answer).
std::vector<PDEVICE_OBJECT> PowerManager::Stacks() {
  {
    std::lock_guard guard(impl_->mutex);
    if (impl_->testStacks) return *impl_->testStacks;
  }
  std::vector<PDEVICE_OBJECT> pdos;
  for (DeviceNode* node : CurrentMachine().Pnp().Nodes()) {
    NodeState state = node->State();
    bool inPlace = state == NodeState::Started || state == NodeState::QueryStopped || state == NodeState::Stopped ||
                   state == NodeState::QueryRemoved;
    if (inPlace && node->Top()) pdos.push_back(node->PhysicalDeviceObject());
  }
  return pdos;
}

bool PowerManager::Sleep(SYSTEM_POWER_STATE state) {
  RequireIrqlPassive("the power manager's sleep");
  if (!IsSleepState(state)) VerifierStop(Rule::KernelStop, nullptr, "Sleep(%d) is not a sleeping state", state);
  TransitionScope transition(&impl_->transitionFree);
  if (SystemState() != PowerSystemWorking) VerifierStop(Rule::KernelStop, nullptr, "Sleep while the system sleeps");
  std::vector<PDEVICE_OBJECT> stacks = Stacks();
  POWER_ACTION action = state == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
  ULONG context;
  {
    std::lock_guard guard(impl_->mutex);
    context = ++impl_->transitions;
  }
  std::vector<PDEVICE_OBJECT> agreed;  // children first
  for (auto it = stacks.rbegin(); it != stacks.rend(); ++it) {
    if (NT_SUCCESS(SendSystemIrp(*it, IRP_MN_QUERY_POWER, state, action, context))) {
      agreed.push_back(*it);
      continue;
    }
    // A veto abandons the sleep. Windows 2000 and XP tell the stacks that had
    // agreed by setting the working state again (parents first, as on wake);
    // the vetoing stack and those never queried hear nothing more.
    for (auto back = agreed.rbegin(); back != agreed.rend(); ++back)
      SendSystemIrp(*back, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone, context);
    return false;
  }
  for (auto it = stacks.rbegin(); it != stacks.rend(); ++it) SendSystemIrp(*it, IRP_MN_SET_POWER, state, action, context);
  std::lock_guard guard(impl_->mutex);
  impl_->state = state;
  return true;
}

void PowerManager::Wake() {
  RequireIrqlPassive("the power manager's wake");
  TransitionScope transition(&impl_->transitionFree);
  if (SystemState() == PowerSystemWorking) return;
  ULONG context;
  {
    std::lock_guard guard(impl_->mutex);
    context = ++impl_->transitions;
  }
  for (PDEVICE_OBJECT pdo : Stacks()) SendSystemIrp(pdo, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone, context);
  std::lock_guard guard(impl_->mutex);
  impl_->state = PowerSystemWorking;
}

NTSTATUS PowerManager::SendSystemRequestForTest(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
  RequireIrqlPassive("the power manager's request");
  TransitionScope transition(&impl_->transitionFree);
  ULONG context;
  {
    std::lock_guard guard(impl_->mutex);
    context = ++impl_->transitions;
  }
  POWER_ACTION action = state == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
  return SendSystemIrp(pdo, minor, state, action, context);
}

SYSTEM_POWER_STATE PowerManager::SystemState() const {
  std::lock_guard guard(impl_->mutex);
  return impl_->state;
}

DEVICE_POWER_STATE PowerManager::ReportedDeviceState(PDEVICE_OBJECT device) const {
  return impl_->records.ReportedDeviceState(device);
}

std::vector<std::string> PowerManager::Log() const { return impl_->records.Log(); }

void PowerManager::Forget(PDEVICE_OBJECT device) { impl_->records.Forget(device); }

}  // namespace sim
