#include "images_test_support.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>

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

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// "dll!function" for each import that `objdump -p` lists: a "DLL Name: X" line, then "<rva> <hint> <name>"
// lines up to the next blank line.
std::optional<std::set<std::string>> ObjdumpImports(const std::string& path) {
  const std::optional<std::string> dump = CommandOutput("i686-w64-mingw32-objdump -p '" + path + "'");
  if (!dump) return std::nullopt;
  std::set<std::string> imports;
  std::istringstream lines(*dump);
  std::string line, dll;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string first, second, third;
    fields >> first >> second;
    if (first == "DLL" && second == "Name:") {
      fields >> dll;
      dll = Lower(dll);
    } else if (first.empty()) {
      dll.clear();
    } else if (!dll.empty() && first != "vma:" && fields >> third) {
      imports.insert(dll + "!" + third);
    }
  }
  return imports;
}

}  // namespace

void ExpectImportsOnly(const PeImage& image, const std::string& path, const std::set<std::string>& allowed) {
  std::set<std::string> imports;
  for (const Import& i : image.Imports()) imports.insert(Lower(i.dll) + "!" + i.function);
  EXPECT_FALSE(imports.empty()) << "no imports read";
  for (const std::string& import : imports) EXPECT_TRUE(allowed.contains(import)) << "imports " << import;
  if (HaveTool("i686-w64-mingw32-objdump")) {
    EXPECT_EQ(ObjdumpImports(path), imports);
  }
}

void ExpectWindows98Version(const PeImage& image) {
  EXPECT_EQ(image.SubsystemVersion(), std::make_pair(uint16_t{4}, uint16_t{0}));
  EXPECT_EQ(image.OsVersion(), std::make_pair(uint16_t{4}, uint16_t{0}));
}

}  // namespace images
