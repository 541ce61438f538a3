#include "bench/benchdriver.h"

#include "sim/kernel/thread.h"

namespace bench {

namespace {

NTSTATUS NTAPI Trampoline(PDEVICE_OBJECT device, PIRP irp) { return DeviceOf(device).dispatch(device, irp); }

void NTAPI Unload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& major : driver->MajorFunction) major = Trampoline;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

}  // namespace

BenchDevice& DeviceOf(PDEVICE_OBJECT device) { return *(BenchDevice*)device->DeviceExtension; }

PDRIVER_OBJECT LoadDriver(sim::Machine& machine, const std::u16string& name) { return machine.LoadDriver(name, Entry); }

PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, DispatchRoutine dispatch) {
  PDEVICE_OBJECT device = nullptr;
  AsDriver(driver, [&] { IoCreateDevice(driver, sizeof(BenchDevice), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device); });
  DeviceOf(device) = BenchDevice{dispatch, nullptr};
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

void Attach(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower) {
  AsDriver(upper->DriverObject, [&] { DeviceOf(upper).lower = IoAttachDeviceToDeviceStack(upper, lower); });
}

void Delete(PDEVICE_OBJECT device) {
  AsDriver(device->DriverObject, [&] {
    if (PDEVICE_OBJECT lower = DeviceOf(device).lower) IoDetachDevice(lower);
    IoDeleteDevice(device);
  });
}

}  // namespace bench
