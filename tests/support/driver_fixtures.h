// The driver tests' fixtures over the test rig (scratch_machine.h): one fresh machine per test with the real
// driver and simulated cables plugged into its USB bus.
// MachineTest looks at what the driver left in the registry, the object namespace, the USB traffic log and its
// own records; DriverTest adds user-mode I/O through the kernel's UserIo, and raw requests built with the I/O
// manager for what user mode cannot send (Plug and Play minor codes, requests to the child device).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scratch_machine.h"

#include "driver/extension.h"
#include "driver/names.h"
#include "driver/port_controller.h"
#include "driver/read_write.h"
#include "driver/start.h"
#include "driver/usb_requests.h"
#include "include/oslnk_ioctl.h"

namespace testrig {

inline const std::string kClassRoot = std::string(kDriverClassKey) + "\\";
inline const std::string kEnumRoot = std::string(kCableEnumKey) + "\\";
inline constexpr auto& kAcmeId = kPrinterDeviceId;
inline constexpr uint32_t kTag = w98::kDriverPoolTag;
inline constexpr w98::Ticks kMs = w98::Clock::kMillisecond;
inline constexpr w98::Ticks kSecond = w98::Clock::kSecond;

// ASCII view of a NUL-terminated WCHAR string of the driver.
inline std::string Narrow(const WCHAR* text)
{
    std::string out;
    for (; *text != 0; ++text) out.push_back(static_cast<char>(*text));
    return out;
}

class MachineTest : public ::testing::Test {
public:
    static w98::CableOptions syncCable() { return SyncCable(); }
    static w98::CableOptions silentPrinterCable() { return SilentPrinterCable(); }

protected:
    void SetUp() override { scratch_ = std::make_unique<ScratchMachine>("driver_test"); }
    // Takes the cables out; the kernel reports leaks and stuck requests here.
    void TearDown() override { scratch_.reset(); }

    w98::Machine& machine() { return scratch_->machine(); }
    // Stops the machine and boots a fresh one in the same folder.
    void restartMachine() { scratch_->restart(); }
    w98::Kernel& kernel() { return machine().kernel(); }
    w98::UsbBus& usb() { return machine().usb(); }
    w98::UserIo& io() { return kernel().user(); }
    w98::TrafficLog& log() { return usb().log(); }
    w98::Ticks now() { return kernel().clock().now(); }

    int plug(w98::CableOptions options = syncCable()) { return machine().plug(std::move(options)); }

    // Plugs a cable whose driver key already holds `parameters`; the cable gets instance id `instance`,
    // and its device key names the driver key USBQXC\<driverKey>.
    int plugWithParameters(const std::string& instance, const std::string& driverKey, const DriverParameters& parameters,
                           w98::CableOptions options = syncCable())
    {
        w98::Registry& registry = machine().registry();
        const std::string classKey = WriteDriverParameters(registry, driverKey, parameters);
        EXPECT_FALSE(classKey.empty()) << "the driver key " << driverKey << " could not be written";
        EXPECT_TRUE(AssignDriverKey(registry, instance, driverKey));
        options.port.instanceId = instance;
        const int number = plug(std::move(options));
        const auto node = machine().devnode(number);
        EXPECT_TRUE(node.has_value());
        if (node) {
            EXPECT_EQ(node->driverKey, classKey) << "the devnode did not keep the prepared driver key";
        }
        return number;
    }

    w98::DevNodeInfo devnode(int number)
    {
        auto node = machine().devnode(number);
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

    sim::Cable& cable(int number) { return *machine().cable(number)->cable; }

    // The raw data of "Port Name" in a key, or nullopt when the value is missing.
    std::optional<w98::RegValue> portName(const std::string& key)
    {
        return machine().registry().value(key, "Port Name");
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
    std::unique_ptr<ScratchMachine> scratch_;
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

// Answer of a request sent straight to a device object.
struct Answer {
    NTSTATUS returned = 0;     // what the dispatch routine returned
    NTSTATUS status = 0;       // IoStatus.Status at completion
    ULONG_PTR information = 0; // IoStatus.Information at completion
};

class DriverTest : public MachineTest {
protected:
    // Plugs a cable whose printer answers `deviceId`; `tweak` may change anything else first.
    int Plug(std::string deviceId = kAcmeId, const std::function<void(w98::CableOptions&)>& tweak = {})
    {
        w98::CableOptions options = PrinterCable(std::move(deviceId));
        if (tweak) tweak(options);
        return machine().plug(std::move(options));
    }
    sim::Cable& CableOf(int number) { return *machine().cable(number)->cable; }

    DEVICE_OBJECT* Pdo(int number)
    {
        auto node = machine().devnode(number);
        return node ? node->pdo : nullptr;
    }
    DEVICE_OBJECT* Fdo(int number)
    {
        DEVICE_OBJECT* pdo = Pdo(number);
        return pdo ? kernel().io().topOfStack(pdo) : nullptr;
    }
    FdoExtension* Ext(int number)
    {
        DEVICE_OBJECT* fdo = Fdo(number);
        return fdo ? static_cast<FdoExtension*>(fdo->DeviceExtension) : nullptr;
    }
    // The child printer device of the cable, from its devnode.
    DEVICE_OBJECT* Child(int number)
    {
        auto node = machine().devnode(number);
        if (!node || node->children.empty()) return nullptr;
        auto child = kernel().pnp().device(node->children.front());
        return child ? child->pdo : nullptr;
    }
    std::optional<w98::DevNodeInfo> ChildNode(int number)
    {
        auto node = machine().devnode(number);
        if (!node || node->children.empty()) return std::nullopt;
        return kernel().pnp().device(node->children.front());
    }

    // Opens \\.\KVUSB<port>.
    w98::UserIo::OpenResult OpenPort(int port = 1) { return io().open("\\\\.\\KVUSB" + std::to_string(port)); }
    w98::UserIo::Handle Open(int port = 1)
    {
        auto opened = OpenPort(port);
        EXPECT_EQ(opened.status, STATUS_SUCCESS) << "open of KVUSB" << port;
        return opened.handle;
    }
    w98::UserIo::Result Write(w98::UserIo::Handle h, const std::vector<uint8_t>& bytes)
    {
        return io().write(h, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    w98::UserIo::Result Control(w98::UserIo::Handle h, uint32_t code, const std::vector<uint8_t>& in,
                                std::vector<uint8_t>* out = nullptr)
    {
        return io().deviceControl(h, code, in.empty() ? nullptr : in.data(), static_cast<uint32_t>(in.size()),
                                  out && !out->empty() ? out->data() : nullptr,
                                  out ? static_cast<uint32_t>(out->size()) : 0);
    }

    // Sends one request with major code `major` and minor code `minor` to `target` and waits for it.
    Answer Send(DEVICE_OBJECT* target, UCHAR major, UCHAR minor,
                const std::function<void(PIO_STACK_LOCATION, PIRP)>& setup = {}, NTSTATUS initialStatus = STATUS_NOT_SUPPORTED,
                ULONG_PTR initialInformation = 0)
    {
        struct Outcome {
            bool done = false;
            NTSTATUS status = 0;
            ULONG_PTR information = 0;
        };
        auto outcome = std::make_shared<Outcome>();
        w98::Clock& clock = kernel().clock();
        IRP* irp = kernel().io().allocateOwnedIrp(target, [outcome, &clock](IRP* done) {
            const NTSTATUS s = done->IoStatus.Status;
            const ULONG_PTR info = done->IoStatus.Information;
            clock.update([&] {
                outcome->status = s;
                outcome->information = info;
                outcome->done = true;
            });
        });
        irp->IoStatus.Status = initialStatus;
        irp->IoStatus.Information = initialInformation;
        irp->RequestorMode = KernelMode;
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = major;
        sp->MinorFunction = minor;
        if (setup) setup(sp, irp);
        Answer answer;
        answer.returned = IofCallDriver(target, irp);
        clock.waitUntil([&] { return outcome->done; }, "driver test request");
        answer.status = outcome->status;
        answer.information = outcome->information;
        return answer;
    }
    Answer SendPnp(DEVICE_OBJECT* target, UCHAR minor, const std::function<void(PIO_STACK_LOCATION, PIRP)>& setup = {},
                   ULONG_PTR initialInformation = 0)
    {
        return Send(target, IRP_MJ_PNP, minor, setup, STATUS_NOT_SUPPORTED, initialInformation);
    }

    // A wide (UTF-16) pool string answer as 8-bit text; frees it as the Plug and Play manager would.
    std::vector<std::string> TakeStrings(ULONG_PTR information)
    {
        std::vector<std::string> out;
        auto* text = reinterpret_cast<const WCHAR*>(information);
        if (text == nullptr) return out;
        auto block = kernel().pool().block(text);
        EXPECT_TRUE(block.has_value());
        const size_t units = block ? block->size / sizeof(WCHAR) : 0;
        std::string current;
        for (size_t i = 0; i < units; ++i) {
            if (text[i] == 0) {
                if (current.empty()) break;
                out.push_back(current);
                current.clear();
            } else {
                current.push_back(static_cast<char>(text[i]));
            }
        }
        if (!current.empty()) out.push_back(current + "<unterminated>");
        ExFreePool(const_cast<WCHAR*>(text));
        return out;
    }

    size_t Mark() { return log().size(); }
    std::vector<w98::TrafficRecord> Since(size_t mark)
    {
        auto all = log().records();
        return std::vector<w98::TrafficRecord>(all.begin() + static_cast<std::ptrdiff_t>(std::min(mark, all.size())),
                                               all.end());
    }
};

}  // namespace testrig
