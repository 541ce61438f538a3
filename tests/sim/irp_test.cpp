// IoCallDriver and IoCompleteRequest in a stack of three drivers: the order in
// which completion routines run, which ones run, what each one is handed, and
// how STATUS_MORE_PROCESSING_REQUIRED and the pending bit travel upward.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel/irp.h"
#include "sim/kernel/machine.h"
#include "tests/sim/testkit.h"

namespace {

using testkit::Behaviour;

// A completion routine scripted by the test: the context is the callable.
using Routine = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

NTSTATUS NTAPI CallRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  return (*static_cast<Routine*>(context))(device, irp);
}

// What one completion routine was handed when it ran.
struct Seen {
  bool ran = false;
  PDEVICE_OBJECT device = nullptr;
  BOOLEAN pendingReturned = FALSE;
};

// Three drivers, one device each: top on mid on low.
class CompletionRoutines : public ::testing::Test {
 protected:
  CompletionRoutines() {
    topDriver = testkit::LoadDriver(machine, u"Top");
    midDriver = testkit::LoadDriver(machine, u"Mid");
    lowDriver = testkit::LoadDriver(machine, u"Low");
    low = testkit::CreateDevice(lowDriver, lowB);
    mid = testkit::CreateDevice(midDriver, midB);
    testkit::Attach(mid, low);
    top = testkit::CreateDevice(topDriver, topB);
    testkit::Attach(top, mid);
  }

  ~CompletionRoutines() override {
    testkit::Delete(top);
    testkit::Delete(mid);
    testkit::Delete(low);
  }

  // A dispatch routine that copies its location down, sets `routine` with
  // the given SL_INVOKE_ON_* choices and returns what the lower driver returns.
  static testkit::Dispatch ForwardWith(Behaviour& behaviour, Routine& routine, bool onSuccess = true,
                                       bool onError = true, bool onCancel = true) {
    return [&behaviour, &routine, onSuccess, onError, onCancel](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, CallRoutine, &routine, onSuccess, onError, onCancel);
      return IoCallDriver(behaviour.lower, irp);
    };
  }

  // A routine that records what it saw, propagates pending as a routine
  // must, and lets completion continue.
  Routine Recorder(Seen& seen, const std::string& name) {
    return [this, &seen, name](PDEVICE_OBJECT device, PIRP irp) {
      seen = Seen{true, device, irp->PendingReturned};
      order.push_back(name);
      if (irp->PendingReturned) IoMarkIrpPending(irp);
      return STATUS_SUCCESS;
    };
  }

  // The bottom driver pends every request and keeps it for the test.
  void LowPends() {
    lowB.dispatch[IRP_MJ_DEVICE_CONTROL] = [this](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      pended = irp;
      return STATUS_PENDING;
    };
  }

  // The bottom driver completes every request at once with `status`.
  void LowCompletes(NTSTATUS status) {
    lowB.dispatch[IRP_MJ_DEVICE_CONTROL] = [status](PDEVICE_OBJECT, PIRP irp) {
      return testkit::Complete(irp, status);
    };
  }

  // Completes the IRP the bottom driver pended, as the bottom driver.
  void CompletePended(NTSTATUS status) {
    ASSERT_NE(pended, nullptr) << "the bottom driver never received the request";
    testkit::AsDriver(lowDriver, [&] { testkit::Complete(pended, status); });
  }

  // Sends an IRP the test allocated to the top of the stack, with the
  // originator's own routine at the top location; that routine records
  // what it saw and frees the IRP.
  NTSTATUS Send() {
    PIRP irp = testkit::NewIrp(top, IRP_MJ_DEVICE_CONTROL);
    originRoutine = [this](PDEVICE_OBJECT device, PIRP irp) {
      originSeen = Seen{true, device, irp->PendingReturned};
      order.push_back("originator");
      finalStatus = irp->IoStatus.Status;
      IoFreeIrp(irp);
      return STATUS_MORE_PROCESSING_REQUIRED;
    };
    IoSetCompletionRoutine(irp, CallRoutine, &originRoutine, TRUE, TRUE, TRUE);
    return IoCallDriver(top, irp);
  }

  sim::Machine machine;
  PDRIVER_OBJECT topDriver = nullptr, midDriver = nullptr, lowDriver = nullptr;
  Behaviour topB, midB, lowB;
  PDEVICE_OBJECT top = nullptr, mid = nullptr, low = nullptr;
  Routine topRoutine, midRoutine, originRoutine;
  Seen topSeen, midSeen, originSeen;
  std::vector<std::string> order;
  NTSTATUS finalStatus = -1;
  PIRP pended = nullptr;
};

using Order = std::vector<std::string>;

TEST_F(CompletionRoutines, RunFromTheBottomUp) {
  topRoutine = Recorder(topSeen, "top");
  midRoutine = Recorder(midSeen, "mid");
  topB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(topB, topRoutine);
  midB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(midB, midRoutine);
  LowCompletes(STATUS_SUCCESS);

  EXPECT_EQ(Send(), STATUS_SUCCESS) << "IoCallDriver returns the status the stack returned";
  EXPECT_EQ(order, (Order{"mid", "top", "originator"}))
      << "the routine set closest to the completing driver runs first";
  EXPECT_EQ(finalStatus, STATUS_SUCCESS);
}

TEST_F(CompletionRoutines, EachRoutineGetsTheDeviceOfTheDriverThatSetIt) {
  topRoutine = Recorder(topSeen, "top");
  midRoutine = Recorder(midSeen, "mid");
  topB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(topB, topRoutine);
  midB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(midB, midRoutine);
  LowCompletes(STATUS_SUCCESS);
  Send();

  EXPECT_EQ(midSeen.device, mid) << "the middle driver's routine gets the middle device";
  EXPECT_EQ(topSeen.device, top) << "the top driver's routine gets the top device";
  EXPECT_TRUE(originSeen.ran);
  EXPECT_EQ(originSeen.device, nullptr)
      << "the originator's routine, set at the top location, has no device of its own and gets NULL";
}

TEST_F(CompletionRoutines, RoutineSetAboveASkippingDriverGetsItsOwnDevice) {
  topRoutine = Recorder(topSeen, "top");
  topB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(topB, topRoutine);
  midB.dispatch[IRP_MJ_DEVICE_CONTROL] = [this](PDEVICE_OBJECT device, PIRP irp) { return testkit::PassDown(device, irp); };
  LowCompletes(STATUS_SUCCESS);
  Send();

  EXPECT_EQ(order, (Order{"top", "originator"}));
  EXPECT_EQ(topSeen.device, top) << "the middle driver skipped its location; the top routine still gets the top device";
}

TEST_F(CompletionRoutines, InvokeOnFlagsChooseWhichRoutinesRun) {
  struct Case {
    const char* name;
    bool onSuccess, onError, onCancel;
    NTSTATUS status;
    bool cancel;
    bool expectRun;
  };
  const Case cases[] = {
      {"success only, completed with success", true, false, false, STATUS_SUCCESS, false, true},
      {"success only, completed with an error", true, false, false, STATUS_UNSUCCESSFUL, false, false},
      {"success only, completed with a warning", true, false, false, STATUS_BUFFER_OVERFLOW, false, false},
      {"error only, completed with an error", false, true, false, STATUS_UNSUCCESSFUL, false, true},
      {"error only, completed with a warning", false, true, false, STATUS_BUFFER_OVERFLOW, false, true},
      {"error only, completed with success", false, true, false, STATUS_SUCCESS, false, false},
      {"cancel only, cancelled and completed STATUS_CANCELLED", false, false, true, STATUS_CANCELLED, true, true},
      {"cancel only, cancelled but completed with success", false, false, true, STATUS_SUCCESS, true, true},
      {"cancel only, not cancelled, completed with an error", false, false, true, STATUS_UNSUCCESSFUL, false, false},
      {"success and error, cancelled and completed STATUS_CANCELLED", true, true, false, STATUS_CANCELLED, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    order.clear();
    midSeen = Seen{};
    pended = nullptr;
    midRoutine = Recorder(midSeen, "mid");
    topB.dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) { return testkit::PassDown(device, irp); };
    midB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(midB, midRoutine, c.onSuccess, c.onError, c.onCancel);
    LowPends();
    ASSERT_EQ(Send(), STATUS_PENDING);
    if (c.cancel) {
      EXPECT_FALSE(IoCancelIrp(pended)) << "the pended IRP has no cancel routine";
    }
    CompletePended(c.status);
    EXPECT_EQ(midSeen.ran, c.expectRun);
    EXPECT_TRUE(originSeen.ran) << "completion goes on to the top whether or not the routine ran";
    EXPECT_EQ(finalStatus, c.status);
  }
}

TEST_F(CompletionRoutines, UpperRoutineDoesNotRunAfterMoreProcessingRequired) {
  topRoutine = Recorder(topSeen, "top");
  bool midStopped = false;
  midRoutine = [&](PDEVICE_OBJECT, PIRP) {
    midStopped = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  topB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(topB, topRoutine);
  // The middle driver keeps the IRP after the lower driver is done, so it
  // marks it pending before passing it on.
  midB.dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CallRoutine, &midRoutine, TRUE, TRUE, TRUE);
    IoCallDriver(midB.lower, irp);
    return STATUS_PENDING;
  };
  LowPends();
  ASSERT_EQ(Send(), STATUS_PENDING);
  PIRP irp = pended;
  CompletePended(STATUS_SUCCESS);

  EXPECT_TRUE(midStopped);
  EXPECT_FALSE(topSeen.ran) << "the walk stopped at the routine that returned STATUS_MORE_PROCESSING_REQUIRED";
  EXPECT_FALSE(originSeen.ran);

  // The middle driver finishes its work and completes the IRP again: the walk
  // resumes from the middle driver's location upward.
  testkit::AsDriver(midDriver, [&] { testkit::Complete(irp, STATUS_SUCCESS); });
  EXPECT_EQ(order, (Order{"top", "originator"}));
  EXPECT_TRUE(topSeen.pendingReturned) << "the middle driver's location was marked pending";
  EXPECT_TRUE(originSeen.pendingReturned);
}

TEST_F(CompletionRoutines, PendingReturnedIsTrueAllTheWayUpWhenTheLowerDriverPended) {
  topRoutine = Recorder(topSeen, "top");
  midRoutine = Recorder(midSeen, "mid");
  topB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(topB, topRoutine);
  midB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(midB, midRoutine);
  LowPends();
  EXPECT_EQ(Send(), STATUS_PENDING) << "every driver returned the lower driver's STATUS_PENDING";
  EXPECT_FALSE(midSeen.ran);
  CompletePended(STATUS_SUCCESS);

  EXPECT_TRUE(midSeen.pendingReturned) << "the bottom driver marked its location pending";
  EXPECT_TRUE(topSeen.pendingReturned) << "the middle routine propagated pending";
  EXPECT_TRUE(originSeen.pendingReturned) << "the top routine propagated pending";
}

TEST_F(CompletionRoutines, PendingReturnedIsFalseWhenTheLowerDriverCompletedAtOnce) {
  topRoutine = Recorder(topSeen, "top");
  midRoutine = Recorder(midSeen, "mid");
  topB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(topB, topRoutine);
  midB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(midB, midRoutine);
  LowCompletes(STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Send(), STATUS_UNSUCCESSFUL);

  EXPECT_TRUE(midSeen.ran);
  EXPECT_FALSE(midSeen.pendingReturned);
  EXPECT_FALSE(topSeen.pendingReturned);
  EXPECT_FALSE(originSeen.pendingReturned);
}

TEST_F(CompletionRoutines, PendingIsPropagatedPastLocationsWhoseRoutineDoesNotRun) {
  // The middle driver skips its location; the top driver's routine runs only
  // on error. Neither can mark pending, so the I/O manager carries the bit up.
  topRoutine = Recorder(topSeen, "top");
  topB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(topB, topRoutine, false, true, false);
  midB.dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) { return testkit::PassDown(device, irp); };
  LowPends();
  EXPECT_EQ(Send(), STATUS_PENDING);
  CompletePended(STATUS_SUCCESS);

  EXPECT_FALSE(topSeen.ran);
  EXPECT_TRUE(originSeen.pendingReturned) << "the pending bit reached the top location without any routine's help";
}

// The synchronous forwarding pattern of Plug and Play: the middle driver's
// routine signals an event and returns STATUS_MORE_PROCESSING_REQUIRED, its
// dispatch routine waits, then completes the IRP again and returns the final
// status. The bottom driver completes from its DPC, on another thread.
class ForwardAndWait : public CompletionRoutines {
 protected:
  ForwardAndWait() {
    testkit::AsDriver(lowDriver, [&] { KeInitializeDpc(&dpc, CompleteFromDpc, this); });
    lowB.dispatch[IRP_MJ_DEVICE_CONTROL] = [this](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      pended = irp;
      KeInsertQueueDpc(&dpc, nullptr, nullptr);
      return STATUS_PENDING;
    };
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    midRoutine = [this](PDEVICE_OBJECT, PIRP) {
      routineIrql = KeGetCurrentIrql();
      KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
      if (afterSignal) afterSignal();
      return STATUS_MORE_PROCESSING_REQUIRED;
    };
    midB.dispatch[IRP_MJ_DEVICE_CONTROL] = [this](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, CallRoutine, &midRoutine, TRUE, TRUE, TRUE);
      lowerStatus = IoCallDriver(midB.lower, irp);
      if (lowerStatus == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      NTSTATUS status = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    };
  }

  static void NTAPI CompleteFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
    testkit::Complete(static_cast<ForwardAndWait*>(context)->pended, STATUS_SUCCESS, 42);
  }

  KDPC dpc;
  KEVENT done;
  KIRQL routineIrql = PASSIVE_LEVEL;
  NTSTATUS lowerStatus = 0;
  std::function<void()> afterSignal;  // what the routine does after KeSetEvent
};

TEST_F(ForwardAndWait, DispatchRoutineCompletesTheIrpAgainAfterTheLowerDriver) {
  topRoutine = Recorder(topSeen, "top");
  topB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(topB, topRoutine);

  EXPECT_EQ(Send(), STATUS_SUCCESS) << "the middle driver returned the final status, not STATUS_PENDING";
  EXPECT_EQ(lowerStatus, STATUS_PENDING);
  EXPECT_EQ(routineIrql, DISPATCH_LEVEL) << "the lower driver completed from its DPC";
  EXPECT_EQ(order, (Order{"top", "originator"}));
  EXPECT_FALSE(topSeen.pendingReturned) << "the middle driver did not return STATUS_PENDING, so its location is not pending";
  EXPECT_EQ(finalStatus, STATUS_SUCCESS);
}

TEST_F(ForwardAndWait, IrpMayBeCompletedAgainBeforeTheRoutineHasReturned) {
  // Once the routine has signalled, the waiting thread may complete the IRP
  // and the walk may reach the top while the routine is still returning its
  // STATUS_MORE_PROCESSING_REQUIRED on the other thread. Force that order.
  std::atomic<bool> topDone{false};
  afterSignal = [&] {
    while (!topDone.load()) std::this_thread::yield();
  };
  topRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
    order.push_back("top");
    topDone = true;
    return STATUS_SUCCESS;
  };
  topB.dispatch[IRP_MJ_DEVICE_CONTROL] = ForwardWith(topB, topRoutine);

  EXPECT_EQ(Send(), STATUS_SUCCESS);
  EXPECT_EQ(order, (Order{"top", "originator"}));
  KeFlushQueuedDpcs();  // the routine has returned by now
}

TEST_F(ForwardAndWait, IrpMayBeSentOnAgainBeforeTheRoutineHasReturned) {
  // The woken thread sends the IRP down a second time while the routine that
  // woke it is still returning STATUS_MORE_PROCESSING_REQUIRED.
  std::atomic<bool> sentAgain{false};
  afterSignal = [&] {
    while (!sentAgain.load()) std::this_thread::yield();
  };
  int passes = 0;
  lowB.dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    if (++passes == 1) {
      IoMarkIrpPending(irp);
      pended = irp;
      KeInsertQueueDpc(&dpc, nullptr, nullptr);
      return STATUS_PENDING;
    }
    sentAgain = true;
    return testkit::Complete(irp, STATUS_SUCCESS, 7);
  };
  midB.dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CallRoutine, &midRoutine, TRUE, TRUE, TRUE);
    if (IoCallDriver(midB.lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(midB.lower, irp);
  };
  topB.dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) { return testkit::PassDown(device, irp); };

  EXPECT_EQ(Send(), STATUS_SUCCESS);
  EXPECT_EQ(passes, 2);
  EXPECT_TRUE(originSeen.ran);
  KeFlushQueuedDpcs();
}

// A driver that splits a request: it allocates its own IRP for the lower
// driver, reuses it from its completion routine for the second part, and
// frees it there before completing the original request. The lower driver
// completes each part at once, so the second part is sent, completed and
// freed while the lower driver's first dispatch routine is still returning.
struct Split {
  PIRP original = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  int parts = 0;
  std::vector<PDEVICE_OBJECT> routineDevices;
};

NTSTATUS NTAPI PartDone(PDEVICE_OBJECT device, PIRP part, PVOID context);

void SendPart(Split& split, PIRP part) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(part);
  std::memset(next, 0, sizeof *next);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  IoSetCompletionRoutine(part, PartDone, &split, TRUE, TRUE, TRUE);
  IoCallDriver(split.lower, part);
}

NTSTATUS NTAPI PartDone(PDEVICE_OBJECT device, PIRP part, PVOID context) {
  auto& split = *static_cast<Split*>(context);
  split.routineDevices.push_back(device);
  if (++split.parts < 2) {
    IoReuseIrp(part, STATUS_SUCCESS);
    SendPart(split, part);
  } else {
    IoFreeIrp(part);
    testkit::Complete(split.original, STATUS_SUCCESS, split.parts);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(CompletionRoutines, DriverAllocatedIrpIsReusedAndFreedByItsOwnRoutine) {
  Split split;
  split.lower = midB.lower;
  midB.dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    split.original = irp;
    PIRP part = IoAllocateIrp(split.lower->StackSize, FALSE);
    SendPart(split, part);
    return STATUS_PENDING;
  };
  int lowCalls = 0;
  lowB.dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    // The parts end differently, as a short last segment would.
    return testkit::Complete(irp, ++lowCalls == 1 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW);
  };
  topB.dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) { return testkit::PassDown(device, irp); };

  EXPECT_EQ(Send(), STATUS_PENDING);
  EXPECT_EQ(lowCalls, 2);
  EXPECT_EQ(split.routineDevices, (std::vector<PDEVICE_OBJECT>{nullptr, nullptr}))
      << "an IRP allocated with exactly the lower stack's size has no location for its allocator, whose routine gets NULL";
  EXPECT_TRUE(originSeen.ran);
  EXPECT_EQ(finalStatus, STATUS_SUCCESS);
}

// A driver may send the IRP it received on again from its own completion
// routine (the next segment of a transfer) and return
// STATUS_MORE_PROCESSING_REQUIRED; its routine runs again when the lower
// driver is done, and the IRP then completes upward. The lower driver
// completes every pass at once, pends every pass, or completes the first two
// at once (so the third is sent while the dispatch routines of the first two
// are still on the stack) and pends the last.
TEST_F(CompletionRoutines, RoutineMaySendItsIrpOnAgain) {
  enum class Lower { CompletesAtOnce, Pends, PendsTheLast };
  for (Lower lower : {Lower::CompletesAtOnce, Lower::Pends, Lower::PendsTheLast}) {
    SCOPED_TRACE((int)lower);
    order.clear();
    pended = nullptr;
    int passes = 0, sent = 0;
    midRoutine = [&](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      order.push_back("mid");
      if (++passes < 3) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, CallRoutine, &midRoutine, TRUE, TRUE, TRUE);
        IoCallDriver(midB.lower, irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
      }
      if (irp->PendingReturned) IoMarkIrpPending(irp);
      return STATUS_SUCCESS;
    };
    midB.dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, CallRoutine, &midRoutine, TRUE, TRUE, TRUE);
      IoCallDriver(midB.lower, irp);
      return STATUS_PENDING;
    };
    lowB.dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
      ++sent;
      if (lower == Lower::CompletesAtOnce || (lower == Lower::PendsTheLast && sent < 3))
        return testkit::Complete(irp, STATUS_SUCCESS);
      IoMarkIrpPending(irp);
      pended = irp;
      return STATUS_PENDING;
    };
    topB.dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) { return testkit::PassDown(device, irp); };
    EXPECT_EQ(Send(), STATUS_PENDING);
    while (pended) {
      PIRP irp = pended;
      pended = nullptr;
      testkit::AsDriver(lowDriver, [&] { testkit::Complete(irp, STATUS_SUCCESS); });
    }
    EXPECT_EQ(sent, 3);
    EXPECT_EQ(order, (Order{"mid", "mid", "mid", "originator"}));
    EXPECT_EQ(finalStatus, STATUS_SUCCESS);
  }
}

}  // namespace
