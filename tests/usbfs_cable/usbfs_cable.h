// Simulated cables (sim::Cable with its IEEE 1284 printer) behind emulated usbfs device nodes, so that an
// unmodified libusb program -- this process or a child -- finds, opens and drives them as real cables.
//
// Built on umockdev: a testbed with a sysfs entry per cable and an ioctl handler per /dev/bus/usb/BBB/DDD
// node. The handler answers what libusb on Linux sends: SUBMITURB / REAPURBNDELAY / DISCARDURB (control
// URBs go to sim::Cable::control(), bulk URBs to bulkOut()/bulkIn(), one endpoint's URBs strictly in
// order), CLAIM/RELEASEINTERFACE, DISCONNECT_CLAIM, GETDRIVER (no driver), CLEAR_HALT, RESET,
// SETINTERFACE, SETCONFIGURATION, GET_CAPABILITIES. With nothing to reap it answers after about 1 ms,
// so that a polling libusb does not spin.
//
// libusb sees the cables only in a process that runs with umockdev's preload library and UMOCKDEV_DIR
// pointing at the testbed: for this process, call ensurePreloaded(argv) first thing in main() (or run it
// with LD_PRELOAD=preloadLibrary()); for a child, pass childEnvironment() to it.
//
// The handler runs on umockdev's worker thread; every method here may be called from the test thread
// while a client is using the cables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/cable.h"
#include "sim/printer1284.h"

namespace ostrolink::testing {

struct EmulatedCableSpec {
    std::string serialNumber = "OSL0001";
    // The printer's IEEE 1284 device ID; empty keeps printer.deviceId.
    std::string deviceId;
    sim::CableConfig cable;      // serialNumber above overrides cable.serialNumber
    // A kernel driver ("usblp") bound to the cable: claiming fails with EBUSY until the client detaches it.
    std::string kernelDriver;
    sim::PrinterConfig printer;
};

// What the handler saw on one cable.
struct UrbStats {
    std::size_t controlUrbs = 0;
    std::size_t bulkOutUrbs = 0;
    std::size_t bulkInUrbs = 0;
    std::size_t discarded = 0;
    unsigned maxBulkOutInFlight = 0;  // most bulk OUT URBs submitted and not yet reaped at one time
};

class UsbfsCables {
public:
    // Creates the testbed (sets UMOCKDEV_DIR in this process's environment). Throws std::runtime_error.
    UsbfsCables();
    ~UsbfsCables();
    UsbfsCables(const UsbfsCables&) = delete;
    UsbfsCables& operator=(const UsbfsCables&) = delete;

    // Adds a cable on bus 1 and returns its index (0, 1, ...). Cable i is at location "1-<i+1>",
    // device address i+2, node /dev/bus/usb/001/<i+2>.
    std::size_t add(EmulatedCableSpec spec = {});
    std::size_t count() const;

    sim::Cable& cable(std::size_t index);
    std::string location(std::size_t index) const;  // "1-1", as libusb's port path gives it
    std::string devnode(std::size_t index) const;   // "/dev/bus/usb/001/002"

    // Conditions a test sets while a client prints.
    void setPaperEmpty(std::size_t index, bool empty);
    void setOffline(std::size_t index, bool offline);
    void stallBulkOut(std::size_t index);  // halts the bulk OUT endpoint until the client clears it
    // Removes the cable: its sysfs entry goes, every URB in flight completes with ENODEV and every later
    // ioctl on its node fails with ENODEV.
    void unplug(std::size_t index);

    std::vector<uint8_t> printed(std::size_t index) const;  // every byte the printer received
    std::string kernelDriver(std::size_t index) const;       // bound to the cable now, "" when none
    std::vector<sim::SetupPacket> controlLog(std::size_t index) const;
    UrbStats stats(std::size_t index) const;

    // The testbed's root (UMOCKDEV_DIR) and what a child process needs in its environment.
    std::string rootDir() const;
    std::vector<std::pair<std::string, std::string>> childEnvironment() const;  // LD_PRELOAD, UMOCKDEV_DIR
    // The preload library's path (built in at compile time).
    static std::string preloadLibrary();
    // True when this process runs under the preload (libusb in-process sees the cables).
    static bool preloaded();
    // For a program's main(): without the preload, starts the program again (same arguments) with
    // LD_PRELOAD set; returns only when the preload is there. Throws std::runtime_error when the new
    // start fails or the preload still is not there after it.
    static void ensurePreloaded(char** argv);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace ostrolink::testing
