#include "tests/sim/testkit.h"

#include "sim/kernel/thread.h"

namespace testkit {

namespace {

Behaviour& BehaviourOf(PDEVICE_OBJECT device) { return **(Behaviour**)device->DeviceExtension; }

NTSTATUS NTAPI Trampoline(PDEVICE_OBJECT device, PIRP irp) {
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  Dispatch& dispatch = BehaviourOf(device).dispatch[major];
  if (!dispatch) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  return dispatch(device, irp);
}

void NTAPI Unload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& major : driver->MajorFunction) major = Trampoline;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

}  // namespace

PDRIVER_OBJECT LoadDriver(sim::Machine& machine, const std::u16string& name) { return machine.LoadDriver(name, Entry); }

PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, Behaviour& behaviour, const std::u16string& name) {
  std::u16string copy = name;
  UNICODE_STRING unicode{(USHORT)(copy.size() * 2), (USHORT)(copy.size() * 2), (PWSTR)copy.data()};
  PDEVICE_OBJECT device = nullptr;
  AsDriver(driver, [&] {
    IoCreateDevice(driver, sizeof(Behaviour*), name.empty() ? nullptr : &unicode, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  });
  *(Behaviour**)device->DeviceExtension = &behaviour;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

void Attach(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower) {
  BehaviourOf(upper).lower = IoAttachDeviceToDeviceStack(upper, lower);
}

void Delete(PDEVICE_OBJECT device) {
  AsDriver(device->DriverObject, [&] {
    if (PDEVICE_OBJECT lower = BehaviourOf(device).lower) IoDetachDevice(lower);
    IoDeleteDevice(device);
  });
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information, CCHAR boost) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, boost);
  return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(BehaviourOf(device).lower, irp);
}

PIRP NewIrp(PDEVICE_OBJECT device, UCHAR major) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  std::memset(next, 0, sizeof *next);
  next->MajorFunction = major;
  return irp;
}

void AsDriver(PDRIVER_OBJECT driver, const std::function<void()>& body) {
  sim::FrameScope frame(driver, (const void*)&AsDriver, sim::FrameKind::Other);
  body();
}

}  // namespace testkit
