// One session of the tool: a script, standard input or a person at a prompt, one command per line, over one
// simulated machine (one boot of it).
#pragma once

#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"

namespace ostrolink {

struct SessionOptions {
  std::optional<std::filesystem::path> machineDir;  // kept state; a fresh machine in a temporary folder when absent
  bool json = false;                                // one JSON object per command, on one line
  std::optional<std::filesystem::path> pcapFile;    // the session's USB traffic
  bool interactive = false;                         // a prompt; a bad line is reported and the session goes on
  bool terminal = false;                            // standard output is a terminal: progress bars
};

class Session;

// The commands that act on the machine, with the machine they own. Built by makeMachineCommands.
class CommandSet {
 public:
  virtual ~CommandSet() = default;
  virtual void registerCommands(CommandTable& table) = 0;
  // The session ends: write the machine's state back. Throws CommandError when it cannot.
  virtual void finish() {}
};

// Defined by the machine commands: the machine for this session and its commands.
std::unique_ptr<CommandSet> makeMachineCommands(Session& session);

// The outcome of one line.
struct LineResult {
  bool ran = false;  // false for a blank or comment line
  bool ok = true;
  std::string command;
  std::string error;
  Reply reply;
};

class Session {
 public:
  // Throws CommandError when the machine cannot be set up (e.g. a --machine folder with a bad registry file).
  Session(SessionOptions options, std::ostream& out, std::ostream& err);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Runs every line of `in` until its end or quit, then finishes the machine. Returns the exit status:
  // 0 when every line ran, 1 when a line failed (a script stops at its first failing line).
  int run(std::istream& in);

  // Runs one line, writes its output (text or JSON) and returns what happened. Errors never throw.
  LineResult runLine(std::string_view line);
  // Ends the session: writes the machine's state back. Safe to call twice. False when that failed.
  bool finish();

  CommandTable& commands() { return table_; }
  const SessionOptions& options() const { return options_; }
  std::ostream& out() { return out_; }
  std::ostream& err() { return err_; }
  // The stream the session reads its lines from while run() is running (a person's answers come from it too).
  std::istream* input() { return input_; }
  int lineNumber() const { return lineNumber_; }
  bool quitRequested() const { return quit_; }
  bool anyFailed() const { return failures_ > 0; }

 private:
  void addBuiltinCommands();
  void write(const LineResult& r);

  SessionOptions options_;
  std::ostream& out_;
  std::ostream& err_;
  CommandTable table_;
  std::unique_ptr<CommandSet> machine_;
  std::istream* input_ = nullptr;
  int lineNumber_ = 0;
  int failures_ = 0;
  bool quit_ = false;
  bool finished_ = false;
};

// The tool's command line: ostrolink [--machine DIR] [--json] [--pcap FILE] [--demo] [SCRIPT].
// Returns the process exit status. stdinIsTerminal selects the prompt when no script is named.
int runTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
            bool stdinIsTerminal, bool stdoutIsTerminal);

}  // namespace ostrolink
