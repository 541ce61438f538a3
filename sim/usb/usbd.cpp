// The USB driver interface library (USBD.SYS) the drivers link against:
// configuration requests and descriptor parsing. Descriptors come from
// devices and may be malformed; the walks never read past the block
// (wTotalLength, bounded by the pool block that holds it) and stop at a zero
// or short bLength, where USBD would loop or read beyond the buffer.
#include <algorithm>
#include <vector>

#include "sim/ddk/ntddk.h"
#include "sim/usb/descriptors.h"

using namespace sim::usb;

namespace {

// The readable extent of a configuration descriptor block.
const uint8_t* ConfigurationEnd(PUSB_CONFIGURATION_DESCRIPTOR config) {
  size_t claimed = config->wTotalLength;
  return (const uint8_t*)config + ReadableLength(config, claimed);
}

ULONG InterfaceInformationSize(ULONG pipes) {
  return (ULONG)(sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) + pipes * sizeof(USBD_PIPE_INFORMATION));
}

void FillInterface(PUSBD_INTERFACE_INFORMATION info, PUSB_INTERFACE_DESCRIPTOR descriptor) {
  info->Length = (USHORT)InterfaceInformationSize(descriptor->bNumEndpoints);
  info->InterfaceNumber = descriptor->bInterfaceNumber;
  info->AlternateSetting = descriptor->bAlternateSetting;
  info->NumberOfPipes = descriptor->bNumEndpoints;
  for (ULONG i = 0; i < info->NumberOfPipes; ++i) info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
}

}  // namespace

extern "C" {

void NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (!VersionInformation) return;
  VersionInformation->USBDI_Version = USBDI_VERSION;
  VersionInformation->Supported_USB_Version = 0x200;
}

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType) {
  if (!DescriptorBuffer) return nullptr;
  auto* begin = (const uint8_t*)DescriptorBuffer;
  DescriptorWalk walk(begin, begin + ReadableLength(begin, TotalLength), (const uint8_t*)StartPosition);
  return (PUSB_COMMON_DESCRIPTOR)walk.Next((UCHAR)DescriptorType);
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                    PVOID StartPosition, LONG InterfaceNumber,
                                                                    LONG AlternateSetting, LONG InterfaceClass,
                                                                    LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (!ConfigurationDescriptor) return nullptr;
  auto* begin = (const uint8_t*)ConfigurationDescriptor;
  DescriptorWalk walk(begin, ConfigurationEnd(ConfigurationDescriptor), (const uint8_t*)StartPosition);
  auto matches = [](LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; };
  while (const USB_COMMON_DESCRIPTOR* d = walk.Next(USB_INTERFACE_DESCRIPTOR_TYPE)) {
    if (d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;
    auto* i = (PUSB_INTERFACE_DESCRIPTOR)d;
    if (matches(InterfaceNumber, i->bInterfaceNumber) && matches(AlternateSetting, i->bAlternateSetting) &&
        matches(InterfaceClass, i->bInterfaceClass) && matches(InterfaceSubClass, i->bInterfaceSubClass) &&
        matches(InterfaceProtocol, i->bInterfaceProtocol))
      return i;
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                  UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                             AlternateSetting, -1, -1, -1);
}

ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
  if (!InterfaceDescriptor || (PUCHAR)InterfaceDescriptor >= BufferEnd) return 0;
  auto* begin = (const uint8_t*)InterfaceDescriptor;
  DescriptorWalk walk(begin, BufferEnd);
  const USB_COMMON_DESCRIPTOR* d = walk.Next();
  if (!d) return 0;
  ULONG length = d->bLength;
  while ((d = walk.Next()) && d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE) length += d->bLength;
  return length;
}

// Allocates from non-paged pool (the caller frees with ExFreePool) a
// select-configuration URB with one USBD_INTERFACE_INFORMATION per entry of
// `InterfaceList`, and points each entry's Interface at its record.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (!ConfigurationDescriptor || !InterfaceList) return nullptr;
  size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  size_t interfaces = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry, ++interfaces)
    size += InterfaceInformationSize(entry->InterfaceDescriptor->bNumEndpoints);
  if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) size = sizeof(struct _URB_SELECT_CONFIGURATION);
  if (size > MAXUSHORT) return nullptr;  // the URB header's Length is 16 bits
  auto urb = (PURB)ExAllocatePool(NonPagedPool, size);
  if (!urb) return nullptr;
  std::memset(urb, 0, size);
  urb->UrbHeader.Length = (USHORT)size;
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  auto info = &urb->UrbSelectConfiguration.Interface;
  for (size_t i = 0; i < interfaces; ++i) {
    FillInterface(info, InterfaceList[i].InterfaceDescriptor);
    InterfaceList[i].Interface = info;
    info = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)info + info->Length);
  }
  return urb;
}

// The older form: the first alternate setting of every interface of the
// configuration, in the order the descriptors list them; `Siz` gets the URB's size.
PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
  if (Siz) *Siz = 0;
  if (!ConfigurationDescriptor) return nullptr;
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  std::vector<UCHAR> seen;
  PVOID start = ConfigurationDescriptor;
  while (PUSB_INTERFACE_DESCRIPTOR i =
             USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, start, -1, -1, -1, -1, -1)) {
    start = (PUCHAR)i + i->bLength;
    if (std::find(seen.begin(), seen.end(), i->bInterfaceNumber) != seen.end()) continue;
    seen.push_back(i->bInterfaceNumber);
    list.push_back({i, nullptr});
  }
  list.push_back({nullptr, nullptr});
  PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list.data());
  if (urb && Siz) *Siz = urb->UrbHeader.Length;
  return urb;
}

}  // extern "C"
