// The session's line handling, independent of the machine: built-in commands, errors, JSON lines, exit codes.
#include "session.h"

#include <gtest/gtest.h>

#include <sstream>

#include "json.h"

using namespace ostrolink;

namespace {
struct ToolRun {
  int status;
  std::string out, err;
};

ToolRun runArgs(std::vector<std::string> args, const std::string& input, bool terminal = false) {
  std::istringstream in(input);
  std::ostringstream out, err;
  int status = runTool(args, in, out, err, terminal, false);
  return {status, out.str(), err.str()};
}

std::vector<Json> jsonLines(const std::string& text) {
  std::vector<Json> v;
  std::istringstream s(text);
  std::string line;
  while (std::getline(s, line)) {
    auto j = parseJson(line);
    EXPECT_TRUE(j) << "not one JSON object per line: " << line;
    if (j) v.push_back(*j);
  }
  return v;
}
}  // namespace

TEST(Session, JsonModeGivesOneObjectPerCommandAndSkipsComments) {
  ToolRun r = runArgs({"--json"}, "# comment\n\nhelp quit\nquit\nhelp\n");
  EXPECT_EQ(r.status, 0) << r.err;
  auto lines = jsonLines(r.out);
  ASSERT_EQ(lines.size(), 2u) << "commands after quit do not run";
  EXPECT_EQ(lines[0]["line"].asInt(), 3);
  EXPECT_EQ(lines[0]["command"].asString(), "help");
  EXPECT_TRUE(lines[0]["ok"].asBool());
  EXPECT_EQ(lines[0]["usage"].asString(), "quit");
  EXPECT_EQ(lines[1]["line"].asInt(), 4);
  EXPECT_EQ(lines[1]["command"].asString(), "quit");
}

TEST(Session, ScriptStopsAtTheFirstBadLineNamingIt) {
  ToolRun r = runArgs({"--json"}, "help\nfrobnicate 1\nhelp\n");
  EXPECT_EQ(r.status, 1);
  auto lines = jsonLines(r.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_FALSE(lines[1]["ok"].asBool());
  EXPECT_EQ(lines[1]["line"].asInt(), 2);
  EXPECT_NE(lines[1]["error"].asString().find("unknown command \"frobnicate\""), std::string::npos);
  EXPECT_NE(r.err.find("line 2: unknown command"), std::string::npos) << r.err;
}

TEST(Session, MalformedQuotingIsReportedAsALineError) {
  ToolRun r = runArgs({}, "help\nhelp \"quit\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("line 2: unterminated quote"), std::string::npos) << r.err;
}

TEST(Session, InteractiveSessionReportsErrorsAndGoesOn) {
  ToolRun r = runArgs({}, "bogus\nhelp help\nquit\n", /*terminal=*/true);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("line 1: unknown command \"bogus\""), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("ostrolink> "), std::string::npos) << "a prompt on a terminal";
  EXPECT_NE(r.out.find("lists the commands"), std::string::npos) << "the line after the error ran";
}

TEST(Session, HelpListsEveryCommand) {
  ToolRun r = runArgs({"--json"}, "help\nhelp nosuch\n");
  EXPECT_EQ(r.status, 1);
  auto lines = jsonLines(r.out);
  ASSERT_EQ(lines.size(), 2u);
  const Json& names = lines[0]["commands"];
  ASSERT_TRUE(names.isArray());
  std::vector<std::string> n;
  for (const auto& x : names.asArray()) n.push_back(x.asString());
  EXPECT_NE(std::find(n.begin(), n.end(), "quit"), n.end());
  EXPECT_NE(lines[1]["error"].asString().find("no command \"nosuch\""), std::string::npos);
}

TEST(ToolCommandLine, BadOptionsAndMissingScript) {
  EXPECT_EQ(runArgs({"--bogus"}, "").status, 2);
  ToolRun m = runArgs({"--machine"}, "");
  EXPECT_EQ(m.status, 2);
  EXPECT_NE(m.err.find("--machine needs a folder"), std::string::npos);
  ToolRun s = runArgs({"/nonexistent/script.txt"}, "");
  EXPECT_EQ(s.status, 2);
  EXPECT_NE(s.err.find("cannot open script \"/nonexistent/script.txt\""), std::string::npos);
  EXPECT_EQ(runArgs({"a", "b"}, "").status, 2);
  EXPECT_EQ(runArgs({"--demo", "--json"}, "").status, 2);
  ToolRun h = runArgs({"--help"}, "");
  EXPECT_EQ(h.status, 0);
  EXPECT_NE(h.out.find("usage: ostrolink"), std::string::npos);
}
