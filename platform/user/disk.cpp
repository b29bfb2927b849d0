#include "user/disk.h"

#include "user/codepage.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>

namespace w98 {

namespace fs = std::filesystem;

namespace {

// Names are ANSI text of code page 932, read character by character as Windows 98 reads them: a lead byte
// and its trail byte are one character, and a trail byte is never a separator, a letter to fold or a character
// a name may not hold (its range 0x40-0xFC takes in '\\', '|' and the letters).
size_t charLength(std::string_view s, size_t at) {
  return (isCp932LeadByte(static_cast<unsigned char>(s[at])) && at + 1 < s.size()) ? 2 : 1;
}

// Windows 98 compares names without case for the single-byte letters only.
std::string folded(std::string_view s) {
  std::string out(s);
  for (size_t i = 0; i < out.size(); i += charLength(out, i)) {
    if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] - 'A' + 'a');
  }
  return out;
}

bool badNameChar(char c) {
  return static_cast<unsigned char>(c) < 0x20 || std::string_view("<>:\"|?*").find(c) != std::string_view::npos;
}

constexpr size_t kMaxPath = 259;  // characters, without the terminator
constexpr size_t kMaxComponent = 255;

}  // namespace

Disk::Disk(fs::path hostRoot) : root_(std::move(hostRoot)) {
  std::error_code ec;
  fs::create_directories(root_, ec);
}

uint32_t Disk::parse(std::string_view p, std::vector<std::string>& parts) {
  parts.clear();
  if (p.size() > kMaxPath) return kFilenameTooLong;
  if (p.size() < 2 || p[1] != ':' || (p[0] != 'C' && p[0] != 'c')) return kPathNotFound;
  p.remove_prefix(2);
  size_t pos = 0;
  while (pos <= p.size()) {
    size_t next = pos;
    while (next < p.size() && p[next] != '\\' && p[next] != '/') next += charLength(p, next);
    if (next >= p.size()) next = std::string_view::npos;
    std::string_view part = p.substr(pos, next == std::string_view::npos ? std::string_view::npos : next - pos);
    if (part.empty() || part == ".") {
      // "C:\\" and doubled separators name the same folder.
    } else if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      for (size_t i = 0; i < part.size(); i += charLength(part, i)) {
        if (charLength(part, i) == 1 && badNameChar(part[i])) return kInvalidName;
      }
      if (part.size() > kMaxComponent) return kFilenameTooLong;
      // Windows drops trailing dots and spaces of a name.
      while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.remove_suffix(1);
      if (part.empty()) return kInvalidName;
      parts.emplace_back(part);
    }
    if (next == std::string_view::npos) break;
    pos = next + 1;
  }
  return kOk;
}

std::string Disk::key(const std::vector<std::string>& parts) {
  std::string k = "c:";
  for (const auto& p : parts) k += "\\" + folded(p);
  return k;
}

fs::path Disk::locate(const std::vector<std::string>& parts) const {
  fs::path cur = root_;
  bool matching = true;
  for (const auto& part : parts) {
    if (matching) {
      std::error_code ec;
      bool found = false;
      if (fs::is_directory(cur, ec)) {
        const std::string want = folded(part);
        for (const auto& entry : fs::directory_iterator(cur, ec)) {
          if (folded(entry.path().filename().string()) == want) {
            cur = entry.path();
            found = true;
            break;
          }
        }
      }
      if (found) continue;
      matching = false;
    }
    cur /= part;
  }
  return cur;
}

uint32_t Disk::missing(const std::vector<std::string>& parts) const {
  if (parts.empty()) return kPathNotFound;
  std::vector<std::string> parent(parts.begin(), parts.end() - 1);
  std::error_code ec;
  return fs::is_directory(locate(parent), ec) ? kFileNotFound : kPathNotFound;
}

std::optional<fs::path> Disk::hostPath(std::string_view dosPath) const {
  std::vector<std::string> parts;
  if (parse(dosPath, parts) != kOk) return std::nullopt;
  return locate(parts);
}

std::optional<std::string> Disk::canonical(std::string_view dosPath) {
  std::vector<std::string> parts;
  if (parse(dosPath, parts) != kOk) return std::nullopt;
  std::string out = "C:";
  for (const auto& p : parts) out += "\\" + p;
  if (parts.empty()) out += "\\";
  return out;
}

bool Disk::exists(std::string_view dosPath) const {
  auto p = hostPath(dosPath);
  std::error_code ec;
  return p && fs::exists(*p, ec);
}

bool Disk::isDirectory(std::string_view dosPath) const {
  auto p = hostPath(dosPath);
  std::error_code ec;
  return p && fs::is_directory(*p, ec);
}

bool Disk::createDirectories(std::string_view dosPath) {
  auto p = hostPath(dosPath);
  if (!p) return false;
  std::error_code ec;
  fs::create_directories(*p, ec);
  return fs::is_directory(*p, ec);
}

bool Disk::writeFile(std::string_view dosPath, std::string_view content) {
  auto p = hostPath(dosPath);
  if (!p) return false;
  std::error_code ec;
  fs::create_directories(p->parent_path(), ec);
  if (fs::is_directory(*p, ec)) return false;
  // A read-only file is rewritten by the machine's owner only through this set-up call: keep its bit.
  auto perms = fs::status(*p, ec).permissions();
  bool wasReadOnly = !ec && fs::exists(*p, ec) && (perms & fs::perms::owner_write) == fs::perms::none;
  if (wasReadOnly) fs::permissions(*p, fs::perms::owner_write, fs::perm_options::add, ec);
  bool ok;
  {
    std::ofstream out(*p, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    ok = static_cast<bool>(out);
  }
  if (wasReadOnly) fs::permissions(*p, fs::perms::owner_write, fs::perm_options::remove, ec);
  return ok;
}

std::optional<std::string> Disk::readFile(std::string_view dosPath) const {
  auto p = hostPath(dosPath);
  std::error_code ec;
  if (!p || !fs::is_regular_file(*p, ec)) return std::nullopt;
  std::ifstream in(*p, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> Disk::list(std::string_view dosPath) const {
  std::vector<std::string> out;
  auto p = hostPath(dosPath);
  std::error_code ec;
  if (!p || !fs::is_directory(*p, ec)) return out;
  for (const auto& e : fs::directory_iterator(*p, ec)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

void Disk::setInUse(std::string_view dosPath, bool use) {
  std::vector<std::string> parts;
  if (parse(dosPath, parts) != kOk) return;
  std::lock_guard lock(mutex_);
  if (use) {
    inUse_.insert(key(parts));
  } else {
    inUse_.erase(key(parts));
  }
}

bool Disk::inUse(std::string_view dosPath) const {
  std::vector<std::string> parts;
  if (parse(dosPath, parts) != kOk) return false;
  std::lock_guard lock(mutex_);
  return inUse_.count(key(parts)) != 0;
}

uint32_t Disk::attributes(std::string_view dosPath, uint32_t& error) const {
  std::vector<std::string> parts;
  if (uint32_t e = parse(dosPath, parts); e != kOk) {
    error = e;
    return kInvalidAttributes;
  }
  fs::path p = locate(parts);
  std::error_code ec;
  auto st = fs::status(p, ec);
  if (ec || !fs::exists(st)) {
    error = missing(parts);
    return kInvalidAttributes;
  }
  std::lock_guard lock(mutex_);
  uint32_t attrs = 0;
  if (auto it = extraAttributes_.find(key(parts)); it != extraAttributes_.end()) attrs = it->second;
  if (fs::is_directory(st)) attrs |= kDirectory;
  if ((st.permissions() & fs::perms::owner_write) == fs::perms::none) attrs |= kReadOnly;
  error = kOk;
  return attrs == 0 ? kNormal : attrs;
}

uint32_t Disk::setAttributes(std::string_view dosPath, uint32_t attrs) {
  std::vector<std::string> parts;
  if (uint32_t e = parse(dosPath, parts); e != kOk) return e;
  if (parts.empty()) return kAccessDenied;
  fs::path p = locate(parts);
  std::error_code ec;
  if (!fs::exists(p, ec)) return missing(parts);
  fs::permissions(p, fs::perms::owner_write,
                  (attrs & kReadOnly) ? fs::perm_options::remove : fs::perm_options::add, ec);
  if (ec) return kAccessDenied;
  std::lock_guard lock(mutex_);
  uint32_t extra = attrs & (kHidden | kSystem | kArchive);
  if (extra) {
    extraAttributes_[key(parts)] = extra;
  } else {
    extraAttributes_.erase(key(parts));
  }
  return kOk;
}

uint32_t Disk::deleteFile(std::string_view dosPath) {
  std::vector<std::string> parts;
  if (uint32_t e = parse(dosPath, parts); e != kOk) return e;
  fs::path p = locate(parts);
  std::error_code ec;
  auto st = fs::status(p, ec);
  if (ec || !fs::exists(st)) return missing(parts);
  if (fs::is_directory(st)) return kAccessDenied;
  std::lock_guard lock(mutex_);
  const std::string k = key(parts);
  if (inUse_.count(k)) return kSharingViolation;
  if ((st.permissions() & fs::perms::owner_write) == fs::perms::none) return kAccessDenied;
  if (!fs::remove(p, ec) || ec) return kAccessDenied;
  extraAttributes_.erase(k);
  return kOk;
}

uint32_t Disk::moveFile(std::string_view from, std::string_view to, bool replace) {
  std::vector<std::string> src, dst;
  if (uint32_t e = parse(from, src); e != kOk) return e;
  if (uint32_t e = parse(to, dst); e != kOk) return e;
  fs::path ps = locate(src);
  std::error_code ec;
  if (!fs::exists(ps, ec)) return missing(src);
  if (dst.empty()) return kAccessDenied;
  fs::path pd = locate(dst);
  if (!fs::is_directory(pd.parent_path(), ec)) return kPathNotFound;
  std::lock_guard lock(mutex_);
  const std::string ks = key(src), kd = key(dst);
  if (inUse_.count(ks) || inUse_.count(kd)) return kSharingViolation;
  if (ks != kd && fs::exists(pd, ec)) {
    if (!replace) return kFileExists;
    auto st = fs::status(pd, ec);
    if (fs::is_directory(st) || (st.permissions() & fs::perms::owner_write) == fs::perms::none) return kAccessDenied;
    fs::remove(pd, ec);
  }
  fs::rename(ps, pd, ec);
  if (ec) return kAccessDenied;
  if (auto it = extraAttributes_.find(ks); it != extraAttributes_.end()) {
    uint32_t v = it->second;
    extraAttributes_.erase(it);
    extraAttributes_[kd] = v;
  }
  return kOk;
}

}  // namespace w98
