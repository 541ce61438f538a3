// URB_FUNCTION_SELECT_CONFIGURATION and URB_FUNCTION_SELECT_INTERFACE: the
// request is checked against the configuration descriptor it points to, then
// SET_CONFIGURATION (or SET_INTERFACE) goes to the device, and when the device
// has taken it the bus opens the pipes: handles, packet sizes, intervals and
// the maximum transfer sizes the driver asked for. A NULL descriptor leaves
// the device unconfigured; every transfer on its pipes ends.
#include "sim/usb/bus.h"
#include "sim/usb/pdo.h"

namespace sim::usb {

namespace {

constexpr size_t kInterfaceHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

struct Selection {
  ConfigurationInfo info;
  std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const InterfaceInfo*>> interfaces;
};

// Checks one USBD_INTERFACE_INFORMATION at `at` (of the URB ending at `end`).
USBD_STATUS CheckInterface(PUCHAR at, PUCHAR end, const ConfigurationInfo& info, Selection& selection) {
  if (end - at < (ptrdiff_t)kInterfaceHeader) return USBD_STATUS_INVALID_PARAMETER;
  auto interface = (PUSBD_INTERFACE_INFORMATION)at;
  if (interface->Length < kInterfaceHeader || interface->Length > end - at) return USBD_STATUS_INVALID_PARAMETER;
  const InterfaceInfo* found = info.Find(interface->InterfaceNumber, interface->AlternateSetting);
  if (!found) return USBD_STATUS_INTERFACE_NOT_FOUND;
  if (interface->Length < kInterfaceHeader + found->endpoints.size() * sizeof(USBD_PIPE_INFORMATION))
    return USBD_STATUS_BUFFER_TOO_SMALL;
  for (size_t k = 0; k < found->endpoints.size(); ++k)
    if (interface->Pipes[k].PipeFlags & ~(ULONG)USBD_PF_VALID_MASK) return USBD_STATUS_INAVLID_PIPE_FLAGS;
  selection.interfaces.push_back({interface, found});
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS PlanConfiguration(PURB urb, Selection& selection) {
  auto& select = urb->UrbSelectConfiguration;
  PUSB_CONFIGURATION_DESCRIPTOR descriptor = select.ConfigurationDescriptor;
  if (!descriptor) return USBD_STATUS_SUCCESS;
  if (ReadableLength(descriptor, sizeof *descriptor) < sizeof *descriptor) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  size_t readable = ReadableLength(descriptor, descriptor->wTotalLength);
  selection.info = ParseConfiguration(std::span<const uint8_t>((const uint8_t*)descriptor, readable));
  if (!selection.info.problem.empty()) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  PUCHAR at = (PUCHAR)&select.Interface, end = (PUCHAR)urb + urb->UrbHeader.Length;
  for (UCHAR i = 0; i < selection.info.declaredInterfaces; ++i) {
    USBD_STATUS status = CheckInterface(at, end, selection.info, selection);
    if (status != USBD_STATUS_SUCCESS) return status;
    at += selection.interfaces.back().first->Length;
  }
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS PlanInterface(PURB urb, const UsbDevice& device, Selection& selection) {
  auto& select = urb->UrbSelectInterface;
  if (!device.configurationHandle || select.ConfigurationHandle != device.configurationHandle)
    return USBD_STATUS_INVALID_PARAMETER;
  selection.info = device.configuration;
  return CheckInterface((PUCHAR)&select.Interface, (PUCHAR)urb + urb->UrbHeader.Length, selection.info, selection);
}

}  // namespace

void Bus::Deconfigure(UsbDevice& device) {
  for (auto& pipe : device.Pipes()) ended_.splice(ended_.end(), EndTransfers(*pipe, USBD_STATUS_CANCELED));
  device.interfaces.clear();
  device.configurationHandle = nullptr;
  device.configuration = {};
}

namespace {

// Opens the pipes of one interface and reports them in its USBD_INTERFACE_INFORMATION.
SelectedInterface OpenInterface(Bus& bus, PUSBD_INTERFACE_INFORMATION out, const InterfaceInfo& in) {
  SelectedInterface selected{in.number, in.alternate, bus.NewHandle(), {}};
  out->InterfaceHandle = selected.handle;
  out->Class = in.cls;
  out->SubClass = in.subClass;
  out->Protocol = in.protocol;
  out->NumberOfPipes = (ULONG)in.endpoints.size();
  for (size_t k = 0; k < in.endpoints.size(); ++k) {
    auto pipe = std::make_shared<Endpoint>();
    pipe->info = in.endpoints[k];
    pipe->handle = bus.NewHandle();
    pipe->maxTransfer = out->Pipes[k].MaximumTransferSize;
    pipe->interfaceNumber = in.number;
    USBD_PIPE_INFORMATION& info = out->Pipes[k];
    info.MaximumPacketSize = pipe->info.maxPacket;
    info.EndpointAddress = pipe->info.address;
    info.Interval = pipe->info.interval;
    info.PipeType = pipe->info.Type();
    info.PipeHandle = pipe->handle;
    selected.pipes.push_back(pipe);
  }
  return selected;
}

}  // namespace

NTSTATUS Bus::SelectRequest(UsbPdo& pdo, PIRP irp, PURB urb) {
  const std::shared_ptr<UsbDevice>& device = pdo.Device();
  bool configuration = urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION;
  auto selection = std::make_shared<Selection>();
  USBD_STATUS planned;
  {
    std::lock_guard guard(lock_);
    planned = configuration ? PlanConfiguration(urb, *selection) : PlanInterface(urb, *device, *selection);
  }
  if (planned != USBD_STATUS_SUCCESS) return RejectUrb(irp, urb, *device, planned);
  auto t = std::make_unique<Transfer>();
  t->irp = irp;
  t->urb = urb;
  t->captureId = (uint64_t)(uintptr_t)irp;
  t->device = device;
  t->endpoint = device->control;
  t->kind = TransferKind::Control;
  t->function = urb->UrbHeader.Function;
  t->hasLength = false;
  if (configuration) {
    t->setup = {0x00, USB_REQUEST_SET_CONFIGURATION, selection->info.value, 0, 0};
  } else {
    auto& interface = urb->UrbSelectInterface.Interface;
    t->setup = {0x01, USB_REQUEST_SET_INTERFACE, interface.AlternateSetting, interface.InterfaceNumber, 0};
  }
  UsbDevice* target = device.get();
  t->apply = [this, target, urb, selection, configuration]() {
    if (configuration) {
      Deconfigure(*target);
      if (!urb->UrbSelectConfiguration.ConfigurationDescriptor) return USBD_STATUS_SUCCESS;
      target->configuration = selection->info;
      target->configurationHandle = NewHandle();
      urb->UrbSelectConfiguration.ConfigurationHandle = target->configurationHandle;
    } else {
      UCHAR number = selection->interfaces[0].second->number;
      for (auto& i : target->interfaces) {
        if (i.number != number) continue;
        for (auto& pipe : i.pipes) ended_.splice(ended_.end(), EndTransfers(*pipe, USBD_STATUS_CANCELED));
      }
      std::erase_if(target->interfaces, [&](const SelectedInterface& i) { return i.number == number; });
    }
    for (auto [out, in] : selection->interfaces) target->interfaces.push_back(OpenInterface(*this, out, *in));
    return USBD_STATUS_SUCCESS;
  };
  return StartTransfer(std::move(t));
}

}  // namespace sim::usb
