// The port driver's test fixture: a machine with tolvane loaded, one port on
// a root-bus device node, and the application's view of it through sim/win32.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "port/routines.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/thread.h"
#include "sim/kernel/ustring.h"
#include "sim/win32/comm.h"
#include "sim/win32/win32.h"

extern "C" NTSTATUS NTAPI TolvaneDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace porttest {

using namespace win32;

constexpr LONGLONG kMs = 10'000;  // kernel clock ticks

inline LONGLONG Now() { return (LONGLONG)KeQueryInterruptTime(); }

using Values = std::vector<std::pair<std::u16string, sim::RegistryValue>>;

// How a test wants its port configured: the values of the device node's
// hardware key. PortName is COM7 unless `values` names it (or `portName` is
// false); EndPointCaps and TargetDevice are written only when set.
struct PortConfig {
  ULONG endPointCaps = 0;
  bool exclusive = true;  // the device node's Exclusive property (the Ports class sets it)
  std::u16string targetMatch;
  Values values;          // more values; one of the same name replaces the default
  bool portName = true;
  std::vector<std::u16string> lowerFilters;          // services below the port
  std::function<void(sim::Machine&)> beforeAdd;      // installs what the node needs besides tolvane
};

constexpr char16_t kInstancePath[] = u"ROOT\\PORTS\\0000";
constexpr char16_t kHardwareId[] = u"ROOT\\TOLVANE";

// A machine whose Plug and Play manager added one port device node of the
// root bus, ROOT\PORTS\0000 (hardware ID ROOT\TOLVANE), served by tolvane.
class PortRig {
 public:
  explicit PortRig(PortConfig config = {}, sim::MachineOptions options = {});
  ~PortRig();
  PortRig(const PortRig&) = delete;
  PortRig& operator=(const PortRig&) = delete;

  sim::Machine& Machine() { return machine_; }
  sim::PnpManager& Pnp() { return machine_.Pnp(); }
  sim::DeviceNode* Node() const { return node_; }
  // The port's device object while the node has one.
  PDEVICE_OBJECT Device() const { return node_ ? node_->Top() : nullptr; }
  PPORT_EXTENSION Extension() const { return PortExtension(Device()); }
  PDRIVER_OBJECT Driver() { return machine_.Pnp().LoadedDriver(u"tolvane"); }
  std::u16string HardwareKey() const { return node_->HardwareKeyPath(); }
  // The Win32 path an application opens.
  std::u16string Path() const { return u"\\\\.\\COM7"; }

  HANDLE Open(DWORD flags = 0);
  // Runs `body` as a routine of the port driver (its pool, its verifier frame).
  void AsDriver(const std::function<void()>& body);
  // Orderly removal of the port's device node (at the latest by the destructor).
  bool Remove();

 private:
  sim::Machine machine_;
  sim::DeviceNode* node_ = nullptr;
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
