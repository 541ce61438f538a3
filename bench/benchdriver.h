// A minimal driver for benchmarks: every major function of its devices goes
// to one plain dispatch routine stored in the device extension, so a benchmark
// can stack two devices and decide what each level does with an IRP. (The test
// kit in tests/sim has a richer version; benchmarks keep theirs to themselves.)
#pragma once

#include <string>

#include "sim/ddk/ntddk.h"
#include "sim/kernel/machine.h"

namespace bench {

using DispatchRoutine = NTSTATUS (*)(PDEVICE_OBJECT device, PIRP irp);

// What a benchmark device's extension holds.
struct BenchDevice {
  DispatchRoutine dispatch = nullptr;
  PDEVICE_OBJECT lower = nullptr;  // the device below, after Attach
};

BenchDevice& DeviceOf(PDEVICE_OBJECT device);

// Loads a driver whose every major function calls its device's dispatch routine.
PDRIVER_OBJECT LoadDriver(sim::Machine& machine, const std::u16string& name);

// Creates an unnamed device of `driver`, ready for I/O.
PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, DispatchRoutine dispatch);

// Attaches `upper` on top of `lower`'s stack.
void Attach(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower);

// Detaches (if attached) and deletes a device made by CreateDevice.
void Delete(PDEVICE_OBJECT device);

// Runs `body` as a routine of `driver`, so the kernel sees that driver's calls.
template <typename Body>
void AsDriver(PDRIVER_OBJECT driver, Body&& body) {
  sim::FrameScope frame(driver, (const void*)&LoadDriver, sim::FrameKind::Other);
  body();
}

}  // namespace bench
