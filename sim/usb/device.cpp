#include "sim/usb/device.h"

namespace sim::usb {

std::shared_ptr<Endpoint> UsbDevice::FindPipe(USBD_PIPE_HANDLE handle) const {
  if (!handle) return nullptr;
  for (const SelectedInterface& i : interfaces)
    for (const auto& pipe : i.pipes)
      if (pipe->handle == handle) return pipe;
  return nullptr;
}

std::vector<std::shared_ptr<Endpoint>> UsbDevice::Pipes() const {
  std::vector<std::shared_ptr<Endpoint>> out;
  for (const SelectedInterface& i : interfaces) out.insert(out.end(), i.pipes.begin(), i.pipes.end());
  return out;
}

USB_DEVICE_DESCRIPTOR UsbDevice::DeviceDescriptor() const {
  USB_DEVICE_DESCRIPTOR d{};
  const Bytes& bytes = model->Descriptors().device;
  std::memcpy(&d, bytes.data(), std::min(bytes.size(), sizeof d));
  return d;
}

}  // namespace sim::usb
