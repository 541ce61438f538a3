// Remove locks, with the verifier's tag accounting: a lock released more often
// than acquired, or released after IoReleaseRemoveLockAndWaitEx returned, stops.
#include <map>
#include <mutex>

#include "sim/kernel/machine.h"
#include "sim/kernel/verifier.h"

using namespace sim;

namespace {

struct RemoveLockState {
  std::map<PVOID, int> holds;  // acquisitions not yet released, by tag
  bool waitReturned = false;
};

std::mutex stateLock;
std::map<PIO_REMOVE_LOCK, RemoveLockState> states;

RemoveLockState& StateOf(PIO_REMOVE_LOCK lock, const char* routine) {
  auto it = states.find(lock);
  if (it == states.end())
    VerifierStop(Rule::RemoveLock, nullptr, "%s on remove lock %p, which was never initialised", routine, (void*)lock);
  if (it->second.waitReturned)
    VerifierStop(Rule::RemoveLock, nullptr, "%s on remove lock %p after IoReleaseRemoveLockAndWaitEx returned", routine,
                 (void*)lock);
  return it->second;
}

void ReleaseTag(PIO_REMOVE_LOCK lock, PVOID tag, const char* routine) {
  std::lock_guard guard(stateLock);
  RemoveLockState& state = StateOf(lock, routine);
  auto it = state.holds.find(tag);
  if (it == state.holds.end() || it->second == 0)
    VerifierStop(Rule::RemoveLock, nullptr, "%s of remove lock %p with tag %p: released more often than acquired", routine,
                 (void*)lock, tag);
  if (--it->second == 0) state.holds.erase(it);
}

}  // namespace

extern "C" void NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                               ULONG HighWatermark, ULONG RemlockSize) {
  RequireIrqlPassive("IoInitializeRemoveLockEx");
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
  std::lock_guard guard(stateLock);
  states[Lock] = RemoveLockState{};
}

extern "C" NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                                ULONG RemlockSize) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoAcquireRemoveLockEx");
  {
    // Once the removal's wait has returned, an acquisition is refused as
    // during the wait (the documented STATUS_DELETE_PENDING); only a release
    // then is a driver's fault.
    std::lock_guard guard(stateLock);
    auto it = states.find(RemoveLock);
    if (it != states.end() && it->second.waitReturned) return STATUS_DELETE_PENDING;
    StateOf(RemoveLock, "IoAcquireRemoveLockEx");
  }
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (RemoveLock->Common.Removed) {
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, 0, FALSE);
    return STATUS_DELETE_PENDING;
  }
  std::lock_guard guard(stateLock);
  ++states[RemoveLock].holds[Tag];
  return STATUS_SUCCESS;
}

extern "C" void NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  RequireIrqlAtMost(DISPATCH_LEVEL, Rule::IrqlDispatch, "IoReleaseRemoveLockEx");
  ReleaseTag(RemoveLock, Tag, "IoReleaseRemoveLockEx");
  LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (count == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, 0, FALSE);
}

extern "C" void NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  RequireIrqlPassive("IoReleaseRemoveLockAndWaitEx");
  ReleaseTag(RemoveLock, Tag, "IoReleaseRemoveLockAndWaitEx");
  RemoveLock->Common.Removed = TRUE;
  // The first decrement drops the bias of IoInitializeRemoveLockEx, the second
  // the caller's own acquisition; the wait ends when the last holder releases.
  InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  std::lock_guard guard(stateLock);
  states[RemoveLock].waitReturned = true;
}
