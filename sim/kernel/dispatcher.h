// Dispatcher objects (events, timers) and the threads waiting on them.
#pragma once

#include "sim/ddk/ntddk.h"

namespace sim {

// Sets the object's signal state and satisfies the waits it completes, in the
// order the threads began waiting. Caller holds the dispatcher lock.
void SignalObjectLocked(PDISPATCHER_HEADER header);

// Waits on the calling thread's behalf: the shared body of the KeWait* routines.
NTSTATUS WaitForObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, const LARGE_INTEGER* timeout,
                        const char* routine);

}  // namespace sim
