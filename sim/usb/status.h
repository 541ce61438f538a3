// USBD status codes: the NTSTATUS a bus completes a URB's IRP with, and names for logs.
#pragma once

#include <string>

#include "sim/ddk/ntddk.h"

namespace sim::usb {

// The IRP status that goes with a URB status, as the USB stack maps them:
// cancellation, bad parameters, missing resources and a vanished device have
// their own NTSTATUS; every transfer error on the wire is STATUS_UNSUCCESSFUL.
NTSTATUS NtStatusFromUsbd(USBD_STATUS status);
std::string UsbdStatusName(USBD_STATUS status);

}  // namespace sim::usb
