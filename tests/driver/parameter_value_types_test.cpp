// Registry parameters of a type the driver does not expect must be refused, never copied past the
// 4 bytes of the variable that receives them.
#include "driver_fixtures.h"

namespace testrig {
namespace {

using ParameterValueTypes = MachineTest;

TEST_F(ParameterValueTypes, LongBinaryValueIsRefusedWhateverTheCurrentValue)
{
    // An earlier cable's driver key set a size whose top bit is set: as a LONG it reads negative,
    // which a direct query takes for the size of a larger buffer. (A first cable keeps the driver
    // loaded should that one fail to start with such a size.)
    plug();
    plugWithParameters("R1A", "0200", DriverParameters{1, 2, 0xFFFFFFF0u});
    ASSERT_EQ(MaxTransferSize, 0xFFFFFFF0u);

    const std::string classKey = kClassRoot + "0201";
    w98::Registry& registry = machine().registry();
    registry.createKey(classKey);
    w98::RegValue binary;
    binary.type = w98::RegType::Binary;
    binary.data = {0x00, 0x04, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDD};
    ASSERT_TRUE(registry.setValue(classKey, "MaxTransferSize", binary));
    plugWithParameters("R1B", "0201", DriverParameters{0, 3, std::nullopt});

    // The long value is ignored; the two good values are taken.
    EXPECT_EQ(MaxTransferSize, 0xFFFFFFF0u);
    EXPECT_EQ(IFSetting, 3);
    EXPECT_EQ(AltSetting, 0);
}

TEST_F(ParameterValueTypes, ShortBinaryValueIsWidenedNotMixedWithTheOldValue)
{
    plugWithParameters("R1C", "0202", DriverParameters{std::nullopt, std::nullopt, 0x12345678u});
    ASSERT_EQ(MaxTransferSize, 0x12345678u);
    const std::string classKey = kClassRoot + "0203";
    w98::Registry& registry = machine().registry();
    registry.createKey(classKey);
    w98::RegValue binary;
    binary.type = w98::RegType::Binary;
    binary.data = {0x00, 0x08};  // 2048, two bytes long
    ASSERT_TRUE(registry.setValue(classKey, "MaxTransferSize", binary));
    plugWithParameters("R1D", "0203", DriverParameters{});
    EXPECT_EQ(MaxTransferSize, 0x0800u);
}

TEST_F(ParameterValueTypes, FourBinaryBytesAsWindows98WritesThemCountAndAStringIsIgnored)
{
    const std::string classKey = kClassRoot + "0204";
    w98::Registry& registry = machine().registry();
    registry.createKey(classKey);
    w98::RegValue binary;
    binary.type = w98::RegType::Binary;
    binary.data = {0x00, 0x10, 0x00, 0x00};  // 4096, as the INF's Windows 98 section writes it
    ASSERT_TRUE(registry.setValue(classKey, "MaxTransferSize", binary));
    binary.data = {0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};  // nine bytes: refused
    ASSERT_TRUE(registry.setValue(classKey, "IFSetting", binary));
    ASSERT_TRUE(registry.setString(classKey, "AltSetting", "1"));
    const int number = plugWithParameters("R1E", "0204", DriverParameters{});
    EXPECT_EQ(MaxTransferSize, 4096u);
    EXPECT_EQ(IFSetting, 2);
    EXPECT_EQ(AltSetting, 0);
    constexpr uint32_t kRtlStringTag = 0x67727453;  // "Strg": the query's copy of the string
    EXPECT_TRUE(kernel().pool().outstanding(kRtlStringTag).empty()) << "the string's copy was freed";
    // A job in writes of the binary value's size prints.
    auto opened = kernel().user().open("\\\\.\\KVUSB1");
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    std::vector<uint8_t> job(4096, 0x5A);
    EXPECT_EQ(kernel().user().write(opened.handle, job.data(), 4096).information, 4096u);
    kernel().user().close(opened.handle);
    EXPECT_EQ(cable(number).printed(), job);
}

}  // namespace
}  // namespace testrig
