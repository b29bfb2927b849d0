// The main job, for a person at a terminal: the product installed, a cable with a printer plugged in, a document
// printed, the cable's registers read, the cable unplugged, the product removed, and the machine rebooted clean.
#include "demo.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <ostream>
#include <random>
#include <vector>

#include "json.h"

namespace ostrolink {

namespace {

const char kPrinterId[] = "MFG:Hewlett-Packard;CMD:PJL,PCL;MDL:LaserJet 1100;CLS:PRINTER;";

std::filesystem::path sampleJob() {
#ifdef OSTROLINK_SOURCE_DIR
  std::filesystem::path p = std::filesystem::path(OSTROLINK_SOURCE_DIR) / "docs" / "sample-job.txt";
  if (std::filesystem::exists(p)) return p;
#endif
  return "docs/sample-job.txt";
}

std::filesystem::path freshFolder() {
  std::random_device rd;
  for (int i = 0; i < 100; ++i) {
    auto p = std::filesystem::temp_directory_path() /
             ("ostrolink-demo-" + std::to_string(::getpid()) + "-" + std::to_string(rd() % 100000));
    std::error_code ec;
    if (std::filesystem::create_directory(p, ec)) return p;
  }
  throw CommandError("cannot make a temporary folder for the demo");
}

bool sameContent(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  return std::equal(std::istreambuf_iterator<char>(fa), std::istreambuf_iterator<char>(),
                    std::istreambuf_iterator<char>(fb), std::istreambuf_iterator<char>());
}

class Demo {
 public:
  Demo(Session& session, std::ostream& out, std::ostream& err) : s_(session), out_(out), err_(err) {}

  void heading(const std::string& text) { out_ << "\n== " << text << " ==\n"; }
  void note(const std::string& text) { out_ << "   " << text << "\n"; }

  // Runs one command as typed at the prompt; its text output follows. A command error fails the step.
  const Json& run(const std::string& line) {
    out_ << "ostrolink> " << line << "\n";
    out_.flush();
    last_ = s_.runLine(line);
    if (!last_.ok) fail(line + ": " + last_.error);
    return last_.reply.json;
  }

  void check(bool ok, const std::string& what) {
    if (ok) {
      out_ << "   ok: " << what << "\n";
    } else {
      fail(what);
    }
  }

  void fail(const std::string& what) {
    ++failures_;
    out_ << "   FAILED: " << what << "\n";
    err_ << "ostrolink demo: step failed: " << what << "\n";
  }

  int failures() const { return failures_; }

 private:
  Session& s_;
  std::ostream& out_;
  std::ostream& err_;
  LineResult last_;
  int failures_ = 0;
};

bool statusOk(const Json& j) { return j["status"].isString() && j["status"].asString() == "0x00000000"; }

}  // namespace

int runDemo(const SessionOptions& given, std::ostream& out, std::ostream& err) {
  SessionOptions options = given;
  std::filesystem::path folder;
  try {
    folder = options.machineDir ? *options.machineDir : freshFolder();
  } catch (const CommandError& e) {
    err << "ostrolink demo: " << e.what() << "\n";
    return 1;
  }
  options.machineDir = folder / "machine";
  std::filesystem::path printerOutput = folder / "printer-output.txt";
  std::filesystem::path capture = options.pcapFile ? *options.pcapFile : folder / "usb-capture.pcap";
  options.pcapFile = capture;
  options.interactive = false;
  options.json = false;
  std::filesystem::path job = sampleJob();

  out << "Ostrolink demo: a simulated Windows 98 machine in " << folder.string() << "\n";
  int failures = 0;
  try {
    Session session(options, out, err);
    Demo d(session, out, err);

    d.heading("1. Install the product");
    const Json& inst = d.run("install");
    d.check(inst["monitor_added"].isBool() && inst["monitor_added"].asBool(),
            "the port monitor \"Molvex USB Cable Port Monitor\" is registered with the spooler");

    d.heading("2. Plug in a cable with a LaserJet behind it");
    const Json& plug = d.run(std::string("plug --device-id \"") + kPrinterId + "\" --capture \"" +
                             printerOutput.string() + "\"");
    d.check(statusOk(plug), "the cable started");
    d.check(plug["port_name"].isString() && plug["port_name"].asString() == "KVUSB1", "its port is KVUSB1");
    d.check(plug["child"].isObject(), "the printer was reported to Plug and Play as the cable's child");
    d.run("devices");

    d.heading("3. Print a document through the port monitor");
    std::error_code ec;
    auto size = std::filesystem::file_size(job, ec);
    if (ec) d.fail("the sample document " + job.string() + " is missing");
    const Json& print = d.run("print KVUSB1 \"" + job.string() + "\"");
    d.check(print["bytes"].isNumber() && print["bytes"].asUint() == size && !ec,
            "the printer accepted all " + std::to_string(size) + " bytes");
    d.check(sameContent(job, printerOutput), "the printer's output is the document, byte for byte");

    d.heading("4. Read the cable's registers and the port status");
    const Json& regs = d.run("ioctl KVUSB1 read-registers");
    d.check(statusOk(regs), "registers read");
    const Json& ps = d.run("ioctl KVUSB1 get-port-status");
    d.check(statusOk(ps) && ps["output"].isString() && ps["output"].asString() == "18",
            "port status 0x18: printer selected, no error, paper present");

    d.heading("5. Unplug the cable");
    d.run("unplug 1");
    const Json& none = d.run("devices");
    d.check(none["devices"].size() == 0, "no device is left");

    d.heading("6. Remove the product (answering Yes, then Yes to restart)");
    const Json& un = d.run("uninstall yes yes ok");
    d.check(un["restart_requested"].isBool() && un["restart_requested"].asBool(), "the removal asked for a restart");

    d.heading("7. Restart Windows");
    d.run("boot");
    const Json& clean = d.run("check-clean");
    d.check(clean["clean"].isBool() && clean["clean"].asBool(), "nothing of the product is left on the machine");

    if (!session.finish()) d.fail("the session could not be finished");
    d.check(std::filesystem::file_size(capture, ec) > 24 && !ec, "the USB capture was written");
    failures = d.failures() + (session.anyFailed() ? 1 : 0);
  } catch (const std::exception& e) {
    err << "ostrolink demo: " << e.what() << "\n";
    ++failures;
  }

  out << "\nThe printer's output: " << printerOutput.string() << "\n";
  out << "The USB capture:      " << capture.string() << " (tshark -r or Wireshark reads it)\n";
  out << (failures ? "The demo FAILED.\n" : "The demo finished: every step did what it should.\n");
  return failures ? 1 : 0;
}

}  // namespace ostrolink
