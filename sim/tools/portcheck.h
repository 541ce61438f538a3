// The simulator's show of tolvane bound to merrow: the binding when the
// adapter is plugged in, settings reaching the device as control messages,
// text from the far end of the line, a modem-line change, the adapter pulled
// out and plugged in again under the open port; the write path
// (writecheck.cpp); a system sleep and wake (powercheck.cpp); then each device
// variant against an adapter that speaks it.
#pragma once

#include <memory>

#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/usb/adapter.h"
#include "sim/usb/controller.h"

namespace simulator {

// Plugs `adapter` in for the port of `portNode` (COM7) and uses the bound
// port. Returns the root-hub port the adapter is plugged into at the end (0
// when it could not be plugged).
int UseBoundPort(sim::Machine& machine, sim::usb::HostController& usb, sim::DeviceNode* portNode,
                 const std::shared_ptr<sim::usb::SerialAdapter>& adapter);

// The write path: 64 KB at the line rate through the loopback plug of a
// variant-2 port of its own (COM8), then on COM7, bound to `adapter` with its
// far end played here: the immediate character, transmit-empty, flush, purge,
// a total timeout and a close with writes queued.
void ShowWrites(sim::Machine& machine, sim::usb::HostController& usb, sim::DeviceNode* portNode,
                sim::usb::SerialAdapter& adapter);

// A system sleep (S3) and wake under COM7, open again and bound to `adapter`
// whose far end is played here: the power manager's requests to the port's
// and merrow's stacks, the data path stopped with the pipes open and a read
// pending, a write waiting for the wake; after it the settings replayed on the
// bus, the pending read and the waiting write ended, and a write on the same
// handle.
void ShowSleepAndWake(sim::DeviceNode* portNode, sim::usb::SerialAdapter& adapter);

// EndPointCaps 0 to 3 (3 with and without a status pipe), each on a port of
// its own bound to an adapter of that variant, added and removed in turn.
void ShowDeviceVariants(sim::Machine& machine, sim::usb::HostController& usb);

}  // namespace simulator
