// ANSI text of the Japanese Windows 98 machine: code page 932 (Shift-JIS with Microsoft's extensions).
#pragma once

#include <string>
#include <string_view>

namespace w98 {

// Whether `b` is a lead byte of code page 932 (its character takes the next byte too).
inline bool isCp932LeadByte(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// The position of the last byte of `path` that is one of `characters` and a character of its own (not the
// trail byte of a two-byte character), npos when there is none: how Windows 98 finds a path's last separator.
inline size_t findLastCharacter(std::string_view path, std::string_view characters) {
  size_t found = std::string_view::npos;
  for (size_t i = 0; i < path.size(); i += (isCp932LeadByte(static_cast<unsigned char>(path[i])) ? 2 : 1)) {
    if (characters.find(path[i]) != std::string_view::npos) found = i;
  }
  return found;
}

// Decodes code page 932 to UTF-8. A byte sequence that is no character becomes U+FFFD; NULs are kept.
std::string cp932ToUtf8(std::string_view ansi);
// Encodes UTF-8 to code page 932. A character that the code page lacks (or bad UTF-8) becomes '?'.
std::string utf8ToCp932(std::string_view utf8);

}  // namespace w98
