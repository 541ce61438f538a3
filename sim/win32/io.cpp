// ReadFile, WriteFile and DeviceIoControl as kernel32 and the NT system
// services build them: the access the handle needs, how each buffer is handed
// to the device, and how the outcome becomes a BOOL and a last error.
#include <algorithm>
#include <cstdlib>

#include "sim/kernel/irp.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/mdl.h"
#include "sim/win32/errors.h"
#include "sim/win32/request.h"

namespace win32 {

namespace {

using namespace detail;

constexpr ACCESS_MASK kFileAppendData = 0x0004;  // FILE_APPEND_DATA

// A system buffer the I/O manager frees when the request is finished.
PVOID AllocateSystemBuffer(const void* input, ULONG inputLength, ULONG size) {
  auto buffer = (PUCHAR)std::calloc(1, size);
  if (input && inputLength) std::memcpy(buffer, input, inputLength);
  return buffer;
}

// NtReadFile and NtWriteFile: a copy in a system buffer (DO_BUFFERED_IO), the
// caller's pages locked in an MDL (DO_DIRECT_IO), or the caller's address.
void AttachTransferBuffer(PIRP irp, PDEVICE_OBJECT device, bool read, PVOID buffer, ULONG length) {
  if (device->Flags & DO_BUFFERED_IO) {
    if (length) {
      irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(read ? nullptr : buffer, read ? 0 : length, length);
      irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (read ? IRP_INPUT_OPERATION : 0);
    }
    irp->UserBuffer = buffer;
  } else if (device->Flags & DO_DIRECT_IO) {
    if (length) irp->MdlAddress = sim::KernelAllocateLockedMdl(buffer, length, read ? IoWriteAccess : IoReadAccess);
  } else {
    irp->UserBuffer = buffer;
  }
}

IrpBuilder TransferBuilder(bool read, PVOID buffer, ULONG length) {
  return [=](PIRP irp, PIO_STACK_LOCATION stack, PDEVICE_OBJECT device, LARGE_INTEGER offset) {
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.ByteOffset = offset;
    irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    AttachTransferBuffer(irp, device, read, buffer, length);
  };
}

// NtDeviceIoControlFile: the control code's transfer method decides.
void AttachControlBuffers(PIRP irp, PIO_STACK_LOCATION stack, ULONG code, PVOID in, ULONG inLength, PVOID out,
                          ULONG outLength) {
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
      // One system buffer carries the input in and the output back.
      if (inLength || outLength) {
        irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(in, inLength, std::max(inLength, outLength));
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (out ? IRP_INPUT_OPERATION : 0);
      }
      irp->UserBuffer = out;
      break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      // The input is copied; the output buffer is locked and described by an
      // MDL the device reads from (IN) or writes into (OUT).
      if (in && inLength) {
        irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(in, inLength, inLength);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (out && outLength)
        irp->MdlAddress = sim::KernelAllocateLockedMdl(
            out, outLength, METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
      break;
    default:  // METHOD_NEITHER: the caller's addresses as they are
      stack->Parameters.DeviceIoControl.Type3InputBuffer = in;
      irp->UserBuffer = out;
      break;
  }
}

IrpBuilder ControlBuilder(ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength) {
  return [=](PIRP irp, PIO_STACK_LOCATION stack, PDEVICE_OBJECT, LARGE_INTEGER) {
    stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    AttachControlBuffers(irp, stack, code, in, inLength, out, outLength);
  };
}

// The access a control code asks of the handle (its RequiredAccess bits).
bool HasControlAccess(ACCESS_MASK granted, ULONG code) {
  ULONG required = (code >> 14) & 3;
  if ((required & FILE_READ_ACCESS) && !(granted & FILE_READ_DATA)) return false;
  if ((required & FILE_WRITE_ACCESS) && !(granted & FILE_WRITE_DATA)) return false;
  return true;
}

// kernel32 marks the OVERLAPPED pending before it asks the system for anything.
void BeginOverlapped(LPOVERLAPPED overlapped) {
  if (overlapped) __atomic_store_n(&overlapped->Internal, (ULONG_PTR)STATUS_PENDING, __ATOMIC_RELEASE);
}

// A request's BOOL: success and information statuses succeed; warnings fail
// but still report the bytes transferred (ERROR_MORE_DATA with a partial
// buffer); a request still running fails with ERROR_IO_PENDING.
BOOL Conclude(const IoOutcome& outcome, LPDWORD bytes) {
  if (outcome.status == STATUS_PENDING) return FailWith(STATUS_PENDING);
  if (bytes && !NT_ERROR(outcome.status)) *bytes = (DWORD)outcome.information;
  return NT_SUCCESS(outcome.status) ? TRUE : FailWith(outcome.status);
}

BOOL Transfer(HANDLE handle, bool read, PVOID buffer, DWORD length, LPDWORD bytes, LPOVERLAPPED overlapped) {
  if (bytes) *bytes = 0;
  BeginOverlapped(overlapped);
  FileRef file;
  NTSTATUS status = Handles().ReferenceFile(handle, &file);
  if (!NT_SUCCESS(status)) return FailWith(status);
  ACCESS_MASK needed = read ? FILE_READ_DATA : FILE_WRITE_DATA | kFileAppendData;
  if (!(file.Access() & needed)) return FailWith(STATUS_ACCESS_DENIED);
  if (!buffer && length) return FailWith(STATUS_ACCESS_VIOLATION);
  IoOutcome outcome = IssueRequest(
      file, {(UCHAR)(read ? IRP_MJ_READ : IRP_MJ_WRITE), TransferBuilder(read, buffer, length), overlapped});
  // A synchronous read at the end of the file succeeds with nothing read.
  if (read && !overlapped && outcome.status == STATUS_END_OF_FILE) return TRUE;
  return Conclude(outcome, bytes);
}

}  // namespace

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD numberOfBytesToRead, LPDWORD numberOfBytesRead,
              LPOVERLAPPED overlapped) {
  return Transfer(file, true, buffer, numberOfBytesToRead, numberOfBytesRead, overlapped);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD numberOfBytesToWrite, LPDWORD numberOfBytesWritten,
               LPOVERLAPPED overlapped) {
  return Transfer(file, false, const_cast<LPVOID>(buffer), numberOfBytesToWrite, numberOfBytesWritten, overlapped);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  if (bytesReturned) *bytesReturned = 0;
  BeginOverlapped(overlapped);
  FileRef file;
  NTSTATUS status = Handles().ReferenceFile(device, &file);
  if (!NT_SUCCESS(status)) return FailWith(status);
  if (!HasControlAccess(file.Access(), ioControlCode)) return FailWith(STATUS_ACCESS_DENIED);
  IoCall call{IRP_MJ_DEVICE_CONTROL, ControlBuilder(ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize),
              overlapped};
  return Conclude(IssueRequest(file, call), bytesReturned);
}

// NtFlushBuffersFile: needs write access; waits for the flush on any handle.
BOOL FlushFileBuffers(HANDLE handle) {
  FileRef file;
  NTSTATUS status = Handles().ReferenceFile(handle, &file);
  if (!NT_SUCCESS(status)) return FailWith(status);
  if (!(file.Access() & (FILE_WRITE_DATA | kFileAppendData))) return FailWith(STATUS_ACCESS_DENIED);
  IoCall call{IRP_MJ_FLUSH_BUFFERS, [](PIRP, PIO_STACK_LOCATION, PDEVICE_OBJECT, LARGE_INTEGER) {}, nullptr};
  return Conclude(IssueRequest(file, call), nullptr);
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD numberOfBytesTransferred, BOOL wait) {
  auto status = (NTSTATUS)__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
  if (status == STATUS_PENDING) {
    if (!wait) return FailWith(ERROR_IO_INCOMPLETE, STATUS_PENDING);
    // Without an event of its own the request sets the file object.
    HANDLE signal = overlapped->hEvent ? overlapped->hEvent : file;
    if (WaitForSingleObject(signal, INFINITE) == WAIT_FAILED) return FALSE;
    status = (NTSTATUS)__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
  }
  if (numberOfBytesTransferred) *numberOfBytesTransferred = (DWORD)overlapped->InternalHigh;
  return NT_SUCCESS(status) ? TRUE : FailWith(status);
}

// IoCancelIrp on every request the calling thread issued on the file that is
// still in a driver's hands. The IRPs stay allocated while this runs, even if
// a cancel routine completes several of them.
BOOL CancelIo(HANDLE handle) {
  FileRef file;
  NTSTATUS status = Handles().ReferenceFile(handle, &file);
  if (!NT_SUCCESS(status)) return FailWith(status);
  sim::IrpTracker& irps = sim::CurrentMachine().Irps();
  for (PIRP irp : irps.PinIssuedBy(sim::CurrentThread(), file.File())) {
    IoCancelIrp(irp);
    irps.Unpin(irp);
  }
  return TRUE;
}

}  // namespace win32
