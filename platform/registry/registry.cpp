#include "registry/registry.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <variant>

namespace w98 {

namespace {

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = fold(c);
  return out;
}

bool equalsFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return fold(x) == fold(y); });
}

struct RootName {
  const char* full;
  const char* shortName;
};
constexpr std::array<RootName, 6> kRoots{{{"HKEY_LOCAL_MACHINE", "HKLM"},
                                          {"HKEY_CURRENT_USER", "HKCU"},
                                          {"HKEY_CLASSES_ROOT", "HKCR"},
                                          {"HKEY_USERS", "HKU"},
                                          {"HKEY_CURRENT_CONFIG", "HKCC"},
                                          {"HKEY_DYN_DATA", "HKDD"}}};

struct ParsedPath {
  size_t root = 0;
  std::vector<std::string_view> parts;
};

// Windows limits: a key name of at most 255 characters, and at most 512 levels below a root. They also keep
// the tree shallow enough for the recursive walks here.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxDepth = 512;

// Splits a path into its root index and components; a single trailing separator is allowed.
std::optional<ParsedPath> parsePath(std::string_view path) {
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) return std::nullopt;
  ParsedPath out;
  size_t pos = path.find('\\');
  std::string_view rootName = path.substr(0, pos);
  bool found = false;
  for (size_t i = 0; i < kRoots.size(); ++i) {
    if (equalsFolded(rootName, kRoots[i].full) || equalsFolded(rootName, kRoots[i].shortName)) {
      out.root = i;
      found = true;
      break;
    }
  }
  if (!found) return std::nullopt;
  while (pos != std::string_view::npos) {
    size_t next = path.find('\\', pos + 1);
    std::string_view part = path.substr(pos + 1, next == std::string_view::npos ? std::string_view::npos : next - pos - 1);
    if (part.empty() || part.size() > kMaxKeyName || out.parts.size() == kMaxDepth) return std::nullopt;
    // Names are text: bytes that are not UTF-8 would come back different through user mode's code page.
    if (!utf8ToUtf16le(part, false)) return std::nullopt;
    out.parts.push_back(part);
    pos = next;
  }
  return out;
}

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::optional<std::vector<uint8_t>> utf8ToUtf16le(std::string_view s, bool terminated) {
  std::vector<uint8_t> out;
  out.reserve(s.size() * 2 + 2);
  auto put = [&out](uint32_t unit) {
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
    out.push_back(static_cast<uint8_t>(unit >> 8));
  };
  for (size_t i = 0; i < s.size();) {
    uint8_t b = static_cast<uint8_t>(s[i]);
    uint32_t cp;
    size_t len;
    if (b < 0x80) {
      cp = b;
      len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      len = 4;
    } else {
      return std::nullopt;
    }
    if (i + len > s.size()) return std::nullopt;
    for (size_t k = 1; k < len; ++k) {
      uint8_t c = static_cast<uint8_t>(s[i + k]);
      if ((c & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (c & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 | (cp >> 10));
      put(0xDC00 | (cp & 0x3FF));
    } else {
      put(cp);
    }
    i += len;
  }
  if (terminated) put(0);
  return out;
}

std::optional<std::string> utf16leToUtf8(std::span<const uint8_t> bytes) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i < bytes.size(); i += 2) {
    uint32_t u = bytes[i] | (bytes[i + 1] << 8);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 3 >= bytes.size()) return std::nullopt;
      uint32_t lo = bytes[i + 2] | (bytes[i + 3] << 8);
      if (lo < 0xDC00 || lo > 0xDFFF) return std::nullopt;
      appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
      i += 2;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return std::nullopt;
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

std::optional<std::string> normalizeRegPath(std::string_view path) {
  auto p = parsePath(path);
  if (!p) return std::nullopt;
  std::string out = kRoots[p->root].full;
  for (auto part : p->parts) {
    out += '\\';
    out += part;
  }
  return out;
}

RegValue RegValue::fromString(std::string_view text, bool terminated) {
  RegValue v;
  v.type = RegType::Sz;
  if (auto d = utf8ToUtf16le(text, terminated)) {
    v.data = std::move(*d);
  } else {
    // Not UTF-8: keep each byte as one unit rather than lose the text.
    for (char c : text) {
      v.data.push_back(static_cast<uint8_t>(c));
      v.data.push_back(0);
    }
    if (terminated) v.data.insert(v.data.end(), {0, 0});
  }
  return v;
}

RegValue RegValue::fromDword(uint32_t x) {
  RegValue v;
  v.type = RegType::Dword;
  v.data = {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x >> 16),
            static_cast<uint8_t>(x >> 24)};
  return v;
}

std::optional<std::string> RegValue::asString() const {
  if (type != RegType::Sz && type != RegType::ExpandSz) return std::nullopt;
  size_t n = data.size() & ~size_t{1};
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    if (data[i] == 0 && data[i + 1] == 0) {
      n = i;
      break;
    }
  }
  return utf16leToUtf8(std::span<const uint8_t>(data.data(), n));
}

std::optional<uint32_t> RegValue::asDword() const {
  if (type != RegType::Dword || data.size() != 4) return std::nullopt;
  return static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
         (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
}

struct Registry::Node {
  std::string name;
  std::map<std::string, std::unique_ptr<Node>> children;  // by folded name, hence sorted case-insensitively
  std::vector<std::pair<std::string, RegValue>> values;

  auto findValue(std::string_view n) {
    return std::find_if(values.begin(), values.end(), [n](const auto& p) { return equalsFolded(p.first, n); });
  }
};

Registry::Registry() {
  for (const auto& r : kRoots) {
    auto n = std::make_unique<Node>();
    n->name = r.full;
    roots_.push_back(std::move(n));
  }
}

Registry::~Registry() = default;

const std::vector<std::string>& Registry::rootNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (const auto& r : kRoots) v.emplace_back(r.full);
    return v;
  }();
  return names;
}

Registry::Node* Registry::find(std::string_view path) const {
  auto p = parsePath(path);
  if (!p) return nullptr;
  Node* n = roots_[p->root].get();
  for (auto part : p->parts) {
    auto it = n->children.find(folded(part));
    if (it == n->children.end()) return nullptr;
    n = it->second.get();
  }
  return n;
}

Registry::Node* Registry::create(std::string_view path) {
  auto p = parsePath(path);
  if (!p) return nullptr;
  Node* n = roots_[p->root].get();
  for (auto part : p->parts) {
    auto& slot = n->children[folded(part)];
    if (!slot) {
      slot = std::make_unique<Node>();
      slot->name = std::string(part);
    }
    n = slot.get();
  }
  return n;
}

bool Registry::keyExists(std::string_view path) const {
  std::lock_guard lock(mutex_);
  return find(path) != nullptr;
}

bool Registry::createKey(std::string_view path) {
  std::lock_guard lock(mutex_);
  return create(path) != nullptr;
}

bool Registry::deleteKeyTree(std::string_view path) {
  std::lock_guard lock(mutex_);
  auto p = parsePath(path);
  if (!p || p->parts.empty()) return false;
  Node* parent = roots_[p->root].get();
  for (size_t i = 0; i + 1 < p->parts.size(); ++i) {
    auto it = parent->children.find(folded(p->parts[i]));
    if (it == parent->children.end()) return false;
    parent = it->second.get();
  }
  return parent->children.erase(folded(p->parts.back())) == 1;
}

std::vector<std::string> Registry::subkeys(std::string_view path) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  if (Node* n = find(path)) {
    for (const auto& [k, child] : n->children) out.push_back(child->name);
  }
  return out;
}

std::optional<RegValue> Registry::value(std::string_view path, std::string_view name) const {
  std::lock_guard lock(mutex_);
  Node* n = find(path);
  if (!n) return std::nullopt;
  auto it = n->findValue(name);
  if (it == n->values.end()) return std::nullopt;
  return it->second;
}

std::vector<std::pair<std::string, RegValue>> Registry::values(std::string_view path) const {
  std::lock_guard lock(mutex_);
  Node* n = find(path);
  if (!n) return {};
  return n->values;
}

bool Registry::setValue(std::string_view path, std::string_view name, RegValue v) {
  std::lock_guard lock(mutex_);
  Node* n = find(path);
  if (!n) return false;
  auto it = n->findValue(name);
  if (it != n->values.end()) {
    it->second = std::move(v);
  } else {
    n->values.emplace_back(std::string(name), std::move(v));
  }
  return true;
}

bool Registry::deleteValue(std::string_view path, std::string_view name) {
  std::lock_guard lock(mutex_);
  Node* n = find(path);
  if (!n) return false;
  auto it = n->findValue(name);
  if (it == n->values.end()) return false;
  n->values.erase(it);
  return true;
}

std::optional<std::string> Registry::stringValue(std::string_view path, std::string_view name) const {
  auto v = value(path, name);
  if (!v) return std::nullopt;
  return v->asString();
}

std::optional<uint32_t> Registry::dwordValue(std::string_view path, std::string_view name) const {
  auto v = value(path, name);
  if (!v) return std::nullopt;
  return v->asDword();
}

bool Registry::setString(std::string_view path, std::string_view name, std::string_view text, bool terminated) {
  return setValue(path, name, RegValue::fromString(text, terminated));
}

bool Registry::setDword(std::string_view path, std::string_view name, uint32_t v) {
  return setValue(path, name, RegValue::fromDword(v));
}

// ---------------------------------------------------------------------------------------------------------
// REGEDIT4

namespace {

std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

// The text of a REG_SZ when it can be written as "text" and read back to the same text: valid UTF-16 with
// no NUL but an optional final one, and no control characters (which a line cannot hold).
std::optional<std::string> exportableText(const RegValue& v) {
  if (v.type != RegType::Sz || v.data.size() % 2 != 0) return std::nullopt;
  size_t n = v.data.size();
  if (n >= 2 && v.data[n - 2] == 0 && v.data[n - 1] == 0) n -= 2;
  auto text = utf16leToUtf8(std::span<const uint8_t>(v.data.data(), n));
  if (!text) return std::nullopt;
  for (char c : *text) {
    if (static_cast<uint8_t>(c) < 0x20 || c == 0x7F) return std::nullopt;
  }
  return text;
}

void exportValue(std::string& out, const std::string& name, const RegValue& v) {
  std::string head = name.empty() ? std::string("@") : quoted(name);
  head += '=';
  if (auto text = exportableText(v)) {
    out += head + quoted(*text) + "\n";
    return;
  }
  if (auto d = v.asDword()) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", *d);
    out += head + buf + "\n";
    return;
  }
  char prefix[24];
  if (v.type == RegType::Binary) {
    std::snprintf(prefix, sizeof prefix, "hex:");
  } else {
    std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(v.type));
  }
  std::string line = head + prefix;
  // Long data continues on further lines, as regedit writes it.
  size_t width = line.size();
  for (size_t i = 0; i < v.data.size(); ++i) {
    char b[4];
    std::snprintf(b, sizeof b, "%02x", v.data[i]);
    line += b;
    width += 2;
    if (i + 1 < v.data.size()) {
      line += ',';
      ++width;
      if (width > 74) {
        line += "\\\n  ";
        width = 2;
      }
    }
  }
  out += line + "\n";
}

}  // namespace

std::string Registry::exportText(std::string_view path) const {
  std::lock_guard lock(mutex_);
  std::string out = "REGEDIT4\n\n";
  auto walk = [&out](auto& self, const Node& n, const std::string& full, bool isRoot) -> void {
    if (!isRoot || !n.values.empty()) {
      out += "[" + full + "]\n";
      for (const auto& [name, v] : n.values) exportValue(out, name, v);
      out += "\n";
    }
    for (const auto& [k, child] : n.children) self(self, *child, full + "\\" + child->name, false);
  };
  if (path.empty()) {
    for (const auto& r : roots_) walk(walk, *r, r->name, true);
    return out;
  }
  auto p = parsePath(path);
  Node* n = find(path);
  if (!p || !n) return out;
  // The key's path spelled as its keys were created.
  std::string full = roots_[p->root]->name;
  Node* cur = roots_[p->root].get();
  for (auto part : p->parts) {
    cur = cur->children.find(folded(part))->second.get();
    full += "\\" + cur->name;
  }
  walk(walk, *n, full, false);
  return out;
}

namespace {

struct OpCreate {
  std::string path;
};
struct OpDeleteKey {
  std::string path;
};
struct OpSet {
  std::string path, name;
  RegValue value;
};
struct OpDeleteValue {
  std::string path, name;
};
using Op = std::variant<OpCreate, OpDeleteKey, OpSet, OpDeleteValue>;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted string at the start of s (with \\ and \" escapes); moves s past it.
std::optional<std::string> readQuoted(std::string_view& s, std::string& error) {
  if (s.empty() || s.front() != '"') {
    error = "expected a quoted name or @";
    return std::nullopt;
  }
  std::string out;
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return out;
    }
    if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) {
        error = "bad escape in quoted text (only \\\\ and \\\" are allowed)";
        return std::nullopt;
      }
      c = s[++i];
    }
    out += c;
  }
  error = "quoted text is not closed";
  return std::nullopt;
}

std::optional<uint32_t> parseHexNumber(std::string_view s) {
  if (s.empty() || s.size() > 8) return std::nullopt;
  uint32_t v = 0;
  for (char c : s) {
    int d = hexDigit(c);
    if (d < 0) return std::nullopt;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  return v;
}

bool parseHexBytes(std::string_view s, std::vector<uint8_t>& out) {
  s = trim(s);
  if (s.empty()) return true;
  size_t pos = 0;
  while (true) {
    size_t comma = s.find(',', pos);
    std::string_view item = trim(s.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos));
    if (item.empty() || item.size() > 2) return false;
    int hi = hexDigit(item[0]);
    int lo = item.size() == 2 ? hexDigit(item[1]) : 0;
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(item.size() == 2 ? (hi << 4) | lo : hi));
    if (comma == std::string_view::npos) return true;
    pos = comma + 1;
  }
}

}  // namespace

std::optional<std::string> Registry::importText(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<std::string_view> lines;
  for (size_t pos = 0; pos <= text.size();) {
    size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  auto fail = [](size_t lineNo, std::string_view what) {
    return "line " + std::to_string(lineNo) + ": " + std::string(what);
  };

  std::vector<Op> ops;
  bool sawHeader = false;
  std::optional<std::string> currentKey;  // nullopt: no key section open (before the first, or after [-...])
  for (size_t i = 0; i < lines.size(); ++i) {
    const size_t lineNo = i + 1;
    std::string_view line = trim(lines[i]);
    if (line.find('\0') != std::string_view::npos) return fail(lineNo, "NUL character in the text");
    if (!sawHeader) {
      if (line.empty()) continue;
      if (line != "REGEDIT4") return fail(lineNo, "expected the header REGEDIT4");
      sawHeader = true;
      continue;
    }
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return fail(lineNo, "key line does not end with ]");
      std::string_view inner = line.substr(1, line.size() - 2);
      bool remove = !inner.empty() && inner.front() == '-';
      if (remove) inner.remove_prefix(1);
      auto norm = normalizeRegPath(inner);
      if (!norm) return fail(lineNo, "bad key path \"" + std::string(inner.substr(0, 80)) +
                                      "\" (unknown root, empty or overlong name, or deeper than 512 levels)");
      if (remove) {
        if (norm->find('\\') == std::string::npos) return fail(lineNo, "a root key cannot be deleted");
        ops.push_back(OpDeleteKey{*norm});
        currentKey.reset();
      } else {
        ops.push_back(OpCreate{*norm});
        currentKey = *norm;
      }
      continue;
    }
    if (!currentKey) return fail(lineNo, "value outside a key section");
    std::string error;
    std::string name;
    std::string_view rest = line;
    if (rest.front() == '@') {
      rest.remove_prefix(1);
    } else {
      auto q = readQuoted(rest, error);
      if (!q) return fail(lineNo, error);
      name = std::move(*q);
    }
    rest = trim(rest);
    if (rest.empty() || rest.front() != '=') return fail(lineNo, "expected = after the value name");
    rest = trim(rest.substr(1));
    if (rest == "-") {
      ops.push_back(OpDeleteValue{*currentKey, name});
      continue;
    }
    RegValue v;
    if (!rest.empty() && rest.front() == '"') {
      auto q = readQuoted(rest, error);
      if (!q) return fail(lineNo, error);
      if (!trim(rest).empty()) return fail(lineNo, "unexpected text after the quoted value");
      auto data = utf8ToUtf16le(*q, true);
      if (!data) return fail(lineNo, "string value is not valid UTF-8");
      v.type = RegType::Sz;
      v.data = std::move(*data);
    } else if (rest.substr(0, 6) == "dword:") {
      auto n = parseHexNumber(trim(rest.substr(6)));
      if (!n) return fail(lineNo, "dword needs 1 to 8 hex digits");
      v = RegValue::fromDword(*n);
    } else if (rest.substr(0, 3) == "hex") {
      rest.remove_prefix(3);
      uint32_t type = static_cast<uint32_t>(RegType::Binary);
      if (!rest.empty() && rest.front() == '(') {
        size_t close = rest.find(')');
        if (close == std::string_view::npos) return fail(lineNo, "hex( without )");
        auto t = parseHexNumber(rest.substr(1, close - 1));
        if (!t) return fail(lineNo, "bad type number in hex(...)");
        type = *t;
        rest.remove_prefix(close + 1);
      }
      if (rest.empty() || rest.front() != ':') return fail(lineNo, "expected : after hex");
      rest.remove_prefix(1);
      v.type = static_cast<RegType>(type);
      // A trailing backslash continues the bytes on the next line.
      size_t at = i;
      while (true) {
        std::string_view chunk = trim(rest);
        bool more = !chunk.empty() && chunk.back() == '\\';
        if (more) chunk.remove_suffix(1);
        chunk = trim(chunk);
        if (more && !chunk.empty() && chunk.back() == ',') chunk.remove_suffix(1);
        if (!parseHexBytes(chunk, v.data)) return fail(at + 1, "bad hex byte list");
        if (!more) break;
        if (++at >= lines.size()) return fail(at, "hex data continues past the end of the text");
        rest = lines[at];
        if (rest.find('\0') != std::string_view::npos) return fail(at + 1, "NUL character in the text");
      }
      i = at;
    } else {
      return fail(lineNo, "unknown value data (expected \"text\", dword:, hex: or hex(n):)");
    }
    ops.push_back(OpSet{*currentKey, std::move(name), std::move(v)});
  }
  if (!sawHeader) return fail(lines.size(), "expected the header REGEDIT4");

  std::lock_guard lock(mutex_);
  for (auto& op : ops) {
    std::visit(
        [this](auto& o) {
          using T = std::decay_t<decltype(o)>;
          if constexpr (std::is_same_v<T, OpCreate>) {
            createKey(o.path);
          } else if constexpr (std::is_same_v<T, OpDeleteKey>) {
            deleteKeyTree(o.path);
          } else if constexpr (std::is_same_v<T, OpSet>) {
            setValue(o.path, o.name, std::move(o.value));
          } else {
            deleteValue(o.path, o.name);
          }
        },
        op);
  }
  return std::nullopt;
}

}  // namespace w98
