// The application side with requests in flight: overlapped completion,
// CancelIo, and the serialisation of synchronous handles.
#include "tests/sim/win32_kit.h"

#include <algorithm>
#include <mutex>

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/ustring.h"

namespace win32test {
namespace {

TEST_F(Win32Overlapped, PendingRequestCompletesIntoTheOverlappedAndItsEvent) {
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return Park(irp); });
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  char buffer[8] = {};
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  DWORD count = 99;
  EXPECT_FALSE(ReadFile(file, buffer, 8, &count, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ((NTSTATUS)overlapped.Internal, STATUS_PENDING);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the event is reset when the request starts";
  EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &count, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

  PIRP irp = parked_.Take();
  std::memcpy(irp->UserBuffer, "data", 4);
  testkit::Complete(irp, STATUS_SUCCESS, 4);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ((NTSTATUS)overlapped.Internal, STATUS_SUCCESS);
  EXPECT_EQ(overlapped.InternalHigh, 4u);
  EXPECT_TRUE(GetOverlappedResult(file, &overlapped, &count, FALSE));
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(std::string(buffer, 4), "data");
  CloseHandle(event);
  CloseHandle(file);
}

TEST_F(Win32Overlapped, WaitingForTheResultLetsTheClockRun) {
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return Park(irp); });
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped = WithEvent();
  DWORD count;
  ReadFile(file, nullptr, 0, &count, &overlapped);
  LONGLONG start = Now();
  sim::Thread device("device", [&] {
    Sleep(250);
    CompleteParked(STATUS_SUCCESS, 0);
  });
  EXPECT_TRUE(GetOverlappedResult(file, &overlapped, &count, TRUE));
  EXPECT_EQ(Now() - start, 250 * kMs);
  device.Join();
  CloseHandle(file);
}

TEST_F(Win32Overlapped, ImmediateCompletionReturnsTrueAndStillSetsTheEvent) {
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS, 3); });
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped = WithEvent();
  char buffer[3];
  DWORD count = 0;
  EXPECT_TRUE(ReadFile(file, buffer, 3, &count, &overlapped));
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
  CloseHandle(file);
}

TEST_F(Win32Overlapped, OnlyAFailureAfterPendingReachesTheOverlapped) {
  bool pend = false;
  On(IRP_MJ_READ,
     [&](PDEVICE_OBJECT, PIRP irp) { return pend ? Park(irp) : testkit::Complete(irp, STATUS_INVALID_PARAMETER); });
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped = WithEvent();
  char buffer[3];
  EXPECT_FALSE(ReadFile(file, buffer, 3, nullptr, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ((NTSTATUS)overlapped.Internal, STATUS_PENDING) << "a failure without pending leaves the status block";
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_TIMEOUT) << "and the event";

  pend = true;
  EXPECT_FALSE(ReadFile(file, buffer, 3, nullptr, &overlapped));
  CompleteParked(STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
  DWORD count;
  EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &count, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(LastNtStatus(), STATUS_DEVICE_NOT_CONNECTED);
  CloseHandle(file);
}

TEST_F(Win32Overlapped, WithoutAnEventTheFileSignalsCompletion) {
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return Park(irp); });
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  DWORD count;
  EXPECT_FALSE(ReadFile(file, nullptr, 0, &count, &overlapped));
  EXPECT_EQ(WaitForSingleObject(file, 0), WAIT_TIMEOUT);
  CompleteParked(STATUS_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(file, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(GetOverlappedResult(file, &overlapped, &count, TRUE));
  CloseHandle(file);
}

TEST_F(Win32Overlapped, RequestsOnOneOverlappedHandleRunSideBySide) {
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return Park(irp); });
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED first{}, second{};
  EXPECT_FALSE(ReadFile(file, nullptr, 0, nullptr, &first));
  EXPECT_FALSE(ReadFile(file, nullptr, 0, nullptr, &second));
  EXPECT_EQ(parked_.Count(), 2u);
  CompleteParked(STATUS_SUCCESS);
  CompleteParked(STATUS_SUCCESS);
  CloseHandle(file);
}

// NT finishes a request in the issuing thread before its wait returns, the
// request's reference on the file included: a handle closed once the request
// is seen done is the file's last reference, and the close reaches the
// driver before CloseHandle returns, wherever the driver completed it.
class Win32Fuzzed : public Win32Test {
 protected:
  Win32Fuzzed() : Win32Test({.delayFuzzSeed = 11}) {}  // widens the completer's window between wake and release
};

TEST_F(Win32Fuzzed, AHandleClosedOnceItsRequestIsDoneClosesTheFileAtOnce) {
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return Park(irp); });
  for (int round = 0; round < 50; ++round) {
    HANDLE file = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped = WithEvent();
    EXPECT_FALSE(ReadFile(file, nullptr, 0, nullptr, &overlapped));
    sim::Thread completer("completer", [&] { testkit::AsDriver(driver_, [&] { CompleteParked(STATUS_SUCCESS); }); });
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
    CloseHandle(file);
    EXPECT_EQ(Seen().back(), IRP_MJ_CLOSE) << "round " << round;
    completer.Join();
    CloseHandle(overlapped.hEvent);
  }
}

// --- Cancellation ----------------------------------------------------------

TEST_F(Win32Cancel, CancelIoEndsTheRequestThroughTheCancelRoutine) {
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return Park(irp); });
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped = WithEvent();
  DWORD count;
  EXPECT_FALSE(ReadFile(file, nullptr, 0, &count, &overlapped));
  EXPECT_TRUE(CancelIo(file));
  EXPECT_EQ(parked_.Count(), 0u);
  EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &count, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(LastNtStatus(), STATUS_CANCELLED);
  CloseHandle(file);
}

TEST_F(Win32Cancel, CancelIoLeavesOtherThreadsRequests) {
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return Park(irp); });
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  HANDLE issued = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  BOOL otherResult = FALSE;
  sim::Thread other("other", [&] {
    OVERLAPPED overlapped = WithEvent();
    DWORD count;
    ReadFile(file, nullptr, 0, &count, &overlapped);
    SetEvent(issued);
    otherResult = GetOverlappedResult(file, &overlapped, &count, TRUE);
  });
  WaitForSingleObject(issued, INFINITE);
  OVERLAPPED mine = WithEvent();
  DWORD count;
  ReadFile(file, nullptr, 0, &count, &mine);
  EXPECT_TRUE(CancelIo(file));
  EXPECT_FALSE(GetOverlappedResult(file, &mine, &count, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(parked_.Count(), 1u) << "the other thread's request is not this thread's to cancel";
  CompleteParked(STATUS_SUCCESS);
  other.Join();
  EXPECT_TRUE(otherResult);
  CloseHandle(file);
}

TEST_F(Win32Cancel, CancelIoDoesNotWaitForTheDriver) {
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return Park(irp, false); });
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  DWORD count;
  ReadFile(file, nullptr, 0, &count, &overlapped);
  EXPECT_TRUE(CancelIo(file)) << "a request without a cancel routine stays with the driver";
  EXPECT_EQ((NTSTATUS)overlapped.Internal, STATUS_PENDING);
  CompleteParked(STATUS_CANCELLED);
  EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &count, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  CloseHandle(file);
}

TEST_F(Win32Cancel, CancelIoCopesWithACancelRoutineThatEndsEveryRequest) {
  parked_.cancelAll = true;
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return Park(irp); });
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED first{}, second{};
  DWORD count;
  ReadFile(file, nullptr, 0, &count, &first);
  ReadFile(file, nullptr, 0, &count, &second);
  EXPECT_TRUE(CancelIo(file));
  EXPECT_EQ((NTSTATUS)first.Internal, STATUS_CANCELLED);
  EXPECT_EQ((NTSTATUS)second.Internal, STATUS_CANCELLED);
  CloseHandle(file);
}

// A filter that sends each read down a second time from its completion
// routine, as a driver sends the next stage of a transfer; the routine waits
// for `release` (it runs at PASSIVE_LEVEL here) after setting `inside`.
struct ResendingFilter {
  KEVENT inside, release;
  PDEVICE_OBJECT lower = nullptr;
  int completions = 0;

  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = (ResendingFilter*)context;
    if (self->completions++ == 0) {
      KeSetEvent(&self->inside, IO_NO_INCREMENT, FALSE);
      KeWaitForSingleObject(&self->release, Executive, KernelMode, FALSE, nullptr);
      self->Send(irp);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  }
  void Send(PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Completed, this, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
  }
};

// NT's CancelIo marks every request still on the thread's list, one whose
// completion routine is running included: when that routine sends it down
// again, the driver below finds it cancelled.
TEST_F(Win32Cancel, CancelIoReachesARequestWhileItsCompletionRoutineSendsItOnAgain) {
  ResendingFilter filter;
  KeInitializeEvent(&filter.inside, NotificationEvent, FALSE);
  KeInitializeEvent(&filter.release, NotificationEvent, FALSE);
  filter.lower = device_;
  testkit::Behaviour upperBehaviour;
  upperBehaviour.dispatch[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    filter.Send(irp);
    return STATUS_PENDING;
  };
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
    upperBehaviour.dispatch[major] = [](PDEVICE_OBJECT device, PIRP irp) { return testkit::PassDown(device, irp); };
  PDEVICE_OBJECT upper = testkit::CreateDevice(driver_, upperBehaviour);
  testkit::Attach(upper, device_);
  int passes = 0;
  On(IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
    if (passes++ == 0) return Park(irp, false);
    Park(irp);  // marks it pending
    if (irp->Cancel && parked_.Take() == irp) testkit::Complete(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  });

  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped = WithEvent();
  DWORD count;
  EXPECT_FALSE(ReadFile(file, nullptr, 0, &count, &overlapped));
  sim::Thread completer("completer", [&] { CompleteParked(STATUS_SUCCESS); });
  KeWaitForSingleObject(&filter.inside, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(CancelIo(file));
  KeSetEvent(&filter.release, IO_NO_INCREMENT, FALSE);
  completer.Join();
  if (WaitForSingleObject(overlapped.hEvent, 1000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the request sent on again was not cancelled";
    CompleteParked(STATUS_SUCCESS);
  }
  EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &count, TRUE));
  EXPECT_EQ(LastNtStatus(), STATUS_CANCELLED);
  CloseHandle(file);
  CloseHandle(overlapped.hEvent);
  testkit::Delete(upper);
}

// --- Synchronous handles ---------------------------------------------------

TEST_F(Win32Sync, RequestsOnOneSynchronousHandleAreSerialised) {
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return Park(irp); });
  HANDLE file = Open();
  auto reader = [&] {
    DWORD count;
    EXPECT_TRUE(ReadFile(file, nullptr, 0, &count, nullptr));
  };
  sim::Thread first("first", reader);
  Sleep(10);
  sim::Thread second("second", reader);
  Sleep(100);
  EXPECT_EQ(parked_.Count(), 1u) << "the second request waits for the first";
  CompleteParked(STATUS_SUCCESS);
  Sleep(10);
  EXPECT_EQ(parked_.Count(), 1u) << "then goes to the device";
  CompleteParked(STATUS_SUCCESS);
  first.Join();
  second.Join();
  std::vector<UCHAR> seen = Seen();
  EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MJ_READ), 2);
  CloseHandle(file);
}

// --- Direct I/O (needs the kernel's MDLs) ----------------------------------

}  // namespace
}  // namespace win32test
