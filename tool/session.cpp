#include "session.h"

#include <fstream>
#include <iostream>

#include "demo.h"

namespace ostrolink {

Session::Session(SessionOptions options, std::ostream& out, std::ostream& err)
    : options_(std::move(options)), out_(out), err_(err) {
  addBuiltinCommands();
  machine_ = makeMachineCommands(*this);
  if (machine_) machine_->registerCommands(table_);
}

Session::~Session() { finish(); }

void Session::addBuiltinCommands() {
  table_.add({.name = "help", .arguments = "[COMMAND]", .summary = "lists the commands, or shows how to use one",
              .minArgs = 0, .maxArgs = 1},
             [this](const Args& a, Reply& r) {
               if (a.positional.empty()) {
                 r.text = "Commands:\n" + table_.help();
                 Json names = Json::array();
                 for (const auto& n : table_.names()) names.push(n);
                 r.set("commands", std::move(names));
                 return;
               }
               auto h = table_.help(a.positional[0]);
               if (!h) throw CommandError("help: no command \"" + a.positional[0] + "\"");
               r.text = *h;
               r.set("usage", table_.find(a.positional[0])->usage());
             });
  table_.add({.name = "quit", .summary = "ends the session (the machine's state is kept with --machine)"},
             [](const Args&, Reply& r) { r.quit = true; });
}

LineResult Session::runLine(std::string_view line) {
  ++lineNumber_;
  LineResult r;
  std::vector<std::string> words;
  try {
    words = splitWords(line);
  } catch (const CommandError& e) {
    r.ran = true;
    r.ok = false;
    r.error = e.what();
    write(r);
    ++failures_;
    return r;
  }
  if (words.empty()) return r;
  r.ran = true;
  r.command = words[0];
  try {
    table_.run(words, r.reply);
  } catch (const CommandError& e) {
    r.ok = false;
    r.error = e.what();
  } catch (const std::exception& e) {
    // Anything else is a fault of the tool itself; report it like a command error rather than dying.
    r.ok = false;
    r.error = std::string("internal error: ") + e.what();
  }
  if (!r.ok) ++failures_;
  if (r.reply.quit) quit_ = true;
  write(r);
  return r;
}

void Session::write(const LineResult& r) {
  if (options_.json) {
    Json j = Json::object();
    j.set("line", lineNumber_);
    j.set("command", r.command.empty() ? Json() : Json(r.command));
    j.set("ok", r.ok);
    if (!r.ok) j.set("error", r.error);
    if (r.reply.json.isObject())
      for (const auto& [k, v] : r.reply.json.asObject()) j.set(k, v);
    out_ << j.dump() << '\n';
  } else {
    out_ << r.reply.text;
  }
  if (!r.ok) err_ << "ostrolink: line " << lineNumber_ << ": " << r.error << '\n';
  out_.flush();
}

bool Session::finish() {
  if (finished_) return true;
  finished_ = true;
  if (!machine_) return true;
  try {
    machine_->finish();
  } catch (const std::exception& e) {
    err_ << "ostrolink: " << e.what() << '\n';
    ++failures_;
    machine_.reset();
    return false;
  }
  machine_.reset();
  return true;
}

int Session::run(std::istream& in) {
  input_ = &in;
  std::string line;
  for (;;) {
    if (options_.interactive) {
      out_ << "ostrolink> ";
      out_.flush();
    }
    if (!std::getline(in, line)) break;
    LineResult r = runLine(line);
    if (!r.ok && !options_.interactive) break;
    if (quit_) break;
  }
  input_ = nullptr;
  if (options_.interactive && !quit_) out_ << '\n';
  // In an interactive session a line that failed was already dealt with by the person at the prompt.
  bool finishedOk = finish();
  if (!finishedOk) return 1;
  if (options_.interactive) return 0;
  return failures_ > 0 ? 1 : 0;
}

static const char kUsage[] =
    "usage: ostrolink [--machine DIR] [--json] [--pcap FILE] [SCRIPT]\n"
    "       ostrolink --demo [--machine DIR]\n"
    "Runs one session on a simulated Windows 98 machine with Ostrolink cables: the commands of SCRIPT, or of\n"
    "standard input (with a prompt on a terminal). Type help in a session for the commands.\n";

int runTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
            bool stdinIsTerminal, bool stdoutIsTerminal) {
  SessionOptions options;
  std::optional<std::string> script;
  bool demo = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* what) -> std::optional<std::string> {
      if (i + 1 >= args.size()) {
        err << "ostrolink: " << a << " needs " << what << "\n" << kUsage;
        return std::nullopt;
      }
      return args[++i];
    };
    if (a == "--machine") {
      auto v = value("a folder");
      if (!v) return 2;
      options.machineDir = *v;
    } else if (a == "--pcap") {
      auto v = value("a file name");
      if (!v) return 2;
      options.pcapFile = *v;
    } else if (a == "--json") {
      options.json = true;
    } else if (a == "--demo") {
      demo = true;
    } else if (a == "--help" || a == "-h") {
      out << kUsage;
      return 0;
    } else if (a.size() > 1 && a[0] == '-') {
      err << "ostrolink: unknown option " << a << "\n" << kUsage;
      return 2;
    } else if (script) {
      err << "ostrolink: one script at a time (\"" << *script << "\" and \"" << a << "\")\n" << kUsage;
      return 2;
    } else {
      script = a;
    }
  }
  options.terminal = stdoutIsTerminal && !options.json;
  if (demo) {
    if (script || options.json) {
      err << "ostrolink: --demo runs its own script, as text\n" << kUsage;
      return 2;
    }
    return runDemo(options, out, err);
  }
  std::ifstream file;
  std::istream* source = &in;
  if (script) {
    file.open(*script);
    if (!file) {
      err << "ostrolink: cannot open script \"" << *script << "\"\n";
      return 2;
    }
    source = &file;
  } else {
    options.interactive = stdinIsTerminal;
  }
  try {
    Session session(options, out, err);
    return session.run(*source);
  } catch (const CommandError& e) {
    err << "ostrolink: " << e.what() << '\n';
    return 2;
  }
}

}  // namespace ostrolink
