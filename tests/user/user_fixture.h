// A small user-mode machine for tests: a registry, a C: drive in a fresh temporary folder, a scripted screen
// and the current session over them.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "registry/registry.h"
#include "user/disk.h"
#include "user/session.h"
#include "user/user_interface.h"

namespace w98test {

inline std::filesystem::path freshFolder() {
  static std::atomic<int> counter{0};
  auto p = std::filesystem::temp_directory_path() /
           ("w98-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(p);
  return p;
}

class UserMachine : public ::testing::Test {
 protected:
  // Builds the session with these scripted answers and options; tests call it again to change them.
  void boot(std::vector<std::string> answers = {}, w98::UserSession::Options options = {}) {
    session.reset();
    ui = std::make_unique<w98::UserInterface>(answers, &screen);
    session = std::make_unique<w98::UserSession>(registry, *disk, *ui, std::move(options));
  }
  void SetUp() override {
    root = freshFolder();
    disk = std::make_unique<w98::Disk>(root);
    disk->createDirectories("C:\\WINDOWS\\SYSTEM");
    boot();
  }
  void TearDown() override {
    session.reset();
    // Read-only files must become writable again for the folder to go.
    std::error_code ec;
    for (auto& e : std::filesystem::recursive_directory_iterator(root, ec)) {
      std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(root, ec);
  }

  std::filesystem::path root;
  w98::Registry registry;
  std::unique_ptr<w98::Disk> disk;
  std::ostringstream screen;
  std::unique_ptr<w98::UserInterface> ui;
  std::unique_ptr<w98::UserSession> session;
};

}  // namespace w98test
