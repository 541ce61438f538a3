// The root hub's ports: plugging a device in (reset, enumeration, a new PDO),
// pulling it out, and the port requests a function driver may send (reset,
// cycle). Enumeration asks what a Windows hub asks, in its order, and the
// requests show in the capture like any other.
#include "sim/usb/bus.h"
#include "sim/usb/pdo.h"

namespace sim::usb {

namespace {

constexpr USHORT kEnglish = 0x0409;

SetupPacket GetDescriptorSetup(UCHAR type, UCHAR index, USHORT language, USHORT length) {
  return {0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(type, index), language, length};
}

std::u16string StringOf(const uint8_t* data, size_t length) {
  std::u16string out;
  for (size_t i = 2; i + 1 < length; i += 2) out += (char16_t)(data[i] | data[i + 1] << 8);
  return out;
}

UCHAR FreeAddress(const std::vector<Port>& ports) {
  for (UCHAR address = 1; address < 128; ++address) {
    bool used = false;
    for (const Port& port : ports) used |= port.device && port.device->address == address;
    if (!used) return address;
  }
  return 0;
}

}  // namespace

Port* Bus::PortOf(const UsbDevice& device) {
  for (Port& port : ports_)
    if (port.device.get() == &device) return &port;
  return nullptr;
}

// What a hub reads from a new device before its function driver loads.
void Bus::Enumerate(UsbDevice& device) {
  std::vector<uint8_t> buffer(255);
  const USHORT descriptor = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  PacketResult r = HubRequest(device, descriptor, GetDescriptorSetup(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 64), buffer);
  if (r.handshake == Handshake::Ack && r.length >= 8) device.maxPacket0 = buffer[7];
  device.control->info.maxPacket = device.maxPacket0;
  device.model->BusReset();
  UCHAR address = FreeAddress(ports_);
  HubRequest(device, URB_FUNCTION_CONTROL_TRANSFER, {0x00, USB_REQUEST_SET_ADDRESS, address, 0, 0}, {});
  USB_DEVICE_DESCRIPTOR d{};
  r = HubRequest(device, descriptor, GetDescriptorSetup(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, sizeof d), buffer);
  if (r.handshake == Handshake::Ack) std::memcpy(&d, buffer.data(), std::min(r.length, sizeof d));
  r = HubRequest(device, descriptor, GetDescriptorSetup(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9), buffer);
  if (r.handshake == Handshake::Ack && r.length >= 4) {
    USHORT total = (USHORT)(buffer[2] | buffer[3] << 8);
    std::vector<uint8_t> block(total ? total : 9);
    HubRequest(device, descriptor, GetDescriptorSetup(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, (USHORT)block.size()), block);
  }
  r = HubRequest(device, descriptor, GetDescriptorSetup(USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255), buffer);
  if (r.handshake != Handshake::Ack || r.length < 4) return;  // no strings
  if (d.iSerialNumber) {
    r = HubRequest(device, descriptor, GetDescriptorSetup(USB_STRING_DESCRIPTOR_TYPE, d.iSerialNumber, kEnglish, 255), buffer);
    if (r.handshake == Handshake::Ack) device.serial = StringOf(buffer.data(), r.length);
  }
  if (d.iProduct) {
    r = HubRequest(device, descriptor, GetDescriptorSetup(USB_STRING_DESCRIPTOR_TYPE, d.iProduct, kEnglish, 255), buffer);
    if (r.handshake == Handshake::Ack) device.product = StringOf(buffer.data(), r.length);
  }
}

int Bus::Plug(std::shared_ptr<DeviceModel> model, const DeviceFaults& faults, int preferredPort) {
  UsbPdo* pdo = nullptr;
  int number = 0;
  {
    std::lock_guard guard(lock_);
    Port* port = nullptr;
    if (preferredPort > 0 && preferredPort <= (int)ports_.size() && !ports_[preferredPort - 1].device)
      port = &ports_[preferredPort - 1];
    for (size_t i = 0; !port && i < ports_.size(); ++i)
      if (!ports_[i].device) port = &ports_[i];
    if (!port) return 0;
    auto device = std::make_shared<UsbDevice>();
    device->model = std::move(model);
    device->faults = faults;
    device->speed = device->model->DeviceSpeed();
    device->port = port->number;
    device->controlFailuresLeft = faults.failControlFirst;
    device->control = std::make_shared<Endpoint>();
    device->control->info.maxPacket = 64;
    device->model->Attach(this);
    port->device = device;
    port->enabled = true;
    Enumerate(*device);
    // Two devices of one kind with one serial number: as Windows does, the
    // second is known by its port instead.
    for (Port& other : ports_) {
      UsbDevice* d = other.device.get();
      if (d && d != device.get() && !device->serial.empty() && d->serial == device->serial &&
          d->DeviceDescriptor().idVendor == device->DeviceDescriptor().idVendor &&
          d->DeviceDescriptor().idProduct == device->DeviceDescriptor().idProduct)
        device->serial.clear();
    }
    pdos_.push_back(std::make_unique<UsbPdo>(*this, port->number, device));
    pdo = port->pdo = pdos_.back().get();
    number = port->number;
  }
  ReportArrival(*pdo);
  return number;
}

void Bus::Unplug(int number) {
  TransferList ended;
  UsbPdo* pdo = nullptr;
  {
    std::lock_guard guard(lock_);
    if (number < 1 || number > (int)ports_.size() || !ports_[number - 1].device) return;
    Port& port = ports_[number - 1];
    UsbDevice& device = *port.device;
    device.gone = true;
    ended = EndDeviceTransfers(device, USBD_STATUS_DEVICE_GONE);
    ended.splice(ended.end(), ended_);
    device.model->Attach(nullptr);
    port.device.reset();
    port.enabled = false;
    pdo = port.pdo;
    port.pdo = nullptr;
  }
  CompleteTransfers(ended);
  if (pdo) ReportGone(*pdo);
}

// IOCTL_INTERNAL_USB_RESET_PORT: the hub resets the port, which ends what is
// in flight, and gives the device back its address and configuration.
void Bus::ResetPort(UsbDevice& device) {
  TransferList ended;
  {
    std::lock_guard guard(lock_);
    ended = EndDeviceTransfers(device, USBD_STATUS_CANCELED);
    ended.splice(ended.end(), ended_);
    device.model->BusReset();
    for (auto& pipe : device.Pipes()) pipe->halted = pipe->deviceHalted = false;
    if (Port* port = PortOf(device)) port->enabled = true;
    UCHAR address = device.address;
    device.address = 0;
    HubRequest(device, URB_FUNCTION_CONTROL_TRANSFER, {0x00, USB_REQUEST_SET_ADDRESS, address, 0, 0}, {});
    if (UCHAR value = device.configurationValue)
      HubRequest(device, URB_FUNCTION_CONTROL_TRANSFER, {0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0}, {});
  }
  CompleteTransfers(ended);
}

// IOCTL_INTERNAL_USB_CYCLE_PORT: the device goes away and comes back as a new
// device node, after the request has completed.
void Bus::CyclePort(int number) {
  RunOnHubThread([this, number] {
    std::shared_ptr<DeviceModel> model;
    DeviceFaults faults;
    {
      std::lock_guard guard(lock_);
      std::shared_ptr<UsbDevice>& device = ports_[number - 1].device;
      if (!device) return;
      model = device->model;
      faults = device->faults;
    }
    Unplug(number);
    Plug(model, faults, number);
  });
}

void Bus::DisablePort(int number) {
  TransferList ended;
  {
    std::lock_guard guard(lock_);
    Port& port = ports_[number - 1];
    if (!port.device) return;
    port.enabled = false;
    ended = EndDeviceTransfers(*port.device, USBD_STATUS_DEV_NOT_RESPONDING);
  }
  CompleteTransfers(ended);
}

}  // namespace sim::usb
