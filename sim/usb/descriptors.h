// USB descriptors as byte tables: a bounded walk over a block of descriptors
// that never reads outside it, the parse of a configuration the bus needs to
// select it, and builders that device models use to write their tables.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/ddk/ntddk.h"

namespace sim::usb {

using Bytes = std::vector<uint8_t>;

// Descriptors in [begin, end) one after the other. Next() stops (returns
// nullptr) at a descriptor whose bLength is below 2 or which runs past the end.
class DescriptorWalk {
 public:
  DescriptorWalk(const uint8_t* begin, const uint8_t* end, const uint8_t* start = nullptr)
      : end_(end), at_(start ? start : begin) {
    if (at_ < begin || at_ > end) at_ = end;
  }
  const USB_COMMON_DESCRIPTOR* Next();
  // The next descriptor of `type`, or nullptr.
  const USB_COMMON_DESCRIPTOR* Next(UCHAR type);

 private:
  const uint8_t* end_;
  const uint8_t* at_;
};

// How many bytes of the descriptor block at `p` may be read, given the length
// the block claims: when `p` lies in pool, no further than its pool block.
size_t ReadableLength(const void* p, size_t claimed);

struct EndpointInfo {
  UCHAR address = 0;
  UCHAR attributes = 0;
  USHORT maxPacket = 0;
  UCHAR interval = 0;
  USBD_PIPE_TYPE Type() const { return (USBD_PIPE_TYPE)(attributes & USB_ENDPOINT_TYPE_MASK); }
  bool In() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

struct InterfaceInfo {
  UCHAR number = 0, alternate = 0, cls = 0, subClass = 0, protocol = 0;
  UCHAR declaredEndpoints = 0;            // bNumEndpoints
  std::vector<EndpointInfo> endpoints;    // the endpoint descriptors that follow it
};

struct ConfigurationInfo {
  UCHAR value = 0, attributes = 0, maxPower = 0;
  UCHAR declaredInterfaces = 0;           // bNumInterfaces
  std::vector<InterfaceInfo> interfaces;  // every interface descriptor, alternates included
  // Set when the block is not a configuration a host can select: not a
  // configuration descriptor, endpoint descriptors that do not match their
  // interface's bNumEndpoints, an endpoint with address 0.
  std::string problem;
  const InterfaceInfo* Find(UCHAR number, UCHAR alternate) const;
};

// Parses a configuration descriptor block (at most `bytes`, wTotalLength bounded by it).
ConfigurationInfo ParseConfiguration(std::span<const uint8_t> bytes);

// Writers for device models' constant tables.
Bytes DeviceDescriptor(USHORT bcdUSB, UCHAR deviceClass, UCHAR maxPacket0, USHORT vendor, USHORT product,
                       USHORT bcdDevice, UCHAR iManufacturer, UCHAR iProduct, UCHAR iSerial, UCHAR configurations = 1);
Bytes ConfigurationHeader(UCHAR interfaces, UCHAR value, UCHAR iConfiguration, UCHAR attributes, UCHAR maxPower);
Bytes InterfaceDescriptor(UCHAR number, UCHAR alternate, UCHAR endpoints, UCHAR cls, UCHAR subClass, UCHAR protocol,
                          UCHAR iInterface = 0);
Bytes EndpointDescriptor(UCHAR address, UCHAR attributes, USHORT maxPacket, UCHAR interval);
Bytes StringDescriptor(std::u16string_view text);
Bytes LanguageDescriptor(std::initializer_list<USHORT> languages);
// Appends `part` to `block` and, when `block` starts with a configuration
// descriptor, updates its wTotalLength.
void Append(Bytes& block, const Bytes& part);

}  // namespace sim::usb
