#include "command.h"

#include <algorithm>
#include <cstdio>

namespace ostrolink {

std::vector<std::string> splitWords(std::string_view line) {
  std::vector<std::string> words;
  size_t i = 0;
  const size_t n = line.size();
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
  while (i < n) {
    while (i < n && blank(line[i])) ++i;
    if (i >= n) break;
    if (line[i] == '#') break;
    std::string word;
    while (i < n && !blank(line[i])) {
      if (line[i] == '"') {
        size_t open = i++;
        bool closed = false;
        while (i < n) {
          char c = line[i];
          if (c == '"') {
            closed = true;
            ++i;
            break;
          }
          if (c == '\\' && i + 1 < n && (line[i + 1] == '"' || line[i + 1] == '\\')) {
            word.push_back(line[i + 1]);
            i += 2;
            continue;
          }
          word.push_back(c);
          ++i;
        }
        if (!closed)
          throw CommandError("unterminated quote (opened at column " + std::to_string(open + 1) + ")");
      } else {
        word.push_back(line[i++]);
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

uint64_t parseNumber(std::string_view text, uint64_t min, uint64_t max, std::string_view what) {
  auto bad = [&]() -> CommandError {
    return CommandError(std::string(what) + " must be a number from " + std::to_string(min) + " to " +
                        std::to_string(max) + ", not \"" + std::string(text) + "\"");
  };
  if (text.empty()) throw bad();
  unsigned base = 10;
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  uint64_t value = 0;
  for (char c : digits) {
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else throw bad();
    if (value > (UINT64_MAX - d) / base) throw bad();
    value = value * base + d;
  }
  if (value < min || value > max) throw bad();
  return value;
}

static int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<uint8_t> parseHexBytes(std::span<const std::string> words) {
  std::vector<uint8_t> bytes;
  for (const auto& w : words) {
    std::string_view s = w;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
    if (s.empty() || s.size() % 2 != 0)
      throw CommandError("\"" + w + "\" is not hexadecimal bytes (two digits per byte)");
    for (size_t i = 0; i < s.size(); i += 2) {
      int hi = hexDigit(s[i]);
      int lo = hexDigit(s[i + 1]);
      if (hi < 0 || lo < 0) throw CommandError("\"" + w + "\" is not hexadecimal bytes (two digits per byte)");
      bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
  }
  return bytes;
}

std::string hexBytes(std::span<const uint8_t> bytes, std::string_view separator) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(bytes.size() * (2 + separator.size()));
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) s.append(separator);
    s.push_back(kDigits[bytes[i] >> 4]);
    s.push_back(kDigits[bytes[i] & 15]);
  }
  return s;
}

std::string statusText(uint32_t status) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", status);
  return buf;
}

std::string CommandInfo::usage() const {
  std::string u = name;
  if (!arguments.empty()) u += " " + arguments;
  for (const auto& o : options) {
    u += " [--" + o.name;
    if (o.kind != OptionInfo::Kind::Flag) u += " " + (o.valueName.empty() ? std::string("VALUE") : o.valueName);
    u += "]";
  }
  return u;
}

bool Args::flag(std::string_view name) const { return values_.find(name) != values_.end(); }
bool Args::has(std::string_view name) const { return values_.find(name) != values_.end(); }

std::optional<std::string> Args::text(std::string_view name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::optional<uint64_t> Args::number(std::string_view name) const {
  auto it = numbers_.find(name);
  if (it == numbers_.end()) return std::nullopt;
  return it->second;
}

uint64_t Args::number(std::string_view name, uint64_t fallback) const { return number(name).value_or(fallback); }

Args parseArgs(const CommandInfo& info, std::span<const std::string> words) {
  Args args;
  auto fail = [&](const std::string& what) -> CommandError {
    return CommandError(info.name + ": " + what + " (usage: " + info.usage() + ")");
  };
  bool optionsEnded = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (optionsEnded || w.size() < 3 || w.compare(0, 2, "--") != 0) {
      if (!optionsEnded && w == "--") {
        optionsEnded = true;
        continue;
      }
      args.positional.push_back(w);
      continue;
    }
    std::string name = w.substr(2);
    std::optional<std::string> inlineValue;
    if (auto eq = name.find('='); eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    auto opt = std::find_if(info.options.begin(), info.options.end(), [&](const OptionInfo& o) { return o.name == name; });
    if (opt == info.options.end()) throw fail("unknown option --" + name);
    if (args.values_.count(name)) throw fail("option --" + name + " given twice");
    if (opt->kind == OptionInfo::Kind::Flag) {
      if (inlineValue) throw fail("option --" + name + " takes no value");
      args.values_[name] = "";
      continue;
    }
    std::string value;
    if (inlineValue) {
      value = *inlineValue;
    } else {
      if (i + 1 >= words.size()) throw fail("option --" + name + " needs a value " + opt->valueName);
      value = words[++i];
    }
    if (opt->kind == OptionInfo::Kind::Number) {
      try {
        args.numbers_[name] = parseNumber(value, opt->min, opt->max, "--" + name);
      } catch (const CommandError& e) {
        throw fail(e.what());
      }
    }
    args.values_[name] = value;
  }
  if (args.positional.size() < info.minArgs)
    throw fail(info.minArgs == info.maxArgs && info.minArgs == 1 ? "needs an argument" : "too few arguments");
  if (args.positional.size() > info.maxArgs) throw fail("unexpected argument \"" + args.positional[info.maxArgs] + "\"");
  return args;
}

void CommandTable::add(CommandInfo info, Handler handler) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.info.name == info.name; });
  if (it != entries_.end()) {
    *it = Entry{std::move(info), std::move(handler)};
    return;
  }
  entries_.push_back(Entry{std::move(info), std::move(handler)});
}

const CommandInfo* CommandTable::find(std::string_view name) const {
  for (const auto& e : entries_)
    if (e.info.name == name) return &e.info;
  return nullptr;
}

void CommandTable::run(std::span<const std::string> words, Reply& reply) const {
  if (words.empty()) return;
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.info.name == words[0]; });
  if (it == entries_.end()) throw CommandError("unknown command \"" + words[0] + "\" (try help)");
  Args args = parseArgs(it->info, words.subspan(1));
  it->handler(args, reply);
}

std::string CommandTable::help() const {
  std::string h;
  for (const auto& e : entries_) {
    h += "  " + e.info.usage() + "\n";
    if (!e.info.summary.empty()) h += "      " + e.info.summary + "\n";
  }
  return h;
}

std::optional<std::string> CommandTable::help(std::string_view name) const {
  const CommandInfo* s = find(name);
  if (!s) return std::nullopt;
  return s->usage() + "\n    " + s->summary + "\n";
}

std::vector<std::string> CommandTable::names() const {
  std::vector<std::string> n;
  for (const auto& e : entries_) n.push_back(e.info.name);
  return n;
}

}  // namespace ostrolink
