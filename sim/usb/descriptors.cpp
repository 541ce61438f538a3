#include "sim/usb/descriptors.h"

#include "sim/kernel/machine.h"
#include "sim/kernel/pool.h"

namespace sim::usb {

const USB_COMMON_DESCRIPTOR* DescriptorWalk::Next() {
  if (end_ - at_ < (ptrdiff_t)sizeof(USB_COMMON_DESCRIPTOR)) return nullptr;
  auto* d = (const USB_COMMON_DESCRIPTOR*)at_;
  if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || d->bLength > end_ - at_) {
    at_ = end_;
    return nullptr;
  }
  at_ += d->bLength;
  return d;
}

const USB_COMMON_DESCRIPTOR* DescriptorWalk::Next(UCHAR type) {
  while (const USB_COMMON_DESCRIPTOR* d = Next())
    if (d->bDescriptorType == type) return d;
  return nullptr;
}

size_t ReadableLength(const void* p, size_t claimed) {
  Machine* machine = CurrentMachineOrNull();
  if (!machine || !p) return claimed;
  auto block = machine->Pool().BlockContaining(p);
  if (!block) return claimed;
  size_t left = block->first + block->second - (uintptr_t)p;
  return claimed < left ? claimed : left;
}

const InterfaceInfo* ConfigurationInfo::Find(UCHAR number, UCHAR alternate) const {
  for (const InterfaceInfo& i : interfaces)
    if (i.number == number && i.alternate == alternate) return &i;
  return nullptr;
}

namespace {

void CheckEndpoints(ConfigurationInfo& info) {
  for (const InterfaceInfo& i : info.interfaces) {
    if (i.endpoints.size() != i.declaredEndpoints && info.problem.empty())
      info.problem = "interface " + std::to_string(i.number) + " declares " + std::to_string(i.declaredEndpoints) +
                     " endpoints but " + std::to_string(i.endpoints.size()) + " follow it";
    for (const EndpointInfo& e : i.endpoints)
      if ((e.address & USB_ENDPOINT_ADDRESS_MASK) == 0 && info.problem.empty())
        info.problem = "an endpoint descriptor names endpoint 0";
  }
}

}  // namespace

ConfigurationInfo ParseConfiguration(std::span<const uint8_t> bytes) {
  ConfigurationInfo info;
  if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    info.problem = "shorter than a configuration descriptor";
    return info;
  }
  auto* config = (const USB_CONFIGURATION_DESCRIPTOR*)bytes.data();
  if (config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || config->bLength < sizeof *config) {
    info.problem = "not a configuration descriptor";
    return info;
  }
  info.value = config->bConfigurationValue;
  info.attributes = config->bmAttributes;
  info.maxPower = config->MaxPower;
  info.declaredInterfaces = config->bNumInterfaces;
  size_t total = config->wTotalLength < bytes.size() ? config->wTotalLength : bytes.size();
  DescriptorWalk walk(bytes.data(), bytes.data() + total);
  walk.Next();  // the configuration descriptor itself
  while (const USB_COMMON_DESCRIPTOR* d = walk.Next()) {
    if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto* i = (const USB_INTERFACE_DESCRIPTOR*)d;
      info.interfaces.push_back({i->bInterfaceNumber, i->bAlternateSetting, i->bInterfaceClass, i->bInterfaceSubClass,
                                 i->bInterfaceProtocol, i->bNumEndpoints, {}});
    } else if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && d->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
               !info.interfaces.empty()) {
      auto* e = (const USB_ENDPOINT_DESCRIPTOR*)d;
      info.interfaces.back().endpoints.push_back(
          {e->bEndpointAddress, e->bmAttributes, (USHORT)(e->wMaxPacketSize & 0x7FF), e->bInterval});
    }
  }
  CheckEndpoints(info);
  return info;
}

namespace {

void Put16(Bytes& b, USHORT v) {
  b.push_back((uint8_t)(v & 0xFF));
  b.push_back((uint8_t)(v >> 8));
}

}  // namespace

Bytes DeviceDescriptor(USHORT bcdUSB, UCHAR deviceClass, UCHAR maxPacket0, USHORT vendor, USHORT product,
                       USHORT bcdDevice, UCHAR iManufacturer, UCHAR iProduct, UCHAR iSerial, UCHAR configurations) {
  Bytes b{18, USB_DEVICE_DESCRIPTOR_TYPE};
  Put16(b, bcdUSB);
  b.insert(b.end(), {deviceClass, 0, 0, maxPacket0});
  Put16(b, vendor);
  Put16(b, product);
  Put16(b, bcdDevice);
  b.insert(b.end(), {iManufacturer, iProduct, iSerial, configurations});
  return b;
}

Bytes ConfigurationHeader(UCHAR interfaces, UCHAR value, UCHAR iConfiguration, UCHAR attributes, UCHAR maxPower) {
  Bytes b{9, USB_CONFIGURATION_DESCRIPTOR_TYPE};
  Put16(b, 9);
  b.insert(b.end(), {interfaces, value, iConfiguration, attributes, maxPower});
  return b;
}

Bytes InterfaceDescriptor(UCHAR number, UCHAR alternate, UCHAR endpoints, UCHAR cls, UCHAR subClass, UCHAR protocol,
                          UCHAR iInterface) {
  return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, subClass, protocol, iInterface};
}

Bytes EndpointDescriptor(UCHAR address, UCHAR attributes, USHORT maxPacket, UCHAR interval) {
  Bytes b{7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes};
  Put16(b, maxPacket);
  b.push_back(interval);
  return b;
}

Bytes StringDescriptor(std::u16string_view text) {
  size_t chars = text.size() > 126 ? 126 : text.size();
  Bytes b{(uint8_t)(2 + 2 * chars), USB_STRING_DESCRIPTOR_TYPE};
  for (size_t i = 0; i < chars; ++i) Put16(b, (USHORT)text[i]);
  return b;
}

Bytes LanguageDescriptor(std::initializer_list<USHORT> languages) {
  Bytes b{(uint8_t)(2 + 2 * languages.size()), USB_STRING_DESCRIPTOR_TYPE};
  for (USHORT language : languages) Put16(b, language);
  return b;
}

void Append(Bytes& block, const Bytes& part) {
  block.insert(block.end(), part.begin(), part.end());
  if (block.size() >= 4 && block[1] == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    block[2] = (uint8_t)(block.size() & 0xFF);
    block[3] = (uint8_t)(block.size() >> 8);
  }
}

}  // namespace sim::usb
