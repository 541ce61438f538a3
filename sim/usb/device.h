// The bus's records of what is plugged in: a device with its address and
// configuration, its endpoints (pipes) with their queues of transfers, and a
// transfer in flight. All of it is guarded by the bus lock.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>

#include "sim/ddk/ntddk.h"
#include "sim/usb/faults.h"
#include "sim/usb/model.h"

namespace sim::usb {

struct UsbDevice;
struct Endpoint;

enum class TransferKind { Control, Bulk, Interrupt, Isochronous };

// One URB in flight (or one request of the hub's own, which has no IRP).
struct Transfer {
  PIRP irp = nullptr;
  PURB urb = nullptr;
  uint64_t captureId = 0;                 // the IRP's address, or a number for the hub's requests
  UCHAR address = 0;                      // the device's address when it was sent
  std::shared_ptr<UsbDevice> device;
  std::shared_ptr<Endpoint> endpoint;
  TransferKind kind = TransferKind::Bulk;
  USHORT function = 0;                    // URB function, for the capture
  bool in = false;
  bool shortOk = false;
  uint8_t* buffer = nullptr;
  ULONG length = 0;
  ULONG moved = 0;
  SetupPacket setup;                      // control transfers
  // Control transfers with an effect on the bus (SET_CONFIGURATION): run when
  // the device acknowledged the status stage; returns the URB's status.
  std::function<USBD_STATUS()> apply;
  bool hasLength = true;                  // the URB has a TransferBufferLength to report
  bool cancelRoutineSet = false;
  Tick notBefore = 0;                     // slow responses: not serviced before this time
  uint64_t eligibleUnit = 0;              // timed mode: first (micro)frame it may use
  uint64_t completeAtUnit = 0;            // timed mode: completes when this (micro)frame starts
  uint64_t startFrame = 0;                // isochronous: its first frame
  ULONG latePackets = 0;                  // isochronous: packets whose frame had passed when it was sent
  bool cancelling = false;                // its cancel routine owns it now
  bool finished = false;
  USBD_STATUS status = USBD_STATUS_PENDING;
};

using TransferList = std::list<std::unique_ptr<Transfer>>;

// A pipe: the default control pipe or an endpoint of the current configuration.
struct Endpoint {
  EndpointInfo info;
  USBD_PIPE_HANDLE handle = nullptr;
  ULONG maxTransfer = 0;
  UCHAR interfaceNumber = 0;
  bool halted = false;
  // The device's own ENDPOINT_HALT feature (SET_FEATURE): every transaction
  // stalls until CLEAR_FEATURE, whatever the host does to its side.
  bool deviceHalted = false;
  bool nakked = false;                    // the device NAKed; retried after a Notify
  USBD_STATUS haltStatus = USBD_STATUS_SUCCESS;
  TransferList queue;
  uint64_t nextIsoFrame = 0;              // USBD_START_ISO_TRANSFER_ASAP continues from here
  UCHAR Address() const { return info.address; }
};

struct SelectedInterface {
  UCHAR number = 0, alternate = 0;
  USBD_INTERFACE_HANDLE handle = nullptr;
  std::vector<std::shared_ptr<Endpoint>> pipes;
};

struct UsbDevice {
  std::shared_ptr<DeviceModel> model;
  DeviceFaults faults;
  Speed speed = Speed::Full;
  int port = 0;
  UCHAR address = 0;
  UCHAR maxPacket0 = 8;
  bool gone = false;                      // unplugged: everything fails with USBD_STATUS_DEVICE_GONE
  bool removed = false;                   // IRP_MN_REMOVE_DEVICE reached the PDO
  UCHAR configurationValue = 0;           // 0: unconfigured
  USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
  ConfigurationInfo configuration;        // as the function driver selected it
  std::vector<SelectedInterface> interfaces;
  std::shared_ptr<Endpoint> control;      // endpoint 0
  uint32_t controlFailuresLeft = 0;       // DeviceFaults::failControlFirst, counting down
  uint64_t dataBytes = 0;                 // for DeviceFaults::unplugAfterBytes
  bool unplugRequested = false;          // the unplug fault struck; the hub thread unplugs it
  bool unplugQueued = false;
  std::u16string product, serial;         // strings read at enumeration

  // The pipe `handle` names in the current configuration, or nullptr.
  std::shared_ptr<Endpoint> FindPipe(USBD_PIPE_HANDLE handle) const;
  std::vector<std::shared_ptr<Endpoint>> Pipes() const;
  USB_DEVICE_DESCRIPTOR DeviceDescriptor() const;
};

}  // namespace sim::usb
