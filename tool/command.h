// The tool's command framework: splitting a script line into words, each command's argument rules, and what a
// command hands back (a JSON object and the text shown to a person).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "json.h"

namespace ostrolink {

// Bad input or a failed action of one command. The session names the line it came from.
class CommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Splits one line into words. Blanks separate words. "Double quotes" keep blanks inside one word (and can make an
// empty word); inside them \" and \\ stand for " and \, any other backslash is kept as it is so that registry and
// DOS paths read as written. A # at the start of a word (outside quotes) begins a comment that runs to the end of
// the line. Throws CommandError for an unterminated quote.
std::vector<std::string> splitWords(std::string_view line);

// A whole number in decimal or with a 0x prefix in hexadecimal, within [min, max]; `what` names it in the error.
uint64_t parseNumber(std::string_view text, uint64_t min, uint64_t max, std::string_view what);

// Bytes written as hexadecimal digit pairs; each word holds one or more whole pairs ("01 02", "0102", "0x0102").
std::vector<uint8_t> parseHexBytes(std::span<const std::string> words);
// Two lower-case digits per byte, with `separator` between bytes.
std::string hexBytes(std::span<const uint8_t> bytes, std::string_view separator = "");
// A 32-bit status as Windows shows it: "0x%08X".
std::string statusText(uint32_t status);

struct OptionInfo {
  enum class Kind { Flag, Text, Number };
  std::string name;  // without the leading "--"
  Kind kind = Kind::Flag;
  std::string valueName;  // shown in the usage, e.g. "N" or "FILE"
  uint64_t min = 0;
  uint64_t max = UINT64_MAX;
};

struct CommandInfo {
  std::string name;
  std::string arguments;  // the positional part of the usage, e.g. "PORT FILE"
  std::string summary;
  size_t minArgs = 0;
  size_t maxArgs = 0;  // SIZE_MAX: any number
  std::vector<OptionInfo> options;

  std::string usage() const;  // "plug [--device-id TEXT] [--no-printer]"
};

// A command's words after its name, checked against its rules. Options may stand anywhere among the positional
// words, as "--name VALUE" or "--name=VALUE"; "--" ends the options.
class Args {
 public:
  std::vector<std::string> positional;

  bool flag(std::string_view name) const;
  std::optional<std::string> text(std::string_view name) const;
  std::optional<uint64_t> number(std::string_view name) const;
  uint64_t number(std::string_view name, uint64_t fallback) const;
  bool has(std::string_view name) const;

 private:
  friend Args parseArgs(const CommandInfo&, std::span<const std::string>);
  std::map<std::string, std::string, std::less<>> values_;  // flags have an empty value
  std::map<std::string, uint64_t, std::less<>> numbers_;
};

// Throws CommandError naming the command and showing its usage.
Args parseArgs(const CommandInfo& info, std::span<const std::string> words);

// What one command reports: the JSON members and the text for a person.
class Reply {
 public:
  Json json = Json::object();
  std::string text;  // lines for a person, each ending in a newline
  bool quit = false;  // the session ends after this command

  // Sets a JSON member.
  Reply& set(std::string_view key, Json value) {
    json.set(key, std::move(value));
    return *this;
  }
  // Adds one line of text.
  Reply& say(std::string_view line) {
    text.append(line);
    text.push_back('\n');
    return *this;
  }
};

using Handler = std::function<void(const Args&, Reply&)>;

class CommandTable {
 public:
  void add(CommandInfo info, Handler handler);
  const CommandInfo* find(std::string_view name) const;
  // Checks the words against the command's rules and runs it. words[0] is the command name.
  void run(std::span<const std::string> words, Reply& reply) const;
  // One line per command: usage and summary.
  std::string help() const;
  // The usage and summary of one command, or nullopt when there is no such command.
  std::optional<std::string> help(std::string_view name) const;
  std::vector<std::string> names() const;

 private:
  struct Entry {
    CommandInfo info;
    Handler handler;
  };
  std::vector<Entry> entries_;
};

}  // namespace ostrolink
