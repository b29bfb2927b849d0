// ANSI text of the Japanese Windows 98 machine: code page 932 (Shift-JIS with Microsoft's extensions).
#pragma once

#include <string>
#include <string_view>

namespace w98 {

// Decodes code page 932 to UTF-8. A byte sequence that is no character becomes U+FFFD; NULs are kept.
std::string cp932ToUtf8(std::string_view ansi);
// Encodes UTF-8 to code page 932. A character that the code page lacks (or bad UTF-8) becomes '?'.
std::string utf8ToCp932(std::string_view utf8);

}  // namespace w98
