// How the application side records a failure: as kernel32 does, keeping the
// NTSTATUS beside the Win32 code Windows maps it to, per thread.
#pragma once

#include "sim/win32/win32.h"

namespace win32::detail {

// Records `status` and RtlNtStatusToDosError(status); returns FALSE for the
// failing call to return.
BOOL FailWith(NTSTATUS status);
// Records a Win32 code kernel32 sets by itself, with the status behind it.
BOOL FailWith(DWORD error, NTSTATUS status);
// Records the boost of a synchronous request that just completed.
void RecordIoBoost(CCHAR boost);

}  // namespace win32::detail
