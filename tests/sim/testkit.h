// Small drivers for tests of the simulated kernel: a driver whose dispatch
// routines are C++ callables, so a test can build a stack of two or three
// devices and script what each level does with an IRP.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>

#include "sim/ddk/ntddk.h"
#include "sim/kernel/machine.h"

namespace testkit {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// What one test device does; its device extension points here.
struct Behaviour {
  std::array<Dispatch, IRP_MJ_MAXIMUM_FUNCTION + 1> dispatch;
  PDEVICE_OBJECT lower = nullptr;  // the device below, after Attach
};

// Loads a driver named `name` whose every major function goes to the
// Behaviour of the device it is sent to (unset: STATUS_INVALID_DEVICE_REQUEST).
PDRIVER_OBJECT LoadDriver(sim::Machine& machine, const std::u16string& name);

// Creates a device of `driver` run by `behaviour` (which must outlive it),
// optionally named, with DO_DEVICE_INITIALIZING cleared.
PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, Behaviour& behaviour, const std::u16string& name = u"");

// Attaches `upper` on top of `lower`'s stack and records the lower device.
void Attach(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower);

// Detaches and deletes a device made by CreateDevice.
void Delete(PDEVICE_OBJECT device);

// Completes `irp` with `status` and `information`; returns `status`.
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0, CCHAR boost = IO_NO_INCREMENT);

// Passes `irp` down to the behaviour's lower device with the stack location skipped.
NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp);

// An IRP for `device`'s stack with its first location set to `major`, as a
// driver would allocate it; the test owns it and must free it.
PIRP NewIrp(PDEVICE_OBJECT device, UCHAR major);

// Runs `body` as if it were a routine of `driver` (for calls that need a
// driver context, such as fault injection or ownership rules).
void AsDriver(PDRIVER_OBJECT driver, const std::function<void()>& body);

}  // namespace testkit
