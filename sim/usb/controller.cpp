#include "sim/usb/controller.h"

#include "sim/kernel/machine.h"
#include "sim/usb/bus.h"
#include "sim/usb/pdo.h"

namespace sim::usb {

namespace {

Port* Find(Bus& bus, int port) {
  if (port < 1 || port > (int)bus.ports_.size()) return nullptr;
  return &bus.ports_[port - 1];
}

}  // namespace

HostController::HostController(ControllerOptions options) : bus_(std::make_unique<Bus>(options)) {}

HostController::~HostController() = default;

int HostController::Plug(std::shared_ptr<DeviceModel> model, const DeviceFaults& faults) {
  return bus_->Plug(std::move(model), faults);
}

void HostController::Unplug(int port) {
  // Telling the Plug and Play manager needs PASSIVE_LEVEL: from higher up the
  // hub's thread does it.
  if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
    Bus* bus = bus_.get();
    bus->RunOnHubThread([bus, port] { bus->Unplug(port); });
    return;
  }
  bus_->Unplug(port);
}

PDEVICE_OBJECT HostController::Pdo(int port) {
  std::lock_guard guard(bus_->lock_);
  Port* p = Find(*bus_, port);
  return p && p->pdo ? p->pdo->DeviceObject() : nullptr;
}

bool HostController::RemoteWakeup(int port) {
  PDEVICE_OBJECT pdo = Pdo(port);
  return pdo && UsbPdo::FromDevice(pdo)->FinishWaitWake(STATUS_SUCCESS);
}

std::shared_ptr<DeviceModel> HostController::Model(int port) {
  std::lock_guard guard(bus_->lock_);
  Port* p = Find(*bus_, port);
  return p && p->device ? p->device->model : nullptr;
}

UCHAR HostController::Address(int port) {
  std::lock_guard guard(bus_->lock_);
  Port* p = Find(*bus_, port);
  return p && p->device ? p->device->address : 0;
}

ULONG HostController::PortStatus(int port) {
  std::lock_guard guard(bus_->lock_);
  Port* p = Find(*bus_, port);
  if (!p || !p->device) return 0;
  return USBD_PORT_CONNECTED | (p->enabled ? USBD_PORT_ENABLED : 0);
}

void HostController::DisablePort(int port) { bus_->DisablePort(port); }

void HostController::SetFaults(int port, const DeviceFaults& faults) {
  std::lock_guard guard(bus_->lock_);
  Port* p = Find(*bus_, port);
  if (!p || !p->device) return;
  p->device->faults = faults;
  p->device->controlFailuresLeft = faults.failControlFirst;
  bus_->Notify();
}

void HostController::SetSurpriseRemovalOk(int port, bool ok) {
  std::lock_guard guard(bus_->lock_);
  if (Port* p = Find(*bus_, port)) p->surpriseRemovalOk = ok;
}

void HostController::SetTimed(bool timed) {
  std::lock_guard guard(bus_->lock_);
  bus_->timed_ = timed;
  bus_->Notify();
}

bool HostController::Timed() {
  std::lock_guard guard(bus_->lock_);
  return bus_->timed_;
}

bool HostController::StartCapture(const std::string& path) {
  std::lock_guard guard(bus_->lock_);
  return bus_->capture_.Open(path, CurrentMachine().Sched().BootSystemTime());
}

void HostController::StopCapture() {
  std::lock_guard guard(bus_->lock_);
  bus_->capture_.Close();
}

uint64_t HostController::CapturedRecords() {
  std::lock_guard guard(bus_->lock_);
  return bus_->capture_.Records();
}

ULONG HostController::FrameNumber() { return (ULONG)bus_->FrameNumberAt(bus_->Now()); }

size_t HostController::PendingTransfers(int port) {
  std::lock_guard guard(bus_->lock_);
  if (!port) return bus_->PendingCount(nullptr);
  Port* p = Find(*bus_, port);
  return p && p->device ? bus_->PendingCount(p->device.get()) : 0;
}

}  // namespace sim::usb
