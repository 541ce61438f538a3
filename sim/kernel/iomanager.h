// The I/O manager's side of files: opening a path (IRP_MJ_CREATE), cleanup
// and close, and the requests it builds on behalf of threads.
#pragma once

#include <functional>
#include <string>

#include "sim/ddk/ntddk.h"
#include "sim/kernel/irp.h"

namespace sim {

struct OpenRequest {
  std::u16string path;            // an NT path: \Device\X, \??\COM5, \??\link\PIPE00
  ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE;
  ULONG shareAccess = 0;
  ULONG options = 0;              // IRP_MJ_CREATE Options (disposition << 24 | options)
  bool synchronous = true;        // FO_SYNCHRONOUS_IO: the I/O manager waits for each request
};

// Opens a file object on the device `path` names, as NtCreateFile does: the
// create request goes to the top of the device's stack with the rest of the
// path as the file name. On success the file object has one reference.
NTSTATUS OpenFile(const OpenRequest& request, PFILE_OBJECT* file);

// Sends IRP_MJ_CLEANUP or IRP_MJ_CLOSE for `file` and waits for it.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR majorFunction);

// Allocates a thread IRP for `device`'s stack, issued by the calling thread.
PIRP AllocateThreadIrp(PDEVICE_OBJECT device, PFILE_OBJECT file, IrpOriginator originator);

// What the I/O manager does when a thread exits: IoCancelIrp on every IRP
// the thread issued that is still pending (IoBuildDeviceIoControlRequest,
// IoBuildSynchronousFsdRequest and the application's own reads, writes and
// control requests), then a wait, in 100 ms steps, for them to complete. A
// request still pending after five minutes is taken off the thread's list and
// reported, so the thread can go; its completion later still finishes it.
void CancelThreadIo();

// Sends a thread IRP to the top of `file`'s stack and, when it pends, waits
// for its completion on `event`. Returns the final status.
NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb);

}  // namespace sim
