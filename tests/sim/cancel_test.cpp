// IoCancelIrp: the cancel routine of a queued IRP runs under the cancel spin
// lock at DISPATCH_LEVEL; an IRP without a cancel routine is only marked.
#include <gtest/gtest.h>

#include "sim/kernel/machine.h"
#include "sim/kernel/thread.h"
#include "tests/sim/testkit.h"

namespace {

// What the cancel routine found when it ran.
struct CancelSeen {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  KIRQL irql = PASSIVE_LEVEL;
  bool holdsCancelLock = false;
  BOOLEAN cancel = FALSE;
  KIRQL cancelIrql = HIGH_LEVEL;
  PDRIVER_CANCEL routineLeft = nullptr;
};

CancelSeen seen;  // the cancel routine is a plain routine without a context
bool completeInCancelRoutine = true;

// A cancel routine as drivers write it: note the state, release the cancel
// spin lock at the IRQL IoCancelIrp saved, complete the IRP as cancelled
// (or leave that to the test).
void NTAPI QueueCancel(PDEVICE_OBJECT device, PIRP irp) {
  ++seen.calls;
  seen.device = device;
  seen.irql = KeGetCurrentIrql();
  seen.holdsCancelLock = sim::CurrentThread()->holdsCancelLock;
  seen.cancel = irp->Cancel;
  seen.cancelIrql = irp->CancelIrql;
  seen.routineLeft = irp->CancelRoutine;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (completeInCancelRoutine) testkit::Complete(irp, STATUS_CANCELLED);
}

// A filter that passes requests down to a driver that holds each request,
// optionally with a cancel routine, until the test lets it go.
class CancelIrp : public ::testing::Test {
 protected:
  CancelIrp() {
    seen = CancelSeen{};
    completeInCancelRoutine = true;
    filterDriver = testkit::LoadDriver(machine, u"Filter");
    queueDriver = testkit::LoadDriver(machine, u"Queue");
    lower = testkit::CreateDevice(queueDriver, queueB);
    upper = testkit::CreateDevice(filterDriver, filterB);
    testkit::Attach(upper, lower);
    filterB.dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT device, PIRP irp) { return testkit::PassDown(device, irp); };
    queueB.dispatch[IRP_MJ_READ] = [this](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      held = irp;
      if (withCancelRoutine) IoSetCancelRoutine(irp, QueueCancel);
      return STATUS_PENDING;
    };
  }
  ~CancelIrp() override {
    testkit::Delete(upper);
    testkit::Delete(lower);
  }

  // Sends a read from the test; the originator's routine notes the final
  // status and frees the IRP.
  PIRP Send() {
    PIRP irp = testkit::NewIrp(upper, IRP_MJ_READ);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
          *static_cast<NTSTATUS*>(context) = irp->IoStatus.Status;
          IoFreeIrp(irp);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &finalStatus, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_PENDING);
    return irp;
  }

  sim::Machine machine;
  PDRIVER_OBJECT filterDriver = nullptr, queueDriver = nullptr;
  testkit::Behaviour filterB, queueB;
  PDEVICE_OBJECT upper = nullptr, lower = nullptr;
  bool withCancelRoutine = true;
  PIRP held = nullptr;
  NTSTATUS finalStatus = -1;
};

TEST_F(CancelIrp, QueuedIrpsCancelRoutineRunsUnderTheCancelSpinLock) {
  PIRP irp = Send();
  EXPECT_TRUE(IoCancelIrp(irp)) << "IoCancelIrp returns TRUE when it called a cancel routine";

  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.device, lower) << "the routine gets the device of the driver holding the IRP";
  EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(seen.holdsCancelLock) << "the routine is entered holding the cancel spin lock";
  EXPECT_TRUE(seen.cancel) << "Irp->Cancel is set before the routine runs";
  EXPECT_EQ(seen.cancelIrql, PASSIVE_LEVEL) << "CancelIrql is the IRQL IoCancelIrp was called at";
  EXPECT_EQ(seen.routineLeft, nullptr) << "IoCancelIrp clears CancelRoutine before calling it";
  EXPECT_EQ(finalStatus, STATUS_CANCELLED);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the caller is back at its own IRQL";
  EXPECT_FALSE(sim::CurrentThread()->holdsCancelLock);
}

TEST_F(CancelIrp, CancelIrqlIsTheCallersIrqlAtDispatchLevel) {
  PIRP irp = Send();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(old);
  EXPECT_EQ(seen.cancelIrql, DISPATCH_LEVEL);
  EXPECT_EQ(finalStatus, STATUS_CANCELLED);
}

TEST_F(CancelIrp, InFlightIrpWithoutACancelRoutineIsOnlyMarked) {
  withCancelRoutine = false;
  PIRP irp = Send();
  EXPECT_FALSE(IoCancelIrp(irp)) << "no cancel routine: IoCancelIrp returns FALSE";
  EXPECT_TRUE(irp->Cancel) << "but it sets Irp->Cancel for the driver to find";
  EXPECT_EQ(seen.calls, 0);
  EXPECT_EQ(finalStatus, -1) << "the IRP is not completed by IoCancelIrp";

  testkit::AsDriver(queueDriver, [&] { testkit::Complete(held, held->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS); });
  EXPECT_EQ(finalStatus, STATUS_CANCELLED);
}

TEST_F(CancelIrp, CancelRoutineClearedByTheDriverIsNotCalled) {
  PIRP irp = Send();
  PDRIVER_CANCEL previous = nullptr;
  testkit::AsDriver(queueDriver, [&] { previous = IoSetCancelRoutine(held, nullptr); });
  EXPECT_EQ(previous, QueueCancel) << "IoSetCancelRoutine returns the routine it replaced";

  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_EQ(seen.calls, 0) << "the driver took the IRP back from cancellation first";
  EXPECT_TRUE(irp->Cancel);

  testkit::AsDriver(queueDriver, [&] { testkit::Complete(held, STATUS_SUCCESS); });
  EXPECT_EQ(finalStatus, STATUS_SUCCESS) << "the driver finished the request normally";
}

TEST_F(CancelIrp, SecondIoCancelIrpFindsNoRoutine) {
  completeInCancelRoutine = false;
  PIRP irp = Send();
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_FALSE(IoCancelIrp(irp)) << "the first call took the cancel routine; the second finds none";
  EXPECT_EQ(seen.calls, 1);

  testkit::AsDriver(queueDriver, [&] { testkit::Complete(held, STATUS_CANCELLED); });
  EXPECT_EQ(finalStatus, STATUS_CANCELLED);
}

}  // namespace
