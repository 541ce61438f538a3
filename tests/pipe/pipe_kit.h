// The pipe driver's test fixture: a machine with merrow installed as the
// function driver of the USB-serial adapter, the adapter plugged into the
// simulated USB bus, and the application's view of merrow's pipes through
// the device interface and sim/win32.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pipe/routines.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/ustring.h"
#include "sim/usb/adapter.h"
#include "sim/usb/controller.h"
#include "sim/win32/win32.h"
#include "tests/sim/pnp_kit.h"

extern "C" NTSTATUS NTAPI MerrowDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace pipetest {

using namespace win32;

using Values = std::vector<std::pair<std::u16string, sim::RegistryValue>>;

// One URB as merrow sent it, recorded before the bus touched it.
struct UrbRecord {
  USHORT function = 0;
  UCHAR descriptorType = 0;     // GET_DESCRIPTOR_FROM_DEVICE
  ULONG length = 0;             // transfer length asked for (descriptor, bulk, vendor)
  bool configuration = false;   // SELECT_CONFIGURATION with a descriptor (false: unconfigure)
  USBD_PIPE_HANDLE pipe = nullptr;  // pipe requests and transfers
};

// A lower filter below merrow ("urbfilter"), between it and the hub's PDO: it
// records every URB merrow sends and lets a test answer chosen URBs itself.
// Everything else passes through untouched.
struct UrbFilter {
  // Answers a URB in place of the bus when it returns a status (the filter
  // completes the request with it); std::nullopt passes the URB down.
  std::function<std::optional<NTSTATUS>(PURB urb)> answer;
  // Sees every URB the bus has finished, before merrow does (at up to
  // DISPATCH_LEVEL); it may change what the bus returned.
  std::function<void(PURB urb)> completed;
  std::vector<UrbRecord> Records();
  // The records of one URB function.
  std::vector<UrbRecord> Of(USHORT function);
  void Clear();

  std::mutex mutex;
  std::vector<UrbRecord> records;
  std::atomic<PDEVICE_OBJECT> upper{nullptr};  // merrow's device, once it sent a URB
};

// How a test wants its device: the adapter model, faults on the wire, and
// values put into the device node's hardware key before merrow is loaded.
struct PipeConfig {
  sim::usb::AdapterConfig adapter;
  sim::usb::DeviceFaults faults;
  Values values;
  bool plug = true;  // plug the adapter when the rig is built
  UrbFilter* filter = nullptr;  // installed below merrow when set
  // A test's own adapter (a subclass answering more), made with `adapter`;
  // when empty the rig makes a plain one.
  std::shared_ptr<sim::usb::SerialAdapter> model;
  sim::usb::ControllerOptions bus;
};

// The adapter's hardware ID (without revision), which merrow serves.
std::u16string HardwareId(const sim::usb::AdapterConfig& adapter);
// The hardware key of the adapter's device node, known before it is plugged.
std::u16string HardwareKeyOf(const sim::usb::AdapterConfig& adapter);

class PipeRig {
 public:
  explicit PipeRig(PipeConfig config = {}, sim::MachineOptions options = {});
  ~PipeRig();
  PipeRig(const PipeRig&) = delete;
  PipeRig& operator=(const PipeRig&) = delete;

  // Plugs the adapter (if not plugged yet) and waits until the PnP manager has
  // finished with it. Returns whether merrow's device started. Without
  // `wait`, returns at once, with the PnP manager at work on the device.
  bool Plug(bool wait = true);
  // Pulls the adapter out; merrow sees a surprise removal, then the removal
  // once the last handle is closed.
  void Unplug();
  // Plugs the adapter in again after Unplug (a new root-hub port); returns
  // whether merrow's device started.
  bool Replug();
  // Orderly removal of the adapter's node (query-remove, remove).
  bool Remove();

  sim::Machine& Machine() { return machine_; }
  sim::PnpManager& Pnp() { return machine_.Pnp(); }
  sim::usb::HostController& Usb() { return *usb_; }
  std::shared_ptr<sim::usb::SerialAdapter> Adapter() const { return adapter_; }
  int Port() const { return port_; }
  sim::DeviceNode* Node();
  // merrow's device object while it exists.
  PDEVICE_OBJECT Device();
  PPIPE_DEVICE_EXTENSION Extension();
  PDRIVER_OBJECT Driver() { return machine_.Pnp().LoadedDriver(u"merrow"); }
  std::u16string HardwareKey() const { return HardwareKeyOf(config_.adapter); }

  // The enabled GUID_PIPE_DRIVER_INTERFACE links (NT form, \??\...).
  std::vector<std::u16string> Links();
  // The first of them; empty when none is enabled.
  std::u16string Link();
  // Opens the link followed by `pipe` (u"" for a device handle, u"\\PIPE00"...).
  HANDLE Open(const std::u16string& pipe, DWORD flags = 0);

  // Runs `body` as a routine of merrow (its pool, its verifier frame).
  void AsDriver(const std::function<void()>& body);

 private:
  PipeConfig config_;
  sim::Machine machine_;
  std::unique_ptr<sim::usb::HostController> usb_;
  std::shared_ptr<sim::usb::SerialAdapter> adapter_;
  int port_ = 0;
  bool unplugged_ = false;
};

using pnpkit::SendPnp;

// A device-control request's outcome as the application sees it.
struct IoctlResult {
  NTSTATUS status;
  DWORD returned;
};
IoctlResult Ioctl(HANDLE handle, ULONG code, const void* in = nullptr, DWORD inSize = 0, void* out = nullptr,
                  DWORD outSize = 0);

// Base fixture: the default adapter plugged in and merrow started on it.
class PipeTest : public ::testing::Test {
 protected:
  explicit PipeTest(PipeConfig config = {}) : rig_(config) {}
  PPIPE_DEVICE_EXTENSION Ext() { return rig_.Extension(); }

  PipeRig rig_;
};

}  // namespace pipetest
