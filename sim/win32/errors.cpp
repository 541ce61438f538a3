#include "sim/win32/errors.h"

namespace win32 {

namespace {
// Each simulated thread is a host thread, so the host's thread-local storage
// is the thread's environment block.
struct LastError {
  DWORD error = ERROR_SUCCESS;
  NTSTATUS status = STATUS_SUCCESS;
  CCHAR boost = IO_NO_INCREMENT;
};
thread_local LastError last;
}  // namespace

DWORD GetLastError() { return last.error; }
void SetLastError(DWORD errorCode) { last.error = errorCode; }
NTSTATUS LastNtStatus() { return last.status; }
CCHAR LastIoBoost() { return last.boost; }

namespace detail {

BOOL FailWith(NTSTATUS status) { return FailWith(RtlNtStatusToDosError(status), status); }

BOOL FailWith(DWORD error, NTSTATUS status) {
  last.error = error;
  last.status = status;
  return FALSE;
}

void RecordIoBoost(CCHAR boost) { last.boost = boost; }

}  // namespace detail
}  // namespace win32
