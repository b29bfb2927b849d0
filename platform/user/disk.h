// The machine's C: drive: a folder on the host. DOS paths ("C:\WINDOWS\SYSTEM\x.dll", '/' also accepted) map
// onto it case-insensitively, read as code page 932 text as Windows 98 reads them (a two-byte character's
// trail byte is never a separator; only single-byte letters fold); names that do not exist yet keep the
// spelling given. The read-only attribute is the file's owner-write bit (so it survives a reboot of the
// machine); hidden, system and archive bits live in a side table. Files can be held "in use", as an open
// handle of another program would hold them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace w98 {

class Disk {
 public:
  // Win32 attribute bits and error codes that the Disk reports.
  static constexpr uint32_t kReadOnly = 0x01, kHidden = 0x02, kSystem = 0x04, kDirectory = 0x10, kArchive = 0x20,
                            kNormal = 0x80;
  static constexpr uint32_t kInvalidAttributes = 0xFFFFFFFF;
  static constexpr uint32_t kOk = 0, kFileNotFound = 2, kPathNotFound = 3, kAccessDenied = 5,
                            kSharingViolation = 32, kFileExists = 80, kInvalidName = 123, kDirNotEmpty = 145,
                            kFilenameTooLong = 206;

  // `hostRoot` is created when missing.
  explicit Disk(std::filesystem::path hostRoot);

  const std::filesystem::path& hostRoot() const { return root_; }

  // The host path of a DOS path, existing components matched case-insensitively; nullopt for a path that is
  // not on C: or cannot be a Windows path (bad characters, component too long).
  std::optional<std::filesystem::path> hostPath(std::string_view dosPath) const;
  // The canonical DOS spelling ("C:\WINDOWS\..." with ".." and "." resolved), or nullopt as above.
  static std::optional<std::string> canonical(std::string_view dosPath);

  // Convenience for setting up and inspecting the machine.
  bool exists(std::string_view dosPath) const;
  bool isDirectory(std::string_view dosPath) const;
  bool createDirectories(std::string_view dosPath);
  bool writeFile(std::string_view dosPath, std::string_view content);  // creates parent folders
  std::optional<std::string> readFile(std::string_view dosPath) const;
  // Names in a folder, sorted.
  std::vector<std::string> list(std::string_view dosPath) const;

  // Holding a file in use makes its deletion and moving fail with a sharing violation.
  void setInUse(std::string_view dosPath, bool inUse);
  bool inUse(std::string_view dosPath) const;

  // Win32 semantics. Attributes: kInvalidAttributes with `error` set on failure.
  uint32_t attributes(std::string_view dosPath, uint32_t& error) const;
  uint32_t setAttributes(std::string_view dosPath, uint32_t attributes);  // error code
  uint32_t deleteFile(std::string_view dosPath);                          // error code
  // Moves a file; an existing destination is replaced when `replace`.
  uint32_t moveFile(std::string_view from, std::string_view to, bool replace);

 private:
  // Splits a DOS path into its components below C:\ (an error code when it cannot be one).
  static uint32_t parse(std::string_view dosPath, std::vector<std::string>& parts);
  static std::string key(const std::vector<std::string>& parts);  // folded: the side tables' key
  std::filesystem::path locate(const std::vector<std::string>& parts) const;
  // The error for a path that does not exist: its folder missing or only the file.
  uint32_t missing(const std::vector<std::string>& parts) const;

  std::filesystem::path root_;
  mutable std::mutex mutex_;
  std::set<std::string> inUse_;
  std::map<std::string, uint32_t> extraAttributes_;  // hidden, system, archive
};

}  // namespace w98
