#include "user/profile.h"

#include <algorithm>

namespace w98 {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool same(std::string_view a, std::string_view b) {
  auto f = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return f(x) == f(y); });
}

std::optional<std::string_view> sectionName(std::string_view line) {
  line = trim(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return trim(line.substr(1, close - 1));
}

bool isEntry(std::string_view line) {
  line = trim(line);
  return !line.empty() && line.front() != ';';
}

std::string_view keyOf(std::string_view line) {
  line = trim(line);
  size_t eq = line.find('=');
  return trim(line.substr(0, eq));
}

}  // namespace

IniFile::IniFile(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines_.emplace_back(line);
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
}

std::optional<IniFile::Range> IniFile::find(std::string_view section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    auto name = sectionName(lines_[i]);
    if (!name || !same(*name, trim(section))) continue;
    size_t end = i + 1;
    while (end < lines_.size() && !sectionName(lines_[end])) ++end;
    return Range{i, end};
  }
  return std::nullopt;
}

std::optional<std::string> IniFile::get(std::string_view section, std::string_view key) const {
  auto r = find(section);
  if (!r) return std::nullopt;
  for (size_t i = r->header + 1; i < r->end; ++i) {
    std::string_view line = trim(lines_[i]);
    size_t eq = line.find('=');
    if (!isEntry(line) || eq == std::string_view::npos) continue;
    if (same(keyOf(line), trim(key))) return std::string(trim(line.substr(eq + 1)));
  }
  return std::nullopt;
}

std::vector<std::string> IniFile::sections() const {
  std::vector<std::string> out;
  for (const auto& l : lines_) {
    if (auto n = sectionName(l)) out.emplace_back(*n);
  }
  return out;
}

std::vector<std::string> IniFile::keys(std::string_view section) const {
  std::vector<std::string> out;
  auto r = find(section);
  if (!r) return out;
  for (size_t i = r->header + 1; i < r->end; ++i) {
    if (isEntry(lines_[i]) && lines_[i].find('=') != std::string::npos) out.emplace_back(keyOf(lines_[i]));
  }
  return out;
}

std::vector<std::string> IniFile::entries(std::string_view section) const {
  std::vector<std::string> out;
  auto r = find(section);
  if (!r) return out;
  for (size_t i = r->header + 1; i < r->end; ++i) {
    if (isEntry(lines_[i])) out.emplace_back(trim(lines_[i]));
  }
  return out;
}

bool IniFile::hasSection(std::string_view section) const { return find(section).has_value(); }

void IniFile::set(std::string_view section, std::string_view key, std::string_view value) {
  const std::string line = std::string(trim(key)) + "=" + std::string(value);
  auto r = find(section);
  if (!r) {
    lines_.push_back("[" + std::string(trim(section)) + "]");
    lines_.push_back(line);
    return;
  }
  size_t last = r->header;  // the section's last entry line
  for (size_t i = r->header + 1; i < r->end; ++i) {
    if (!isEntry(lines_[i])) continue;
    last = i;
    if (lines_[i].find('=') != std::string::npos && same(keyOf(lines_[i]), trim(key))) {
      lines_[i] = line;
      return;
    }
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last + 1), line);
}

void IniFile::removeKey(std::string_view section, std::string_view key) {
  auto r = find(section);
  if (!r) return;
  for (size_t i = r->header + 1; i < r->end; ++i) {
    if (isEntry(lines_[i]) && lines_[i].find('=') != std::string::npos && same(keyOf(lines_[i]), trim(key))) {
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void IniFile::removeSection(std::string_view section) {
  auto r = find(section);
  if (!r) return;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(r->header), lines_.begin() + static_cast<std::ptrdiff_t>(r->end));
}

void IniFile::replaceSection(std::string_view section, const std::vector<std::string>& entries) {
  auto r = find(section);
  if (!r) {
    lines_.push_back("[" + std::string(trim(section)) + "]");
    lines_.insert(lines_.end(), entries.begin(), entries.end());
    return;
  }
  // Keep the blank lines that separate this section from the next one.
  size_t end = r->end;
  while (end > r->header + 1 && trim(lines_[end - 1]).empty()) --end;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(r->header + 1), lines_.begin() + static_cast<std::ptrdiff_t>(end));
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(r->header + 1), entries.begin(), entries.end());
}

std::string IniFile::text() const {
  std::string out;
  for (const auto& l : lines_) out += l + "\r\n";
  return out;
}

}  // namespace w98
