// Faults a test can inject into one plugged device. They act on the wire, as
// a misbehaving device or cable would; the bus then answers the function
// driver exactly as a real bus does.
#pragma once

#include <cstdint>
#include <set>

#include "sim/kernel/scheduler.h"

namespace sim::usb {

// Ways the bus serves a broken configuration descriptor in place of the
// model's (GET_DESCRIPTOR and what SELECT_CONFIGURATION is checked against).
enum class MalformedDescriptor {
  None,
  ZeroLength,          // an interface descriptor with bLength 0
  ShortLength,         // an endpoint descriptor with bLength 3
  TotalLengthTooLarge, // wTotalLength claims 64 bytes more than the device sends
  NoInterface,         // only the configuration descriptor
  NoEndpoints,         // the first interface declares and has no endpoints
};

struct DeviceFaults {
  // Endpoint addresses that answer STALL to every transaction until the pipe
  // is reset (the stall itself stays: a reset clears the halt, the next
  // transaction stalls again). 0x00 stalls class and vendor control requests.
  std::set<uint8_t> stall;
  // Endpoint addresses that NAK forever: transfers there never complete on
  // their own. 0x00 applies to class and vendor control requests.
  std::set<uint8_t> nakForever;
  // Class and vendor control requests: fail (STALL) the first n, or all.
  uint32_t failControlFirst = 0;
  bool failControlAll = false;
  // Unplug the device once this many data bytes have crossed the bus (its
  // bulk, interrupt and isochronous endpoints); 0: off.
  uint64_t unplugAfterBytes = 0;
  MalformedDescriptor malformedConfiguration = MalformedDescriptor::None;
  // Every request completes no earlier than this long after it was sent.
  Tick slowResponse = 0;
  // Every request returns STATUS_PENDING and completes later from the
  // controller's thread, even when it could complete at once.
  bool forcePending = false;
};

}  // namespace sim::usb
