#include "images_test_support.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace images {
namespace {

std::optional<std::string> Convert(const char* to, const char* from, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::unique_ptr<void, int (*)(iconv_t)> closer(cd, iconv_close);
  std::string input = in;
  std::string out(in.size() * 4 + 16, '\0');
  char* src = input.data();
  size_t srcLeft = input.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1) || srcLeft != 0) return std::nullopt;
  out.resize(out.size() - dstLeft);
  return out;
}

}  // namespace

std::string WindowsBuildDir() {
  if (const char* env = std::getenv("OSLNK_WINDOWS_BUILD_DIR"); env && *env) return env;
  return OSLNK_WINDOWS_BUILD_DIR_DEFAULT;
}

std::optional<std::string> BuiltImage(const std::string& relative) {
  const std::filesystem::path path = std::filesystem::path(WindowsBuildDir()) / relative;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  return path.string();
}

std::optional<std::string> Cp932ToUtf8(const std::string& bytes) { return Convert("UTF-8", "CP932", bytes); }

std::optional<std::string> Utf8ToCp932(const std::string& text) { return Convert("CP932", "UTF-8", text); }

std::optional<std::string> CommandOutput(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return std::nullopt;
  std::string out;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) out.append(buffer.data(), n);
  const int status = pclose(pipe.release());
  if (status != 0) return std::nullopt;
  return out;
}

bool HaveTool(const std::string& name) {
  return CommandOutput("command -v " + name + " >/dev/null 2>&1 && echo yes").value_or("") == "yes\n";
}

}  // namespace images
