// Fixture of the driver tests that work on the driver's records: one fresh machine per test with the real driver, simulated
// cables plugged into its USB bus, and helpers that look at what the driver left in the registry, the
// object namespace, the USB traffic log and its own records.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "machine/machine.h"

#include "driver/extension.h"
#include "driver/names.h"
#include "driver/port_controller.h"
#include "driver/start.h"
#include "driver/usb_requests.h"

namespace d1 {

inline constexpr int32_t kStatusSuccess = 0;
inline constexpr int32_t kStatusUnsuccessful = int32_t(0xC0000001);
inline constexpr int32_t kStatusInvalidParameter = int32_t(0xC000000D);
inline constexpr int32_t kStatusNoMemory = int32_t(0xC0000017);
inline constexpr int32_t kStatusObjectNameCollision = int32_t(0xC0000035);
inline constexpr int32_t kStatusInsufficientResources = int32_t(0xC000009A);

inline const std::string kClassRoot = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC\\";
inline const std::string kEnumRoot = "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0F1B&PID_1002\\";

// ASCII view of a NUL-terminated WCHAR string of the driver.
inline std::string Narrow(const WCHAR* text)
{
    std::string out;
    for (; *text != 0; ++text) out.push_back(static_cast<char>(*text));
    return out;
}

// Registry parameters to put into a cable's driver key before it is plugged (absent: not written).
struct Parameters {
    std::optional<uint32_t> altSetting;
    std::optional<uint32_t> ifSetting;
    std::optional<uint32_t> maxTransferSize;
};

class MachineTest : public ::testing::Test {
public:
    // A cable whose control transfers complete inside the call, so that time only moves by the driver's
    // own sleeps and time-outs.
    static w98::CableOptions syncCable()
    {
        w98::CableOptions options;
        options.port.synchronousControl = true;
        return options;
    }

    // A printer that does not take part in IEEE 1284 negotiation: the device-ID exchange fails fast.
    static w98::CableOptions silentPrinterCable()
    {
        w98::CableOptions options = syncCable();
        options.printer.supports1284 = false;
        return options;
    }

protected:
    void SetUp() override
    {
        static std::atomic<int> serial{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = std::filesystem::temp_directory_path() /
                  ("oslnk_machine_" + std::to_string(getpid()) + "_" + std::to_string(serial++) + "_" + info->name());
        std::filesystem::remove_all(folder_);
        machine_ = std::make_unique<w98::Machine>(folder_);
    }

    void TearDown() override
    {
        machine_.reset();  // takes the cables out; the kernel reports leaks and stuck requests here
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }

    w98::Machine& machine() { return *machine_; }
    w98::Kernel& kernel() { return machine_->kernel(); }
    w98::UsbBus& usb() { return machine_->usb(); }
    w98::Ticks now() { return kernel().clock().now(); }

    int plug(w98::CableOptions options = syncCable()) { return machine_->plug(std::move(options)); }

    // Plugs a cable whose driver key already holds `parameters`; the cable gets instance id `instance`,
    // and its device key names the driver key USBQXC\<driverKey>.
    int plugWithParameters(const std::string& instance, const std::string& driverKey, const Parameters& parameters,
                           w98::CableOptions options = syncCable())
    {
        w98::Registry& registry = machine_->registry();
        const std::string classKey = kClassRoot + driverKey;
        registry.createKey(classKey);
        if (parameters.altSetting) registry.setDword(classKey, "AltSetting", *parameters.altSetting);
        if (parameters.ifSetting) registry.setDword(classKey, "IFSetting", *parameters.ifSetting);
        if (parameters.maxTransferSize) registry.setDword(classKey, "MaxTransferSize", *parameters.maxTransferSize);
        registry.createKey(kEnumRoot + instance);
        registry.setString(kEnumRoot + instance, "Driver", "USBQXC\\" + driverKey);
        options.port.instanceId = instance;
        const int number = plug(std::move(options));
        const auto node = machine_->devnode(number);
        EXPECT_TRUE(node.has_value());
        if (node) {
            EXPECT_EQ(node->driverKey, classKey) << "the devnode did not keep the prepared driver key";
        }
        return number;
    }

    w98::DevNodeInfo devnode(int number)
    {
        auto node = machine_->devnode(number);
        if (!node) ADD_FAILURE() << "cable " << number << " has no devnode";
        return node.value_or(w98::DevNodeInfo{});
    }

    // The driver's FDO of a plugged cable: the device attached above the bus's PDO.
    PDEVICE_OBJECT fdo(int number)
    {
        const w98::DevNodeInfo node = devnode(number);
        if (node.pdo == nullptr) return nullptr;
        return reinterpret_cast<PDEVICE_OBJECT>(node.pdo)->AttachedDevice;
    }

    FdoExtension& extension(int number)
    {
        PDEVICE_OBJECT device = fdo(number);
        if (device == nullptr || device->DeviceExtension == nullptr) {
            ADD_FAILURE() << "cable " << number << " has no FDO";
            static FdoExtension none{};
            return none;
        }
        return *FdoExtensionOf(device);
    }

    sim::Cable& cable(int number) { return *machine_->cable(number)->cable; }

    // The raw data of "Port Name" in a key, or nullopt when the value is missing.
    std::optional<w98::RegValue> portName(const std::string& key)
    {
        return machine_->registry().value(key, "Port Name");
    }

    std::vector<w98::TrafficRecord> controlRecords(size_t from = 0)
    {
        std::vector<w98::TrafficRecord> all = usb().log().recordsOfKind(w98::TransferKind::Control);
        if (from >= all.size()) return {};
        return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
    }
    size_t controlMark() { return usb().log().recordsOfKind(w98::TransferKind::Control).size(); }

    // Pool blocks of the driver's tag still allocated.
    size_t driverBlocks() { return kernel().pool().outstanding(w98::kDriverPoolTag).size(); }

private:
    std::filesystem::path folder_;
    std::unique_ptr<w98::Machine> machine_;
};

// A setup packet as the traffic log records it.
inline w98::SetupPacket Packet(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length)
{
    w98::SetupPacket setup;
    setup.bmRequestType = type;
    setup.bRequest = request;
    setup.wValue = value;
    setup.wIndex = index;
    setup.wLength = length;
    return setup;
}

}  // namespace d1
