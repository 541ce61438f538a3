// Requests the I/O manager builds for a thread (IoBuildDeviceIoControlRequest):
// how the parameters reach the target, and what the I/O manager does once the
// request completes to the top: the caller's buffer, status block and event,
// the priority boost, and freeing the IRP.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "sim/kernel/iomanager.h"
#include "sim/kernel/irp.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/thread.h"
#include "tests/sim/testkit.h"

namespace {

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeitherCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);

// A target device, and a DPC of its driver that completes a pended request
// later with a status and byte count the test chooses.
class ThreadIrps : public ::testing::Test {
 protected:
  ThreadIrps() {
    driver = testkit::LoadDriver(machine, u"Target");
    device = testkit::CreateDevice(driver, behaviour);
    testkit::AsDriver(driver, [&] { KeInitializeDpc(&dpc, CompleteFromDpc, this); });
    KeInitializeEvent(&event, NotificationEvent, FALSE);
  }
  ~ThreadIrps() override { testkit::Delete(device); }

  static void NTAPI CompleteFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<ThreadIrps*>(context);
    testkit::Complete(self->pended, self->laterStatus, self->laterInformation, self->laterBoost);
  }

  // The target pends the request and completes it from its DPC.
  void TargetCompletesLater(NTSTATUS status, ULONG_PTR information = 0, CCHAR boost = IO_NO_INCREMENT) {
    laterStatus = status;
    laterInformation = information;
    laterBoost = boost;
    for (UCHAR major : {IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
      behaviour.dispatch[major] = [this](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        pended = irp;
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        return STATUS_PENDING;
      };
    }
  }

  PIRP Build(ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength, BOOLEAN internal = FALSE) {
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, in, inLength, out, outLength, internal, &event, &iosb);
    EXPECT_NE(irp, nullptr);
    return irp;
  }

  // The documented calling pattern: wait only when the target pended.
  NTSTATUS CallAndWait(PIRP irp) {
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    return status;
  }

  sim::Machine machine;
  PDRIVER_OBJECT driver = nullptr;
  testkit::Behaviour behaviour;
  PDEVICE_OBJECT device = nullptr;
  KDPC dpc;
  KEVENT event;
  IO_STATUS_BLOCK iosb{{(NTSTATUS)0x12345678}, 0xABCD};
  PIRP pended = nullptr;
  NTSTATUS laterStatus = STATUS_SUCCESS;
  ULONG_PTR laterInformation = 0;
  CCHAR laterBoost = IO_NO_INCREMENT;
};

TEST_F(ThreadIrps, IoControlParametersReachTheTargetsStackLocation) {
  std::optional<IO_STACK_LOCATION> seen;
  behaviour.dispatch[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    seen = *IoGetCurrentIrpStackLocation(irp);
    return testkit::Complete(irp, STATUS_SUCCESS);
  };
  char in[3] = {1, 2, 3}, out[9];
  PIRP irp = Build(kBufferedCode, in, sizeof in, out, sizeof out, TRUE);
  EXPECT_EQ(CallAndWait(irp), STATUS_SUCCESS);

  ASSERT_TRUE(seen) << "the request went to IRP_MJ_INTERNAL_DEVICE_CONTROL";
  EXPECT_EQ(seen->Parameters.DeviceIoControl.IoControlCode, kBufferedCode);
  EXPECT_EQ(seen->Parameters.DeviceIoControl.InputBufferLength, sizeof in);
  EXPECT_EQ(seen->Parameters.DeviceIoControl.OutputBufferLength, sizeof out);
  EXPECT_EQ(seen->DeviceObject, device);
}

TEST_F(ThreadIrps, PendedRequestFillsTheStatusBlockSetsTheEventAndIsFreed) {
  TargetCompletesLater(STATUS_SUCCESS, 5);
  size_t liveBefore = machine.Irps().LiveCount();
  PIRP irp = Build(kBufferedCode, nullptr, 0, nullptr, 0);

  EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0)
      << "the I/O manager sets the caller's event when the request completes";
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 5u);
  EXPECT_EQ(machine.Irps().Find(irp), nullptr) << "the I/O manager frees the IRP itself";
  EXPECT_EQ(machine.Irps().LiveCount(), liveBefore);
}

TEST_F(ThreadIrps, RequestCompletedAtOnceAlsoFillsTheStatusBlockAndSetsTheEvent) {
  behaviour.dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    return testkit::Complete(irp, STATUS_SUCCESS, 3);
  };
  PIRP irp = Build(kBufferedCode, nullptr, 0, nullptr, 0);

  EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 3u);
  EXPECT_EQ(machine.Irps().Find(irp), nullptr);
}

TEST_F(ThreadIrps, ErrorReturnedAtOnceLeavesTheStatusBlockAndEventAlone) {
  // A request that fails without pending is reported by IoCallDriver's
  // return value only: the caller must not wait on the event.
  behaviour.dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    return testkit::Complete(irp, STATUS_INVALID_PARAMETER);
  };
  PIRP irp = Build(kBufferedCode, nullptr, 0, nullptr, 0);

  EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "the event stays clear";
  EXPECT_EQ(iosb.Status, (NTSTATUS)0x12345678) << "the status block is not written";
  EXPECT_EQ(iosb.Information, 0xABCDu);
  EXPECT_EQ(machine.Irps().Find(irp), nullptr) << "the IRP is freed all the same";
}

TEST_F(ThreadIrps, ErrorAfterPendingFillsTheStatusBlockAndSetsTheEvent) {
  TargetCompletesLater(STATUS_CANCELLED);
  PIRP irp = Build(kBufferedCode, nullptr, 0, nullptr, 0);
  EXPECT_EQ(CallAndWait(irp), STATUS_CANCELLED);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
}

TEST_F(ThreadIrps, BufferedInputArrivesInTheSystemBufferAndOutputIsCopiedBack) {
  char in[4] = {'p', 'i', 'n', 'g'};
  unsigned char out[8];
  std::memset(out, 0xEE, sizeof out);
  std::string input;
  bool oneBuffer = false;
  behaviour.dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    auto* system = (char*)irp->AssociatedIrp.SystemBuffer;
    input.assign(system, sizeof in);
    oneBuffer = system != in && (void*)system != out;
    std::memcpy(system, "pong!", 5);
    return testkit::Complete(irp, STATUS_SUCCESS, 5);
  };
  PIRP irp = Build(kBufferedCode, in, sizeof in, out, sizeof out);

  EXPECT_EQ(CallAndWait(irp), STATUS_SUCCESS);
  EXPECT_EQ(input, "ping") << "METHOD_BUFFERED input is copied into the system buffer";
  EXPECT_TRUE(oneBuffer) << "the target works on the system buffer, not the caller's buffers";
  EXPECT_EQ(std::string((char*)out, 5), "pong!") << "Information bytes are copied back to the caller's output buffer";
  EXPECT_EQ(out[5], 0xEE) << "bytes past Information are left as they were";
}

TEST_F(ThreadIrps, BufferedOutputIsCopiedForAWarningButNotForAnError) {
  for (NTSTATUS status : {STATUS_BUFFER_OVERFLOW, STATUS_UNSUCCESSFUL}) {
    SCOPED_TRACE(status == STATUS_BUFFER_OVERFLOW ? "STATUS_BUFFER_OVERFLOW" : "STATUS_UNSUCCESSFUL");
    char out[4] = {'-', '-', '-', '-'};
    behaviour.dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      std::memcpy(irp->AssociatedIrp.SystemBuffer, "data", 4);
      testkit::Complete(irp, status, 4);
      return STATUS_PENDING;
    };
    KeClearEvent(&event);
    EXPECT_EQ(CallAndWait(Build(kBufferedCode, nullptr, 0, out, sizeof out)), status);
    bool copied = std::memcmp(out, "data", 4) == 0;
    EXPECT_EQ(copied, status == STATUS_BUFFER_OVERFLOW);
  }
}

TEST_F(ThreadIrps, MethodNeitherPassesTheCallersBuffersAsTheyAre) {
  char in[2], out[2];
  PVOID type3 = nullptr, user = nullptr, system = (PVOID)1;
  behaviour.dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    type3 = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer;
    user = irp->UserBuffer;
    system = irp->AssociatedIrp.SystemBuffer;
    return testkit::Complete(irp, STATUS_SUCCESS);
  };
  EXPECT_EQ(CallAndWait(Build(kNeitherCode, in, sizeof in, out, sizeof out)), STATUS_SUCCESS);
  EXPECT_EQ(type3, (PVOID)in);
  EXPECT_EQ(user, (PVOID)out);
  EXPECT_EQ(system, nullptr);
}

TEST_F(ThreadIrps, PriorityBoostGivenAtCompletionIsRecorded) {
  TargetCompletesLater(STATUS_SUCCESS, 0, IO_SERIAL_INCREMENT);
  PIRP irp = Build(kBufferedCode, nullptr, 0, nullptr, 0);
  std::shared_ptr<sim::IrpRecord> record = machine.Irps().Find(irp);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(CallAndWait(irp), STATUS_SUCCESS);
  EXPECT_EQ(record->boost, IO_SERIAL_INCREMENT);
}

TEST_F(ThreadIrps, OnFinishedReportsStatusInformationAndBoost) {
  TargetCompletesLater(STATUS_SUCCESS, 9, IO_KEYBOARD_INCREMENT);
  struct Finished {
    NTSTATUS status;
    ULONG_PTR information;
    CCHAR boost;
  };
  std::optional<Finished> finished;
  sim::IrpOriginator originator;
  originator.onFinished = [&](NTSTATUS status, ULONG_PTR information, CCHAR boost) {
    finished = Finished{status, information, boost};
  };
  PIRP irp = sim::AllocateThreadIrp(device, nullptr, std::move(originator));
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  std::memset(next, 0, sizeof *next);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  EXPECT_EQ(sim::CallAndWait(device, irp, &event, &iosb), STATUS_SUCCESS);

  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->status, STATUS_SUCCESS);
  EXPECT_EQ(finished->information, 9u);
  EXPECT_EQ(finished->boost, IO_KEYBOARD_INCREMENT);
}

TEST_F(ThreadIrps, RequestHeldByTheCallersRoutineIsFinishedWhenCompletedAgain) {
  // The caller's own routine at the top location keeps the IRP for a while
  // (STATUS_MORE_PROCESSING_REQUIRED); completing it again hands it back to
  // the I/O manager, which then finishes and frees it.
  behaviour.dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    return testkit::Complete(irp, STATUS_SUCCESS, 1);
  };
  PIRP irp = Build(kBufferedCode, nullptr, 0, nullptr, 0);
  int held = 0;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT device, PIRP, PVOID context) -> NTSTATUS {
        ++*static_cast<int*>(context);
        return device == nullptr ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
      },
      &held, TRUE, TRUE, TRUE);

  EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
  EXPECT_EQ(held, 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "the I/O manager has not finished the request yet";
  EXPECT_NE(machine.Irps().Find(irp), nullptr) << "the IRP still belongs to the caller";

  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(held, 1) << "the routine ran once; completing again goes on from above it";
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Information, 1u);
  EXPECT_EQ(machine.Irps().Find(irp), nullptr);
}

// A thread's exit: the I/O manager cancels the requests the thread built
// with IoBuildDeviceIoControlRequest and IoBuildSynchronousFsdRequest that
// are still pending and waits for them to complete. A target that honours
// cancellation ends them at once; one that ignores it holds the exit until it
// completes them, for at most five minutes, after which the request is taken
// off the thread and still finished normally when it completes.
class ThreadExit : public ThreadIrps {
 protected:
  static void NTAPI CancelRoutine(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    testkit::Complete(irp, STATUS_CANCELLED);
  }

  // Each request is pended, with the cancel routine when `cancellable`.
  void TargetHolds(bool cancellable) {
    for (UCHAR major : {IRP_MJ_DEVICE_CONTROL, IRP_MJ_READ}) {
      behaviour.dispatch[major] = [this, cancellable](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        if (cancellable) IoSetCancelRoutine(irp, CancelRoutine);
        held.push_back(irp);
        return STATUS_PENDING;
      };
    }
  }

  // A thread sends one request of each kind and exits without waiting.
  sim::Tick RunIssuerAndJoin() {
    sim::Tick start = machine.Sched().Now();
    sim::Thread issuer("issuer", [&] {
      EXPECT_EQ(IoCallDriver(device, Build(kBufferedCode, nullptr, 0, nullptr, 0)), STATUS_PENDING);
      PIRP read = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer, sizeof buffer, nullptr, &readEvent, &readIosb);
      EXPECT_EQ(IoCallDriver(device, read), STATUS_PENDING);
    });
    issuer.Join();
    return machine.Sched().Now() - start;
  }

  std::vector<PIRP> held;
  char buffer[8];
  KEVENT readEvent;
  IO_STATUS_BLOCK readIosb{};
};

TEST_F(ThreadExit, PendingRequestsOfAnExitingThreadAreCancelled) {
  TargetHolds(true);
  KeInitializeEvent(&readEvent, NotificationEvent, FALSE);
  size_t liveBefore = machine.Irps().LiveCount();
  RunIssuerAndJoin();
  EXPECT_EQ(held.size(), 2u);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(readIosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeReadStateEvent(&readEvent), 1);
  EXPECT_EQ(machine.Irps().LiveCount(), liveBefore) << "both requests were finished and freed";
}

TEST_F(ThreadExit, ATargetIgnoringTheCancelHoldsTheExitForFiveMinutesAtMost) {
  TargetHolds(false);
  KeInitializeEvent(&readEvent, NotificationEvent, FALSE);
  sim::Tick exitTook = RunIssuerAndJoin();
  EXPECT_GE(exitTook, 300 * sim::kTicksPerSecond);
  EXPECT_LT(exitTook, 302 * sim::kTicksPerSecond);
  ASSERT_EQ(held.size(), 2u);
  for (PIRP irp : held) {
    EXPECT_TRUE(irp->Cancel) << "the exit asked for the cancellation";
    EXPECT_EQ(irp->Tail.Overlay.Thread, nullptr) << "taken off the thread that is gone";
  }
  testkit::AsDriver(driver, [&] {
    for (PIRP irp : held) testkit::Complete(irp, STATUS_SUCCESS, 1);
  });
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(readIosb.Information, 1u);
  EXPECT_EQ(KeReadStateEvent(&readEvent), 1);
}

}  // namespace
