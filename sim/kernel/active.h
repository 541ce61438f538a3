// Kernel objects that are in use right now (a set timer, a queued DPC or work
// item, an object a thread waits on, a held spin lock). Freeing pool that
// still contains one stops the machine, as NT bugchecks on it.
#pragma once

#include <cstdint>

namespace sim {

enum class ActiveKind { Timer, Dpc, WaitedObject, SpinLock, WorkItem };
const char* ActiveKindName(ActiveKind kind);

void MarkActive(const void* object, ActiveKind kind);
void MarkInactive(const void* object, ActiveKind kind);
// Stops with ActiveObjectFreed when [begin, end) holds an active object.
void CheckFreedRange(uintptr_t begin, uintptr_t end);

}  // namespace sim
