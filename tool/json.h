// A small JSON value for the tool's machine-readable output: one object per command, on one line.
// Object keys keep the order they were set in, so the output reads in the order the command reports.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace ostrolink {

class Json {
 public:
  using Array = std::vector<Json>;
  using Object = std::vector<std::pair<std::string, Json>>;
  enum class Kind { Null, Bool, Int, Uint, Double, String, Array, Object };

  Json() = default;
  Json(std::nullptr_t) {}
  Json(bool b) : v_(b) {}
  template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  Json(T n) {
    if constexpr (std::is_signed_v<T>)
      v_ = static_cast<int64_t>(n);
    else
      v_ = static_cast<uint64_t>(n);
  }
  Json(double d) : v_(d) {}
  Json(std::string s) : v_(std::move(s)) {}
  Json(std::string_view s) : v_(std::string(s)) {}
  Json(const char* s) : v_(std::string(s)) {}
  Json(Array a) : v_(std::move(a)) {}

  static Json array() { return Json(Array{}); }
  static Json object() {
    Json j;
    j.v_ = Object{};
    return j;
  }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool isNull() const { return kind() == Kind::Null; }
  bool isObject() const { return kind() == Kind::Object; }
  bool isArray() const { return kind() == Kind::Array; }
  bool isString() const { return kind() == Kind::String; }
  bool isNumber() const { return kind() == Kind::Int || kind() == Kind::Uint || kind() == Kind::Double; }
  bool isBool() const { return kind() == Kind::Bool; }

  // Object members. set() replaces a key already present, keeping its place.
  Json& set(std::string_view key, Json value);
  const Json* find(std::string_view key) const;
  Json* find(std::string_view key);
  // The member, or a null value when absent (never throws: handy in tests).
  const Json& operator[](std::string_view key) const;
  // Array elements.
  Json& push(Json value);
  const Json& operator[](size_t index) const;
  size_t size() const;  // elements of an array or members of an object, 0 otherwise

  bool asBool() const;
  int64_t asInt() const;  // numbers only; doubles are truncated
  uint64_t asUint() const;
  double asDouble() const;
  const std::string& asString() const;
  const Array& asArray() const;
  const Object& asObject() const;

  // Compact text on one line.
  std::string dump() const;
  void dumpTo(std::string& out) const;

  friend bool operator==(const Json& a, const Json& b);

 private:
  std::variant<std::nullptr_t, bool, int64_t, uint64_t, double, std::string, Array, Object> v_{nullptr};
};

// Appends `text` as a JSON string literal. Valid UTF-8 passes through; control characters and bytes that are not
// part of valid UTF-8 are escaped as \u00XX (the byte read as Latin-1), so nothing is dropped.
void appendJsonString(std::string& out, std::string_view text);

// Parses one JSON text (used by tests and by anyone reading the tool's output). On failure returns nullopt and
// sets `error` to a message with the byte offset.
std::optional<Json> parseJson(std::string_view text, std::string* error = nullptr);

}  // namespace ostrolink
