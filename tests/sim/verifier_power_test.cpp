// The power IRP rules of Windows 2000 and XP: power IRPs travel with
// PoCallDriver, and every driver calls PoStartNextPowerIrp once for each query
// and set IRP, while the current stack location is its own and before it
// gives the IRP up. Each scenario is a function driver above a bus PDO that
// gets one thing wrong.
#include <gtest/gtest.h>

#include "tests/sim/verifier_kit.h"

using verifierkit::TestDevice;

namespace {

// A pagable stack: the function device above a PDO that completes power IRPs
// correctly. The power manager's device query goes to its top.
struct PowerStack {
  explicit PowerStack(sim::Machine& machine) : pdo(machine, u"Bus"), function(machine, u"Function") {
    function.AttachTo(pdo);
    pdo.device->Flags |= DO_POWER_PAGABLE;
    function.device->Flags |= DO_POWER_PAGABLE;
    pdo.behaviour.dispatch[IRP_MJ_POWER] = [](PDEVICE_OBJECT, PIRP irp) {
      PoStartNextPowerIrp(irp);
      return testkit::Complete(irp, STATUS_SUCCESS);
    };
  }
  testkit::Dispatch& OnPower() { return function.behaviour.dispatch[IRP_MJ_POWER]; }
  PDEVICE_OBJECT Lower() const { return function.Lower(); }
  void Query() {
    POWER_STATE state;
    state.DeviceState = PowerDeviceD2;
    PoRequestPowerIrp(pdo.device, IRP_MN_QUERY_POWER, state, nullptr, nullptr, nullptr);
  }

  TestDevice pdo;
  TestDevice function;
};

NTSTATUS NTAPI ForgetStartNext(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

void PassOnWithIoCallDriver() {
  sim::Machine machine;
  PowerStack stack(machine);
  stack.OnPower() = [&](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(stack.Lower(), irp);
  };
  stack.Query();
}

void PassOnWithoutStartingTheNext() {
  sim::Machine machine;
  PowerStack stack(machine);
  stack.OnPower() = [&](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(stack.Lower(), irp);
  };
  stack.Query();
}

void CompleteWithoutStartingTheNext() {
  sim::Machine machine;
  PowerStack stack(machine);
  stack.OnPower() = [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS); };
  stack.Query();
}

void CompletionRoutineNeverStartsTheNext() {
  sim::Machine machine;
  PowerStack stack(machine);
  stack.OnPower() = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ForgetStartNext, nullptr, TRUE, TRUE, TRUE);
    return PoCallDriver(stack.Lower(), irp);
  };
  stack.Query();
}

void StartTheNextTwice() {
  sim::Machine machine;
  PowerStack stack(machine);
  stack.OnPower() = [&](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(stack.Lower(), irp);
  };
  stack.Query();
}

void StartTheNextAfterSkipping() {
  sim::Machine machine;
  PowerStack stack(machine);
  stack.OnPower() = [&](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    return PoCallDriver(stack.Lower(), irp);
  };
  stack.Query();
}

}  // namespace

TEST(VerifierPower, PowerIrpPassedOnWithIoCallDriver) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(PassOnWithIoCallDriver(),
               "VERIFIER STOP: PowerIrpContract.*IoCallDriver passed a power IRP \\(minor 0x03\\) on; Windows 2000 "
               "and XP require PoCallDriver.*\\(Function, dispatch routine\\)");
}

TEST(VerifierPower, PassingOnWithoutPoStartNextPowerIrp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(PassOnWithoutStartingTheNext(),
               "VERIFIER STOP: PowerIrpContract.*Function passed a power IRP on without calling PoStartNextPowerIrp "
               "first.*\\(Function, dispatch routine\\)");
}

TEST(VerifierPower, CompletingWithoutPoStartNextPowerIrp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CompleteWithoutStartingTheNext(),
               "VERIFIER STOP: PowerIrpContract.*Function completed a power IRP without calling PoStartNextPowerIrp "
               "first.*\\(Function, dispatch routine\\)");
}

TEST(VerifierPower, CompletionRoutineThatNeverCallsPoStartNextPowerIrp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CompletionRoutineNeverStartsTheNext(),
               "VERIFIER STOP: PowerIrpContract.*the power IRP completed, but Function never called "
               "PoStartNextPowerIrp for it");
}

TEST(VerifierPower, PoStartNextPowerIrpOncePerIrpWhileTheLocationIsTheCallers) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(StartTheNextTwice(),
               "VERIFIER STOP: PowerIrpContract.*PoStartNextPowerIrp by Function for a power IRP its device no "
               "longer holds \\(called twice for one IRP\\)");
  EXPECT_DEATH(StartTheNextAfterSkipping(),
               "VERIFIER STOP: PowerIrpContract.*PoStartNextPowerIrp after the stack location was skipped");
}
