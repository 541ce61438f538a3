// The adapter's descriptor tables: a vendor-specific first interface with its
// bulk OUT, bulk IN and interrupt IN endpoints, and the variants (no status
// endpoint, other packet sizes, control and isochronous endpoints, further
// interfaces).
#include "sim/usb/adapter.h"

namespace sim::usb {

DescriptorSet AdapterDescriptors(const AdapterConfig& c) {
  bool high = c.speed == Speed::High;
  USHORT bulk = c.bulkPacket ? c.bulkPacket : (high ? 512 : 64);
  // 1 ms polling: one frame at full speed, 2^(4-1) microframes at high speed.
  UCHAR statusInterval = high ? 4 : 1;
  UCHAR endpoints = (UCHAR)(2 + (c.statusEndpoint ? 1 : 0) + (c.controlAndIsochronous ? 2 : 0));

  DescriptorSet set;
  set.device = DeviceDescriptor(high ? 0x0200 : 0x0110, USB_DEVICE_CLASS_RESERVED, 64, c.vendor, c.product, c.bcdDevice,
                                1, 2, c.serial.empty() ? 0 : 3);
  Bytes config = ConfigurationHeader((UCHAR)(1 + c.extraInterfaces), 1, 0,
                                     (UCHAR)(USB_CONFIG_BUS_POWERED | (c.remoteWakeup ? USB_CONFIG_REMOTE_WAKEUP : 0)), 50);
  Append(config, InterfaceDescriptor(0, 0, endpoints, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0));
  Append(config, EndpointDescriptor(0x01, USB_ENDPOINT_TYPE_BULK, bulk, 0));
  Append(config, EndpointDescriptor(0x82, USB_ENDPOINT_TYPE_BULK, bulk, 0));
  if (c.statusEndpoint) Append(config, EndpointDescriptor(0x83, USB_ENDPOINT_TYPE_INTERRUPT, c.interruptPacket, statusInterval));
  if (c.controlAndIsochronous) {
    Append(config, EndpointDescriptor(0x04, USB_ENDPOINT_TYPE_CONTROL, 64, 0));
    Append(config, EndpointDescriptor(0x85, USB_ENDPOINT_TYPE_ISOCHRONOUS, high ? 1024 : 192, 1));
  }
  for (int i = 1; i <= c.extraInterfaces; ++i) {
    Append(config, InterfaceDescriptor((UCHAR)i, 0, 2, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0));
    Append(config, EndpointDescriptor((UCHAR)(0x04 + 2 * i), USB_ENDPOINT_TYPE_BULK, bulk, 0));
    Append(config, EndpointDescriptor((UCHAR)(0x85 + 2 * i), USB_ENDPOINT_TYPE_BULK, bulk, 0));
  }
  set.configurations.push_back(config);
  set.strings[0] = LanguageDescriptor({0x0409});
  set.strings[1] = StringDescriptor(c.manufacturer);
  set.strings[2] = StringDescriptor(c.productName);
  if (!c.serial.empty()) set.strings[3] = StringDescriptor(c.serial);
  return set;
}

}  // namespace sim::usb
