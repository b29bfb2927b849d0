#include "backend_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace ostrolink::testing {
namespace {

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// Above the descriptors a child is given, so that no dup2 of the spawn overwrites another's source.
int high(int fd) {
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 64);
    check(moved >= 0, "fcntl");
    close(fd);
    return moved;
}

}  // namespace

std::optional<std::vector<std::string>> parseDiscoveryLine(std::string_view line) {
    std::vector<std::string> fields;
    std::size_t i = 0;
    const auto skipSpace = [&] { while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i; };
    for (int word = 0; word < 2; ++word) {
        skipSpace();
        const std::size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i == start) return std::nullopt;
        fields.emplace_back(line.substr(start, i - start));
    }
    for (;;) {
        skipSpace();
        if (i == line.size()) break;
        if (line[i] != '"') return std::nullopt;
        std::string field;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) ++i;
            field += line[i];
        }
        if (i == line.size()) return std::nullopt;
        ++i;
        fields.push_back(std::move(field));
    }
    if (fields.size() < 4 || fields.size() > 6) return std::nullopt;
    return fields;
}

BackendRun::BackendRun(const std::string& program, const std::vector<std::string>& argv, const Environment& env) {
    int in[2], out[2], err[2], back[2], side[2];
    check(pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0 &&
              pipe2(back, O_CLOEXEC) == 0 && pipe2(stopReader_, O_CLOEXEC) == 0,
          "pipe");
    check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, side) == 0, "socketpair");
    fcntl(in[1], F_SETPIPE_SZ, 1 << 20);
    const int childFds[5] = {high(in[0]), high(out[1]), high(err[1]), high(back[1]), high(side[1])};
    input_ = in[1];
    output_ = out[0];
    errors_ = err[0];
    back_ = back[0];
    sideChannel_ = side[0];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int target = 0; target < 5; ++target) posix_spawn_file_actions_adddup2(&actions, childFds[target], target);

    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        bool replaced = false;
        for (const auto& [name, value] : env) replaced |= entry.starts_with(name + "=");
        if (!replaced) envText.emplace_back(entry);
    }
    for (const auto& [name, value] : env) envText.push_back(name + "=" + value);
    std::vector<char*> envp, args;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvText = argv;
    for (auto& a : argvText) args.push_back(a.data());
    args.push_back(nullptr);

    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : childFds) close(fd);
    if (rc != 0) {
        errno = rc;
        check(false, "posix_spawn");
    }
    reader_ = std::thread([this] { readLoop(); });
}

BackendRun::~BackendRun() {
    if (!exited_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    const char byte = 0;
    [[maybe_unused]] ssize_t n = write(stopReader_[1], &byte, 1);
    if (reader_.joinable()) reader_.join();
    for (int fd : {input_, output_, errors_, back_, sideChannel_, stopReader_[0], stopReader_[1]})
        if (fd >= 0) close(fd);
}

void BackendRun::readLoop() {
    pollfd fds[4] = {{output_, POLLIN, 0}, {errors_, POLLIN, 0}, {back_, POLLIN, 0}, {stopReader_[0], POLLIN, 0}};
    char buffer[65536];
    for (;;) {
        if (poll(fds, 4, -1) < 0 && errno != EINTR) return;
        if (fds[3].revents) return;
        for (int i = 0; i < 3; ++i) {
            if (!fds[i].revents) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                fds[i].fd = -1;  // poll ignores it from now on
                std::lock_guard lock(mutex_);
                ++closed_;
                changed_.notify_all();
                continue;
            }
            std::lock_guard lock(mutex_);
            if (i == 0) out_.append(buffer, static_cast<std::size_t>(n));
            if (i == 1) log_.append(buffer, static_cast<std::size_t>(n));
            if (i == 2) backChannel_.insert(backChannel_.end(), buffer, buffer + n);
            changed_.notify_all();
        }
    }
}

bool BackendRun::waitFor(std::chrono::milliseconds timeout, const auto& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, done);
}

void BackendRun::writeInput(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(input_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        check(n > 0, "write to the backend");
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
}

void BackendRun::closeInput() {
    close(input_);
    input_ = -1;
}

void BackendRun::signal(int sig) { kill(pid_, sig); }

bool BackendRun::waitForLog(std::string_view text, std::chrono::milliseconds timeout) {
    return waitFor(timeout, [&] { return log_.find(text) != std::string::npos; });
}

std::string BackendRun::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::string BackendRun::out() const {
    std::lock_guard lock(mutex_);
    return out_;
}

std::vector<uint8_t> BackendRun::backChannel() const {
    std::lock_guard lock(mutex_);
    return backChannel_;
}

bool BackendRun::waitForBackChannel(std::size_t bytes, std::chrono::milliseconds timeout) {
    return waitFor(timeout, [&] { return backChannel_.size() >= bytes; });
}

std::optional<int> BackendRun::waitExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exited_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            exitStatus_ = status;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The backend's last words may still be in the pipes: wait until the reader has seen all three end.
    waitFor(std::chrono::milliseconds(2000), [&] { return closed_ == 3; });
    if (!WIFEXITED(exitStatus_)) return std::nullopt;
    return WEXITSTATUS(exitStatus_);
}

std::optional<BackendRun::SideReply> BackendRun::side(int command, std::chrono::milliseconds timeout) {
    // A side-channel message: command, status, 16-bit big-endian data length, data (cups/sidechannel.h).
    const uint8_t request[4] = {static_cast<uint8_t>(command), 0, 0, 0};
    if (write(sideChannel_, request, sizeof request) != sizeof request) return std::nullopt;
    uint8_t buffer[4 + 65535];
    std::size_t have = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (have >= 4 && have >= 4u + (buffer[2] << 8 | buffer[3])) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd fd{sideChannel_, POLLIN, 0};
        if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
        const ssize_t n = read(sideChannel_, buffer + have, sizeof buffer - have);
        if (n <= 0) return std::nullopt;
        have += static_cast<std::size_t>(n);
    }
    if (buffer[0] != command) return std::nullopt;
    return SideReply{buffer[1], std::string(reinterpret_cast<char*>(buffer) + 4, buffer[2] << 8 | buffer[3])};
}

}  // namespace ostrolink::testing
