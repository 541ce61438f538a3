// The application side's events and waits, its last error, and the mapping
// of kernel statuses to Win32 error codes.
#include "tests/sim/win32_kit.h"

#include <algorithm>
#include <mutex>

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/ustring.h"

namespace win32test {
namespace {

TEST(Win32Wait, TimeoutsRunOnTheMachinesClock) {
  sim::Machine machine;
  HANDLE events[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  LONGLONG start = Now();
  EXPECT_EQ(WaitForSingleObject(events[0], 500), WAIT_TIMEOUT);
  EXPECT_EQ(Now() - start, 500 * kMs);
  EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 100), WAIT_TIMEOUT);
  EXPECT_EQ(Now() - start, 600 * kMs);
  sim::Thread setter("setter", [&] {
    Sleep(200);
    SetEvent(events[1]);
  });
  EXPECT_EQ(WaitForSingleObject(events[1], INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(Now() - start, 800 * kMs);
  setter.Join();
}

TEST(Win32Wait, EventsAndWaitsReleaseAsOnWindows) {
  sim::Machine machine;
  HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0) << "a manual-reset event stays signalled";
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  HANDLE events[3];
  for (HANDLE& event : events) event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  SetEvent(events[2]);
  SetEvent(events[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1) << "the lowest signalled index";
  EXPECT_EQ(WaitForSingleObject(events[1], 0), WAIT_TIMEOUT) << "an auto-reset event releases one wait";
  EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 50), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(events[2], 0), WAIT_OBJECT_0) << "a wait-all that timed out takes no signal";
  for (HANDLE event : events) SetEvent(event);
  EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT) << "and one that succeeds takes them all";
}

TEST(Win32Wait, MalformedWaitsFail) {
  sim::Machine machine;
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  HANDLE twice[2] = {event, event};
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event);
  EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects((DWORD)many.size(), many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED) << "wait-all names each object once";
  EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject((HANDLE)0x7770, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Win32Errors, LastErrorBelongsToTheThread) {
  sim::Machine machine;
  SetLastError(ERROR_BUSY);
  DWORD seenThere = 1;
  sim::Thread other("other", [&] {
    seenThere = GetLastError();
    SetLastError(ERROR_NOT_READY);
  });
  other.Join();
  EXPECT_EQ(seenThere, ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_BUSY);
}

TEST(RtlNtStatusToDosError, MapsStatusesAsWindowsDoes) {
  const std::pair<NTSTATUS, ULONG> cases[] = {
      {STATUS_SUCCESS, ERROR_SUCCESS},
      {STATUS_PENDING, ERROR_IO_PENDING},
      {STATUS_TIMEOUT, ERROR_TIMEOUT},
      {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
      {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
      {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
      {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
      {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {STATUS_OBJECT_PATH_SYNTAX_BAD, ERROR_BAD_PATHNAME},
      {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
      {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
      {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
      {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
      {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
  };
  for (auto [status, error] : cases) EXPECT_EQ(RtlNtStatusToDosError(status), error) << std::hex << status;
}

TEST(RtlNtStatusToDosError, UnknownStatusesAndWrappedWin32Codes) {
  EXPECT_EQ(RtlNtStatusToDosError((NTSTATUS)0xC0001234), ERROR_MR_MID_NOT_FOUND);
  EXPECT_EQ(RtlNtStatusToDosError((NTSTATUS)(0xC0070000 | ERROR_BUSY)), ERROR_BUSY) << "NTSTATUS_FROM_WIN32 unwraps";
}

}  // namespace
}  // namespace win32test
