// oslnkbus.sys: a root-enumerated USB bus for Wine's kernel that presents each simulated cable (bus_sim.cpp)
// as a child device with the cable's hardware ids, so that Plug and Play loads the real oslnk.sys above it.
// A test fixture: it serves the URBs that oslnk sends with the rules of the host target's USB stack
// (platform/usb/usb_bus.cpp): the same USBD statuses, short-transfer rule, halts, and bulk transfers that
// complete asynchronously, one at a time per pipe, on the bus's own thread.
//
// Its control device \\.\OslnkCableBus (bus_control.h) lets the test program plug and unplug cables and
// read what the printers received and which setup packets the cables saw.
#include <ddk/wdm.h>
#include <usb.h>
#include <usbioctl.h>
#include <string.h>

#include "bus_control.h"
#include "bus_sim.h"

namespace {

constexpr ULONG kPoolTag = 0x73756242;  // "Bbus"
constexpr ULONG kMagicPdo = 0x4F444250, kMagicFdo = 0x4F444246;

enum class Role : ULONG { Fdo = kMagicFdo, Pdo = kMagicPdo, Control = 0x4C525443 };

struct Pipe {
    ULONG_PTR handle;
    UCHAR address;
    ULONG maxPacket;
    ULONG maxTransfer;
    bool halted;
};

// One slot of the bus. Guarded by the cancel spin lock (the bulk queue and the current transfer share it
// with the cancel routines) except where noted.
struct Slot {
    PDEVICE_OBJECT pdo;  // created at plug, deleted at the REMOVE that follows the unplug
    bool plugged;
    bool started;
    ULONG_PTR configHandle;
    Pipe pipes[8];
    ULONG pipeCount;
    LIST_ENTRY queue;  // bulk IRPs waiting, linked through Tail.Overlay.ListEntry
    PIRP current;      // the bulk IRP the bus thread is moving
    bool currentCancelled;
    ULONG pending;
    ULONG surpriseRemovals, removals, bulkDone;
    ULONG generation;
};

struct Extension {
    Role role;
    ULONG slot;
};

PDRIVER_OBJECT gDriver;
PDEVICE_OBJECT gFdo, gLower, gBusPdo, gControl;
Slot gSlots[BUS_MAX_CABLES];
KEVENT gWake;
bool gStopThread;
PVOID gThread;
ULONG gNextHandle = 1;

Extension* ext(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The NTSTATUS with which Windows completes the IRP of a URB that ended with usbd (as usb_bus.cpp).
NTSTATUS ntStatusFor(USBD_STATUS usbd) {
    if (USBD_SUCCESS(usbd)) return STATUS_SUCCESS;
    switch (usbd) {
        case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
        case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INTERFACE_NOT_FOUND:
        case USBD_STATUS_BUFFER_TOO_SMALL:
        case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR: return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
        case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
        default: return STATUS_UNSUCCESSFUL;
    }
}

USBD_STATUS usbdFor(int handshake) {
    switch (handshake) {
        case BusAck: return USBD_STATUS_SUCCESS;
        case BusStall: return USBD_STATUS_STALL_PID;
        default: return USBD_STATUS_DEV_NOT_RESPONDING;  // no retries on the default pipe
    }
}

NTSTATUS finishUrb(PIRP irp, PURB urb, USBD_STATUS status) {
    urb->UrbHeader.Status = status;
    return complete(irp, ntStatusFor(status));
}

UCHAR* bufferOf(PVOID buffer, PMDL mdl) {
    if (buffer) return static_cast<UCHAR*>(buffer);
    if (mdl) return static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    return nullptr;
}

Pipe* findPipe(Slot& s, USBD_PIPE_HANDLE handle) {
    for (ULONG i = 0; i < s.pipeCount; ++i)
        if (s.pipes[i].handle == reinterpret_cast<ULONG_PTR>(handle)) return &s.pipes[i];
    return nullptr;
}

void wake() { KeSetEvent(&gWake, IO_NO_INCREMENT, FALSE); }

// ------------------------------------------------------------------ control transfers

// One control transfer, synchronously: data staged, copied back to the caller only on success. The bytes
// moved go into TransferBufferLength, which every URB layout with a data stage keeps at the same place.
USBD_STATUS controlTransfer(ULONG slot, const UCHAR setup[8], UCHAR* buffer, ULONG length, bool in, ULONG* moved) {
    *moved = 0;
    UCHAR* staged = nullptr;
    if (length) {
        staged = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, length, kPoolTag));
        if (!staged) return USBD_STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(staged, length);
        if (!in) RtlCopyMemory(staged, buffer, length);
    }
    unsigned done = 0;
    USBD_STATUS status = usbdFor(BusSimControl(slot, setup, staged, length, &done));
    if (USBD_SUCCESS(status)) {
        // Short data stages are accepted on the default pipe, as the host controller does.
        *moved = done;
        if (in && done) RtlCopyMemory(buffer, staged, done);
    }
    if (staged) ExFreePoolWithTag(staged, kPoolTag);
    return status;
}

void makeSetup(UCHAR out[8], UCHAR type, UCHAR request, USHORT value, USHORT index, USHORT length) {
    out[0] = type, out[1] = request;
    out[2] = UCHAR(value), out[3] = UCHAR(value >> 8);
    out[4] = UCHAR(index), out[5] = UCHAR(index >> 8);
    out[6] = UCHAR(length), out[7] = UCHAR(length >> 8);
}

NTSTATUS controlUrb(ULONG slot, PIRP irp, PURB urb, UCHAR type, UCHAR request, USHORT value, USHORT index,
                    PVOID buffer, PMDL mdl, ULONG* length, bool in) {
    UCHAR* data = bufferOf(buffer, mdl);
    if (*length > 0xFFFF || (*length && !data)) return finishUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    UCHAR setup[8];
    makeSetup(setup, type, request, value, index, USHORT(*length));
    ULONG moved = 0;
    USBD_STATUS status = controlTransfer(slot, setup, data, *length, in, &moved);
    *length = USBD_SUCCESS(status) ? moved : 0;
    return finishUrb(irp, urb, status);
}

// Interface descriptor with this number and alternate setting in a configuration descriptor, or null.
PUSB_INTERFACE_DESCRIPTOR findInterface(PUSB_CONFIGURATION_DESCRIPTOR cd, UCHAR number, UCHAR alternate) {
    const UCHAR* p = reinterpret_cast<const UCHAR*>(cd);
    const UCHAR* end = p + cd->wTotalLength;
    for (p += cd->bLength; p + 2 <= end && p[0] >= 2 && p + p[0] <= end; p += p[0]) {
        auto* id = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR*>(p));
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            id->bInterfaceNumber == number && id->bAlternateSetting == alternate)
            return id;
    }
    return nullptr;
}

void failQueued(Slot& s, USBD_STATUS status, ULONG_PTR pipeHandle);

NTSTATUS selectConfiguration(ULONG slot, PIRP irp, PURB urb) {
    Slot& s = gSlots[slot];
    auto& sc = urb->UrbSelectConfiguration;
    PUSB_CONFIGURATION_DESCRIPTOR cd = sc.ConfigurationDescriptor;
    UCHAR setup[8];
    ULONG moved;
    if (!cd) {
        failQueued(s, USBD_STATUS_CANCELED, 0);
        s.pipeCount = 0;
        s.configHandle = 0;
        makeSetup(setup, 0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0);
        return finishUrb(irp, urb, controlTransfer(slot, setup, nullptr, 0, false, &moved));
    }
    if (cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        cd->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return finishUrb(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    // One interface information record is all this bus fills in: the cable has one interface.
    const ULONG infoOffset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    auto* info = &sc.Interface;
    if (infoOffset + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) > urb->UrbHeader.Length)
        return finishUrb(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL);
    PUSB_INTERFACE_DESCRIPTOR id = findInterface(cd, info->InterfaceNumber, info->AlternateSetting);
    if (!id) return finishUrb(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);
    const ULONG needed = ULONG(FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + id->bNumEndpoints * sizeof(USBD_PIPE_INFORMATION));
    if (info->Length < needed || infoOffset + needed > urb->UrbHeader.Length || id->bNumEndpoints > 8)
        return finishUrb(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL);
    PUSB_ENDPOINT_DESCRIPTOR endpoints[8];
    ULONG found = 0;
    const UCHAR* end = reinterpret_cast<const UCHAR*>(cd) + cd->wTotalLength;
    for (const UCHAR* d = reinterpret_cast<const UCHAR*>(id) + id->bLength;
         found < id->bNumEndpoints && d + 2 <= end && d[0] >= 2 && d + d[0] <= end && d[1] != USB_INTERFACE_DESCRIPTOR_TYPE;
         d += d[0])
        if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR))
            endpoints[found++] = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(const_cast<UCHAR*>(d));
    if (found != id->bNumEndpoints) return finishUrb(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

    // The old configuration's transfers end with it.
    failQueued(s, USBD_STATUS_CANCELED, 0);
    s.pipeCount = 0;
    s.configHandle = 0;
    makeSetup(setup, 0x00, USB_REQUEST_SET_CONFIGURATION, cd->bConfigurationValue, 0, 0);
    USBD_STATUS status = controlTransfer(slot, setup, nullptr, 0, false, &moved);
    if (USBD_SUCCESS(status) && id->bAlternateSetting != 0) {
        makeSetup(setup, 0x01, USB_REQUEST_SET_INTERFACE, id->bAlternateSetting, id->bInterfaceNumber, 0);
        status = controlTransfer(slot, setup, nullptr, 0, false, &moved);
    }
    if (!USBD_SUCCESS(status)) return finishUrb(irp, urb, status);
    s.configHandle = gNextHandle++;
    sc.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(s.configHandle);
    info->Class = id->bInterfaceClass;
    info->SubClass = id->bInterfaceSubClass;
    info->Protocol = id->bInterfaceProtocol;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(ULONG_PTR(gNextHandle++));
    info->NumberOfPipes = found;
    for (ULONG i = 0; i < found; ++i) {
        auto& pi = info->Pipes[i];
        Pipe& pipe = s.pipes[i];
        pipe.handle = gNextHandle++;
        pipe.address = endpoints[i]->bEndpointAddress;
        pipe.maxPacket = endpoints[i]->wMaxPacketSize ? endpoints[i]->wMaxPacketSize : 64;
        pipe.maxTransfer = pi.MaximumTransferSize;
        pipe.halted = false;
        pi.MaximumPacketSize = endpoints[i]->wMaxPacketSize;
        pi.EndpointAddress = endpoints[i]->bEndpointAddress;
        pi.Interval = endpoints[i]->bInterval;
        pi.PipeType = static_cast<USBD_PIPE_TYPE>(endpoints[i]->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        pi.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(pipe.handle);
    }
    s.pipeCount = found;
    return finishUrb(irp, urb, USBD_STATUS_SUCCESS);
}

// ------------------------------------------------------------------ bulk transfers on the bus thread

void setBulkResult(PIRP irp, USBD_STATUS status, ULONG moved) {
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = status;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = moved;
    irp->IoStatus.Status = ntStatusFor(status);
    irp->IoStatus.Information = 0;
}

// Takes every queued transfer of a pipe (all pipes: 0) off the queue and completes it with status; also marks
// the current one cancelled so that the bus thread ends it. Called at PASSIVE_LEVEL without the lock.
void failQueued(Slot& s, USBD_STATUS status, ULONG_PTR pipeHandle) {
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    for (PLIST_ENTRY e = s.queue.Flink; e != &s.queue;) {
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        e = e->Flink;
        auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        if (pipeHandle && reinterpret_cast<ULONG_PTR>(urb->UrbBulkOrInterruptTransfer.PipeHandle) != pipeHandle) continue;
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        IoSetCancelRoutine(irp, nullptr);
        InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
    }
    bool waitCurrent = false;
    if (s.current) {
        auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(s.current)->Parameters.Others.Argument1);
        if (!pipeHandle || reinterpret_cast<ULONG_PTR>(urb->UrbBulkOrInterruptTransfer.PipeHandle) == pipeHandle) {
            s.currentCancelled = true;
            waitCurrent = true;
        }
    }
    IoReleaseCancelSpinLock(irql);
    while (!IsListEmpty(&done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        setBulkResult(irp, status, 0);
        InterlockedDecrement(reinterpret_cast<LONG*>(&s.pending));
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    if (waitCurrent) {
        // The abort completes after the transfer in progress, as the USB stack's does.
        wake();
        LARGE_INTEGER ms;
        ms.QuadPart = -10000;
        for (;;) {
            IoAcquireCancelSpinLock(&irql);
            bool busy = s.current && s.currentCancelled;
            IoReleaseCancelSpinLock(irql);
            if (!busy) break;
            KeDelayExecutionThread(KernelMode, FALSE, &ms);
        }
    }
}

// https://learn.microsoft.com/windows-hardware/drivers/kernel/cancel-routine-responsibilities: a queued IRP
// is taken off the queue and completed; the one being moved is left to the bus thread, which ends it.
VOID NTAPI cancelBulk(PDEVICE_OBJECT device, PIRP irp) {
    Slot& s = gSlots[ext(device)->slot];
    bool queued = false;
    for (PLIST_ENTRY e = s.queue.Flink; e != &s.queue; e = e->Flink)
        if (e == &irp->Tail.Overlay.ListEntry) queued = true;
    if (queued) RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    else if (s.current == irp) s.currentCancelled = true;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (queued) {
        setBulkResult(irp, USBD_STATUS_CANCELED, 0);
        InterlockedDecrement(reinterpret_cast<LONG*>(&s.pending));
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    } else {
        wake();
    }
}

NTSTATUS submitBulk(ULONG slot, PIRP irp, PURB urb) {
    Slot& s = gSlots[slot];
    auto& r = urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = findPipe(s, r.PipeHandle);
    if (!pipe) return finishUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    UCHAR* buffer = bufferOf(r.TransferBuffer, r.TransferBufferMDL);
    // A pipe opened with a maximum transfer size refuses larger transfers (0: the one-page default).
    const ULONG limit = pipe->maxTransfer ? pipe->maxTransfer : 4096;
    if ((r.TransferBufferLength && !buffer) || r.TransferBufferLength > limit)
        return finishUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    IoMarkIrpPending(irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        setBulkResult(irp, USBD_STATUS_CANCELED, 0);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    IoSetCancelRoutine(irp, cancelBulk);
    InsertTailList(&s.queue, &irp->Tail.Overlay.ListEntry);
    InterlockedIncrement(reinterpret_cast<LONG*>(&s.pending));
    IoReleaseCancelSpinLock(irql);
    wake();
    return STATUS_PENDING;
}

// Moves what the cable takes of the current transfer. Returns true when the transfer is decided.
bool moveBulk(ULONG slot, PIRP irp, ULONG* moved, USBD_STATUS* status) {
    Slot& s = gSlots[slot];
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    auto& r = urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = findPipe(s, r.PipeHandle);
    if (!pipe) return *status = USBD_STATUS_CANCELED, true;  // the configuration went away under it
    if (pipe->halted) return *status = USBD_STATUS_ENDPOINT_HALTED, true;
    UCHAR* buffer = bufferOf(r.TransferBuffer, r.TransferBufferMDL);
    const bool in = (pipe->address & USB_ENDPOINT_DIRECTION_MASK) != 0;
    for (;;) {
        const ULONG remaining = r.TransferBufferLength - *moved;
        unsigned n = 0;
        int h = BusSimBulk(slot, pipe->address, buffer + *moved, remaining, &n);
        if (h == BusStall) {
            pipe->halted = true;
            return *status = USBD_STATUS_STALL_PID, true;
        }
        if (h == BusError) return *status = USBD_STATUS_DEV_NOT_RESPONDING, true;
        if (h == BusNak || (n == 0 && remaining > 0 && !in)) return false;  // nothing moves now: retry later
        *moved += n;
        if (*moved == r.TransferBufferLength) return *status = USBD_STATUS_SUCCESS, true;
        if (in && (n == 0 || n % pipe->maxPacket != 0)) {
            *status = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER;
            return true;
        }
    }
}

// Logs the transfer the bus starts moving (bus_sim.cpp's traffic log); returns its log position.
ULONG logBulkBegin(ULONG slot, PIRP irp) {
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    auto& r = urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = findPipe(gSlots[slot], r.PipeHandle);
    if (!pipe) return 0;
    return BusSimBulkBegin(slot, pipe->address, bufferOf(r.TransferBuffer, r.TransferBufferMDL), r.TransferBufferLength);
}

void logBulkEnd(ULONG slot, ULONG position, PIRP irp, USBD_STATUS status, ULONG moved) {
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    auto& r = urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = findPipe(gSlots[slot], r.PipeHandle);
    const bool in = pipe && (pipe->address & USB_ENDPOINT_DIRECTION_MASK) != 0;
    BusSimBulkEnd(position, status, in ? bufferOf(r.TransferBuffer, r.TransferBufferMDL) : nullptr, moved);
}

VOID NTAPI busThread(PVOID) {
    ULONG moved[BUS_MAX_CABLES] = {};
    ULONG logged[BUS_MAX_CABLES] = {};
    LARGE_INTEGER frame;
    frame.QuadPart = -10000;  // a NAKed transfer is tried again every frame
    for (;;) {
        bool waiting = false;
        for (ULONG i = 0; i < BUS_MAX_CABLES; ++i) {
            Slot& s = gSlots[i];
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            bool fresh = false;
            if (!s.current && !IsListEmpty(&s.queue)) {
                s.current = CONTAINING_RECORD(RemoveHeadList(&s.queue), IRP, Tail.Overlay.ListEntry);
                s.currentCancelled = false;
                moved[i] = 0;
                fresh = true;
            }
            PIRP irp = s.current;
            bool cancelled = s.currentCancelled;
            IoReleaseCancelSpinLock(irql);
            if (!irp) continue;
            // Only the bus thread ends the current transfer, so the IRP stays valid here.
            if (fresh) logged[i] = logBulkBegin(i, irp);
            USBD_STATUS status = USBD_STATUS_CANCELED;
            bool decided = cancelled || !s.plugged || moveBulk(i, irp, &moved[i], &status);
            if (!cancelled && !s.plugged) status = USBD_STATUS_DEVICE_GONE;
            if (!decided) {
                waiting = true;
                continue;
            }
            IoAcquireCancelSpinLock(&irql);
            IoSetCancelRoutine(irp, nullptr);
            s.current = nullptr;
            s.currentCancelled = false;
            IoReleaseCancelSpinLock(irql);
            logBulkEnd(i, logged[i], irp, status, moved[i]);
            logged[i] = 0;
            setBulkResult(irp, status, moved[i]);
            if (USBD_SUCCESS(status)) ++s.bulkDone;
            InterlockedDecrement(reinterpret_cast<LONG*>(&s.pending));
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            waiting = true;  // look at the queue again at once
            frame.QuadPart = 0;
        }
        if (gStopThread) break;
        if (waiting) {
            KeWaitForSingleObject(&gWake, Executive, KernelMode, FALSE, &frame);
        } else {
            KeWaitForSingleObject(&gWake, Executive, KernelMode, FALSE, nullptr);
        }
        frame.QuadPart = -10000;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ------------------------------------------------------------------ URBs

NTSTATUS submitUrb(ULONG slot, PIRP irp, PURB urb) {
    if (!urb) return complete(irp, STATUS_INVALID_PARAMETER);
    if (!gSlots[slot].plugged) return finishUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    const USHORT function = urb->UrbHeader.Function;
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return selectConfiguration(slot, irp, urb);
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_RESET_PIPE: {
            Pipe* pipe = findPipe(gSlots[slot], urb->UrbPipeRequest.PipeHandle);
            if (!pipe) return finishUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
            if (function == URB_FUNCTION_ABORT_PIPE) failQueued(gSlots[slot], USBD_STATUS_CANCELED, pipe->handle);
            // A reset clears the host side of the pipe only: the endpoint's halt stays until CLEAR_FEATURE.
            else pipe->halted = false;
            return finishUrb(irp, urb, USBD_STATUS_SUCCESS);
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return submitBulk(slot, irp, urb);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
            auto& r = urb->UrbControlDescriptorRequest;
            UCHAR recipient = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? 0
                              : function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 1 : 2;
            return controlUrb(slot, irp, urb, UCHAR(0x80 | recipient), USB_REQUEST_GET_DESCRIPTOR,
                              USHORT(r.DescriptorType << 8 | r.Index), r.LanguageId, r.TransferBuffer,
                              r.TransferBufferMDL, &r.TransferBufferLength, true);
        }
        case URB_FUNCTION_VENDOR_DEVICE: case URB_FUNCTION_VENDOR_INTERFACE: case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER: case URB_FUNCTION_CLASS_DEVICE: case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT: case URB_FUNCTION_CLASS_OTHER: {
            auto& r = urb->UrbControlVendorClassRequest;
            const bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            // Vendor requests are 0x17..0x19 and 0x20 (other); class requests 0x1A..0x1C and 0x1F (other).
            const bool vendor = function <= URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
            const UCHAR recipient = function == URB_FUNCTION_VENDOR_OTHER || function == URB_FUNCTION_CLASS_OTHER
                                        ? 3
                                        : UCHAR((function - URB_FUNCTION_VENDOR_DEVICE) % 3);
            const UCHAR type = UCHAR((in ? 0x80 : 0) | (vendor ? 0x40 : 0x20) | recipient | (r.RequestTypeReservedBits & 0x1C));
            return controlUrb(slot, irp, urb, type, r.Request, r.Value, r.Index, r.TransferBuffer, r.TransferBufferMDL,
                              &r.TransferBufferLength, in);
        }
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE: case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT: case URB_FUNCTION_SET_FEATURE_TO_OTHER: {
            auto& r = urb->UrbControlFeatureRequest;
            const bool set = function == URB_FUNCTION_SET_FEATURE_TO_DEVICE || function == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ||
                             function == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT || function == URB_FUNCTION_SET_FEATURE_TO_OTHER;
            const UCHAR recipient = function == URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE || function == URB_FUNCTION_SET_FEATURE_TO_DEVICE ? 0
                                    : function == URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE || function == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ? 1
                                    : function == URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT || function == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT ? 2 : 3;
            UCHAR setup[8];
            makeSetup(setup, recipient, set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE, r.FeatureSelector, r.Index, 0);
            ULONG moved;
            USBD_STATUS status = controlTransfer(slot, setup, nullptr, 0, false, &moved);
            // Clearing an endpoint's halt also lets the host side of its pipe run again.
            if (USBD_SUCCESS(status) && !set && recipient == 2 && r.FeatureSelector == USB_FEATURE_ENDPOINT_STALL)
                for (ULONG i = 0; i < gSlots[slot].pipeCount; ++i)
                    if (gSlots[slot].pipes[i].address == UCHAR(r.Index)) gSlots[slot].pipes[i].halted = false;
            return finishUrb(irp, urb, status);
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE: case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
            auto& r = urb->UrbControlGetStatusRequest;
            if (r.TransferBufferLength < 2 || !bufferOf(r.TransferBuffer, r.TransferBufferMDL))
                return finishUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            const UCHAR recipient = UCHAR(function == URB_FUNCTION_GET_STATUS_FROM_DEVICE ? 0
                                          : function == URB_FUNCTION_GET_STATUS_FROM_INTERFACE ? 1
                                          : function == URB_FUNCTION_GET_STATUS_FROM_ENDPOINT ? 2 : 3);
            r.TransferBufferLength = 2;
            return controlUrb(slot, irp, urb, UCHAR(0x80 | recipient), USB_REQUEST_GET_STATUS, 0, r.Index,
                              r.TransferBuffer, r.TransferBufferMDL, &r.TransferBufferLength, true);
        }
        default:
            return finishUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

// ------------------------------------------------------------------ the children (one per plugged cable)

PWSTR poolWide(const char* const* items, ULONG count, bool multi) {
    ULONG chars = 1;
    for (ULONG i = 0; i < count; ++i) chars += ULONG(strlen(items[i])) + 1;
    auto* out = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kPoolTag));
    if (!out) return nullptr;
    ULONG at = 0;
    for (ULONG i = 0; i < count; ++i) {
        for (const char* c = items[i]; *c; ++c) out[at++] = WCHAR(UCHAR(*c));
        out[at++] = 0;
        if (!multi) return out;
    }
    out[at] = 0;
    return out;
}

void hex4(char* out, USHORT v) {
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 4; ++i) out[i] = digits[(v >> (12 - 4 * i)) & 0xF];
    out[4] = 0;
}

void hex2(char* out, UCHAR v) {
    static const char digits[] = "0123456789ABCDEF";
    out[0] = digits[v >> 4], out[1] = digits[v & 0xF], out[2] = 0;
}

NTSTATUS queryId(ULONG slot, PIRP irp, BUS_QUERY_ID_TYPE type) {
    UCHAR dd[18] = {}, cd[64] = {};
    BusSimDeviceDescriptor(slot, dd, sizeof dd);
    BusSimConfigurationDescriptor(slot, cd, sizeof cd);
    char vid[5], pid[5], rev[5];
    hex4(vid, USHORT(dd[8] | dd[9] << 8));
    hex4(pid, USHORT(dd[10] | dd[11] << 8));
    hex4(rev, USHORT(dd[12] | dd[13] << 8));
    char device[64], hardware[64], cls[48], sub[40], base[24], instance[16];
    strcpy(device, "USB\\VID_"), strcat(device, vid), strcat(device, "&PID_"), strcat(device, pid);
    strcpy(hardware, device), strcat(hardware, "&REV_"), strcat(hardware, rev);
    // The first interface's class, as the hub reports it for a device of class 0.
    const UCHAR* id = cd[0] ? cd + cd[0] : cd;
    char c[3], s[3], p[3];
    hex2(c, id[5]), hex2(s, id[6]), hex2(p, id[7]);
    strcpy(base, "USB\\Class_"), strcat(base, c);
    strcpy(sub, base), strcat(sub, "&SubClass_"), strcat(sub, s);
    strcpy(cls, sub), strcat(cls, "&Prot_"), strcat(cls, p);
    instance[0] = char('1' + slot), instance[1] = 0;
    PWSTR text = nullptr;
    switch (type) {
        case BusQueryDeviceID: {
            const char* items[] = {device};
            text = poolWide(items, 1, false);
            break;
        }
        case BusQueryHardwareIDs: {
            const char* items[] = {hardware, device};
            text = poolWide(items, 2, true);
            break;
        }
        case BusQueryCompatibleIDs: {
            const char* items[] = {cls, sub, base};
            text = poolWide(items, 3, true);
            break;
        }
        case BusQueryInstanceID: {
            const char* items[] = {instance};
            text = poolWide(items, 1, false);
            break;
        }
        case BusQueryContainerID: {
            // Each cable is its own container.
            char container[] = "{4F534C4E-4B42-5553-0000-000000000000}";
            container[sizeof container - 3] = char('1' + slot);
            const char* items[] = {container};
            text = poolWide(items, 1, false);
            break;
        }
        default:
            return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    if (!text) return complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    return complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text));
}

NTSTATUS pdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    const ULONG slot = ext(device)->slot;
    Slot& s = gSlots[slot];
    auto* sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
        case IRP_MN_START_DEVICE:
            s.started = true;
            return complete(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_STOP_DEVICE: case IRP_MN_CANCEL_STOP_DEVICE: case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE: case IRP_MN_CANCEL_REMOVE_DEVICE:
            return complete(irp, STATUS_SUCCESS);
        case IRP_MN_SURPRISE_REMOVAL:
            ++s.surpriseRemovals;
            failQueued(s, USBD_STATUS_DEVICE_GONE, 0);
            return complete(irp, STATUS_SUCCESS);
        case IRP_MN_REMOVE_DEVICE: {
            ++s.removals;
            failQueued(s, USBD_STATUS_CANCELED, 0);
            s.started = false;
            s.pipeCount = 0;
            s.configHandle = 0;
            complete(irp, STATUS_SUCCESS);
            // A cable still on the bus keeps its device object; an unplugged one is gone with this request.
            if (!s.plugged) {
                s.pdo = nullptr;
                BusSimUnplug(slot);
                IoDeleteDevice(device);
            }
            return STATUS_SUCCESS;
        }
        case IRP_MN_QUERY_ID:
            return queryId(slot, irp, sp->Parameters.QueryId.IdType);
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
            if (!caps) return complete(irp, STATUS_INVALID_PARAMETER);
            caps->Removable = 1;
            caps->SurpriseRemovalOK = 1;
            caps->UniqueID = 0;
            caps->Address = slot + 1;
            caps->UINumber = slot + 1;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int p = PowerSystemSleeping1; p < PowerSystemMaximum; ++p) caps->DeviceState[p] = PowerDeviceD3;
            return complete(irp, STATUS_SUCCESS);
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            if (sp->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
                return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
            auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
            if (!rel) return complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            rel->Count = 1;
            rel->Objects[0] = device;
            ObReferenceObject(device);
            return complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(rel));
        }
        default:
            return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

// ------------------------------------------------------------------ the bus's own device and control device

NTSTATUS NTAPI startCompletion(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS fdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, startCompletion, &event, TRUE, TRUE, TRUE);
            if (IoCallDriver(gLower, irp) == STATUS_PENDING)
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            if (sp->Parameters.QueryDeviceRelations.Type != BusRelations) break;
            ULONG count = 0;
            for (auto& s : gSlots)
                if (s.plugged && s.pdo) ++count;
            ULONG size = sizeof(DEVICE_RELATIONS) + (count ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
            auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kPoolTag));
            if (!rel) return complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            rel->Count = 0;
            for (auto& s : gSlots)
                if (s.plugged && s.pdo) {
                    rel->Objects[rel->Count++] = s.pdo;
                    ObReferenceObject(s.pdo);
                }
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(rel);
            break;
        }
        case IRP_MN_REMOVE_DEVICE: {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(gLower, irp);
            IoDetachDevice(gLower);
            IoDeleteDevice(device);
            gFdo = gLower = gBusPdo = nullptr;
            return status;
        }
        default:
            break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(gLower, irp);
}

// Whether a request's device ID text ends within its field: a longer one is refused, never cut.
bool terminated(const BusPlugRequest& request) {
    for (ULONG i = 0; i < BUS_DEVICE_ID_MAX; ++i)
        if (!request.DeviceId[i]) return true;
    return false;
}

NTSTATUS plug(const BusPlugRequest& request) {
    const ULONG slot = request.Slot;
    if (slot >= BUS_MAX_CABLES || !gFdo) return STATUS_INVALID_PARAMETER;
    Slot& s = gSlots[slot];
    if (s.plugged || s.pdo) return STATUS_DEVICE_BUSY;  // the last cable of the slot is not removed yet
    if (!terminated(request) || !BusSimPlug(slot, request.DeviceId)) return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT pdo;
    NTSTATUS status = IoCreateDevice(gDriver, sizeof(Extension), nullptr, FILE_DEVICE_USB, FILE_AUTOGENERATED_DEVICE_NAME,
                                     FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        BusSimUnplug(slot);
        return status;
    }
    ext(pdo)->role = Role::Pdo;
    ext(pdo)->slot = slot;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    s.pdo = pdo;
    s.started = false;
    s.pipeCount = 0;
    s.surpriseRemovals = s.removals = s.bulkDone = 0;
    s.plugged = true;
    IoInvalidateDeviceRelations(gBusPdo, BusRelations);
    return STATUS_SUCCESS;
}

NTSTATUS unplug(ULONG slot) {
    if (slot >= BUS_MAX_CABLES || !gSlots[slot].plugged) return STATUS_INVALID_PARAMETER;
    Slot& s = gSlots[slot];
    s.plugged = false;
    failQueued(s, USBD_STATUS_DEVICE_GONE, 0);
    if (gBusPdo) IoInvalidateDeviceRelations(gBusPdo, BusRelations);
    return STATUS_SUCCESS;
}

NTSTATUS controlDevice(PIRP irp) {
    auto* sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_CREATE || sp->MajorFunction == IRP_MJ_CLOSE || sp->MajorFunction == IRP_MJ_CLEANUP)
        return complete(irp, STATUS_SUCCESS);
    if (sp->MajorFunction != IRP_MJ_DEVICE_CONTROL) return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    const ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG slot = in >= sizeof(ULONG) && buffer ? *static_cast<ULONG*>(buffer) : ~0u;
    if (slot >= BUS_MAX_CABLES) return complete(irp, STATUS_INVALID_PARAMETER);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_BUS_PLUG:
            if (in < sizeof(BusPlugRequest)) return complete(irp, STATUS_INVALID_PARAMETER);
            return complete(irp, plug(*static_cast<BusPlugRequest*>(buffer)));
        case IOCTL_BUS_UNPLUG:
            return complete(irp, unplug(slot));
        case IOCTL_BUS_PRINTED: {
            if (in < sizeof(BusReadRequest)) return complete(irp, STATUS_INVALID_PARAMETER);
            ULONG offset = static_cast<BusReadRequest*>(buffer)->Offset;
            return complete(irp, STATUS_SUCCESS, BusSimPrinted(slot, offset, static_cast<UCHAR*>(buffer), out));
        }
        case IOCTL_BUS_SETUP_LOG: {
            if (in < sizeof(BusReadRequest)) return complete(irp, STATUS_INVALID_PARAMETER);
            ULONG first = static_cast<BusReadRequest*>(buffer)->Offset;
            ULONG n = BusSimSetupLog(slot, first, static_cast<UCHAR*>(buffer), out / sizeof(BusSetupRecord));
            return complete(irp, STATUS_SUCCESS, n * sizeof(BusSetupRecord));
        }
        case IOCTL_BUS_SET_DEVICE_ID: {
            if (in < sizeof(BusPlugRequest)) return complete(irp, STATUS_INVALID_PARAMETER);
            auto* r = static_cast<BusPlugRequest*>(buffer);
            return complete(irp, terminated(*r) && BusSimSetDeviceId(slot, r->DeviceId) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        }
        case IOCTL_BUS_PCAP: {
            if (in < sizeof(BusReadRequest)) return complete(irp, STATUS_INVALID_PARAMETER);
            ULONG offset = static_cast<BusReadRequest*>(buffer)->Offset;
            return complete(irp, STATUS_SUCCESS, BusSimPcap(offset, static_cast<UCHAR*>(buffer), out));
        }
        case IOCTL_BUS_CLEAR_LOG:
            BusSimClearLog(slot);
            return complete(irp, STATUS_SUCCESS);
        case IOCTL_BUS_SET_PRINTER: {
            if (in < sizeof(BusPrinterRequest)) return complete(irp, STATUS_INVALID_PARAMETER);
            auto* r = static_cast<BusPrinterRequest*>(buffer);
            BusSimSetPrinter(slot, r->PaperEmpty != 0, r->Offline != 0);
            return complete(irp, STATUS_SUCCESS);
        }
        case IOCTL_BUS_STATE: {
            if (out < sizeof(BusSlotState)) return complete(irp, STATUS_INVALID_PARAMETER);
            const Slot& s = gSlots[slot];
            BusSlotState state = {};
            state.Plugged = s.plugged;
            state.DeviceExists = s.pdo != nullptr;
            state.Started = s.started;
            state.Configured = s.configHandle != 0;
            state.PendingBulk = s.pending;
            state.SurpriseRemovals = s.surpriseRemovals;
            state.Removals = s.removals;
            state.BulkTransfers = s.bulkDone;
            RtlCopyMemory(buffer, &state, sizeof state);
            return complete(irp, STATUS_SUCCESS, sizeof state);
        }
        default:
            return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* e = ext(device);
    auto* sp = IoGetCurrentIrpStackLocation(irp);
    if (e->role == Role::Control) return controlDevice(irp);
    if (e->role == Role::Fdo) {
        if (sp->MajorFunction == IRP_MJ_PNP) return fdoPnp(device, irp);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(gLower, irp);
    }
    switch (sp->MajorFunction) {
        case IRP_MJ_PNP:
            return pdoPnp(device, irp);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            return complete(irp, STATUS_SUCCESS);
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            switch (sp->Parameters.DeviceIoControl.IoControlCode) {
                case IOCTL_INTERNAL_USB_SUBMIT_URB:
                    return submitUrb(e->slot, irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
                case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
                    auto* status = static_cast<PULONG>(sp->Parameters.Others.Argument1);
                    if (!status) return complete(irp, STATUS_INVALID_PARAMETER);
                    *status = gSlots[e->slot].plugged ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
                    return complete(irp, STATUS_SUCCESS);
                }
                case IOCTL_INTERNAL_USB_RESET_PORT:
                case IOCTL_INTERNAL_USB_CYCLE_PORT:
                    return complete(irp, STATUS_SUCCESS);
                default:
                    return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
            }
        default:
            return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS NTAPI addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (gFdo) return STATUS_DEVICE_BUSY;  // one bus
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    ext(fdo)->role = Role::Fdo;
    gLower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!gLower) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    gFdo = fdo;
    gBusPdo = pdo;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI unload(PDRIVER_OBJECT) {
    gStopThread = true;
    wake();
    if (gThread) {
        KeWaitForSingleObject(gThread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(gThread);
    }
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\OslnkCableBus");
    IoDeleteSymbolicLink(&link);
    if (gControl) IoDeleteDevice(gControl);
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    gDriver = driver;
    for (auto& s : gSlots) InitializeListHead(&s.queue);
    KeInitializeEvent(&gWake, SynchronizationEvent, FALSE);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = dispatch;
    driver->DriverExtension->AddDevice = addDevice;
    driver->DriverUnload = unload;

    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\OslnkCableBus");
    RtlInitUnicodeString(&link, L"\\DosDevices\\OslnkCableBus");
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &gControl);
    if (!NT_SUCCESS(status)) return status;
    ext(gControl)->role = Role::Control;
    gControl->Flags |= DO_BUFFERED_IO;
    gControl->Flags &= ~DO_DEVICE_INITIALIZING;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(gControl);
        return status;
    }
    HANDLE thread;
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, busThread, nullptr);
    if (!NT_SUCCESS(status)) {
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(gControl);
        return status;
    }
    ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, nullptr, KernelMode, &gThread, nullptr);
    ZwClose(thread);
    return STATUS_SUCCESS;
}
