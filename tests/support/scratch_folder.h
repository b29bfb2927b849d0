// A folder of its own for a test: under the system's temporary folder, fresh when made, and removed with
// everything in it at the end. Its name holds a label, the process id and a serial, so that tests running side
// by side never share one. Header-only, for the tests that need no machine.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <string_view>

namespace testrig {

class ScratchFolder {
 public:
  explicit ScratchFolder(std::string_view label) {
    static std::atomic<int> serial{0};
    path_ = std::filesystem::temp_directory_path() /
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
