// The simulated USB host controller with its root hub: the bus driver below
// the USB function drivers. Devices (models) are plugged into root-hub ports;
// the hub enumerates each one and gives it a physical device object (PDO)
// that answers IRP_MJ_INTERNAL_DEVICE_CONTROL (URBs and the port requests),
// Plug and Play and power as a USB hub's PDO does. Transfers that cannot
// complete at once are completed from the controller's own thread.
//
// One controller per machine; create it after the machine and destroy it
// before. Everything here may be called from any simulated thread.
#pragma once

#include <memory>
#include <string>

#include "sim/ddk/ntddk.h"
#include "sim/usb/faults.h"
#include "sim/usb/model.h"

namespace sim::usb {

class Bus;

struct ControllerOptions {
  // Timed mode models the wire: 1 ms frames at full speed with at most 19 bulk
  // packets per frame, 125 us microframes at high speed with at most 13, and
  // interrupt endpoints polled at their bInterval. Otherwise a transfer
  // completes as soon as its data is there.
  bool timed = false;
  int ports = 8;
  std::string pcapPath;  // capture every URB to this file (empty: none)
};

class HostController {
 public:
  explicit HostController(ControllerOptions options = {});
  ~HostController();
  HostController(const HostController&) = delete;
  HostController& operator=(const HostController&) = delete;

  // Plugs `model` into the first free port (1-based number returned, 0 when
  // every port is taken). The hub resets the port and enumerates the device
  // (device descriptor, address, configuration descriptor, strings) before
  // the PDO is reported to the Plug and Play manager.
  int Plug(std::shared_ptr<DeviceModel> model, const DeviceFaults& faults = {});
  // The device on `port` is pulled out: its transfers in flight fail with
  // USBD_STATUS_DEVICE_GONE and the Plug and Play manager sees the node go.
  void Unplug(int port);

  PDEVICE_OBJECT Pdo(int port);
  // The device on `port` signals remote wakeup: the IRP_MN_WAIT_WAKE pending
  // on its PDO completes with STATUS_SUCCESS. False when none was pending.
  bool RemoteWakeup(int port);
  std::shared_ptr<DeviceModel> Model(int port);
  UCHAR Address(int port);
  // USBD_PORT_ENABLED and USBD_PORT_CONNECTED, as IOCTL_INTERNAL_USB_GET_PORT_STATUS reports them.
  ULONG PortStatus(int port);
  // Disables a connected port, as a hub does after an error on it; transfers
  // then fail until the port is enabled or reset again.
  void DisablePort(int port);
  void SetFaults(int port, const DeviceFaults& faults);
  // Whether the device reports SurpriseRemovalOK in its capabilities.
  void SetSurpriseRemovalOk(int port, bool ok);

  void SetTimed(bool timed);
  bool Timed();
  bool StartCapture(const std::string& path);
  void StopCapture();
  uint64_t CapturedRecords();
  // The bus's frame number (1 ms frames since the machine booted).
  ULONG FrameNumber();
  // Transfers still in flight on `port` (0: on every port).
  size_t PendingTransfers(int port = 0);

  Bus& Internals() { return *bus_; }

 private:
  std::unique_ptr<Bus> bus_;
};

}  // namespace sim::usb
