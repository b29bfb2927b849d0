// Fuzz target: the ostrolink script parser, i.e. everything a script line goes through before a command
// runs: word splitting, each command's argument rules (the tool's real command table), numbers,
// hexadecimal bytes, and the JSON the tool writes and reads.
//
// Bad input may only end in CommandError (any other exception or a crash is a finding), and what is
// accepted must survive a round trip: words re-quoted split to the same words, numbers and bytes written
// back parse to the same values, JSON dumped parses to an equal value.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "json.h"
#include "session.h"

namespace {

using ostrolink::CommandError;

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

std::string Quote(const std::string& word)
{
    std::string out = "\"";
    for (char c : word) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

struct Tool {
    std::ostringstream out;
    std::ostringstream err;
    std::unique_ptr<ostrolink::Session> session;
    std::vector<ostrolink::CommandInfo> commands;
    Tool()
    {
        session = std::make_unique<ostrolink::Session>(ostrolink::SessionOptions{}, out, err);
        for (const std::string& name : session->commands().names())
            if (const auto* info = session->commands().find(name)) commands.push_back(*info);
    }
};

Tool& TheTool()
{
    static Tool* tool = [] {
        auto* t = new Tool;
        // The session's machine lives in a temporary folder that its end removes.
        std::atexit([] { TheTool().session.reset(); });
        return t;
    }();
    return *tool;
}

void CheckWords(const std::string& line)
{
    std::vector<std::string> words;
    try {
        words = ostrolink::splitWords(line);
    } catch (const CommandError&) {
        return;
    }
    std::string again;
    for (const auto& w : words) again += Quote(w) + " ";
    std::vector<std::string> back;
    try {
        back = ostrolink::splitWords(again);
    } catch (const CommandError& e) {
        Fail(std::string("re-quoted words do not split: ") + e.what());
    }
    if (back != words) Fail("re-quoted words split differently: " + again);

    // Every command's argument rules over the words (the first word picks nothing: all commands are tried,
    // so that deep option handling is reached whatever the command name).
    Tool& tool = TheTool();
    const std::span<const std::string> rest = words.empty() ? std::span<const std::string>()
                                                            : std::span<const std::string>(words).subspan(1);
    for (const auto& info : tool.commands) {
        try {
            ostrolink::Args args = ostrolink::parseArgs(info, rest);
            if (args.positional.size() < info.minArgs || args.positional.size() > info.maxArgs)
                Fail(info.name + ": accepted " + std::to_string(args.positional.size()) + " positional words");
            for (const auto& option : info.options) {
                if (option.kind != ostrolink::OptionInfo::Kind::Number || !args.has(option.name)) continue;
                const uint64_t v = args.number(option.name, 0);
                if (v < option.min || v > option.max) Fail(info.name + ": --" + option.name + " out of range");
            }
        } catch (const CommandError& e) {
            if (std::string(e.what()).find(info.name) != 0) Fail("error does not name the command: " + std::string(e.what()));
        }
    }
}

void CheckNumbers(const std::string& text, uint64_t min, uint64_t max)
{
    uint64_t value = 0;
    try {
        value = ostrolink::parseNumber(text, min, max, "fuzz");
    } catch (const CommandError&) {
        return;
    }
    if (value < min || value > max) Fail("number out of its range: " + text);
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    if (ostrolink::parseNumber(std::to_string(value), min, max, "fuzz") != value ||
        ostrolink::parseNumber(buffer, min, max, "fuzz") != value)
        Fail("number does not read back: " + text);
}

void CheckHex(const std::string& line)
{
    std::vector<std::string> words;
    try {
        words = ostrolink::splitWords(line);
    } catch (const CommandError&) {
        return;
    }
    std::vector<uint8_t> bytes;
    try {
        bytes = ostrolink::parseHexBytes(words);
    } catch (const CommandError&) {
        return;
    }
    const std::vector<std::string> written{ostrolink::hexBytes(bytes)};
    if (!bytes.empty() && ostrolink::parseHexBytes(written) != bytes) Fail("hex bytes do not read back: " + line);
}

void CheckJson(const std::string& text)
{
    std::string error;
    auto value = ostrolink::parseJson(text, &error);
    if (!value) {
        if (error.empty()) Fail("JSON refused without a message");
        return;
    }
    // Bytes of a string that are not UTF-8 are written as \u00XX (read as Latin-1), so the first dump may
    // change such a string; from then on a dump must read back to itself.
    std::string dumped = value->dump();
    for (int round = 0; round < 2; ++round) {
        auto back = ostrolink::parseJson(dumped, &error);
        if (!back) Fail("dumped JSON does not parse: " + dumped + " (" + error + ")");
        const std::string again = back->dump();
        if (round == 1 && again != dumped) Fail("JSON dump is not stable: " + dumped + " / " + again);
        dumped = again;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckWords(text);
    CheckHex(text);
    const uint64_t max = size > 0 ? (data[0] & 1 ? UINT64_MAX : 0xFFFF) : 0;
    CheckNumbers(text, size > 1 ? data[1] & 0x0F : 0, max);
    CheckJson(text);
    return 0;
}
