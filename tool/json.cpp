#include "json.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace ostrolink {

namespace {
const Json kNull;
}  // namespace

Json& Json::set(std::string_view key, Json value) {
  if (!isObject()) v_ = Object{};
  auto& obj = std::get<Object>(v_);
  for (auto& [k, v] : obj) {
    if (k == key) {
      v = std::move(value);
      return v;
    }
  }
  obj.emplace_back(std::string(key), std::move(value));
  return obj.back().second;
}

const Json* Json::find(std::string_view key) const {
  if (!isObject()) return nullptr;
  for (const auto& [k, v] : std::get<Object>(v_))
    if (k == key) return &v;
  return nullptr;
}

Json* Json::find(std::string_view key) {
  return const_cast<Json*>(static_cast<const Json*>(this)->find(key));
}

const Json& Json::operator[](std::string_view key) const {
  const Json* j = find(key);
  return j ? *j : kNull;
}

Json& Json::push(Json value) {
  if (!isArray()) v_ = Array{};
  auto& arr = std::get<Array>(v_);
  arr.push_back(std::move(value));
  return arr.back();
}

const Json& Json::operator[](size_t index) const {
  if (!isArray()) return kNull;
  const auto& arr = std::get<Array>(v_);
  return index < arr.size() ? arr[index] : kNull;
}

size_t Json::size() const {
  if (isArray()) return std::get<Array>(v_).size();
  if (isObject()) return std::get<Object>(v_).size();
  return 0;
}

bool Json::asBool() const {
  if (!isBool()) throw std::logic_error("JSON value is not a boolean");
  return std::get<bool>(v_);
}

int64_t Json::asInt() const {
  switch (kind()) {
    case Kind::Int: return std::get<int64_t>(v_);
    case Kind::Uint: return static_cast<int64_t>(std::get<uint64_t>(v_));
    case Kind::Double: return static_cast<int64_t>(std::get<double>(v_));
    default: throw std::logic_error("JSON value is not a number");
  }
}

uint64_t Json::asUint() const {
  switch (kind()) {
    case Kind::Int: return static_cast<uint64_t>(std::get<int64_t>(v_));
    case Kind::Uint: return std::get<uint64_t>(v_);
    case Kind::Double: return static_cast<uint64_t>(std::get<double>(v_));
    default: throw std::logic_error("JSON value is not a number");
  }
}

double Json::asDouble() const {
  switch (kind()) {
    case Kind::Int: return static_cast<double>(std::get<int64_t>(v_));
    case Kind::Uint: return static_cast<double>(std::get<uint64_t>(v_));
    case Kind::Double: return std::get<double>(v_);
    default: throw std::logic_error("JSON value is not a number");
  }
}

const std::string& Json::asString() const {
  if (!isString()) throw std::logic_error("JSON value is not a string");
  return std::get<std::string>(v_);
}

const Json::Array& Json::asArray() const {
  if (!isArray()) throw std::logic_error("JSON value is not an array");
  return std::get<Array>(v_);
}

const Json::Object& Json::asObject() const {
  if (!isObject()) throw std::logic_error("JSON value is not an object");
  return std::get<Object>(v_);
}

bool operator==(const Json& a, const Json& b) {
  if (a.isNumber() && b.isNumber()) {
    if (a.kind() == Json::Kind::Double || b.kind() == Json::Kind::Double) return a.asDouble() == b.asDouble();
    bool aNeg = a.kind() == Json::Kind::Int && a.asInt() < 0;
    bool bNeg = b.kind() == Json::Kind::Int && b.asInt() < 0;
    return aNeg == bNeg && a.asUint() == b.asUint();
  }
  return a.v_ == b.v_;
}

// Length of the valid UTF-8 sequence starting at s[i], or 0 when the bytes there are not one.
static size_t utf8SequenceLength(std::string_view s, size_t i) {
  auto c = static_cast<unsigned char>(s[i]);
  size_t len;
  uint32_t cp;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    auto cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  // Overlong forms, surrogates and values past Unicode are not valid UTF-8.
  static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void appendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (c == '\n') {
      out += "\\n";
      ++i;
    } else if (c == '\r') {
      out += "\\r";
      ++i;
    } else if (c == '\t') {
      out += "\\t";
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      ++i;
    } else if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (size_t n = utf8SequenceLength(text, i)) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      ++i;
    }
  }
  out.push_back('"');
}

void Json::dumpTo(std::string& out) const {
  switch (kind()) {
    case Kind::Null: out += "null"; break;
    case Kind::Bool: out += std::get<bool>(v_) ? "true" : "false"; break;
    case Kind::Int: out += std::to_string(std::get<int64_t>(v_)); break;
    case Kind::Uint: out += std::to_string(std::get<uint64_t>(v_)); break;
    case Kind::Double: {
      double d = std::get<double>(v_);
      if (!std::isfinite(d)) {
        out += "null";  // JSON has no infinities
        break;
      }
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.17g", d);
      // Shortest text that reads back as the same value.
      for (int prec = 1; prec <= 17; ++prec) {
        char tmp[32];
        std::snprintf(tmp, sizeof tmp, "%.*g", prec, d);
        if (std::strtod(tmp, nullptr) == d) {
          std::snprintf(buf, sizeof buf, "%s", tmp);
          break;
        }
      }
      out += buf;
      break;
    }
    case Kind::String: appendJsonString(out, std::get<std::string>(v_)); break;
    case Kind::Array: {
      out.push_back('[');
      bool first = true;
      for (const auto& e : std::get<Array>(v_)) {
        if (!first) out.push_back(',');
        first = false;
        e.dumpTo(out);
      }
      out.push_back(']');
      break;
    }
    case Kind::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [k, v] : std::get<Object>(v_)) {
        if (!first) out.push_back(',');
        first = false;
        appendJsonString(out, k);
        out.push_back(':');
        v.dumpTo(out);
      }
      out.push_back('}');
      break;
    }
  }
}

std::string Json::dump() const {
  std::string s;
  dumpTo(s);
  return s;
}

namespace {

class Parser {
 public:
  explicit Parser(std::string_view t) : t_(t) {}

  std::optional<Json> parseDocument(std::string* error) {
    try {
      skipSpace();
      Json v = parseValue(0);
      skipSpace();
      if (pos_ != t_.size()) fail("unexpected text after the value");
      return v;
    } catch (const std::runtime_error& e) {
      if (error) *error = e.what();
      return std::nullopt;
    }
  }

 private:
  [[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(pos_));
  }
  void skipSpace() {
    while (pos_ < t_.size() && (t_[pos_] == ' ' || t_[pos_] == '\t' || t_[pos_] == '\n' || t_[pos_] == '\r')) ++pos_;
  }
  bool consume(std::string_view word) {
    if (t_.substr(pos_, word.size()) == word) {
      pos_ += word.size();
      return true;
    }
    return false;
  }
  Json parseValue(int depth) {
    if (depth > 200) fail("nesting too deep");
    if (pos_ >= t_.size()) fail("unexpected end");
    char c = t_[pos_];
    if (c == '{') return parseObject(depth);
    if (c == '[') return parseArray(depth);
    if (c == '"') return Json(parseString());
    if (consume("true")) return Json(true);
    if (consume("false")) return Json(false);
    if (consume("null")) return Json();
    if (c == '-' || (c >= '0' && c <= '9')) return parseNumber();
    fail(std::string("unexpected character '") + c + "'");
  }
  Json parseObject(int depth) {
    ++pos_;
    Json obj = Json::object();
    skipSpace();
    if (consume("}")) return obj;
    for (;;) {
      skipSpace();
      if (pos_ >= t_.size() || t_[pos_] != '"') fail("expected a member name");
      std::string key = parseString();
      skipSpace();
      if (!consume(":")) fail("expected ':'");
      skipSpace();
      obj.set(key, parseValue(depth + 1));
      skipSpace();
      if (consume("}")) return obj;
      if (!consume(",")) fail("expected ',' or '}'");
    }
  }
  Json parseArray(int depth) {
    ++pos_;
    Json arr = Json::array();
    skipSpace();
    if (consume("]")) return arr;
    for (;;) {
      skipSpace();
      arr.push(parseValue(depth + 1));
      skipSpace();
      if (consume("]")) return arr;
      if (!consume(",")) fail("expected ',' or ']'");
    }
  }
  unsigned hex4() {
    if (pos_ + 4 > t_.size()) fail("short \\u escape");
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = t_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= c - '0';
      else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
      else fail("bad \\u escape");
    }
    return v;
  }
  static void appendUtf8(std::string& s, uint32_t cp) {
    if (cp < 0x80) {
      s.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      s.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      s.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  std::string parseString() {
    ++pos_;
    std::string s;
    for (;;) {
      if (pos_ >= t_.size()) fail("unterminated string");
      char c = t_[pos_++];
      if (c == '"') return s;
      if (static_cast<unsigned char>(c) < 0x20) fail("control character in string");
      if (c != '\\') {
        s.push_back(c);
        continue;
      }
      if (pos_ >= t_.size()) fail("unterminated escape");
      char e = t_[pos_++];
      switch (e) {
        case '"': s.push_back('"'); break;
        case '\\': s.push_back('\\'); break;
        case '/': s.push_back('/'); break;
        case 'b': s.push_back('\b'); break;
        case 'f': s.push_back('\f'); break;
        case 'n': s.push_back('\n'); break;
        case 'r': s.push_back('\r'); break;
        case 't': s.push_back('\t'); break;
        case 'u': {
          uint32_t cp = hex4();
          if (cp >= 0xD800 && cp <= 0xDBFF && t_.substr(pos_, 2) == "\\u") {
            pos_ += 2;
            uint32_t lo = hex4();
            if (lo < 0xDC00 || lo > 0xDFFF) fail("bad surrogate pair");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          }
          appendUtf8(s, cp);
          break;
        }
        default: fail("bad escape");
      }
    }
  }
  Json parseNumber() {
    size_t start = pos_;
    if (t_[pos_] == '-') ++pos_;
    bool isFloat = false;
    while (pos_ < t_.size()) {
      char c = t_[pos_];
      if (c >= '0' && c <= '9') {
        ++pos_;
      } else if (c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-') {
        isFloat = true;
        ++pos_;
      } else {
        break;
      }
    }
    std::string num(t_.substr(start, pos_ - start));
    if (num == "-" ) fail("bad number");
    char* end = nullptr;
    if (!isFloat) {
      errno = 0;
      if (num[0] == '-') {
        long long v = std::strtoll(num.c_str(), &end, 10);
        if (errno == 0 && *end == 0) return Json(static_cast<int64_t>(v));
      } else {
        unsigned long long v = std::strtoull(num.c_str(), &end, 10);
        if (errno == 0 && *end == 0) return Json(static_cast<uint64_t>(v));
      }
    }
    double d = std::strtod(num.c_str(), &end);
    if (*end != 0) fail("bad number");
    return Json(d);
  }

  std::string_view t_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<Json> parseJson(std::string_view text, std::string* error) { return Parser(text).parseDocument(error); }

}  // namespace ostrolink
