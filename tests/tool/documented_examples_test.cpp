// The pages a reader follows stay true: the sessions README.md and tool/README.md show are run and must print
// what the pages say, and tool/README.md names exactly the commands, options and JSON members the tool has.
#include <unistd.h>

#include <map>
#include <regex>
#include <set>

#include "ioctl_names.h"
#include "tool_test_util.h"

namespace {

using namespace tooltest;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The page's fenced blocks, each as its lines.
std::vector<std::vector<std::string>> codeBlocks(const std::string& page) {
  std::vector<std::vector<std::string>> blocks;
  bool inside = false;
  for (const auto& line : linesOf(page)) {
    if (line.rfind("```", 0) == 0) {
      inside = !inside;
      if (inside) blocks.emplace_back();
    } else if (inside) {
      blocks.back().push_back(line);
    }
  }
  return blocks;
}

std::vector<std::string> words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// Runs a script from the repository's root, where the pages' relative paths start.
ScriptRun runFromSources(const std::string& script, std::vector<std::string> args = {}) {
  const auto here = std::filesystem::current_path();
  std::filesystem::current_path(OSTROLINK_SOURCE_DIR);
  ScriptRun run = runScript(script, std::move(args));
  std::filesystem::current_path(here);
  return run;
}

// Runs each session a page shows (a block starting "$ <path>ostrolink OPTIONS", its commands below) and compares
// the next block's JSON lines with the replies of the same line numbers, text for text. Returns how many ran.
int checkSessions(const std::string& pageName) {
  const auto blocks = codeBlocks(readFile(sourceFile(pageName)));
  int sessions = 0;
  for (size_t b = 0; b + 1 < blocks.size(); ++b) {
    const auto& block = blocks[b];
    if (block.empty() || block[0].rfind("$ ", 0) != 0 || block[0].find("ostrolink") == std::string::npos) continue;
    std::vector<std::string> args = words(block[0].substr(2));
    args.erase(args.begin());
    args.erase(std::remove(args.begin(), args.end(), "--json"), args.end());
    std::string script;
    for (size_t i = 1; i < block.size(); ++i) script += block[i] + "\n";
    ScriptRun run = runFromSources(script, args);
    ++sessions;
    EXPECT_EQ(run.status, 0) << pageName << ": the session of block " << b << "\n" << run.dump();
    int shown = 0;
    for (const auto& expected : blocks[b + 1]) {
      if (expected.empty() || expected[0] != '{') continue;
      ++shown;
      auto want = ostrolink::parseJson(expected);
      if (!want) {
        ADD_FAILURE() << pageName << ": not JSON: " << expected;
        continue;
      }
      const int64_t line = (*want)["line"].asInt();
      const Json* got = nullptr;
      for (const auto& reply : run.lines)
        if (reply["line"].asInt() == line) got = &reply;
      if (!got) {
        ADD_FAILURE() << pageName << ": the tool printed nothing for line " << line << "\n" << run.dump();
        continue;
      }
      EXPECT_EQ(expected, got->dump()) << pageName << ": line " << line << " as the page shows it, then as printed";
    }
    EXPECT_GT(shown, 0) << pageName << ": the session of block " << b << " shows no output";
  }
  return sessions;
}

TEST(DocumentedSessions, ReadmeAndToolReadmePrintWhatTheyShow) {
  EXPECT_EQ(checkSessions("README.md"), 1);
  EXPECT_EQ(checkSessions("tool/README.md"), 1);
}

// tool/README.md's table of commands: for each command named in a row's first column, the row's options and the
// JSON members named in its second column (every `lower_case` name there).
struct DocumentedCommand {
  std::set<std::string> options, members;
};

std::map<std::string, DocumentedCommand> commandTable(const std::string& page) {
  std::map<std::string, DocumentedCommand> table;
  const std::regex code("`([^`]*)`"), option("--[a-z0-9-]+"), member("^[a-z][a-z0-9_]*$");
  bool inTable = false;
  for (const auto& line : linesOf(page)) {
    if (line.rfind("| Command |", 0) == 0) inTable = true;
    if (line.rfind("|", 0) != 0) inTable = false;
    if (!inTable || line.rfind("| `", 0) != 0) continue;
    // Cells are split at " | " (a `\|` inside a cell is no separator).
    const size_t split = line.find(" | ", 2);
    if (split == std::string::npos) continue;
    const std::string first = line.substr(2, split - 2), second = line.substr(split + 3);
    std::set<std::string> members;
    for (std::sregex_iterator it(second.begin(), second.end(), code), end; it != end; ++it)
      if (std::regex_match((*it)[1].str(), member)) members.insert((*it)[1]);
    for (std::sregex_iterator it(first.begin(), first.end(), code), end; it != end; ++it) {
      const std::string usage = (*it)[1];
      DocumentedCommand& command = table[words(usage).at(0)];
      for (std::sregex_iterator o(usage.begin(), usage.end(), option); o != end; ++o) command.options.insert(o->str());
      command.members = members;
    }
  }
  return table;
}

void collectMembers(const Json& value, std::set<std::string>& into) {
  if (value.isObject()) {
    for (const auto& [key, member] : value.asObject()) {
      into.insert(key);
      collectMembers(member, into);
    }
  } else if (value.isArray()) {
    for (size_t i = 0; i < value.size(); ++i) collectMembers(value[i], into);
  }
}

TEST(ToolReadme, NamesEveryCommandOptionAndJsonMemberOfTheTool) {
  const auto table = commandTable(readFile(sourceFile("tool/README.md")));
  ScriptRun help = runScript("help\n");
  ASSERT_EQ(help.status, 0) << help.dump();
  std::string helpScript;
  std::set<std::string> commands;
  for (size_t i = 0; i < help.lines[0]["commands"].size(); ++i) {
    commands.insert(help.lines[0]["commands"][i].asString());
    helpScript += "help " + help.lines[0]["commands"][i].asString() + "\n";
  }
  std::set<std::string> documented;
  for (const auto& [name, row] : table) documented.insert(name);
  EXPECT_EQ(documented, commands) << "the commands of tool/README.md's table, then the tool's";

  const std::regex option("--[a-z0-9-]+");
  ScriptRun usages = runScript(helpScript);
  for (const auto& reply : usages.lines) {
    const std::string usage = reply["usage"].asString();
    const std::string name = words(usage).at(0);
    std::set<std::string> options;
    for (std::sregex_iterator o(usage.begin(), usage.end(), option), end; o != end; ++o) options.insert(o->str());
    if (table.count(name)) {
      EXPECT_EQ(table.at(name).options, options) << name << ": the page's options, then the tool's";
    }
  }

  // Every command in the variants that bring out its members: a printer with and without an identifier and
  // none, one port and several, a control code on a port with no cable, a stalled write, a failing request.
  const std::string session = R"(help
help plug
install
plug --device-id "MFG:Acme;CMD:PCL;MDL:Jet 100;CLS:PRINTER;"
plug --no-printer
plug --device-id "CMD:PCL;CLS:PRINTER;"
devices
printer 1 paper-empty
printer 1 paper-ok
print KVUSB1 docs/sample-job.txt
print KVUSB1,KVUSB3 docs/sample-job.txt
ioctl KVUSB1 get-device-id
ioctl KVUSB9 get-port-status
open KVUSB1
fault stall --bulk-out
write KVUSB1 41 42 43 --timeout 2
ioctl KVUSB1 recover
read KVUSB1 4 --timeout 1
close KVUSB1
fault error --at 3
fault clear
set MaxTransferSize 4096
registry HKEY_LOCAL_MACHINE\Enum\USB
stop 1
start 1
remove 2
unplug 1
uninstall yes no
boot
check-clean
quit
)";
  ScriptRun run = runFromSources(session);
  ASSERT_EQ(run.status, 0) << run.dump();
  std::map<std::string, std::set<std::string>> printed;
  for (const auto& reply : run.lines) collectMembers(reply, printed[reply["command"].asString()]);
  const std::set<std::string> everyReply{"line", "command", "ok"};
  for (const auto& [name, row] : table) {
    std::set<std::string> members;
    for (const auto& m : printed[name])
      if (!everyReply.count(m)) members.insert(m);
    EXPECT_EQ(row.members, members) << name << ": the JSON members tool/README.md names, then those it printed";
  }
}

// The control codes' table names each of the tool's codes with its value, in the tool's order.
TEST(ToolReadme, ListsEveryControlCodeWithItsValue) {
  std::string page, tool;
  const std::regex row(R"(^\| `([a-z-]+)` \| (0x[0-9A-F]{8}) \|)");
  for (const auto& line : linesOf(readFile(sourceFile("tool/README.md")))) {
    std::smatch m;
    if (std::regex_search(line, m, row)) page += m[1].str() + " " + m[2].str() + "\n";
  }
  for (const auto& code : ostrolink::ioctlNames()) {
    char value[16];
    std::snprintf(value, sizeof value, "0x%08X", code.code);
    tool += std::string(code.name) + " " + value + "\n";
  }
  EXPECT_EQ(page, tool);
}

// The usage lines `ostrolink --help` prints are the ones tool/README.md's first block shows.
TEST(ToolReadme, ShowsTheToolsUsage) {
  std::istringstream in;
  std::ostringstream out, err;
  ostrolink::runTool({"--help"}, in, out, err, false, false);
  std::string page;
  const auto blocks = codeBlocks(readFile(sourceFile("tool/README.md")));
  for (const auto& line : blocks.at(0))
    page += line.substr(0, line.find("  #")) + "\n";
  const std::regex usage(R"((?:usage:|^)\s+(ostrolink .*))");
  int found = 0;
  for (const auto& line : linesOf(out.str() + err.str())) {
    std::smatch m;
    if (line.find("ostrolink ") == std::string::npos || !std::regex_search(line, m, usage)) continue;
    ++found;
    EXPECT_NE(page.find(m[1].str()), std::string::npos) << "tool/README.md lacks the usage line: " << m[1];
  }
  EXPECT_GE(found, 2) << out.str() << err.str();
}

}  // namespace
