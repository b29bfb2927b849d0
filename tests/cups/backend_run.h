// A CUPS backend started as cupsd starts one: argv[0] the device URI, DEVICE_URI in the environment, the
// print data on standard input (a pipe the test writes), the back channel on fd 3 (a pipe the test reads) and
// the side channel on fd 4 (a socket the test asks on). Standard output and error are collected.
//
// Waits are bounded polls: each takes a time-out and reports whether the thing happened in time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace ostrolink::testing {

// Splits a discovery line as cups-deviced does: class, URI, then quoted fields in which a backslash takes
// the next character literally. nullopt when cups-deviced would reject the line.
std::optional<std::vector<std::string>> parseDiscoveryLine(std::string_view line);

// Polls `done` every `interval` until it holds or the time-out passes.
inline bool eventually(const auto& done, std::chrono::milliseconds timeout,
                       std::chrono::milliseconds interval = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(interval);
    }
    return true;
}

using Environment = std::vector<std::pair<std::string, std::string>>;

class BackendRun {
public:
    BackendRun(const std::string& program, const std::vector<std::string>& argv, const Environment& env);
    ~BackendRun();  // kills a backend still running
    BackendRun(const BackendRun&) = delete;
    BackendRun& operator=(const BackendRun&) = delete;

    void writeInput(std::span<const uint8_t> bytes);  // blocks while the pipe (1 MiB) is full
    void closeInput();
    void signal(int sig);

    bool waitForLog(std::string_view text, std::chrono::milliseconds timeout);
    std::string log() const;  // standard error so far
    std::string out() const;  // standard output so far
    std::vector<uint8_t> backChannel() const;
    bool waitForBackChannel(std::size_t bytes, std::chrono::milliseconds timeout);

    // The exit code, or nullopt when the backend is still running after the time-out (or died by a signal).
    std::optional<int> waitExit(std::chrono::milliseconds timeout);

    struct SideReply {
        int status = 0;
        std::string data;
    };
    std::optional<SideReply> side(int command, std::chrono::milliseconds timeout);

private:
    void readLoop();
    bool waitFor(std::chrono::milliseconds timeout, const auto& done);

    pid_t pid_ = -1;
    int input_ = -1, output_ = -1, errors_ = -1, back_ = -1, sideChannel_ = -1, stopReader_[2] = {-1, -1};
    bool exited_ = false;
    int exitStatus_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_, log_;
    std::vector<uint8_t> backChannel_;
    int closed_ = 0;  // output pipes at their end
    std::thread reader_;
};

}  // namespace ostrolink::testing
