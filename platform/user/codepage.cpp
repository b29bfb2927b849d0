#include "user/codepage.h"

#include <iconv.h>

#include <cerrno>

namespace w98 {

namespace {

// One iconv conversion; false when the input is not convertible as a whole.
bool convert(const char* to, const char* from, std::string_view in, std::string& out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string buf(in.size() * 4 + 8, '\0');
  char* inp = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  char* outp = buf.data();
  size_t outLeft = buf.size();
  size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || inLeft != 0) return false;
  out.append(buf.data(), buf.size() - outLeft);
  return true;
}

}  // namespace

std::string cp932ToUtf8(std::string_view ansi) {
  std::string out;
  if (convert("UTF-8", "CP932", ansi, out)) return out;
  // Convert character by character, so that one bad sequence costs only itself.
  out.clear();
  for (size_t i = 0; i < ansi.size();) {
    unsigned char b = static_cast<unsigned char>(ansi[i]);
    size_t len = (isCp932LeadByte(b) && i + 1 < ansi.size()) ? 2 : 1;
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else if (!convert("UTF-8", "CP932", ansi.substr(i, len), out)) {
      out += "\xEF\xBF\xBD";
    }
    i += len;
  }
  return out;
}

std::string utf8ToCp932(std::string_view utf8) {
  std::string out;
  if (convert("CP932", "UTF-8", utf8, out)) return out;
  out.clear();
  for (size_t i = 0; i < utf8.size();) {
    unsigned char b = static_cast<unsigned char>(utf8[i]);
    size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 1;
    if (i + len > utf8.size()) len = 1;
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else if (!convert("CP932", "UTF-8", utf8.substr(i, len), out)) {
      out += '?';
    }
    i += len;
  }
  return out;
}

}  // namespace w98
