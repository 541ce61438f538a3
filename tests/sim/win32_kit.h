// The fixture of the application-side tests: a scripted device \Device\Test
// (linked as \??\TEST) that records what reaches it and can hold requests.
#pragma once

#include "sim/win32/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/ustring.h"
#include "tests/sim/testkit.h"

namespace win32test {

using namespace win32;

constexpr ULONG kIoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kIoctlNeedsWrite = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr ULONG kIoctlOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr LONGLONG kMs = 10'000;  // kernel clock ticks

inline LONGLONG Now() { return (LONGLONG)KeQueryInterruptTime(); }

// Requests a test device holds pending, cancellable or not.
struct Parking {
  struct Parked {
    PIRP irp;
    bool cancellable;
  };
  std::mutex mutex;
  std::vector<Parked> parked;
  bool cancelAll = false;  // the cancel routine ends every parked request

  size_t Count() {
    std::lock_guard guard(mutex);
    return parked.size();
  }
  // The oldest parked request, now the caller's to complete; null when its
  // cancel routine has it.
  PIRP Take() {
    std::unique_lock lock(mutex);
    if (parked.empty()) return nullptr;
    Parked oldest = parked.front();
    parked.erase(parked.begin());
    lock.unlock();
    if (oldest.cancellable && !IoSetCancelRoutine(oldest.irp, nullptr)) return nullptr;
    return oldest.irp;
  }
};
inline Parking* parking = nullptr;

inline void NTAPI CancelParked(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  std::vector<PIRP> done{irp};
  {
    std::lock_guard guard(parking->mutex);
    std::erase_if(parking->parked, [&](const Parking::Parked& each) { return each.irp == irp; });
    if (parking->cancelAll) {
      for (const Parking::Parked& other : parking->parked)
        if (IoSetCancelRoutine(other.irp, nullptr)) done.push_back(other.irp);
      parking->parked.clear();
    }
  }
  for (PIRP each : done) testkit::Complete(each, STATUS_CANCELLED);
}

inline NTSTATUS Park(PIRP irp, bool cancellable = true) {
  IoMarkIrpPending(irp);
  std::lock_guard guard(parking->mutex);
  parking->parked.push_back({irp, cancellable});
  if (cancellable) IoSetCancelRoutine(irp, CancelParked);
  return STATUS_PENDING;
}

// A device \Device\Test, linked as \??\TEST, that records the major function of
// every request it gets and succeeds create, cleanup and close.
class Win32Test : public ::testing::Test {
 protected:
  explicit Win32Test(sim::MachineOptions options = {}) : machine_(std::move(options)) {
    parking = &parked_;
    driver_ = testkit::LoadDriver(machine_, u"testdev");
    device_ = testkit::CreateDevice(driver_, behaviour_, u"\\Device\\Test");
    machine_.Objects().CreateLink(u"\\??\\TEST", u"\\Device\\Test");
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) On(major, nullptr);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
      On(major, [](PDEVICE_OBJECT, PIRP irp) { return testkit::Complete(irp, STATUS_SUCCESS); });
  }
  ~Win32Test() override {
    if (device_) testkit::Delete(device_);
    parking = nullptr;
  }

  // Scripts `major`, keeping the record of what arrived.
  void On(UCHAR major, testkit::Dispatch dispatch) {
    behaviour_.dispatch[major] = [this, major, dispatch](PDEVICE_OBJECT device, PIRP irp) {
      {
        std::lock_guard guard(mutex_);
        seen_.push_back(major);
      }
      return dispatch ? dispatch(device, irp) : testkit::Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    };
  }
  std::vector<UCHAR> Seen() {
    std::lock_guard guard(mutex_);
    return seen_;
  }
  HANDLE Open(DWORD flags = 0, const char16_t* path = u"\\\\.\\TEST", DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileW(path, access, 0, OPEN_EXISTING, flags);
  }
  // An OVERLAPPED at offset 0 with a manual-reset event of its own.
  static OVERLAPPED WithEvent() {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return overlapped;
  }
  void CompleteParked(NTSTATUS status, ULONG_PTR information = 0, CCHAR boost = IO_NO_INCREMENT) {
    PIRP irp = parked_.Take();
    ASSERT_NE(irp, nullptr);
    testkit::Complete(irp, status, information, boost);
  }

  sim::Machine machine_;
  testkit::Behaviour behaviour_;
  Parking parked_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  std::mutex mutex_;
  std::vector<UCHAR> seen_;
};

using Win32Open = Win32Test;
using Win32Io = Win32Test;
using Win32Overlapped = Win32Test;
using Win32Cancel = Win32Test;
using Win32Sync = Win32Test;
using Win32DirectIo = Win32Test;

inline const std::vector<UCHAR> kCreate{IRP_MJ_CREATE};
inline const std::vector<UCHAR> kCreateCleanup{IRP_MJ_CREATE, IRP_MJ_CLEANUP};
inline const std::vector<UCHAR> kCreateCleanupClose{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};

}  // namespace win32test
