// The application side opening and closing devices: the create, cleanup and
// close requests a device sees, paths and names, exclusive devices, handles.
#include "tests/sim/win32_kit.h"

#include <algorithm>
#include <mutex>

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/ustring.h"

namespace win32test {
namespace {

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

// The object manager holds the device it found by name until the open is
// done with it: a device deleted meanwhile (here by its own create routine;
// a bus deletes an unplugged device's PDO on another thread) goes only with
// its last reference, and the open ends as its driver said.
TEST_F(Win32Open, DeviceDeletedDuringItsOpenStaysUntilItsLastReferenceGoes) {
  On(IRP_MJ_CREATE, [](PDEVICE_OBJECT device, PIRP irp) {
    IoDeleteDevice(device);
    return testkit::Complete(irp, STATUS_SUCCESS);
  });
  device_ = nullptr;
  HANDLE file = Open();
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE) << "the name went with the deletion";
  EXPECT_EQ(LastNtStatus(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(Seen(), kCreateCleanupClose) << "the deleted device still gets its file's cleanup and close";
  EXPECT_TRUE(machine_.Objects().DevicesOf(driver_).empty()) << "gone with the file's reference";
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

}  // namespace
}  // namespace win32test
