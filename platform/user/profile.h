// Profile (.ini) text: sections of key=value lines. Edits keep every other line as it was, comments included.
// Section and key names compare case-insensitively.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace w98 {

class IniFile {
 public:
  IniFile() = default;
  explicit IniFile(std::string_view text);

  std::optional<std::string> get(std::string_view section, std::string_view key) const;
  std::vector<std::string> sections() const;
  std::vector<std::string> keys(std::string_view section) const;
  // The section's entry lines ("key=value" or bare lines), trimmed; comments and blank lines left out.
  std::vector<std::string> entries(std::string_view section) const;
  bool hasSection(std::string_view section) const;

  // Replaces the first entry of that key, or adds it at the end of the section (made when missing).
  void set(std::string_view section, std::string_view key, std::string_view value);
  void removeKey(std::string_view section, std::string_view key);
  void removeSection(std::string_view section);
  // Replaces the section's lines by `entries` (made when missing).
  void replaceSection(std::string_view section, const std::vector<std::string>& entries);

  std::string text() const;  // CRLF line ends, as Windows writes them

 private:
  struct Range {
    size_t header, end;  // header line; one past the section's last line
  };
  std::optional<Range> find(std::string_view section) const;
  std::vector<std::string> lines_;
};

}  // namespace w98
