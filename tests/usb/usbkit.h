// A machine with the simulated USB bus for tests: devices plugged into the
// host controller, a client function driver that the Plug and Play manager
// loads on top of each device's PDO, and URBs sent down that stack the way a
// function driver sends them. Each stack is held open by a file, as an
// application's handle would, so it outlives an unplug until the test ends.
#pragma once

#include <memory>
#include <set>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/usb/adapter.h"
#include "sim/usb/controller.h"
#include "tests/sim/pnp_kit.h"

namespace usbkit {

// A URB sent down a stack and not necessarily finished yet.
struct Call {
  PIRP irp = nullptr;
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS returned = STATUS_PENDING;
  // Waits for completion (the clock runs while it waits) and gives the final status.
  NTSTATUS Wait();
  bool Done();
  BOOLEAN Cancel() { return IoCancelIrp(irp); }
};

class Bus {
 public:
  explicit Bus(sim::usb::ControllerOptions options = {});
  ~Bus();

  // Plugs `model`; the client driver is bound to its hardware ID and loaded on
  // top of its PDO. Returns the port.
  int Plug(std::shared_ptr<sim::usb::DeviceModel> model, const sim::usb::DeviceFaults& faults = {});
  // The top of the stack on `port` (the client device).
  PDEVICE_OBJECT Top(int port);

  sim::Machine machine;
  std::unique_ptr<sim::usb::HostController> controller;

 private:
  struct Client {
    int port;
    PDEVICE_OBJECT top;
    PFILE_OBJECT file;
  };
  std::vector<Client> clients_;
  std::set<std::u16string> bound_;
};

// Sends `urb` to `top` as IOCTL_INTERNAL_USB_SUBMIT_URB (or another internal
// code with `argument` in Argument1) from the calling thread.
std::unique_ptr<Call> Send(PDEVICE_OBJECT top, PVOID argument, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB);
// Sends and waits.
NTSTATUS SendAndWait(PDEVICE_OBJECT top, PVOID argument, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB);
using pnpkit::SendPnp;  // a Plug and Play request to a stack; its final status block

// URBs as function drivers build them.
URB DescriptorUrb(UCHAR type, UCHAR index, USHORT language, PVOID buffer, ULONG length);
URB BulkUrb(USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length, ULONG flags, PMDL mdl = nullptr);
URB VendorUrb(USHORT function, bool in, UCHAR request, USHORT value, USHORT index, PVOID buffer, ULONG length);
URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe);

// The device's first configuration selected with its first interface, as a
// function driver does it; the pipes as the bus returned them.
struct Selected {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  USBD_STATUS usbd = 0;
  USBD_CONFIGURATION_HANDLE configuration = nullptr;
  std::vector<USBD_PIPE_INFORMATION> pipes;  // of the first interface
  UCHAR interfaceClass = 0;
};
Selected SelectFirstConfiguration(PDEVICE_OBJECT top, ULONG maximumTransferSize = 4096);
std::vector<uint8_t> ReadConfiguration(PDEVICE_OBJECT top);

}  // namespace usbkit
