// Running the tool on scripts from tests, through its library entry, and reading its JSON lines back.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "json.h"
#include "scratch_folder.h"
#include "session.h"

namespace tooltest {

using ostrolink::Json;

// A folder that is removed with everything in it at the end of the test.
class TempDir : public testrig::ScratchFolder {
 public:
  TempDir() : ScratchFolder("tool_test") {}
};

struct ScriptRun {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<Json> lines;  // one per command that ran

  // The reply of the first command named `command` at or after `from` (an empty object when none).
  const Json& reply(size_t index) const {
    static const Json none = Json::object();
    return index < lines.size() ? lines[index] : none;
  }
  std::string dump() const { return "status " + std::to_string(status) + "\nstdout:\n" + out + "stderr:\n" + err; }
};

// Runs `script` (one command per line) as the standard input of `ostrolink --json [args...]`.
inline ScriptRun runScript(const std::string& script, std::vector<std::string> args = {}) {
  args.insert(args.begin(), "--json");
  std::istringstream in(script);
  std::ostringstream out, err;
  ScriptRun r;
  r.status = ostrolink::runTool(args, in, out, err, /*stdinIsTerminal=*/false, /*stdoutIsTerminal=*/false);
  r.out = out.str();
  r.err = err.str();
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::string why;
    auto j = ostrolink::parseJson(line, &why);
    EXPECT_TRUE(j) << "not a JSON line (" << why << "): " << line;
    if (j) r.lines.push_back(*j);
  }
  return r;
}

inline std::string readFile(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline std::string sourceFile(const std::string& relative) { return std::string(OSTROLINK_SOURCE_DIR) + "/" + relative; }

}  // namespace tooltest
