// A cupsd of its own for the tests and the demo: configuration, spool and programs in a scratch folder,
// listening on a free port of 127.0.0.1 only, with the ostrolink backend reaching the emulated cables.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "backend_run.h"
#include "usbfs_cable.h"

namespace ostrolink::testing {

class PrivateCupsd {
public:
    // Starts cupsd in the foreground; throws std::runtime_error when it cannot be started.
    PrivateCupsd(const UsbfsCables& cables, const std::string& backendPath);
    ~PrivateCupsd();  // stops cupsd and removes the folder
    PrivateCupsd(const PrivateCupsd&) = delete;
    PrivateCupsd& operator=(const PrivateCupsd&) = delete;

    bool waitRunning(std::chrono::milliseconds timeout) const;

    struct Result {
        std::optional<int> exit;
        std::string out;  // standard output, then standard error
    };
    // Runs a CUPS client program (lpinfo, lpadmin, lp, lpstat, ...) against this cupsd.
    Result run(const std::vector<std::string>& argv,
               std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    std::string errorLog() const;
    std::string server() const;  // "127.0.0.1:PORT", for CUPS_SERVER

private:
    int port_;
    std::filesystem::path root_;
    std::optional<BackendRun> cupsd_;
};

}  // namespace ostrolink::testing
