// The application side reading, writing and sending control codes: buffering
// methods, file positions, access checks, statuses and boosts, direct I/O.
#include "tests/sim/win32_kit.h"

#include <algorithm>
#include <mutex>

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/ustring.h"

namespace win32test {
namespace {

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

}  // namespace
}  // namespace win32test
