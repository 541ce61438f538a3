// The application side of the simulated machine: the Win32 calls a Windows
// program uses to reach a device (files, overlapped I/O, device control,
// cancellation, events and waits), with their Win32 names, types and results.
// Each call goes through the simulated I/O manager and kernel the way kernel32
// and the NT system services do, so a driver sees the IRPs it would see on
// Windows and the application sees the errors Windows would report.
//
// The calling thread must be a simulated thread (the test thread of a
// sim::Machine, or a sim::Thread). Constants the DDK headers already define
// as macros (GENERIC_READ, GENERIC_WRITE, FILE_SHARE_READ, ...) are used as
// they are, without the namespace.
#pragma once

#include <cstddef>
#include <string>

#include "sim/ddk/ntddk.h"
#include "sim/win32/winerror.h"

namespace win32 {

using BOOL = int;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using LPCWSTR = const char16_t*;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Internal and InternalHigh are the request's IO_STATUS_BLOCK (status and
// byte count), written by the I/O manager when the request completes.
struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;
static_assert(offsetof(OVERLAPPED, Internal) == 0 &&
                  offsetof(OVERLAPPED, InternalHigh) == offsetof(IO_STATUS_BLOCK, Information) &&
                  offsetof(OVERLAPPED, Pointer) == sizeof(IO_STATUS_BLOCK),
              "Internal and InternalHigh have the layout of an IO_STATUS_BLOCK");

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

// CreateFileW creation dispositions and flags.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

// Waits.
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
#ifndef MAXIMUM_WAIT_OBJECTS
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
#endif

// Files. A Win32 path (\\.\COM5, \\?\X, COM1..COM9) becomes the NT path
// \??\...; an NT path (\Device\X, \??\X) is used as it is.
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                   DWORD flagsAndAttributes);
HANDLE CreateFileW(const std::u16string& fileName, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                   DWORD flagsAndAttributes);
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL CloseHandle(HANDLE object);

// Requests. On a handle opened without FILE_FLAG_OVERLAPPED they wait for
// completion; otherwise a request that pends returns FALSE with
// ERROR_IO_PENDING and completes into the OVERLAPPED.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD numberOfBytesToRead, LPDWORD numberOfBytesRead,
              LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD numberOfBytesToWrite, LPDWORD numberOfBytesWritten,
               LPOVERLAPPED overlapped);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
// Waits until the device has sent everything written to it (IRP_MJ_FLUSH_BUFFERS).
BOOL FlushFileBuffers(HANDLE file);
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD numberOfBytesTransferred, BOOL wait);
// Cancels the calling thread's requests on `file`; does not wait for them.
BOOL CancelIo(HANDLE file);

// Events and waits. Timeouts are in milliseconds of the machine's clock.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES eventAttributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
void Sleep(DWORD milliseconds);

// Errors, per thread.
DWORD GetLastError();
void SetLastError(DWORD errorCode);
// The NTSTATUS behind the last failure (kernel32 keeps it beside the Win32 code).
NTSTATUS LastNtStatus();
// The priority boost the driver gave the last synchronous request it completed.
CCHAR LastIoBoost();

}  // namespace win32
