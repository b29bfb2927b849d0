// The registry of one simulated Windows 98 machine, shared by the kernel and by user mode.
//
// Keys are addressed by full paths that begin with a predefined root ("HKEY_LOCAL_MACHINE\System\...",
// short forms such as HKLM are accepted too). Names compare case-insensitively (ASCII folding, as the
// Windows 98 registry does); keys keep the spelling they were created with. All members are thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace w98 {

enum class RegType : uint32_t { None = 0, Sz = 1, ExpandSz = 2, Binary = 3, Dword = 4, MultiSz = 7 };

struct RegValue {
  RegType type = RegType::None;
  std::vector<uint8_t> data;  // as stored; string types hold UTF-16LE

  // REG_SZ holding `text` (UTF-8) as UTF-16LE; `terminated` adds the NUL that user mode stores.
  static RegValue fromString(std::string_view text, bool terminated = true);
  static RegValue fromDword(uint32_t v);
  // The text of a string value (Sz or ExpandSz), up to its first NUL; nullopt for other types or bad UTF-16.
  std::optional<std::string> asString() const;
  // The number of a 4-byte REG_DWORD; nullopt otherwise.
  std::optional<uint32_t> asDword() const;

  friend bool operator==(const RegValue&, const RegValue&) = default;
};

// UTF-8 <-> UTF-16LE. Encoding fails (nullopt) on malformed UTF-8; decoding fails on an odd byte count
// or an unpaired surrogate. Decoding converts every unit, NULs included.
std::optional<std::vector<uint8_t>> utf8ToUtf16le(std::string_view utf8, bool terminated);
std::optional<std::string> utf16leToUtf8(std::span<const uint8_t> bytes);

// The canonical spelling of a path ("hklm\\system\\" -> "HKEY_LOCAL_MACHINE\\system"), or nullopt when it
// names no root, has an empty component, one longer than 255 characters or one that is not UTF-8, or is more
// than 512 levels deep.
// Subkey spelling is kept as given.
std::optional<std::string> normalizeRegPath(std::string_view path);

class Registry {
 public:
  Registry();
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  bool keyExists(std::string_view path) const;
  // Creates the key with its parents. False for a path that normalizeRegPath refuses.
  bool createKey(std::string_view path);
  // Deletes the key with everything below it. False when absent or a root (roots cannot be deleted).
  bool deleteKeyTree(std::string_view path);
  // Names as created, sorted case-insensitively. Empty for an absent key.
  std::vector<std::string> subkeys(std::string_view path) const;
  std::optional<RegValue> value(std::string_view path, std::string_view name) const;
  // In the order they were first set.
  std::vector<std::pair<std::string, RegValue>> values(std::string_view path) const;
  // False when the key is absent. Replacing a value keeps its place and its first spelling.
  bool setValue(std::string_view path, std::string_view name, RegValue v);
  bool deleteValue(std::string_view path, std::string_view name);

  // REGEDIT4 text of the whole registry, or of one key and everything below it (header only when absent).
  std::string exportText(std::string_view path = {}) const;
  // Loads REGEDIT4 text: all of it or, on the first fault, nothing. The error names the line.
  std::optional<std::string> importText(std::string_view text);

  // Convenience.
  std::optional<std::string> stringValue(std::string_view path, std::string_view name) const;
  std::optional<uint32_t> dwordValue(std::string_view path, std::string_view name) const;
  bool setString(std::string_view path, std::string_view name, std::string_view text, bool terminated = true);
  bool setDword(std::string_view path, std::string_view name, uint32_t v);

  // The names of the predefined roots, in export order.
  static const std::vector<std::string>& rootNames();

 private:
  struct Node;
  Node* find(std::string_view path) const;
  Node* create(std::string_view path);

  mutable std::recursive_mutex mutex_;  // recursive: importText applies its operations under one hold
  std::vector<std::unique_ptr<Node>> roots_;
};

}  // namespace w98
