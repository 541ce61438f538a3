// The USBD library routines the drivers link against, on good and malformed
// configuration descriptors: zero and short bLength, wTotalLength beyond the
// buffer, no interface, no endpoints.
#include <gtest/gtest.h>

#include "sim/kernel/machine.h"
#include "sim/usb/adapter.h"
#include "sim/usb/descriptors.h"

namespace {

using sim::usb::Bytes;

// A configuration descriptor copied into pool, as a driver holds it.
class PoolConfig {
 public:
  explicit PoolConfig(const Bytes& bytes) : p_((uint8_t*)ExAllocatePool(NonPagedPool, bytes.size())) {
    std::memcpy(p_, bytes.data(), bytes.size());
  }
  ~PoolConfig() { ExFreePool(p_); }
  PUSB_CONFIGURATION_DESCRIPTOR get() const { return (PUSB_CONFIGURATION_DESCRIPTOR)p_; }
  uint8_t* bytes() const { return p_; }

 private:
  uint8_t* p_;
};

Bytes AdapterConfiguration(sim::usb::AdapterConfig config = {}) {
  return sim::usb::AdapterDescriptors(config).configurations[0];
}

class Usbd : public ::testing::Test {
 protected:
  sim::Machine machine;
};

TEST_F(Usbd, ParseConfigurationDescriptorExMatchesWildcardsAndFilters) {
  sim::usb::AdapterConfig two;
  two.extraInterfaces = 1;
  PoolConfig config(AdapterConfiguration(two));
  PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(config.get(), config.get(), -1, -1, -1, -1, -1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ((uint8_t*)first - config.bytes(), 9);
  EXPECT_EQ(first->bNumEndpoints, 3);
  PUSB_INTERFACE_DESCRIPTOR second = USBD_ParseConfigurationDescriptorEx(config.get(), config.get(), 1, -1, -1, -1, -1);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->bInterfaceNumber, 1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config.get(), (uint8_t*)first + 1, 0, -1, -1, -1, -1), nullptr)
      << "the search starts at StartPosition";
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config.get(), config.get(), -1, -1, 0x03, -1, -1), nullptr)
      << "no HID interface";
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(config.get(), 1, 0), second);
}

TEST_F(Usbd, ParseDescriptorsWalksToTheRequestedType) {
  PoolConfig config(AdapterConfiguration());
  auto endpoint = (PUSB_ENDPOINT_DESCRIPTOR)USBD_ParseDescriptors(config.get(), config.get()->wTotalLength, config.get(),
                                                                  USB_ENDPOINT_DESCRIPTOR_TYPE);
  ASSERT_NE(endpoint, nullptr);
  EXPECT_EQ(endpoint->bEndpointAddress, 0x01);
  auto next = (PUSB_ENDPOINT_DESCRIPTOR)USBD_ParseDescriptors(config.get(), config.get()->wTotalLength,
                                                              (uint8_t*)endpoint + endpoint->bLength, USB_ENDPOINT_DESCRIPTOR_TYPE);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->bEndpointAddress, 0x82);
  EXPECT_EQ(USBD_ParseDescriptors(config.get(), config.get()->wTotalLength, config.get(), USB_STRING_DESCRIPTOR_TYPE),
            nullptr);
}

TEST_F(Usbd, CreateConfigurationRequestDescribesEveryInterfaceAndItsPipes) {
  sim::usb::AdapterConfig two;
  two.extraInterfaces = 1;
  PoolConfig config(AdapterConfiguration(two));
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(config.get(), &size);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 5));
  EXPECT_EQ(urb->UrbHeader.Length, size);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config.get());
  auto& first = urb->UrbSelectConfiguration.Interface;
  EXPECT_EQ(first.Length, GET_USBD_INTERFACE_SIZE(3));
  EXPECT_EQ(first.NumberOfPipes, 3u);
  EXPECT_EQ(first.Pipes[0].MaximumTransferSize, (ULONG)USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  auto second = (PUSBD_INTERFACE_INFORMATION)((uint8_t*)&first + first.Length);
  EXPECT_EQ(second->InterfaceNumber, 1);
  EXPECT_EQ(second->NumberOfPipes, 2u);
  ExFreePool(urb);  // the driver frees it with ExFreePool
}

TEST_F(Usbd, CreateConfigurationRequestExPointsTheListAtItsRecords) {
  PoolConfig config(AdapterConfiguration());
  USBD_INTERFACE_LIST_ENTRY list[2] = {
      {USBD_ParseConfigurationDescriptorEx(config.get(), config.get(), 0, 0, -1, -1, -1), nullptr}, {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(config.get(), list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3));
  ExFreePool(urb);
}

// Each malformed configuration, with what the routines still find in it.
TEST_F(Usbd, MalformedDescriptorsNeverTakeTheWalkOutsideTheBuffer) {
  Bytes good = AdapterConfiguration();

  Bytes zero = good;
  zero[9] = 0;  // the interface descriptor's bLength
  PoolConfig z(zero);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(z.get(), z.get(), -1, -1, -1, -1, -1), nullptr);
  USHORT size = 1;
  PURB urb = USBD_CreateConfigurationRequest(z.get(), &size);
  ASSERT_NE(urb, nullptr) << "a request with no interface in it";
  EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 0u);
  ExFreePool(urb);

  Bytes shortEndpoint = good;
  shortEndpoint[18] = 3;  // the first endpoint descriptor's bLength
  PoolConfig s(shortEndpoint);
  EXPECT_NE(USBD_ParseConfigurationDescriptorEx(s.get(), s.get(), -1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(s.get(), s.get()->wTotalLength, s.get(), USB_STRING_DESCRIPTOR_TYPE), nullptr);

  Bytes tooLong = good;
  tooLong[2] = 0xFF;  // wTotalLength far beyond the 39 bytes there are
  tooLong[3] = 0x7F;
  PoolConfig t(tooLong);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(t.get(), t.get(), 5, -1, -1, -1, -1), nullptr)
      << "stops at the end of the pool block";
  EXPECT_EQ(USBD_ParseDescriptors(t.get(), 0x7FFF, t.get(), USB_STRING_DESCRIPTOR_TYPE), nullptr);

  Bytes none(good.begin(), good.begin() + 9);
  none[2] = 9;
  none[3] = 0;
  PoolConfig n(none);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(n.get(), n.get(), -1, -1, -1, -1, -1), nullptr);

  Bytes noEndpoints(good.begin(), good.begin() + 18);
  noEndpoints[9 + 4] = 0;
  noEndpoints[2] = 18;
  PoolConfig e(noEndpoints);
  urb = USBD_CreateConfigurationRequest(e.get(), &size);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 0u);
  EXPECT_EQ(size, sizeof(struct _URB_SELECT_CONFIGURATION)) << "never shorter than the record itself";
  ExFreePool(urb);

  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_CreateConfigurationRequest(nullptr, &size), nullptr);
}

TEST_F(Usbd, GetInterfaceLengthCountsTheInterfaceAndWhatFollowsIt) {
  sim::usb::AdapterConfig two;
  two.extraInterfaces = 1;
  PoolConfig config(AdapterConfiguration(two));
  PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptor(config.get(), 0, 0);
  EXPECT_EQ(USBD_GetInterfaceLength(first, config.bytes() + config.get()->wTotalLength), 9u + 3 * 7);
}

}  // namespace
