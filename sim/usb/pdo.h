// The physical device object the root hub makes for each plugged device, and
// its answers: URBs and the port requests (IRP_MJ_INTERNAL_DEVICE_CONTROL),
// Plug and Play and power as a USB hub's PDO gives them.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/ddk/ntddk.h"
#include "sim/kernel/pnp.h"
#include "sim/usb/device.h"

namespace sim::usb {

class Bus;

// The bus driver's object, \Driver\usbhub, whose requests go to the UsbPdo of
// the device object they are sent to.
PDRIVER_OBJECT CreateUsbBusDriver();
void DeleteUsbBusDriver(PDRIVER_OBJECT driver);

class UsbPdo : public sim::Pdo {
 public:
  UsbPdo(Bus& bus, int port, std::shared_ptr<UsbDevice> device);
  ~UsbPdo() override;

  const std::shared_ptr<UsbDevice>& Device() const { return device_; }
  int PortNumber() const { return port_; }
  Bus& BusOf() const { return *bus_; }
  static UsbPdo* FromDevice(PDEVICE_OBJECT device);
  // The controller is going while the Plug and Play manager may still hold
  // this PDO: from now on it answers as a PDO whose device has gone.
  void Orphan() { bus_ = nullptr; }
  // IRP_MN_REMOVE_DEVICE reached it with the device gone: the hub may free it.
  bool Finished() const { return finished_; }
  // The Plug and Play manager still had a node of the same instance (going,
  // held by a handle): the arrival is reported again once that node is gone.
  bool arrivalPending = false;

  // Each runs at the IRQL the request arrives at and completes it (or pends it).
  NTSTATUS Pnp(PIRP irp) override;
  // IRP_MN_WAIT_WAKE is held (one at a time) until the device signals remote
  // wakeup, the request is cancelled or the device goes; a device without
  // remote wakeup fails it. Other power requests as any bus PDO answers them.
  NTSTATUS Power(PIRP irp) override;
  // Completes the held wait-wake request with `status`; false if none is held.
  bool FinishWaitWake(NTSTATUS status);
  NTSTATUS InternalDeviceControl(PIRP irp) override;
  // A request deferred by forced pending, handled now on the controller's
  // thread; its IRP was marked pending when it arrived.
  void Replay(PIRP irp);

  void FillCapabilities(DEVICE_CAPABILITIES& caps) override;
  // USB\VID_xxxx&PID_yyyy&REV_zzzz, then USB\VID_xxxx&PID_yyyy.
  std::vector<std::u16string> HardwareIds() const override;
  // USB\Class_cc&SubClass_ss&Prot_pp, USB\Class_cc&SubClass_ss, USB\Class_cc.
  std::vector<std::u16string> CompatibleIds() const;
  // USB\VID_xxxx&PID_yyyy\<serial number, or the port's location>.
  std::u16string InstancePath() const override;
  std::u16string InstanceId() const;
  bool SurpriseRemovalOk() const;
  void Removed(bool present) override;

 private:
  NTSTATUS Handle(PIRP irp);
  NTSTATUS PortRequest(PIRP irp, ULONG code);
  NTSTATUS QueryId(PIRP irp);
  NTSTATUS QueryText(PIRP irp);
  NTSTATUS WaitWake(PIRP irp);
  static void NTAPI CancelWaitWake(PDEVICE_OBJECT device, PIRP irp);

  Bus* bus_;
  int port_;
  std::shared_ptr<UsbDevice> device_;
  bool finished_ = false;
  std::mutex wakeLock_;
  PIRP waitWake_ = nullptr;  // the held IRP_MN_WAIT_WAKE (wakeLock_)
};

}  // namespace sim::usb
