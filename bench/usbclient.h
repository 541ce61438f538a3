// What the USB benchmarks do as a client driver straight above a device's
// PDO: send a URB in an IRP of their own and wait for it, and select the
// device's first configuration.
#pragma once

#include <vector>

#include "sim/ddk/ntddk.h"
#include "sim/usb/controller.h"

namespace bench {

// Sends `urb` to `pdo` in an IRP of the calling driver and waits for it.
NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PURB urb);

// Selects the first configuration of the device on `port`, every pipe with a
// 1 MB maximum transfer size; the pipe handles in the interface's order.
std::vector<USBD_PIPE_HANDLE> SelectFirstConfiguration(PDEVICE_OBJECT pdo, sim::usb::HostController& controller,
                                                       int port);

}  // namespace bench
