// The USBD routines that walk a configuration descriptor.
#include <ddk/wdm.h>
#include <usb.h>
#include <usbioctl.h>
#include <ddk/usbdlib.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

// A configuration descriptor built by hand: interface 0 (one interrupt endpoint), interface 2 alt 0 (class
// descriptor + bulk OUT 0x01 + bulk IN 0x81), interface 2 alt 1 (bulk OUT 0x02 only).
std::vector<UCHAR> sampleConfiguration() {
  std::vector<UCHAR> d = {9, 2, 0, 0, 2, 1, 0, 0x80, 50};
  auto add = [&d](std::initializer_list<UCHAR> bytes) { d.insert(d.end(), bytes); };
  add({9, 4, 0, 0, 1, 0xFF, 0, 0, 0});
  add({7, 5, 0x83, 3, 8, 0, 10});
  add({9, 4, 2, 0, 2, 7, 1, 2, 0});
  add({5, 0x21, 1, 2, 3});  // class-specific, between interface and endpoints
  add({7, 5, 0x01, 2, 64, 0, 0});
  add({7, 5, 0x81, 2, 64, 0, 0});
  add({9, 4, 2, 1, 1, 7, 1, 1, 0});
  add({7, 5, 0x02, 2, 64, 0, 0});
  d[2] = UCHAR(d.size());
  d[3] = UCHAR(d.size() >> 8);
  return d;
}

PUSB_CONFIGURATION_DESCRIPTOR asConfig(std::vector<UCHAR>& d) {
  return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
}

}  // namespace

TEST(Usbd, ParseConfigurationDescriptorFindsInterfaceAndAlternate) {
  auto d = sampleConfiguration();
  auto* cd = asConfig(d);
  auto* i2 = USBD_ParseConfigurationDescriptor(cd, 2, 0);
  ASSERT_NE(i2, nullptr);
  EXPECT_EQ(reinterpret_cast<UCHAR*>(i2) - d.data(), 9 + 9 + 7);
  EXPECT_EQ(i2->bNumEndpoints, 2);
  auto* i21 = USBD_ParseConfigurationDescriptor(cd, 2, 1);
  ASSERT_NE(i21, nullptr);
  EXPECT_EQ(i21->bAlternateSetting, 1);
  EXPECT_EQ(i21->bNumEndpoints, 1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(cd, 1, 0), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(cd, 2, 2), nullptr);
}

TEST(Usbd, ParseConfigurationDescriptorExHonoursWildcardsAndStart) {
  auto d = sampleConfiguration();
  auto* cd = asConfig(d);
  auto* printer = USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 7, -1, -1);
  ASSERT_NE(printer, nullptr);
  EXPECT_EQ(printer->bInterfaceNumber, 2);
  EXPECT_EQ(printer->bAlternateSetting, 0);
  // Starting after the first printer interface finds the next one.
  auto* next = USBD_ParseConfigurationDescriptorEx(cd, reinterpret_cast<UCHAR*>(printer) + printer->bLength, -1, -1,
                                                   7, -1, -1);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->bAlternateSetting, 1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 2, -1, 7, 1, 1), next);  // protocol 1 is alt 1 only
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 3, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1), nullptr);
}

TEST(Usbd, ParsingStopsAtMalformedDescriptorsAndAtTotalLength) {
  auto d = sampleConfiguration();
  // wTotalLength that ends inside interface 2: interface 2 cannot be found, interface 0 still can.
  d[2] = 9 + 9 + 7 + 4;
  d[3] = 0;
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(asConfig(d), 2, 0), nullptr);
  EXPECT_NE(USBD_ParseConfigurationDescriptor(asConfig(d), 0, 0), nullptr);

  // A zero bLength in the middle must not loop forever.
  auto z = sampleConfiguration();
  z[9 + 9] = 0;  // the interrupt endpoint's length
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(asConfig(z), 2, 0), nullptr);
  EXPECT_NE(USBD_ParseConfigurationDescriptor(asConfig(z), 0, 0), nullptr);

  // A descriptor that claims to run past the end is not returned.
  std::vector<UCHAR> cut = {9, 2, 14, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0};
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(asConfig(cut), 0, 0), nullptr);
}

TEST(Usbd, ParseDescriptorsFindsByTypeFromAStartPosition) {
  auto d = sampleConfiguration();
  auto* first = USBD_ParseDescriptors(d.data(), ULONG(d.size()), d.data(), USB_ENDPOINT_DESCRIPTOR_TYPE);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(first)->bEndpointAddress, 0x83);
  auto* cls = USBD_ParseDescriptors(d.data(), ULONG(d.size()), d.data(), 0x21);
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(cls->bLength, 5);
  EXPECT_EQ(USBD_ParseDescriptors(d.data(), ULONG(d.size()), d.data() + d.size(), USB_ENDPOINT_DESCRIPTOR_TYPE),
            nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(d.data(), ULONG(d.size()), d.data(), 0x30), nullptr);
}

TEST(Usbd, InterfaceLengthCoversItsClassAndEndpointDescriptors) {
  auto d = sampleConfiguration();
  auto* i2 = USBD_ParseConfigurationDescriptor(asConfig(d), 2, 0);
  EXPECT_EQ(USBD_GetInterfaceLength(i2, d.data() + d.size()), 9u + 5 + 7 + 7);
  auto* i21 = USBD_ParseConfigurationDescriptor(asConfig(d), 2, 1);
  EXPECT_EQ(USBD_GetInterfaceLength(i21, d.data() + d.size()), 9u + 7);
}

TEST(Usbd, SelectConfigurationSizeMacroMatchesTheLayout) {
  // The size the macro gives for one interface with n pipes holds exactly the interface record with n pipes.
  for (ULONG n = 1; n <= 4; ++n) {
    size_t expected = offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(n);
    EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, n), expected) << n;
  }
  EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3),
            offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(1) +
                GET_USBD_INTERFACE_SIZE(2));
  static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
  static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
  static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
  static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
  static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003);
}
