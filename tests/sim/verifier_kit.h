// What the verifier's tests share: a scripted device with its own driver, and
// a request sent to it the way an application's request arrives (a thread IRP
// the I/O manager builds and frees).
#pragma once

#include <string>

#include "sim/kernel/machine.h"
#include "tests/sim/testkit.h"

namespace verifierkit {

constexpr ULONG kTestIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kTag = 0x74736554;  // 'Test'

// A driver named `name` with one device run by a scripted behaviour. The
// device is deleted when this goes (devices above first, as declared later).
struct TestDevice {
  TestDevice(sim::Machine& machine, const std::u16string& name)
      : driver(testkit::LoadDriver(machine, name)), device(testkit::CreateDevice(driver, behaviour)) {}
  ~TestDevice() { testkit::Delete(device); }
  TestDevice(const TestDevice&) = delete;
  TestDevice& operator=(const TestDevice&) = delete;

  testkit::Dispatch& OnIoctl() { return behaviour.dispatch[IRP_MJ_DEVICE_CONTROL]; }
  void AttachTo(TestDevice& lower) { testkit::Attach(device, lower.device); }
  PDEVICE_OBJECT Lower() const { return behaviour.lower; }

  testkit::Behaviour behaviour;
  PDRIVER_OBJECT driver;
  PDEVICE_OBJECT device;
};

// Makes `function` pend every request and keep it in `held` until the test
// completes it.
inline void HoldRequests(TestDevice& function, PIRP& held) {
  function.OnIoctl() = [&held](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
}

// A device control request from the application thread.
struct Request {
  Request() { KeInitializeEvent(&event, NotificationEvent, FALSE); }

  // Builds the IRP and calls the top of `device`'s stack; returns what the
  // dispatch routine returned.
  NTSTATUS Send(PDEVICE_OBJECT device) {
    irp = IoBuildDeviceIoControlRequest(kTestIoctl, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    return IoCallDriver(device, irp);
  }
  // Waits until the I/O manager finished the request; returns its final status.
  NTSTATUS Wait() {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
  }
  NTSTATUS SendAndWait(PDEVICE_OBJECT device) {
    NTSTATUS status = Send(device);
    return status == STATUS_PENDING ? Wait() : status;
  }

  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = nullptr;  // freed by the I/O manager once completed
};

}  // namespace verifierkit
