// The registry calls of drivers: device and driver keys, RtlQueryRegistryValues, ZwSetValueKey, ZwClose.
#include "pnp_drivers.h"

namespace w98::test {
namespace {

class RegistryCallsTest : public PnpTestBase {
 protected:
  RegistryCallsTest() {
    fn().reportChild = false;
    pdo = bus->plug();
    EXPECT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_SUCCESS);
    node = *kernel->pnp().deviceFor(pdo);
  }
  ~RegistryCallsTest() override { kernel->pnp().deviceRemoved(pdo, Removal::Unplug); }

  HANDLE open(ULONG which) {
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, which, KEY_READ, &key), STATUS_SUCCESS);
    return key;
  }
  // One direct DWORD query as a driver makes it: default = the variable's current value.
  NTSTATUS queryDword(HANDLE key, const char16_t* name, ULONG* value) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    ULONG fallback = *value;
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = name;
    table[0].EntryContext = value;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &fallback;
    table[0].DefaultLength = sizeof(ULONG);
    return RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, nullptr, nullptr);
  }

  PDEVICE_OBJECT pdo = nullptr;
  DevNodeInfo node;
};

TEST_F(RegistryCallsTest, DirectDwordQueryReadsTheValueOrKeepsTheDefault) {
  registry.setDword(node.driverKey, "MaxTransferSize", 4096);
  registry.setString(node.driverKey, "IFSetting", "not a number");
  HANDLE key = open(PLUGPLAY_REGKEY_DRIVER);
  ULONG max = 1024, alt = 0;
  EXPECT_EQ(queryDword(key, u"MaxTransferSize", &max), STATUS_SUCCESS);
  EXPECT_EQ(max, 4096u);
  EXPECT_EQ(queryDword(key, u"AltSetting", &alt), STATUS_SUCCESS);
  EXPECT_EQ(alt, 0u) << "absent: the default, which is the current value";
  alt = 7;
  EXPECT_EQ(queryDword(key, u"AltSetting", &alt), STATUS_SUCCESS);
  EXPECT_EQ(alt, 7u);
  // A string where a DWORD is expected is stored as a string is, into a UNICODE_STRING: Windows 98's
  // direct query checks no type.
  union {
    ULONG number;
    UNICODE_STRING text;
  } slot{};
  EXPECT_EQ(queryDword(key, u"IFSetting", &slot.number), STATUS_SUCCESS);
  ASSERT_NE(slot.text.Buffer, nullptr);
  EXPECT_EQ(std::u16string(slot.text.Buffer, slot.text.Length / sizeof(WCHAR)), u"not a number");
  RtlFreeUnicodeString(&slot.text);
  // A binary value longer than a ULONG needs a sized buffer, which a plain ULONG is not.
  registry.setValue(node.driverKey, "Blob", RegValue{RegType::Binary, {1, 2, 3, 4, 5, 6}});
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  ULONG blob = 0;
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = u"Blob";
  table[0].EntryContext = &blob;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, nullptr, nullptr),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(blob, 0u);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryCallsTest, DirectStringQueryAllocatesTheBuffer) {
  registry.setString(node.deviceKey, "FriendlyName", "Ostrolink");
  HANDLE key = open(PLUGPLAY_REGKEY_DEVICE);
  UNICODE_STRING value{};
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
  table[0].Name = u"FriendlyName";
  table[0].EntryContext = &value;
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(value.Buffer, value.Length / sizeof(WCHAR)), u"Ostrolink");
  RtlFreeUnicodeString(&value);
  table[0].Name = u"Missing";
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(key);
}

TEST_F(RegistryCallsTest, SetValueStoresStringsAsUtf16le) {
  HANDLE key = open(PLUGPLAY_REGKEY_DEVICE);
  UNICODE_STRING name = U(u"Port Name");
  const char16_t text[] = u"KVUSB1";
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<char16_t*>(text), 6 * sizeof(WCHAR)), STATUS_SUCCESS);
  auto stored = registry.value(node.deviceKey, "Port Name");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->type, RegType::Sz);
  EXPECT_EQ(stored->data, (std::vector<uint8_t>{'K', 0, 'V', 0, 'U', 0, 'S', 0, 'B', 0, '1', 0}));
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<char16_t*>(text), 0), STATUS_SUCCESS);
  EXPECT_TRUE(registry.value(node.deviceKey, "Port Name")->data.empty());
  ULONG dword = 0x01020304;
  UNICODE_STRING dwordName = U(u"Number");
  ASSERT_EQ(ZwSetValueKey(key, &dwordName, 0, REG_DWORD, &dword, 4), STATUS_SUCCESS);
  EXPECT_EQ(registry.dwordValue(node.deviceKey, "Number"), 0x01020304u);
  ZwClose(key);
}

TEST_F(RegistryCallsTest, BadHandlesAreReported) {
  recordFaults();
  int bogus = 0;
  EXPECT_EQ(ZwClose(&bogus), STATUS_INVALID_HANDLE);
  UNICODE_STRING name = U(u"X");
  ULONG v = 1;
  EXPECT_EQ(ZwSetValueKey(&bogus, &name, 0, REG_DWORD, &v, 4), STATUS_INVALID_HANDLE);
  EXPECT_EQ(faults(Fault::BadCall), 2u);
  HANDLE key = open(PLUGPLAY_REGKEY_DRIVER);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE) << "closed twice";
}

TEST_F(RegistryCallsTest, DeviceKeyOfANonPdoIsRefused) {
  TestDriver drv(*kernel);
  Device& d = drv.create();
  HANDLE key = reinterpret_cast<HANDLE>(1);
  EXPECT_EQ(IoOpenDeviceRegistryKey(d.object, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(key, nullptr);
}

TEST(RegistryCallsDeathTest, UnclosedHandleIsReportedAtTheEnd) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Registry registry;
        Kernel kernel(registry);
        kernel.openKeyHandle("HKEY_LOCAL_MACHINE\\Enum\\X");
      },
      "HANDLE_LEAK.*Enum\\\\X");
}

TEST(RtlStringTest, AnsiToUnicodeAllocatesFromPoolAndFrees) {
  Registry registry;
  Kernel kernel(registry);
  ANSI_STRING a;
  RtlInitAnsiString(&a, "\\DosDevices\\KVUSB1");
  EXPECT_EQ(a.Length, 18);
  EXPECT_EQ(a.MaximumLength, 19);
  UNICODE_STRING u;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(u.Length, 18 * sizeof(WCHAR));
  EXPECT_EQ(std::u16string(u.Buffer), u"\\DosDevices\\KVUSB1");
  EXPECT_EQ(kernel.pool().outstanding().size(), 1u);
  RtlFreeUnicodeString(&u);
  EXPECT_EQ(u.Buffer, nullptr);
  EXPECT_TRUE(kernel.pool().outstanding().empty());

  WCHAR small[4];
  UNICODE_STRING s{0, sizeof small, small};
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&s, &a, FALSE), STATUS_BUFFER_OVERFLOW);
  kernel.pool().failNth(1);
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_NO_MEMORY);
}

}  // namespace
}  // namespace w98::test
