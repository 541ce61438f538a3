// The default pipe: the standard requests the bus answers from the device's
// descriptor tables (descriptors, address, configuration, status, endpoint
// halt), and the class and vendor requests that go to the model, where the
// injected control faults act.
#include <algorithm>

#include "sim/usb/bus.h"

namespace sim::usb {

namespace {

constexpr PacketResult kStall{Handshake::Stall, 0};

PacketResult Send(std::span<uint8_t> data, const Bytes& source, USHORT wLength) {
  size_t n = std::min({source.size(), (size_t)wLength, data.size()});
  std::memcpy(data.data(), source.data(), n);
  return {Handshake::Ack, n};
}

// The first descriptor of `type` in a configuration block, as an offset.
std::optional<size_t> Find(const Bytes& block, UCHAR type) {
  DescriptorWalk walk(block.data(), block.data() + block.size());
  walk.Next();
  while (const USB_COMMON_DESCRIPTOR* d = walk.Next())
    if (d->bDescriptorType == type) return (const uint8_t*)d - block.data();
  return std::nullopt;
}

void SetTotalLength(Bytes& block, size_t total) {
  block[2] = (uint8_t)(total & 0xFF);
  block[3] = (uint8_t)(total >> 8);
}

Bytes Malformed(Bytes block, MalformedDescriptor kind) {
  if (block.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return block;
  auto firstInterface = Find(block, USB_INTERFACE_DESCRIPTOR_TYPE);
  auto firstEndpoint = Find(block, USB_ENDPOINT_DESCRIPTOR_TYPE);
  switch (kind) {
    case MalformedDescriptor::None: break;
    case MalformedDescriptor::ZeroLength:
      if (firstInterface) block[*firstInterface] = 0;
      break;
    case MalformedDescriptor::ShortLength:
      if (firstEndpoint) block[*firstEndpoint] = 3;
      break;
    case MalformedDescriptor::TotalLengthTooLarge: SetTotalLength(block, block.size() + 64); break;
    case MalformedDescriptor::NoInterface:
      block.resize(sizeof(USB_CONFIGURATION_DESCRIPTOR));
      block[4] = 0;  // bNumInterfaces
      SetTotalLength(block, block.size());
      break;
    case MalformedDescriptor::NoEndpoints:
      if (!firstInterface) break;
      block[*firstInterface + 4] = 0;  // bNumEndpoints
      for (auto e = Find(block, USB_ENDPOINT_DESCRIPTOR_TYPE); e; e = Find(block, USB_ENDPOINT_DESCRIPTOR_TYPE))
        block.erase(block.begin() + *e, block.begin() + *e + block[*e]);
      SetTotalLength(block, block.size());
      break;
  }
  return block;
}

Endpoint* FindEndpoint(UsbDevice& device, UCHAR address) {
  for (auto& pipe : device.Pipes())
    if (pipe->Address() == address) return pipe.get();
  return nullptr;
}

PacketResult GetDescriptor(Bus& bus, UsbDevice& device, const SetupPacket& setup, std::span<uint8_t> data) {
  UCHAR type = (UCHAR)(setup.value >> 8), index = (UCHAR)(setup.value & 0xFF);
  const DescriptorSet& set = device.model->Descriptors();
  switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE: return Send(data, set.device, setup.length);
    case USB_CONFIGURATION_DESCRIPTOR_TYPE: {
      Bytes block = bus.ConfigurationBlock(device, index);
      return block.empty() ? kStall : Send(data, block, setup.length);
    }
    case USB_STRING_DESCRIPTOR_TYPE: {
      auto it = set.strings.find(index);
      return it == set.strings.end() ? kStall : Send(data, it->second, setup.length);
    }
    default: return kStall;
  }
}

bool ValidConfiguration(UsbDevice& device, UCHAR value) {
  const DescriptorSet& set = device.model->Descriptors();
  for (size_t i = 0; i < set.configurations.size(); ++i) {
    const Bytes& block = set.configurations[i];
    if (block.size() >= 6 && block[5] == value) return true;
  }
  return false;
}

PacketResult Feature(UsbDevice& device, const SetupPacket& setup, bool set) {
  if (setup.Recipient() != BMREQUEST_TO_ENDPOINT) return {Handshake::Ack, 0};
  if (setup.value != USB_FEATURE_ENDPOINT_STALL) return kStall;
  Endpoint* ep = FindEndpoint(device, (UCHAR)setup.index);
  if (!ep) return kStall;
  ep->deviceHalted = set;
  if (!set) device.model->EndpointReset(ep->Address());
  return {Handshake::Ack, 0};
}

PacketResult GetStatus(UsbDevice& device, const SetupPacket& setup, std::span<uint8_t> data, Bus& bus) {
  if (data.size() < 2) return kStall;
  data[0] = data[1] = 0;
  if (setup.Recipient() == BMREQUEST_TO_DEVICE) {
    Bytes block = bus.ConfigurationBlock(device, 0);
    if (block.size() > 7 && (block[7] & USB_CONFIG_SELF_POWERED)) data[0] = 1;
  } else if (setup.Recipient() == BMREQUEST_TO_ENDPOINT) {
    Endpoint* ep = FindEndpoint(device, (UCHAR)setup.index);
    if (!ep && (setup.index & 0x7F) != 0) return kStall;
    data[0] = ep && ep->deviceHalted ? 1 : 0;
  }
  return {Handshake::Ack, 2};
}

PacketResult StandardRequest(Bus& bus, UsbDevice& device, const SetupPacket& setup, std::span<uint8_t> data) {
  switch (setup.request) {
    case USB_REQUEST_GET_DESCRIPTOR:
      if (setup.Recipient() != BMREQUEST_TO_DEVICE) return device.model->Control(setup, data);
      return GetDescriptor(bus, device, setup, data);
    case USB_REQUEST_SET_ADDRESS:
      device.address = (UCHAR)(setup.value & 0x7F);
      return {Handshake::Ack, 0};
    case USB_REQUEST_SET_CONFIGURATION: {
      UCHAR value = (UCHAR)setup.value;
      if (value && !ValidConfiguration(device, value)) return kStall;
      device.configurationValue = value;
      device.model->Configured(value);
      return {Handshake::Ack, 0};
    }
    case USB_REQUEST_GET_CONFIGURATION:
      if (data.empty()) return kStall;
      data[0] = device.configurationValue;
      return {Handshake::Ack, 1};
    case USB_REQUEST_GET_INTERFACE:
      if (data.empty()) return kStall;
      data[0] = 0;
      for (const SelectedInterface& i : device.interfaces)
        if (i.number == setup.index) data[0] = i.alternate;
      return {Handshake::Ack, 1};
    case USB_REQUEST_SET_INTERFACE: return {Handshake::Ack, 0};
    case USB_REQUEST_GET_STATUS: return GetStatus(device, setup, data, bus);
    case USB_REQUEST_CLEAR_FEATURE: return Feature(device, setup, false);
    case USB_REQUEST_SET_FEATURE: return Feature(device, setup, true);
    default: return kStall;
  }
}

}  // namespace

Bytes Bus::ConfigurationBlock(UsbDevice& device, UCHAR index) {
  const auto& configurations = device.model->Descriptors().configurations;
  if (index >= configurations.size()) return {};
  return Malformed(configurations[index], device.faults.malformedConfiguration);
}

PacketResult Bus::DeviceRequest(UsbDevice& device, const SetupPacket& setup, std::span<uint8_t> data) {
  if (data.size() > setup.length) data = data.first(setup.length);
  if (setup.Type() == BMREQUEST_STANDARD) return StandardRequest(*this, device, setup, data);
  // Class and vendor requests are the device's own messages.
  if (device.faults.stall.count(0)) return kStall;
  if (device.faults.nakForever.count(0)) return {Handshake::Nak, 0};
  if (device.faults.failControlAll) return kStall;
  if (device.controlFailuresLeft) {
    --device.controlFailuresLeft;
    return kStall;
  }
  return device.model->Control(setup, data);
}

PacketResult Bus::HubRequest(UsbDevice& device, USHORT function, const SetupPacket& setup, std::span<uint8_t> data) {
  Transfer t;
  t.captureId = 0xFFFF'F000'0000'0000ull + nextHubRequest_++;
  t.kind = TransferKind::Control;
  t.function = function;
  t.setup = setup;
  t.in = setup.In();
  t.buffer = data.data();
  t.length = (ULONG)std::min<size_t>(data.size(), setup.length);
  t.endpoint = device.control;
  t.address = device.address;
  CaptureSubmit(t);
  PacketResult r = DeviceRequest(device, setup, data.first(t.length));
  t.moved = r.handshake == Handshake::Ack ? (t.in ? (ULONG)r.length : t.length) : 0;
  t.status = r.handshake == Handshake::Ack ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
  CaptureCompletion(t);
  return r;
}

}  // namespace sim::usb
