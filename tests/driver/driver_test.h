// Fixture of the driver tests that work through requests: a fresh simulated machine with the real driver, cables plugged
// through the USB bus, user-mode I/O through the kernel's UserIo, and raw requests built with the I/O
// manager for what user mode cannot send (Plug and Play minor codes, requests to the child device).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/extension.h"
#include "driver/read_write.h"
#include "include/oslnk_ioctl.h"
#include "machine/machine.h"

namespace d2 {

inline constexpr char kAcmeId[] = "MFG:Acme;CMD:PCL;MDL:Jet 100;CLS:PRINTER;";
inline constexpr uint32_t kTag = 0x206B6444;
inline constexpr w98::Ticks kMs = w98::Clock::kMillisecond;
inline constexpr w98::Ticks kSecond = w98::Clock::kSecond;

// Answer of a request sent straight to a device object.
struct Answer {
    NTSTATUS returned = 0;     // what the dispatch routine returned
    NTSTATUS status = 0;       // IoStatus.Status at completion
    ULONG_PTR information = 0; // IoStatus.Information at completion
};

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static std::atomic<int> counter{0};
        folder_ = std::filesystem::temp_directory_path() /
                  ("oslnk_driver_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
        std::filesystem::remove_all(folder_);
        machine_ = std::make_unique<w98::Machine>(folder_);
    }
    void TearDown() override
    {
        machine_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    w98::Machine& machine() { return *machine_; }
    w98::Kernel& kernel() { return machine_->kernel(); }
    w98::UserIo& io() { return kernel().user(); }
    w98::TrafficLog& log() { return machine_->usb().log(); }
    w98::Ticks now() { return kernel().clock().now(); }

    // Plugs a cable whose printer answers `deviceId`; `tweak` may change anything else first.
    int Plug(std::string deviceId = kAcmeId, const std::function<void(w98::CableOptions&)>& tweak = {})
    {
        w98::CableOptions options;
        options.printer.deviceId = std::move(deviceId);
        if (tweak) tweak(options);
        return machine_->plug(std::move(options));
    }
    sim::Cable& CableOf(int number) { return *machine_->cable(number)->cable; }

    DEVICE_OBJECT* Pdo(int number)
    {
        auto node = machine_->devnode(number);
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
        auto node = machine_->devnode(number);
        if (!node || node->children.empty()) return nullptr;
        auto child = kernel().pnp().device(node->children.front());
        return child ? child->pdo : nullptr;
    }
    std::optional<w98::DevNodeInfo> ChildNode(int number)
    {
        auto node = machine_->devnode(number);
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

    std::unique_ptr<w98::Machine> machine_;

private:
    std::filesystem::path folder_;
};

}  // namespace d2
