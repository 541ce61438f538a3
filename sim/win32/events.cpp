// Events and waits on the kernel's dispatcher objects, so that waits and their
// timeouts run on the machine's clock (virtual time in tests).
#include <algorithm>
#include <vector>

#include "sim/kernel/dispatcher.h"
#include "sim/kernel/verifier.h"
#include "sim/win32/errors.h"
#include "sim/win32/handles.h"

namespace win32 {

namespace {

using namespace detail;

constexpr LONGLONG kTicksPerMillisecond = 10'000;

// An NT relative timeout for a Win32 one; null waits forever.
PLARGE_INTEGER Timeout(DWORD milliseconds, LARGE_INTEGER* storage) {
  if (milliseconds == INFINITE) return nullptr;
  storage->QuadPart = -(LONGLONG)milliseconds * kTicksPerMillisecond;
  return storage;
}

DWORD WaitResult(NTSTATUS status) {
  if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
  return (DWORD)status;  // STATUS_WAIT_0 + n is WAIT_OBJECT_0 + n
}

DWORD WaitFailed(NTSTATUS status) {
  FailWith(status);
  return WAIT_FAILED;
}

BOOL ChangeEvent(HANDLE handle, bool set) {
  std::shared_ptr<EventObject> event;
  NTSTATUS status = Handles().ReferenceEvent(handle, &event);
  if (!NT_SUCCESS(status)) return FailWith(status);
  if (set)
    KeSetEvent(&event->event, EVENT_INCREMENT, FALSE);
  else
    KeResetEvent(&event->event);
  return TRUE;
}

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (name)
    sim::VerifierStop(sim::Rule::KernelStop, nullptr, "CreateEventW with a name: named events are not simulated");
  auto event = std::make_shared<EventObject>();
  KeInitializeEvent(&event->event, manualReset ? NotificationEvent : SynchronizationEvent, initialState ? TRUE : FALSE);
  return Handles().AddEvent(std::move(event));
}

BOOL SetEvent(HANDLE event) { return ChangeEvent(event, true); }

BOOL ResetEvent(HANDLE event) { return ChangeEvent(event, false); }

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  Waitable waitable;
  NTSTATUS status = Handles().ReferenceWaitable(handle, &waitable);
  if (!NT_SUCCESS(status)) return WaitFailed(status);
  LARGE_INTEGER storage;
  return WaitResult(
      KeWaitForSingleObject(waitable.object, UserRequest, UserMode, FALSE, Timeout(milliseconds, &storage)));
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (!handles || count == 0 || count > MAXIMUM_WAIT_OBJECTS) return WaitFailed(STATUS_INVALID_PARAMETER);
  std::vector<Waitable> waitables(count);
  std::vector<PVOID> objects;
  for (DWORD i = 0; i < count; ++i) {
    NTSTATUS status = Handles().ReferenceWaitable(handles[i], &waitables[i]);
    if (!NT_SUCCESS(status)) return WaitFailed(status);
    objects.push_back(waitables[i].object);
  }
  // A wait for all of them cannot name one object twice.
  if (waitAll) {
    std::vector<PVOID> sorted = objects;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return WaitFailed(STATUS_INVALID_PARAMETER);
  }
  LARGE_INTEGER storage;
  return WaitResult(sim::WaitForObjects(count, objects.data(), waitAll ? WaitAll : WaitAny,
                                        Timeout(milliseconds, &storage), "WaitForMultipleObjects"));
}

void Sleep(DWORD milliseconds) {
  LARGE_INTEGER storage;
  if (milliseconds == 0) return;
  KeDelayExecutionThread(UserMode, FALSE, Timeout(milliseconds, &storage));
}

}  // namespace win32
