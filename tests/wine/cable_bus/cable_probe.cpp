// cable_probe.exe: the Wine scenario of the real oslnk.sys over the simulated cable bus (oslnkbus.sys).
// Usage: cable_probe DRIVER_INF BUS_INF
// Installs the driver's INF and the bus, plugs a cable, prints through \\.\KVUSB1 and checks what the
// printer received, byte for byte. Prints one line per step; exit code 0 when every check passed.
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bus_control.h"
#include "include/oslnk_ioctl.h"

namespace {

int failures = 0;
// The driver key's default "MaxTransferSize", which the INF writes.
constexpr DWORD kMaxTransferSize = 1024;

void check(bool ok, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::printf(ok ? "ok    " : "FAIL  ");
    std::vprintf(format, args);
    std::printf("\n");
    std::fflush(stdout);
    va_end(args);
    if (!ok) ++failures;
}

[[noreturn]] void fatal(const char* what) {
    std::printf("FAIL  %s (error %lu)\n", what, GetLastError());
    std::fflush(stdout);
    std::exit(1);
}

// Install is asynchronous under Plug and Play: names appear some milliseconds after the call.
HANDLE openWhenThere(const char* path, DWORD flags = 0, DWORD ms = 20000) {
    for (DWORD waited = 0;; waited += 10) {
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        if (h != INVALID_HANDLE_VALUE || waited >= ms) return h;
        Sleep(10);
    }
}

[[maybe_unused]] bool gone(const char* path, DWORD ms = 10000) {
    for (DWORD waited = 0;; waited += 10) {
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) return true;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (waited >= ms) return false;
        Sleep(10);
    }
}

HANDLE bus = INVALID_HANDLE_VALUE;

bool busCall(DWORD code, const void* in, DWORD inLength, void* out = nullptr, DWORD outLength = 0, DWORD* got = nullptr) {
    DWORD n = 0;
    BOOL ok = DeviceIoControl(bus, code, const_cast<void*>(in), inLength, out, outLength, &n, nullptr);
    if (got) *got = n;
    return ok != FALSE;
}

[[maybe_unused]] BusSlotState slotState(unsigned slot) {
    BusSlotRequest r{slot};
    BusSlotState s{};
    if (!busCall(IOCTL_BUS_STATE, &r, sizeof r, &s, sizeof s)) fatal("reading the bus slot's state");
    return s;
}

std::vector<unsigned char> printed(unsigned slot) {
    std::vector<unsigned char> all;
    std::vector<unsigned char> chunk(65536);
    for (;;) {
        BusReadRequest r{slot, unsigned(all.size())};
        std::memcpy(chunk.data(), &r, sizeof r);
        DWORD got = 0;
        if (!busCall(IOCTL_BUS_PRINTED, chunk.data(), sizeof r, chunk.data(), DWORD(chunk.size()), &got))
            fatal("reading what the printer received");
        if (got == 0) return all;
        all.insert(all.end(), chunk.begin(), chunk.begin() + got);
    }
}

void plug(unsigned slot, const char* deviceId) {
    BusPlugRequest r{};
    r.Slot = slot;
    std::strncpy(r.DeviceId, deviceId, sizeof r.DeviceId - 1);
    if (!busCall(IOCTL_BUS_PLUG, &r, sizeof r)) fatal("plugging a cable");
}

// ------------------------------------------------------------------ install

void install(const char* driverInf, const char* busInf) {
    // The driver's INF first: it must be in the INF folder before the cable's devnode appears.
    char copied[MAX_PATH];
    if (!SetupCopyOEMInfA(driverInf, nullptr, SPOST_PATH, 0, copied, sizeof copied, nullptr, nullptr))
        fatal("SetupCopyOEMInfA for the driver's INF");
    std::printf("      driver INF copied to %s\n", copied);

    GUID system = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    HDEVINFO set = SetupDiCreateDeviceInfoList(&system, nullptr);
    if (set == INVALID_HANDLE_VALUE) fatal("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device = {sizeof device};
    if (!SetupDiCreateDeviceInfoA(set, "System", &system, nullptr, nullptr, DICD_GENERATE_ID, &device))
        fatal("SetupDiCreateDeviceInfoA for the bus");
    static const char hardwareIds[] = "root\\oslnkbus\0";
    if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(hardwareIds),
                                           sizeof hardwareIds))
        fatal("SPDRP_HARDWAREID of the bus");
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) fatal("DIF_REGISTERDEVICE of the bus");
    SetupDiDestroyDeviceInfoList(set);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, "root\\oslnkbus", busInf, INSTALLFLAG_FORCE, &reboot))
        fatal("UpdateDriverForPlugAndPlayDevicesA for the bus");
    bus = openWhenThere(BUS_CONTROL_DOS_NAME);
    if (bus == INVALID_HANDLE_VALUE) fatal("opening the bus's control device");
    check(true, "bus installed, %s open", BUS_CONTROL_DOS_NAME);
}

// ------------------------------------------------------------------ print

void printJob(HANDLE port, unsigned slot, DWORD total, DWORD chunk) {
    std::vector<unsigned char> job(total);
    unsigned seed = 12345;
    for (auto& b : job) b = (unsigned char)((seed = seed * 1103515245u + 12345u) >> 16);
    const size_t before = printed(slot).size();
    bool allWritten = true;
    for (DWORD at = 0; at < total; at += chunk) {
        DWORD n = 0, want = total - at < chunk ? total - at : chunk;
        if (!WriteFile(port, job.data() + at, want, &n, nullptr) || n != want) {
            check(false, "WriteFile of %lu bytes at offset %lu wrote %lu (error %lu)", want, at, n, GetLastError());
            allWritten = false;
            break;
        }
    }
    std::vector<unsigned char> got = printed(slot);
    got.erase(got.begin(), got.begin() + before);
    size_t firstDiff = 0;
    while (firstDiff < got.size() && firstDiff < job.size() && got[firstDiff] == job[firstDiff]) ++firstDiff;
    check(allWritten && got == job, "printed %lu bytes in writes of %lu: printer received %u bytes, first difference at %u",
          total, chunk, unsigned(got.size()), unsigned(firstDiff));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::printf("usage: cable_probe DRIVER_INF BUS_INF\n");
        return 2;
    }
    install(argv[1], argv[2]);

    const char* printerId = "MFG:Acme;CMD:PCL;MDL:Jet 100;CLS:PRINTER;";
    plug(0, printerId);
    HANDLE port = openWhenThere("\\\\.\\KVUSB1");
    check(port != INVALID_HANDLE_VALUE, "cable plugged, \\\\.\\KVUSB1 opened (error %lu)", GetLastError());
    if (port == INVALID_HANDLE_VALUE) return 1;

    printJob(port, 0, 100 * 1024 + 1000, kMaxTransferSize);

    CloseHandle(port);
    std::printf("%s: %d failure(s)\n", failures ? "FAILED" : "PASSED", failures);
    return failures ? 1 : 0;
}
