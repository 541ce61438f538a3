// One read, write or device control request of the application, taken through
// the simulated I/O manager as the NT system services take it: the IRP built
// for the device, the serialisation of synchronous files, the wait for
// completion, and what completion hands back to the caller.
#pragma once

#include <functional>

#include "sim/win32/handles.h"
#include "sim/win32/win32.h"

namespace win32::detail {

// Fills in the request's parameters and describes its buffers to `device`;
// `offset` is the byte offset in effect (the OVERLAPPED's or the file's).
using IrpBuilder = std::function<void(PIRP irp, PIO_STACK_LOCATION stack, PDEVICE_OBJECT device, LARGE_INTEGER offset)>;

struct IoCall {
  UCHAR majorFunction;
  IrpBuilder build;
  OVERLAPPED* overlapped;  // may be null
};

struct IoOutcome {
  NTSTATUS status;  // STATUS_PENDING: the request goes on and completes into the OVERLAPPED
  ULONG_PTR information;
};

// Issues the request on `file`. On a synchronous file, or without an
// OVERLAPPED, it returns only once the request completed.
IoOutcome IssueRequest(const FileRef& file, const IoCall& call);

}  // namespace win32::detail
