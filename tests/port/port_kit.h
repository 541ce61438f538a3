// The port driver's test fixture: a machine with tolvane loaded, one port on
// a root-bus device node, and the application's view of it through sim/win32.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "port/routines.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnproot.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/ustring.h"
#include "sim/win32/comm.h"
#include "sim/win32/win32.h"

namespace porttest {

using namespace win32;

constexpr LONGLONG kMs = 10'000;  // kernel clock ticks

inline LONGLONG Now() { return (LONGLONG)KeQueryInterruptTime(); }

// How a test wants its port configured.
struct PortConfig {
  ULONG endPointCaps = 0;
  bool exclusive = true;  // the device node's Exclusive property
  std::u16string targetMatch;
};

// One port, created as AddDevice creates it, on a device node of the root bus.
class PortRig {
 public:
  explicit PortRig(PortConfig config = {});
  ~PortRig();
  PortRig(const PortRig&) = delete;
  PortRig& operator=(const PortRig&) = delete;

  sim::Machine& Machine() { return machine_; }
  PDEVICE_OBJECT Device() const { return device_; }
  PPORT_EXTENSION Extension() const { return PortExtension(device_); }
  PDRIVER_OBJECT Driver() const { return driver_; }
  // The Win32 path an application opens.
  std::u16string Path();

  HANDLE Open(DWORD flags = 0);
  // Runs `body` as a routine of the port driver (its pool, its verifier frame).
  void AsDriver(const std::function<void()>& body);

 private:
  sim::Machine machine_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

// A device-control request's outcome as the application sees it.
struct IoctlResult {
  NTSTATUS status;
  DWORD returned;
};

IoctlResult Ioctl(HANDLE handle, ULONG code, const void* in = nullptr, DWORD inSize = 0, void* out = nullptr,
                  DWORD outSize = 0);

// An OVERLAPPED with a manual-reset event of its own.
OVERLAPPED WithEvent();

// Base fixture: a port of variant 0, opened by the test where it needs it.
class PortTest : public ::testing::Test {
 protected:
  explicit PortTest(PortConfig config = {}) : rig_(config) {}
  PPORT_EXTENSION Ext() { return rig_.Extension(); }

  PortRig rig_;
};

}  // namespace porttest
