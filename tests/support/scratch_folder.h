// A folder of its own for a test: fresh when made, and removed with everything in it at the end. Its name holds a
// label, the process id and a serial, so that tests running side by side never share one. Header-only, for the
// tests that need no machine.
#pragma once

#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace testrig {

// Where scratch folders go: $TMPDIR when it is set, else the shared-memory file system when it is there with a
// gigabyte to spare, else the system's temporary folder. The campaigns make and remove a machine's folder for
// every run, and on a disk file system those few inodes cost more than the run itself.
inline const std::filesystem::path& ScratchRoot() {
  static const std::filesystem::path root = [] {
    constexpr const char* kMemory = "/dev/shm";
    struct statvfs fs {};
    if (std::getenv("TMPDIR") == nullptr && ::access(kMemory, W_OK | X_OK) == 0 && ::statvfs(kMemory, &fs) == 0 &&
        static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize >= (uint64_t{1} << 30))
      return std::filesystem::path(kMemory);
    return std::filesystem::temp_directory_path();
  }();
  return root;
}

class ScratchFolder {
 public:
  explicit ScratchFolder(std::string_view label) {
    static std::atomic<int> serial{0};
    path_ = ScratchRoot() /
            ("oslnk_" + std::string(label) + "_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace testrig
