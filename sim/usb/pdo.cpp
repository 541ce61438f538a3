// The PDO of a plugged device: the port requests and URBs, and its Plug and
// Play answers as a USB hub gives them (the rest as any bus's PDO, sim::Pdo).
#include "sim/usb/pdo.h"

#include <cstdio>

#include "sim/kernel/machine.h"
#include "sim/kernel/object.h"
#include "sim/kernel/ustring.h"
#include "sim/kernel/verifier.h"
#include "sim/usb/bus.h"

namespace sim::usb {

namespace {

thread_local bool replaying = false;

std::u16string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
  return Widen(text);
}

std::u16string Hex2(unsigned value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02x", value & 0xFF);
  return Widen(text);
}

// A REG_MULTI_SZ-style list in paged pool, as IRP_MN_QUERY_ID returns it.
PWCHAR PoolStrings(const std::vector<std::u16string>& strings) {
  size_t chars = 1;
  for (const auto& s : strings) chars += s.size() + 1;
  auto out = (PWCHAR)ExAllocatePool(PagedPool, chars * sizeof(WCHAR));
  if (!out) return nullptr;
  PWCHAR at = out;
  for (const auto& s : strings) {
    std::memcpy(at, s.data(), s.size() * sizeof(WCHAR));
    at += s.size();
    *at++ = 0;
  }
  *at = 0;
  return out;
}

}  // namespace

PDRIVER_OBJECT CreateUsbBusDriver() { return sim::CreateBusDriver(u"usbhub"); }

void DeleteUsbBusDriver(PDRIVER_OBJECT driver) { CurrentMachine().Objects().DeleteDriver(driver); }

UsbPdo::UsbPdo(Bus& bus, int port, std::shared_ptr<UsbDevice> device)
    : sim::Pdo(bus.driver_, FILE_DEVICE_USB), bus_(&bus), port_(port), device_(std::move(device)) {}

UsbPdo::~UsbPdo() = default;

UsbPdo* UsbPdo::FromDevice(PDEVICE_OBJECT device) {
  return static_cast<UsbPdo*>(*(sim::Pdo**)device->DeviceExtension);
}

void UsbPdo::Removed(bool present) {
  FinishWaitWake(STATUS_NO_SUCH_DEVICE);
  device_->removed = true;
  if (present || !bus_) return;
  finished_ = true;
  Bus* bus = bus_;
  bus->RunOnHubThread([bus] { bus->CollectFinishedPdos(); });
}

NTSTATUS UsbPdo::InternalDeviceControl(PIRP irp) {
  if (!bus_) {
    irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NO_SUCH_DEVICE;
  }
  bool defer;
  {
    std::lock_guard guard(bus_->lock_);
    defer = device_->faults.forcePending && !replaying;
  }
  if (defer && !bus_->Stopping()) {
    IoMarkIrpPending(irp);
    bus_->Defer(this, irp, bus_->Now());
    return STATUS_PENDING;
  }
  return Handle(irp);
}

void UsbPdo::Replay(PIRP irp) {
  replaying = true;
  Handle(irp);
  replaying = false;
}

NTSTATUS UsbPdo::Handle(PIRP irp) {
  ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: return bus_->SubmitUrb(*this, irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
    case IOCTL_INTERNAL_USB_ENABLE_PORT:
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
    case IOCTL_INTERNAL_USB_GET_HUB_COUNT: return PortRequest(irp, code);
    default: return bus_->CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS UsbPdo::PortRequest(PIRP irp, ULONG code) {
  PVOID argument = IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
  if (code == IOCTL_INTERNAL_USB_GET_HUB_COUNT) {
    if (!argument) return bus_->CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    ++*(PULONG)argument;
    return bus_->CompleteRequest(irp, STATUS_SUCCESS);
  }
  if (code == IOCTL_INTERNAL_USB_RESET_PORT || code == IOCTL_INTERNAL_USB_CYCLE_PORT)
    RequireIrqlAtMost(PASSIVE_LEVEL, Rule::IrqlPassive,
                      code == IOCTL_INTERNAL_USB_RESET_PORT ? "IOCTL_INTERNAL_USB_RESET_PORT" : "IOCTL_INTERNAL_USB_CYCLE_PORT");
  bool present, enabled = false;
  {
    std::lock_guard guard(bus_->lock_);
    Port* port = bus_->PortOf(*device_);
    present = port && !device_->gone;
    if (present) enabled = port->enabled;
    if (present && code == IOCTL_INTERNAL_USB_ENABLE_PORT) port->enabled = true;
  }
  if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
    if (!argument) return bus_->CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    *(PULONG)argument = (present ? USBD_PORT_CONNECTED : 0) | (enabled ? USBD_PORT_ENABLED : 0);
    return bus_->CompleteRequest(irp, STATUS_SUCCESS);
  }
  if (!present) return bus_->CompleteRequest(irp, STATUS_DEVICE_NOT_CONNECTED);
  if (code == IOCTL_INTERNAL_USB_RESET_PORT) bus_->ResetPort(*device_);
  if (code == IOCTL_INTERNAL_USB_CYCLE_PORT) bus_->CyclePort(port_);
  return bus_->CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS UsbPdo::Pnp(PIRP irp) {
  if (!bus_) return sim::Pdo::Pnp(irp);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_QUERY_ID: return QueryId(irp);
    case IRP_MN_QUERY_DEVICE_TEXT: return QueryText(irp);
    case IRP_MN_SURPRISE_REMOVAL:
      FinishWaitWake(STATUS_NO_SUCH_DEVICE);
      break;
    case IRP_MN_REMOVE_DEVICE: {
      std::lock_guard guard(bus_->lock_);
      size_t pending = device_->control->queue.size();
      for (auto& pipe : device_->Pipes()) pending += pipe->queue.size();
      if (pending)
        VerifierStop(Rule::UrbLeak, irp, "IRP_MN_REMOVE_DEVICE reached the USB PDO with %zu transfers still outstanding",
                     pending);
      break;
    }
    default: break;
  }
  return sim::Pdo::Pnp(irp);
}

NTSTATUS UsbPdo::Power(PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_WAIT_WAKE) return sim::Pdo::Power(irp);
  PoStartNextPowerIrp(irp);
  return WaitWake(irp);
}

NTSTATUS UsbPdo::WaitWake(PIRP irp) {
  auto fail = [irp](NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  };
  if (!bus_ || device_->removed) return fail(STATUS_NO_SUCH_DEVICE);
  DEVICE_CAPABILITIES caps{};
  FillCapabilities(caps);
  if (caps.SystemWake == PowerSystemUnspecified) return fail(STATUS_NOT_SUPPORTED);
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.WaitWake.PowerState > caps.SystemWake)
    return fail(STATUS_INVALID_DEVICE_STATE);
  std::unique_lock guard(wakeLock_);
  if (waitWake_) {
    guard.unlock();
    return fail(STATUS_DEVICE_BUSY);
  }
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelWaitWake);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    guard.unlock();
    fail(STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  waitWake_ = irp;
  return STATUS_PENDING;
}

// The request stays held while its cancel routine is on its way: that routine
// finds it still held and completes it.
bool UsbPdo::FinishWaitWake(NTSTATUS status) {
  PIRP irp;
  {
    std::lock_guard guard(wakeLock_);
    irp = waitWake_;
    if (!irp || !IoSetCancelRoutine(irp, nullptr)) return false;
    waitWake_ = nullptr;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return true;
}

void NTAPI UsbPdo::CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  UsbPdo* pdo = FromDevice(device);
  {
    std::lock_guard guard(pdo->wakeLock_);
    if (pdo->waitWake_ != irp) return;
    pdo->waitWake_ = nullptr;
  }
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS UsbPdo::QueryId(PIRP irp) {
  std::vector<std::u16string> ids;
  USB_DEVICE_DESCRIPTOR d = device_->DeviceDescriptor();
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID: ids = {u"USB\\VID_" + Hex4(d.idVendor) + u"&PID_" + Hex4(d.idProduct)}; break;
    case BusQueryHardwareIDs: ids = HardwareIds(); break;
    case BusQueryCompatibleIDs: ids = CompatibleIds(); break;
    case BusQueryInstanceID: ids = {InstanceId()}; break;
    default: {
      NTSTATUS status = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
  }
  PWCHAR list = PoolStrings(ids);
  irp->IoStatus.Information = (ULONG_PTR)list;
  irp->IoStatus.Status = list ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbPdo::QueryText(PIRP irp) {
  std::u16string text = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceText.DeviceTextType ==
                                DeviceTextDescription
                            ? (device_->product.empty() ? u"USB Device" : device_->product)
                            : u"Port_#" + Hex4(port_) + u".Hub_#0001";
  PWCHAR out = PoolStrings({text});
  irp->IoStatus.Information = (ULONG_PTR)out;
  NTSTATUS status = irp->IoStatus.Status = out ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

bool UsbPdo::SurpriseRemovalOk() const {
  std::lock_guard guard(bus_->lock_);
  return bus_->ports_[port_ - 1].surpriseRemovalOk;
}

void UsbPdo::FillCapabilities(DEVICE_CAPABILITIES& caps) {
  Bytes configuration;
  {
    std::lock_guard guard(bus_->lock_);
    configuration = bus_->ConfigurationBlock(*device_, 0);
  }
  bool remoteWakeup = configuration.size() > 7 && (configuration[7] & USB_CONFIG_REMOTE_WAKEUP);
  caps.DeviceD1 = FALSE;
  caps.DeviceD2 = TRUE;  // suspend
  caps.Removable = TRUE;
  caps.UniqueID = device_->serial.empty() ? FALSE : TRUE;
  caps.SurpriseRemovalOK = SurpriseRemovalOk() ? TRUE : FALSE;
  caps.WakeFromD2 = remoteWakeup ? TRUE : FALSE;
  caps.Address = (ULONG)port_;
  caps.UINumber = (ULONG)port_;
  caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s)
    caps.DeviceState[s] = remoteWakeup ? PowerDeviceD2 : PowerDeviceD3;
  caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  caps.SystemWake = remoteWakeup ? PowerSystemSleeping3 : PowerSystemUnspecified;
  caps.DeviceWake = remoteWakeup ? PowerDeviceD2 : PowerDeviceUnspecified;
}

std::vector<std::u16string> UsbPdo::HardwareIds() const {
  USB_DEVICE_DESCRIPTOR d = device_->DeviceDescriptor();
  std::u16string base = u"USB\\VID_" + Hex4(d.idVendor) + u"&PID_" + Hex4(d.idProduct);
  return {base + u"&REV_" + Hex4(d.bcdDevice), base};
}

std::vector<std::u16string> UsbPdo::CompatibleIds() const {
  USB_DEVICE_DESCRIPTOR d = device_->DeviceDescriptor();
  UCHAR cls = d.bDeviceClass, sub = d.bDeviceSubClass, protocol = d.bDeviceProtocol;
  if (cls == 0) {  // the class is given per interface: take the first
    std::lock_guard guard(bus_->lock_);
    ConfigurationInfo info = ParseConfiguration(bus_->ConfigurationBlock(*device_, 0));
    if (!info.interfaces.empty())
      cls = info.interfaces[0].cls, sub = info.interfaces[0].subClass, protocol = info.interfaces[0].protocol;
  }
  std::u16string klass = u"USB\\Class_" + Hex2(cls);
  return {klass + u"&SubClass_" + Hex2(sub) + u"&Prot_" + Hex2(protocol), klass + u"&SubClass_" + Hex2(sub), klass};
}

std::u16string UsbPdo::InstanceId() const {
  if (!device_->serial.empty()) return device_->serial;
  return u"6&1&0&" + Widen(std::to_string(port_));
}

std::u16string UsbPdo::InstancePath() const { return HardwareIds()[1] + u"\\" + InstanceId(); }

void Bus::ReportArrival(UsbPdo& pdo) {
  ReportGate gate(*this);
  ReportArrivalLocked(pdo);
}

void Bus::ReportArrivalLocked(UsbPdo& pdo) { pdo.arrivalPending = !CurrentMachine().Pnp().ReportChildArrived(&pdo); }

void Bus::ReportGone(UsbPdo& pdo) {
  ReportGate gate(*this);
  // A device whose driver failed AddDevice or start got IRP_MN_REMOVE_DEVICE
  // while plugged in, yet its node stays in the tree until the device goes:
  // the Plug and Play manager must hear of it then.
  bool noNode = pdo.Device()->removed && !CurrentMachine().Pnp().NodeOfPdo(pdo.DeviceObject());
  if (noNode || pdo.arrivalPending) {
    // Removed while it was still plugged in, or never given a node: no device
    // node holds it.
    std::lock_guard guard(lock_);
    std::erase_if(pdos_, [&](const std::unique_ptr<UsbPdo>& p) { return p.get() == &pdo; });
    return;
  }
  CurrentMachine().Pnp().ReportChildGone(&pdo);
}

}  // namespace sim::usb
