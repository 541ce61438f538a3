// The application side: what a Windows program sees of a device through
// CreateFileW, ReadFile, DeviceIoControl, overlapped I/O, CancelIo, events and
// waits, and what the device sees of the program.
#include "sim/win32/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/ustring.h"
#include "tests/sim/testkit.h"

using namespace win32;

namespace {

constexpr ULONG kIoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kIoctlNeedsWrite = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr ULONG kIoctlOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr LONGLONG kMs = 10'000;  // kernel clock ticks

LONGLONG Now() { return (LONGLONG)KeQueryInterruptTime(); }

// Requests a test device holds pending, cancellable or not.
struct Parking {
  struct Parked {
    PIRP irp;
    bool cancellable;
  };
  std::mutex mutex;
  std::vector<Parked> parked;
  bool cancelAll = false;  // the cancel routine ends every parked request

  size_t Count() {
    std::lock_guard guard(mutex);
    return parked.size();
  }
  // The oldest parked request, now the caller's to complete; null when its
  // cancel routine has it.
  PIRP Take() {
    std::unique_lock lock(mutex);
    if (parked.empty()) return nullptr;
    Parked oldest = parked.front();
    parked.erase(parked.begin());
    lock.unlock();
    if (oldest.cancellable && !IoSetCancelRoutine(oldest.irp, nullptr)) return nullptr;
    return oldest.irp;
  }
};
Parking* parking = nullptr;

void NTAPI CancelParked(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  std::vector<PIRP> done{irp};
  {
    std::lock_guard guard(parking->mutex);
    std::erase_if(parking->parked, [&](const Parking::Parked& each) { return each.irp == irp; });
    if (parking->cancelAll) {
      for (const Parking::Parked& other : parking->parked)
        if (IoSetCancelRoutine(other.irp, nullptr)) done.push_back(other.irp);
      parking->parked.clear();
    }
  }
  for (PIRP each : done) testkit::Complete(each, STATUS_CANCELLED);
}

NTSTATUS Park(PIRP irp, bool cancellable = true) {
  IoMarkIrpPending(irp);
  std::lock_guard guard(parking->mutex);
  parking->parked.push_back({irp, cancellable});
  if (cancellable) IoSetCancelRoutine(irp, CancelParked);
  return STATUS_PENDING;
}

// A device \Device\Test, linked as \??\TEST, that records the major function of
// every request it gets and succeeds create, cleanup and close.
class Win32Test : public ::testing::Test {
 protected:
  Win32Test() {
    parking = &parked_;
    driver_ = testkit::LoadDriver(machine_, u"testdev");
    device_ = testkit::CreateDevice(driver_, behaviour_, u"\\Device\\Test");
    machine_.Objects().CreateLink(u"\\??\\TEST", u"\\Device\\Test");
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) On(major, nullptr);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
      On(major, [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS); });
  }
  ~Win32Test() override {
    testkit::Delete(device_);
    parking = nullptr;
  }

  // Scripts `major`, keeping the record of what arrived.
  void On(UCHAR major, testkit::Dispatch dispatch) {
    behaviour_.dispatch[major] = [this, major, dispatch](PDEVICE_OBJECT device, PIRP irp) {
      {
        std::lock_guard guard(mutex_);
        seen_.push_back(major);
      }
      return dispatch ? dispatch(device, irp) : testkit::Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    };
  }
  std::vector<UCHAR> Seen() {
    std::lock_guard guard(mutex_);
    return seen_;
  }
  HANDLE Open(DWORD flags = 0, const char16_t* path = u"\\\\.\\TEST", DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileW(path, access, 0, OPEN_EXISTING, flags);
  }
  // An OVERLAPPED at offset 0 with a manual-reset event of its own.
  static OVERLAPPED WithEvent() {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return overlapped;
  }
  void CompleteParked(NTSTATUS status, ULONG_PTR information = 0, CCHAR boost = IO_NO_INCREMENT) {
    PIRP irp = parked_.Take();
    ASSERT_NE(irp, nullptr);
    testkit::Complete(irp, status, information, boost);
  }

  sim::Machine machine_;
  testkit::Behaviour behaviour_;
  Parking parked_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  std::mutex mutex_;
  std::vector<UCHAR> seen_;
};

using Win32Open = Win32Test;
using Win32Io = Win32Test;
using Win32Overlapped = Win32Test;
using Win32Cancel = Win32Test;
using Win32Sync = Win32Test;
using Win32DirectIo = Win32Test;

const std::vector<UCHAR> kCreate{IRP_MJ_CREATE};
const std::vector<UCHAR> kCreateCleanup{IRP_MJ_CREATE, IRP_MJ_CLEANUP};
const std::vector<UCHAR> kCreateCleanupClose{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};

// --- Opening and closing --------------------------------------------------

TEST_F(Win32Open, CloseHandleSendsCleanupThenClose) {
  HANDLE file = Open();
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Seen(), kCreate);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(Seen(), kCreateCleanupClose);
  EXPECT_FALSE(CloseHandle(file)) << "a closed handle stays closed";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Win32Open, CloseWaitsForTheDriversOwnReference) {
  PFILE_OBJECT kept = nullptr;
  On(IRP_MJ_CREATE, [&](PDEVICE_OBJECT, PIRP irp) {
    kept = IoGetCurrentIrpStackLocation(irp)->FileObject;
    ObReferenceObject(kept);
    return testkit::Complete(irp, STATUS_SUCCESS);
  });
  EXPECT_TRUE(CloseHandle(Open()));
  EXPECT_EQ(Seen(), kCreateCleanup) << "cleanup with the last handle, close only with the last reference";
  ObDereferenceObject(kept);
  EXPECT_EQ(Seen(), kCreateCleanupClose);
}

TEST_F(Win32Open, PathsReachTheDeviceAsNtNames) {
  machine_.Objects().CreateLink(u"\\??\\COM5", u"\\Device\\Test");
  std::u16string fileName;
  On(IRP_MJ_CREATE, [&](PDEVICE_OBJECT, PIRP irp) {
    fileName = sim::ToU16(&IoGetCurrentIrpStackLocation(irp)->FileObject->FileName);
    return testkit::Complete(irp, STATUS_SUCCESS);
  });
  const std::pair<const char16_t*, const char16_t*> cases[] = {
      {u"\\\\.\\TEST", u""},
      {u"\\\\.\\COM5", u""},
      {u"COM5", u""},
      {u"\\\\?\\TEST\\PIPE01", u"\\PIPE01"},
      {u"\\Device\\Test\\PIPE00", u"\\PIPE00"},
      {u"\\??\\TEST\\PIPE02", u"\\PIPE02"},
  };
  for (auto [path, expected] : cases) {
    fileName = u"unset";
    HANDLE file = Open(0, path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << sim::Narrow(path);
    EXPECT_EQ(fileName, expected) << sim::Narrow(path);
    CloseHandle(file);
  }
}

TEST_F(Win32Open, ClosingDuringARequestClosesTheFileWhenItCompletes) {
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return Park(irp); });
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  ReadFile(file, nullptr, 0, nullptr, &overlapped);
  CloseHandle(file);
  EXPECT_EQ(Seen(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP})) << "the request holds the file";
  CompleteParked(STATUS_CANCELLED);
  Sleep(1);  // the last reference went at completion; the close follows on a worker thread
  EXPECT_EQ(Seen(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ((NTSTATUS)overlapped.Internal, STATUS_CANCELLED);
}

TEST_F(Win32Open, AccessAndModeReachTheDevice) {
  ACCESS_MASK access = 0;
  ULONG options = 0, fileFlags = 0;
  On(IRP_MJ_CREATE, [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    access = stack->Parameters.Create.SecurityContext->DesiredAccess;
    options = stack->Parameters.Create.Options;
    fileFlags = stack->FileObject->Flags;
    return testkit::Complete(irp, STATUS_SUCCESS);
  });
  CloseHandle(Open());
  EXPECT_EQ(access & (FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE), FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE)
      << "generic rights arrive mapped to file rights";
  EXPECT_EQ(access & (GENERIC_READ | GENERIC_WRITE), 0u);
  EXPECT_EQ(options >> 24, 1u) << "OPEN_EXISTING is FILE_OPEN";
  EXPECT_TRUE(fileFlags & FO_SYNCHRONOUS_IO);
  CloseHandle(Open(FILE_FLAG_OVERLAPPED));
  EXPECT_FALSE(fileFlags & FO_SYNCHRONOUS_IO) << "FILE_FLAG_OVERLAPPED opens for asynchronous I/O";
}

TEST_F(Win32Open, ExclusiveDeviceRefusesASecondOpen) {
  device_->Flags |= DO_EXCLUSIVE;
  HANDLE first = Open();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(LastNtStatus(), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Seen(), kCreate) << "the I/O manager refuses before the device sees a create";
  CloseHandle(first);
  HANDLE again = Open();
  EXPECT_NE(again, INVALID_HANDLE_VALUE) << "free again once the first handle is closed";
  CloseHandle(again);
}

TEST_F(Win32Open, RefusalsComeBackAsWin32Errors) {
  EXPECT_EQ(Open(0, u"\\\\.\\NOWHERE"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(LastNtStatus(), STATUS_OBJECT_NAME_NOT_FOUND);

  EXPECT_EQ(CreateFileW(u"\\\\.\\TEST", GENERIC_READ, 0, 0, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "no such creation disposition";

  On(IRP_MJ_CREATE, [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_DELETE_PENDING); });
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  EXPECT_EQ(Seen(), kCreate) << "a refused open gets no cleanup or close";
}

TEST_F(Win32Open, HandlesAreCheckedValues) {
  char byte;
  DWORD count;
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE closed = Open();
  CloseHandle(closed);
  for (HANDLE bad : {closed, INVALID_HANDLE_VALUE, (HANDLE) nullptr, (HANDLE)0x7770}) {
    EXPECT_FALSE(ReadFile(bad, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(LastNtStatus(), STATUS_INVALID_HANDLE);
  }
  EXPECT_FALSE(ReadFile(event, &byte, 1, &count, nullptr)) << "an event is no file";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(LastNtStatus(), STATUS_OBJECT_TYPE_MISMATCH);
  HANDLE file = Open();
  EXPECT_FALSE(SetEvent(file)) << "a file is no event";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(file);
  CloseHandle(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
}

// --- Reads, writes and device control -------------------------------------

TEST_F(Win32Io, BufferedReadCopiesBackExactlyInformationBytes) {
  device_->Flags |= DO_BUFFERED_IO;
  char buffer[9] = "........";
  On(IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(stack->Parameters.Read.Length, 8u);
    EXPECT_EQ(irp->Flags & (IRP_READ_OPERATION | IRP_BUFFERED_IO | IRP_INPUT_OPERATION),
              (ULONG)(IRP_READ_OPERATION | IRP_BUFFERED_IO | IRP_INPUT_OPERATION));
    EXPECT_EQ(irp->UserBuffer, buffer);
    EXPECT_NE(irp->AssociatedIrp.SystemBuffer, (PVOID)buffer) << "the device gets a system buffer";
    std::memset(irp->AssociatedIrp.SystemBuffer, 'x', 8);
    return testkit::Complete(irp, STATUS_SUCCESS, 3);
  });
  HANDLE file = Open();
  DWORD read = 99;
  EXPECT_TRUE(ReadFile(file, buffer, 8, &read, nullptr));
  EXPECT_EQ(read, 3u);
  EXPECT_STREQ(buffer, "xxx.....");
  CloseHandle(file);
}

TEST_F(Win32Io, BufferedWriteHandsTheDeviceACopy) {
  device_->Flags |= DO_BUFFERED_IO;
  char data[] = "hello";
  std::string received;
  On(IRP_MJ_WRITE, [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(irp->Flags & (IRP_WRITE_OPERATION | IRP_BUFFERED_IO | IRP_INPUT_OPERATION),
              (ULONG)(IRP_WRITE_OPERATION | IRP_BUFFERED_IO));
    EXPECT_NE(irp->AssociatedIrp.SystemBuffer, (PVOID)data);
    received.assign((const char*)irp->AssociatedIrp.SystemBuffer, stack->Parameters.Write.Length);
    return testkit::Complete(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
  });
  HANDLE file = Open();
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, data, 5, &written, nullptr));
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(received, "hello");
  CloseHandle(file);
}

TEST_F(Win32Io, SynchronousFilesTransferAtTheirPosition) {
  PFILE_OBJECT opened = nullptr;
  std::vector<LONGLONG> offsets;
  On(IRP_MJ_CREATE, [&](PDEVICE_OBJECT, PIRP irp) {
    opened = IoGetCurrentIrpStackLocation(irp)->FileObject;
    return testkit::Complete(irp, STATUS_SUCCESS);
  });
  On(IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(stack->FileObject, opened);
    offsets.push_back(stack->Parameters.Read.ByteOffset.QuadPart);
    return testkit::Complete(irp, STATUS_SUCCESS, 4);
  });
  HANDLE file = Open();
  char buffer[8];
  DWORD read;
  OVERLAPPED at100{};
  at100.Offset = 100;
  ReadFile(file, buffer, 8, &read, nullptr);
  ReadFile(file, buffer, 8, &read, nullptr);
  ReadFile(file, buffer, 8, &read, &at100);
  ReadFile(file, buffer, 8, &read, nullptr);
  EXPECT_EQ(offsets, (std::vector<LONGLONG>{0, 4, 100, 104}));
  CloseHandle(file);
}

TEST_F(Win32Io, MethodBufferedDeviceControlSharesOneSystemBuffer) {
  char in[] = "abc";
  char out[9] = "........";
  On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, kIoctlBuffered);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 3u);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    EXPECT_EQ(std::memcmp(irp->AssociatedIrp.SystemBuffer, "abc", 3), 0);
    EXPECT_EQ(irp->UserBuffer, out);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "wxyz", 4);
    return testkit::Complete(irp, STATUS_SUCCESS, 4);
  });
  HANDLE file = Open();
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(file, kIoctlBuffered, in, 3, out, 8, &returned, nullptr));
  EXPECT_EQ(returned, 4u);
  EXPECT_STREQ(out, "wxyz....");
  CloseHandle(file);
}

TEST_F(Win32Io, WithoutABufferingMethodTheDeviceGetsTheCallersAddresses) {
  char in[2], out[2];
  auto expectCallers = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
      EXPECT_EQ(stack->Parameters.DeviceIoControl.Type3InputBuffer, in);
    }
    EXPECT_EQ(irp->UserBuffer, out);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    EXPECT_EQ(irp->MdlAddress, nullptr);
    EXPECT_EQ(irp->RequestorMode, UserMode);
    return testkit::Complete(irp, STATUS_SUCCESS);
  };
  On(IRP_MJ_READ, expectCallers);
  On(IRP_MJ_DEVICE_CONTROL, expectCallers);
  HANDLE file = Open();
  DWORD count;
  EXPECT_TRUE(ReadFile(file, out, 2, &count, nullptr));
  EXPECT_TRUE(DeviceIoControl(file, kIoctlNeither, in, 2, out, 2, &count, nullptr));
  CloseHandle(file);
}

TEST_F(Win32Io, TheHandlesAccessLimitsItsRequests) {
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS); });
  HANDLE file = Open(0, u"\\\\.\\TEST", GENERIC_READ);
  char byte = 0;
  DWORD count;
  EXPECT_FALSE(WriteFile(file, &byte, 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeviceIoControl(file, kIoctlNeedsWrite, nullptr, 0, nullptr, 0, &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(ReadFile(file, &byte, 1, &count, nullptr));
  EXPECT_EQ(Seen(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ}));
  CloseHandle(file);
}

TEST_F(Win32Io, StatusesBecomeResultsAsKernel32MakesThem) {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  auto complete = [&](PDEVICE_OBJECT, PIRP irp) {
    if (irp->AssociatedIrp.SystemBuffer) std::memcpy(irp->AssociatedIrp.SystemBuffer, "zz", 2);
    return testkit::Complete(irp, status, information);
  };
  On(IRP_MJ_READ, complete);
  On(IRP_MJ_DEVICE_CONTROL, complete);
  HANDLE file = Open();
  char buffer[4] = "...";
  DWORD count = 99;

  EXPECT_FALSE(WriteFile(file, buffer, 1, &count, nullptr)) << "no write routine";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(LastNtStatus(), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(count, 0u);

  status = STATUS_DEVICE_NOT_CONNECTED;
  EXPECT_FALSE(ReadFile(file, buffer, 3, &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(LastNtStatus(), STATUS_DEVICE_NOT_CONNECTED);

  status = STATUS_BUFFER_OVERFLOW, information = 2;
  EXPECT_FALSE(DeviceIoControl(file, kIoctlBuffered, nullptr, 0, buffer, 3, &count, nullptr)) << "a warning fails";
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(count, 2u) << "but reports the bytes it returned";
  EXPECT_STREQ(buffer, "zz.");

  status = STATUS_TIMEOUT, information = 1;
  EXPECT_TRUE(ReadFile(file, buffer, 3, &count, nullptr)) << "STATUS_TIMEOUT is a success";
  EXPECT_EQ(count, 1u);

  status = STATUS_END_OF_FILE, information = 0;
  EXPECT_TRUE(ReadFile(file, buffer, 3, &count, nullptr)) << "a synchronous read at the end succeeds";
  EXPECT_EQ(count, 0u);
  CloseHandle(file);
}

TEST_F(Win32Io, LastIoBoostIsTheCompletingDriversBoost) {
  CCHAR boost = IO_SERIAL_INCREMENT;
  On(IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS, 0, boost); });
  HANDLE file = Open();
  DWORD count;
  ReadFile(file, nullptr, 0, &count, nullptr);
  EXPECT_EQ(LastIoBoost(), IO_SERIAL_INCREMENT);
  boost = IO_NO_INCREMENT;
  ReadFile(file, nullptr, 0, &count, nullptr);
  EXPECT_EQ(LastIoBoost(), IO_NO_INCREMENT);
  CloseHandle(file);
}

// --- Overlapped I/O --------------------------------------------------------

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

TEST_F(Win32DirectIo, ReadGoesIntoTheCallersLockedPages) {
  device_->Flags |= DO_DIRECT_IO;
  On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), 6u);
    std::memcpy(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority), "direct", 6);
    return testkit::Complete(irp, STATUS_SUCCESS, 6);
  });
  HANDLE file = Open();
  char buffer[7] = {};
  DWORD count;
  EXPECT_TRUE(ReadFile(file, buffer, 6, &count, nullptr));
  EXPECT_STREQ(buffer, "direct");
  CloseHandle(file);
}

TEST_F(Win32DirectIo, OutDirectCopiesTheInputAndLocksTheOutput) {
  On(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(std::memcmp(irp->AssociatedIrp.SystemBuffer, "in", 2), 0);
    EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), 3u);
    std::memcpy(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority), "out", 3);
    return testkit::Complete(irp, STATUS_SUCCESS, 3);
  });
  HANDLE file = Open();
  char in[] = "in", out[4] = {};
  DWORD count;
  EXPECT_TRUE(DeviceIoControl(file, kIoctlOutDirect, in, 2, out, 3, &count, nullptr));
  EXPECT_STREQ(out, "out");
  CloseHandle(file);
}

// --- Events, waits and errors ------------------------------------------------

TEST(Win32Wait, TimeoutsRunOnTheMachinesClock) {
  sim::Machine machine;
  HANDLE events[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  LONGLONG start = Now();
  EXPECT_EQ(WaitForSingleObject(events[0], 500), WAIT_TIMEOUT);
  EXPECT_EQ(Now() - start, 500 * kMs);
  EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 100), WAIT_TIMEOUT);
  EXPECT_EQ(Now() - start, 600 * kMs);
  sim::Thread setter("setter", [&] {
    Sleep(200);
    SetEvent(events[1]);
  });
  EXPECT_EQ(WaitForSingleObject(events[1], INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(Now() - start, 800 * kMs);
  setter.Join();
}

TEST(Win32Wait, EventsAndWaitsReleaseAsOnWindows) {
  sim::Machine machine;
  HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0) << "a manual-reset event stays signalled";
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  HANDLE events[3];
  for (HANDLE& event : events) event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  SetEvent(events[2]);
  SetEvent(events[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1) << "the lowest signalled index";
  EXPECT_EQ(WaitForSingleObject(events[1], 0), WAIT_TIMEOUT) << "an auto-reset event releases one wait";
  EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 50), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(events[2], 0), WAIT_OBJECT_0) << "a wait-all that timed out takes no signal";
  for (HANDLE event : events) SetEvent(event);
  EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT) << "and one that succeeds takes them all";
}

TEST(Win32Wait, MalformedWaitsFail) {
  sim::Machine machine;
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  HANDLE twice[2] = {event, event};
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event);
  EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects((DWORD)many.size(), many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED) << "wait-all names each object once";
  EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject((HANDLE)0x7770, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Win32Errors, LastErrorBelongsToTheThread) {
  sim::Machine machine;
  SetLastError(ERROR_BUSY);
  DWORD seenThere = 1;
  sim::Thread other("other", [&] {
    seenThere = GetLastError();
    SetLastError(ERROR_NOT_READY);
  });
  other.Join();
  EXPECT_EQ(seenThere, ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_BUSY);
}

TEST(RtlNtStatusToDosError, MapsStatusesAsWindowsDoes) {
  const std::pair<NTSTATUS, ULONG> cases[] = {
      {STATUS_SUCCESS, ERROR_SUCCESS},
      {STATUS_PENDING, ERROR_IO_PENDING},
      {STATUS_TIMEOUT, ERROR_TIMEOUT},
      {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
      {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
      {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
      {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
      {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {STATUS_OBJECT_PATH_SYNTAX_BAD, ERROR_BAD_PATHNAME},
      {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
      {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
      {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
      {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
      {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
  };
  for (auto [status, error] : cases) EXPECT_EQ(RtlNtStatusToDosError(status), error) << std::hex << status;
}

TEST(RtlNtStatusToDosError, UnknownStatusesAndWrappedWin32Codes) {
  EXPECT_EQ(RtlNtStatusToDosError((NTSTATUS)0xC0001234), ERROR_MR_MID_NOT_FOUND);
  EXPECT_EQ(RtlNtStatusToDosError((NTSTATUS)(0xC0070000 | ERROR_BUSY)), ERROR_BUSY) << "NTSTATUS_FROM_WIN32 unwraps";
}

}  // namespace
