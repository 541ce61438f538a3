// The verifier: refuses what NT's Driver Verifier refuses. A rule that fires
// stops the machine with a report naming the rule, the driver routine on the
// stack, the IRP or object involved, and what was expected.
#pragma once

#include <cstdarg>
#include <string>

#include "sim/ddk/ntddk.h"

namespace sim {

enum class Rule {
  // IRP lifecycle
  DoubleCompletion, CompleteWithCancelRoutine, BadCompletionStatus, PendingMismatch, StatusMismatch,
  LostIrp, CompletionRoutineContract, StackLocationMisuse, FreeIrpInUse, CancelRoutineOwnership, IrqlDrift,
  // Locks and cancellation
  SpinLock, CancelSpinLock, LockOrder,
  // IRQL
  IrqlWait, IrqlPool, IrqlPassive, IrqlDispatch, RaiseLower,
  // Pool and resources
  PoolLeak, UnloadResidue, RemoveLock, UrbLeak, ActiveObjectFreed, MdlMisuse, WorkItemMisuse,
  // Plug and Play
  PnpRemoveContract, PnpForwarding, AttachFlags,
  // Power (Windows 2000 and XP): PoCallDriver for power IRPs, PoStartNextPowerIrp
  // by every driver before it completes a power IRP or gives it up.
  PowerIrpContract,
  // Anything the kernel cannot carry on from: an unimplemented routine, a
  // thread unknown to the kernel, a hang in virtual time.
  KernelStop,
};
const char* RuleName(Rule rule);

// Stops the machine: prints the report to stderr and aborts the process.
[[noreturn]] void VerifierStop(Rule rule, PIRP irp, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The name of a routine (its symbol, demangled) for reports and traces.
std::string SymbolName(const void* address);
// A one-line description of an IRP: address, major and minor function, owner.
std::string DescribeIrp(PIRP irp);
// The driver's name without the \Driver\ prefix, or "kernel".
std::string DriverName(PDRIVER_OBJECT driver);

// Called at the top of the kernel routines that can widen race windows: yields
// the host thread now and then when delay fuzzing is on.
void MaybeYield();

// Checks that the caller runs at or below `maxIrql`; `rule` names the refusal.
void RequireIrqlAtMost(KIRQL maxIrql, Rule rule, const char* routine);
void RequireIrqlPassive(const char* routine);

}  // namespace sim
