// Requests that user mode cannot send: every major function, and device control with random codes and
// buffers, sent straight to the printer's child device object (which has no name and is never opened) and
// to the cable's device as internal device control. Each must complete at once without touching the cable
// (no bus request) and without a verifier report, and both devices must keep working.
#include <gtest/gtest.h>

#include <ddk/wdm.h>

#include <memory>
#include <random>
#include <vector>

#include "include/oslnk_ioctl.h"
#include "scenarios.h"

namespace rel {
namespace {

struct Answer {
    NTSTATUS returned = 0;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    bool done = false;
};

class RawRequests : public ::testing::Test {
protected:
    void SetUp() override
    {
        rig_ = std::make_unique<Rig>("raw_requests");
        cable_ = rig_->plug();
        const auto children = rig_->children(cable_);
        ASSERT_EQ(children.size(), 1u);
        child_ = reinterpret_cast<PDEVICE_OBJECT>(children[0].pdo);
        fdo_ = reinterpret_cast<PDEVICE_OBJECT>(rig_->devnode(cable_)->pdo)->AttachedDevice;
        ASSERT_NE(fdo_, nullptr);
    }
    void TearDown() override
    {
        for (const auto& p : rig_->finish()) ADD_FAILURE() << p;
    }

    // One request through the I/O manager to `target`; waits for its completion.
    Answer Send(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, ULONG code, std::vector<uint8_t>* buffer, ULONG in,
                ULONG out)
    {
        auto answer = std::make_shared<Answer>();
        w98::Clock& clock = rig_->kernel().clock();
        PIRP irp = rig_->kernel().io().allocateOwnedIrp(target, [answer, &clock](PIRP done) {
            const NTSTATUS s = done->IoStatus.Status;
            const ULONG_PTR info = done->IoStatus.Information;
            clock.update([&] {
                answer->status = s;
                answer->information = info;
                answer->done = true;
            });
        });
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->RequestorMode = KernelMode;
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = major;
        sp->MinorFunction = minor;
        if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            sp->Parameters.DeviceIoControl.IoControlCode = code;
            sp->Parameters.DeviceIoControl.InputBufferLength = in;
            sp->Parameters.DeviceIoControl.OutputBufferLength = out;
            irp->AssociatedIrp.SystemBuffer = buffer && !buffer->empty() ? buffer->data() : nullptr;
            irp->UserBuffer = irp->AssociatedIrp.SystemBuffer;
        }
        answer->returned = IofCallDriver(target, irp);
        const bool finished = clock.waitUntil([&] { return answer->done; }, "raw request",
                                              clock.now() + 60 * w98::Clock::kSecond);
        EXPECT_TRUE(finished) << "major " << int(major) << " code " << StatusText(static_cast<NtStatus>(code));
        return *answer;
    }

    std::unique_ptr<Rig> rig_;
    int cable_ = 0;
    PDEVICE_OBJECT child_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

TEST_F(RawRequests, EveryMajorFunctionToTheChildTouchesNothing)
{
    const size_t busBefore = rig_->usb().log().size();
    std::vector<uint8_t> buffer(64, 0xA5);
    for (UCHAR major = 0; major <= IRP_MJ_PNP; ++major) {
        if (major == IRP_MJ_PNP || major == 0x18) continue;  // Plug and Play answers are checked elsewhere
        const Answer a = Send(child_, major, 0, IOCTL_KVUSB_READ_REGISTERS, &buffer, 0, 7);
        EXPECT_NE(a.returned, STATUS_PENDING) << "major " << int(major);
    }
    // Every control code with room for its reply, through both control majors.
    for (UCHAR major : {UCHAR(IRP_MJ_DEVICE_CONTROL), UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL)})
        for (uint32_t n = 0; n < OSLNK_IOCTL_COUNT; ++n) {
            std::vector<uint8_t> io(1024, 0x02);
            const Answer a = Send(child_, major, 0, OSLNK_IOCTL_CODE(n), &io, 2, 1024);
            EXPECT_LT(a.status, 0) << "the child answered control code " << n;
            EXPECT_EQ(a.information, 0u);
        }
    EXPECT_EQ(rig_->usb().log().size(), busBefore) << "a request to the child reached the cable";
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0xA5; }));
    RunLog log;
    ExpectPrintWorks(*rig_, log, cable_, "a job after the requests to the child");
    for (const auto& p : log.problems) ADD_FAILURE() << p;
}

TEST_F(RawRequests, RandomInternalDeviceControlToTheCableStaysInItsBuffer)
{
    std::mt19937 random(77);
    int accepted = 0;
    for (int i = 0; i < 200; ++i) {
        uint32_t code = random() % 3 == 0 ? static_cast<uint32_t>(random())
                                          : OSLNK_IOCTL_CODE(random() % (OSLNK_IOCTL_COUNT + 2));
        if (code == IOCTL_KVUSB_WRITE_REGISTER || code == IOCTL_KVUSB_SELECT_INTERFACE) code = IOCTL_KVUSB_SOFT_RESET;
        const ULONG out = random() % 2 ? 0 : 1 + random() % 100;
        std::vector<uint8_t> io(out + 16, 0xA5);
        const Answer a = Send(fdo_, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, code, &io, 0, out);
        EXPECT_TRUE(a.status == STATUS_SUCCESS || a.status == STATUS_INVALID_PARAMETER)
            << "code " << StatusText(static_cast<NtStatus>(code)) << ": " << StatusText(a.status);
        EXPECT_LE(a.information, out);
        EXPECT_TRUE(std::all_of(io.begin() + out, io.end(), [](uint8_t b) { return b == 0xA5; }))
            << "code " << StatusText(static_cast<NtStatus>(code)) << " wrote past its output";
        accepted += a.status == STATUS_SUCCESS;
    }
    EXPECT_GT(accepted, 10);
    RunLog log;
    ExpectPrintWorks(*rig_, log, cable_, "a job after the internal requests");
    for (const auto& p : log.problems) ADD_FAILURE() << p;
    Remember("raw requests: every major function to the printer's device, 200 internal control requests to the cable's");
}

}  // namespace
}  // namespace rel
