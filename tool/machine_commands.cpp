// The commands that act on the simulated machine: cables, devices, printing, control codes, registry, install
// and removal, boot.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "host_program.h"
#include "installer.h"
#include "ioctl_names.h"
#include "oslnk_ioctl.h"
#include "machine/machine.h"
#include "oslnk_names.h"
#include "port_monitor.h"
#include "progress.h"
#include "session.h"
#include "status_names.h"

namespace ostrolink {

namespace {

using w98::DevNodeInfo;
using w98::DevNodeState;
using Kind = OptionInfo::Kind;

constexpr int32_t kSuccess = 0;
// A single read or write that has not finished in this much virtual time is cancelled.
constexpr uint64_t kStepTimeoutSeconds = 5;
const char kMonitorDllPath[] = "C:\\WINDOWS\\SYSTEM\\reveror.dll";

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<uint8_t> readHostFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw CommandError("cannot read \"" + path + "\"");
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) throw CommandError("cannot read \"" + path + "\"");
  return data;
}

// The printer's lines as the status register shows them (a set nFault bit means no fault, and so on).
std::string statusLines(uint8_t s) {
  std::string t;
  t += (s & 0x80) ? "not busy" : "BUSY";
  t += (s & 0x40) ? ", nAck high" : ", nAck LOW";
  t += (s & 0x20) ? ", PAPER OUT" : ", paper";
  t += (s & 0x10) ? ", selected" : ", NOT SELECTED";
  t += (s & 0x08) ? ", no fault" : ", FAULT";
  return t;
}

std::string controlLines(uint8_t c) {
  std::string t;
  t += (c & 0x01) ? "nStrobe low" : "nStrobe high";
  t += (c & 0x02) ? ", nAutoFd low" : ", nAutoFd high";
  t += (c & 0x04) ? ", nInit high" : ", nInit low (reset)";
  t += (c & 0x08) ? ", nSelectIn low" : ", nSelectIn high";
  return t;
}

std::string portStatus(uint8_t p) {
  std::string t;
  t += (p & 0x20) ? "paper empty" : "paper present";
  t += (p & 0x10) ? ", selected" : ", not selected";
  t += (p & 0x08) ? ", no error" : ", error";
  return t;
}

double seconds(int64_t ticks) { return static_cast<double>(ticks) / 1e7; }

std::string secondsText(int64_t ticks) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s", seconds(ticks));
  return buf;
}

Json stringList(const std::vector<std::string>& v) {
  Json a = Json::array();
  for (const auto& s : v) a.push(s);
  return a;
}

// A temporary machine folder, removed when the session ends.
class TempFolder {
 public:
  TempFolder() {
    std::random_device rd;
    for (int i = 0; i < 100 && path_.empty(); ++i) {
      auto p = std::filesystem::temp_directory_path() /
               ("ostrolink-machine-" + std::to_string(::getpid()) + "-" + std::to_string(rd() % 1000000));
      std::error_code ec;
      if (std::filesystem::create_directory(p, ec)) path_ = p;
    }
    if (path_.empty()) throw CommandError("cannot make a temporary folder for the machine");
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class MachineCommands : public CommandSet {
 public:
  explicit MachineCommands(Session& session) : session_(session) {
    const auto& o = session.options();
    std::filesystem::path folder;
    if (o.machineDir) {
      folder = *o.machineDir;
    } else {
      temp_ = std::make_unique<TempFolder>();
      folder = temp_->path();
    }
    try {
      machine_ = std::make_unique<w98::Machine>(folder);
    } catch (const std::exception& e) {
      throw CommandError(std::string("cannot start the machine: ") + e.what());
    }
    monitor_ = std::make_unique<PortMonitor>(*machine_);
    loadMonitor();
  }

  ~MachineCommands() override {
    closeAllHandles();
    monitor_.reset();
    machine_.reset();
  }

  void finish() override {
    closeAllHandles();
    // Windows shuts down before its registry is kept: the devices go first, as they would.
    machine_->shutdown();
    std::string pcapError;
    if (session_.options().pcapFile) {
      auto bytes = machine_->pcap();
      std::ofstream f(*session_.options().pcapFile, std::ios::binary | std::ios::trunc);
      f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      if (!f) pcapError = "cannot write the capture " + session_.options().pcapFile->string();
    }
    if (session_.options().machineDir) {
      try {
        machine_->save();
      } catch (const std::exception& e) {
        throw CommandError(std::string("cannot save the machine: ") + e.what());
      }
    }
    if (!pcapError.empty()) throw CommandError(pcapError);
  }

  void registerCommands(CommandTable& t) override {
    t.add({.name = "plug",
           .summary = "plugs in a cable with a printer behind it; shows its names and the printer's ids",
           .options = {{.name = "device-id", .kind = Kind::Text, .valueName = "TEXT"},
                       {.name = "no-printer"},
                       {.name = "no-1284"},
                       {.name = "slow-polls", .kind = Kind::Number, .valueName = "N", .max = 1000},
                       {.name = "capture", .kind = Kind::Text, .valueName = "FILE"},
                       {.name = "paper-empty"},
                       {.name = "offline"},
                       {.name = "interface", .kind = Kind::Number, .valueName = "N", .max = 255},
                       {.name = "alternates", .kind = Kind::Number, .valueName = "N", .min = 1, .max = 16},
                       {.name = "out-endpoint", .kind = Kind::Number, .valueName = "ADDR", .min = 1, .max = 15},
                       {.name = "in-endpoint", .kind = Kind::Number, .valueName = "ADDR", .min = 0x81, .max = 0x8F},
                       {.name = "extra-descriptors", .kind = Kind::Number, .valueName = "BYTES", .max = 60000},
                       {.name = "sync-control"},
                       {.name = "reply", .kind = Kind::Text, .valueName = "HEX"}}},
          [this](const Args& a, Reply& r) { plug(a, r); });
    t.add({.name = "unplug", .arguments = "N", .summary = "pulls cable N out (Windows 98 sends remove alone)",
           .minArgs = 1, .maxArgs = 1},
          [this](const Args& a, Reply& r) { unplug(a, r, false); });
    t.add({.name = "remove", .arguments = "N",
           .summary = "removes cable N as the Device Manager does (query-remove, remove), then takes it out",
           .minArgs = 1, .maxArgs = 1},
          [this](const Args& a, Reply& r) { unplug(a, r, true); });
    t.add({.name = "stop", .arguments = "N", .summary = "stops cable N (query-stop, stop)", .minArgs = 1, .maxArgs = 1},
          [this](const Args& a, Reply& r) { stopStart(a, r, true); });
    t.add({.name = "start", .arguments = "N", .summary = "starts cable N again after a stop", .minArgs = 1, .maxArgs = 1},
          [this](const Args& a, Reply& r) { stopStart(a, r, false); });
    t.add({.name = "devices", .summary = "the devnode tree: each cable with its port and its printer"},
          [this](const Args&, Reply& r) { devices(r); });
    t.add({.name = "printer", .arguments = "N paper-empty|paper-ok|offline|online",
           .summary = "changes the state of the printer behind cable N", .minArgs = 2, .maxArgs = 2},
          [this](const Args& a, Reply& r) { printerState(a, r); });
    t.add({.name = "print", .arguments = "PORT[,PORT...] FILE",
           .summary = "prints FILE through the port monitor (several ports: at once, each from its own thread)",
           .minArgs = 2, .maxArgs = 2,
           .options = {{.name = "timeout", .kind = Kind::Number, .valueName = "SECONDS", .min = 1, .max = 86400}}},
          [this](const Args& a, Reply& r) { print(a, r); });
    t.add({.name = "ioctl", .arguments = "PORT NAME|0xCODE [HEX...]",
           .summary = "sends a control code (write-register, read-registers, get-device-id, select-interface, "
                      "soft-reset, get-port-status, reset-pipe, abort-pipes, recover)",
           .minArgs = 2, .maxArgs = SIZE_MAX,
           .options = {{.name = "out", .kind = Kind::Number, .valueName = "N", .max = 65536}}},
          [this](const Args& a, Reply& r) { ioctl(a, r); });
    t.add({.name = "open", .arguments = "PORT", .summary = "opens \\\\.\\PORT and keeps the handle", .minArgs = 1,
           .maxArgs = 1},
          [this](const Args& a, Reply& r) { open(a, r); });
    t.add({.name = "write", .arguments = "PORT HEX|@FILE", .summary = "one write request on the open PORT",
           .minArgs = 2, .maxArgs = SIZE_MAX,
           .options = {{.name = "timeout", .kind = Kind::Number, .valueName = "SECONDS", .min = 1, .max = 86400}}},
          [this](const Args& a, Reply& r) { write(a, r); });
    t.add({.name = "read", .arguments = "PORT N", .summary = "one read request of N bytes on the open PORT",
           .minArgs = 2, .maxArgs = 2,
           .options = {{.name = "timeout", .kind = Kind::Number, .valueName = "SECONDS", .min = 1, .max = 86400}}},
          [this](const Args& a, Reply& r) { read(a, r); });
    t.add({.name = "close", .arguments = "PORT", .summary = "closes the handle of PORT", .minArgs = 1, .maxArgs = 1},
          [this](const Args& a, Reply& r) { close(a, r); });
    t.add({.name = "set", .arguments = "MaxTransferSize|IFSetting|AltSetting VALUE",
           .summary = "sets a driver parameter in every driver key of the cable's class (read at the next plug)",
           .minArgs = 2, .maxArgs = 2},
          [this](const Args& a, Reply& r) { set(a, r); });
    t.add({.name = "registry", .arguments = "[KEY]", .summary = "shows the registry, or one key, as REGEDIT4",
           .maxArgs = 1},
          [this](const Args& a, Reply& r) { registry(a, r); });
    t.add({.name = "fault", .arguments = "stall|error|hang|clear",
           .summary = "makes a request on the bus fail (--at N: the Nth request from now; --count N; --bulk-out)",
           .minArgs = 1, .maxArgs = 1,
           .options = {{.name = "at", .kind = Kind::Number, .valueName = "N", .min = 1, .max = 1000000000},
                       {.name = "count", .kind = Kind::Number, .valueName = "N", .min = 1, .max = 1000000000},
                       {.name = "bulk-out"}}},
          [this](const Args& a, Reply& r) { fault(a, r); });
    t.add({.name = "install", .summary = "runs the package's setup (oslnkset): files, INF, class and driver keys, the monitor"},
          [this](const Args&, Reply& r) { install(r); });
    t.add({.name = "uninstall", .arguments = "[ANSWERS...]",
           .summary = "runs the removal program; answers (yes, no, ok, ...) go to its dialog and boxes in order",
           .maxArgs = SIZE_MAX},
          [this](const Args& a, Reply& r) { uninstall(a, r); });
    t.add({.name = "boot", .summary = "restarts Windows: devices go, wininit.ini is carried out"},
          [this](const Args&, Reply& r) { boot(r); });
    t.add({.name = "check-clean", .summary = "lists what the product left on the machine"},
          [this](const Args&, Reply& r) { checkClean(r); });
  }

 private:
  // ---- helpers ----

  int cableNumber(const std::string& text) {
    return static_cast<int>(parseNumber(text, 1, 1000000, "the cable number"));
  }

  w98::PluggedCable& presentCable(const std::string& text) {
    int n = cableNumber(text);
    auto* c = machine_->cable(n);
    if (!c || !c->present) throw CommandError("no cable " + std::to_string(n) + " is plugged in");
    return *c;
  }

  std::string port(const std::string& text) {
    auto p = cablePortName(text);
    if (!p) throw CommandError("\"" + text + "\" is not a cable's port (KVUSB1 to KVUSB" +
                               std::to_string(OSLNK_PORT_COUNT) + ")");
    return *p;
  }

  bool monitorInstalled() { return machine_->spooler().monitorDll(kMonitorName).has_value(); }

  // The spooler loads the monitor library while the monitor is registered and keeps it until Windows restarts.
  void loadMonitor() {
    if (monitorInstalled() && machine_->disk().exists(kMonitorDllPath)) machine_->disk().setInUse(kMonitorDllPath, true);
  }

  void closeAllHandles() {
    if (!machine_ || !machine_->running()) return;
    for (auto& [name, handle] : handles_) machine_->kernel().user().close(handle);
    handles_.clear();
  }

  std::optional<std::string> registryString(const std::string& key, const std::string& name) {
    auto v = machine_->registry().stringValue(key, name);
    if (!v || v->empty()) return std::nullopt;
    return v;
  }

  static std::string stateName(DevNodeState s) { return lower(std::string(w98::toString(s))); }

  Json devnodeJson(const DevNodeInfo& d, const std::map<int, DevNodeInfo>& byId) {
    Json j = Json::object();
    j.set("id", d.id);
    j.set("device_id", d.deviceId);
    j.set("instance_id", d.instanceId);
    j.set("hardware_ids", stringList(d.hardwareIds));
    j.set("state", stateName(d.state));
    setStatus(j, static_cast<uint32_t>(d.status));
    if (!d.service.empty()) j.set("service", d.service);
    if (auto p = registryString(d.deviceKey, OSLNK_PORT_NAME_VALUE)) j.set("port_name", *p);
    Json children = Json::array();
    for (int c : d.children) {
      auto it = byId.find(c);
      if (it != byId.end() && it->second.state != DevNodeState::Removed) children.push(devnodeJson(it->second, byId));
    }
    j.set("children", std::move(children));
    return j;
  }

  void devnodeText(const Json& j, int depth, std::string& out) {
    const std::string& id = j["device_id"].asString();
    out += std::string(static_cast<size_t>(depth) * 4 + 2, ' ') +
           (id.empty() ? std::string("(a device that reported no usable identifier)")
                       : id + "\\" + j["instance_id"].asString()) +
           "  [" + j["state"].asString() + "]";
    if (j["service"].isString()) out += "  driver " + j["service"].asString();
    if (j["port_name"].isString()) out += "  port " + j["port_name"].asString();
    out += "\n";
    for (const auto& c : j["children"].asArray()) devnodeText(c, depth + 1, out);
  }

  // ---- commands ----

  void plug(const Args& a, Reply& r) {
    w98::CableOptions o;
    if (a.flag("no-printer") && (a.has("device-id") || a.flag("no-1284") || a.has("slow-polls") ||
                                 a.flag("paper-empty") || a.flag("offline")))
      throw CommandError("plug: --no-printer leaves no printer to configure");
    o.printer.attached = !a.flag("no-printer");
    if (auto id = a.text("device-id")) o.printer.deviceId = *id;
    o.printer.supports1284 = !a.flag("no-1284");
    o.printer.answerDelayPolls = static_cast<unsigned>(a.number("slow-polls", 0));
    o.printer.paperEmpty = a.flag("paper-empty");
    o.printer.offline = a.flag("offline");
    if (auto reply = a.text("reply")) {
      std::vector<std::string> words{*reply};
      o.printer.backChannel = parseHexBytes(words);
    }
    if (auto cap = a.text("capture")) {
      std::ofstream probe(*cap, std::ios::binary | std::ios::trunc);
      if (!probe) throw CommandError("plug: cannot write the capture file \"" + *cap + "\"");
      o.printer.capturePath = *cap;
    }
    auto& itf = o.cable.interfaces.at(0);
    if (auto n = a.number("interface")) itf.number = static_cast<uint8_t>(*n);
    auto& alt0 = itf.alternates.at(0);
    for (auto& ep : alt0.endpoints) {
      if (!ep.isIn() && a.has("out-endpoint")) ep.address = static_cast<uint8_t>(*a.number("out-endpoint"));
      if (ep.isIn() && a.has("in-endpoint")) ep.address = static_cast<uint8_t>(*a.number("in-endpoint"));
    }
    for (uint64_t i = 1; i < a.number("alternates", 1); ++i) {
      sim::AlternateConfig alt = alt0;
      alt.alternateSetting = static_cast<uint8_t>(i);
      itf.alternates.push_back(alt);
    }
    if (uint64_t extra = a.number("extra-descriptors", 0)) {
      // Vendor-specific descriptors (type 0xFF) of at most 255 bytes each, appended to the configuration.
      while (extra > 0) {
        size_t len = static_cast<size_t>(std::min<uint64_t>(extra, 255));
        if (len < 2) len = 2;
        std::vector<uint8_t> d(len, 0);
        d[0] = static_cast<uint8_t>(len);
        d[1] = 0xFF;
        o.cable.trailingDescriptors.push_back(std::move(d));
        extra -= std::min<uint64_t>(extra, len);
      }
    }
    o.port.synchronousControl = a.flag("sync-control");

    int number;
    try {
      number = machine_->plug(std::move(o));
    } catch (const std::invalid_argument& e) {
      throw CommandError(std::string("plug: bad cable layout: ") + e.what());
    } catch (const std::runtime_error& e) {
      throw CommandError(std::string("plug: ") + e.what());
    }
    r.set("cable", number);
    auto node = machine_->devnode(number);
    if (!node) {
      r.set("status", Json()).set("status_name", Json()).say("cable " + std::to_string(number) + ": no devnode");
      return;
    }
    auto& io = machine_->kernel().io();
    setStatus(r, static_cast<uint32_t>(node->status));
    auto portName = registryString(node->deviceKey, OSLNK_PORT_NAME_VALUE);
    std::optional<std::string> kernelName, dosName;
    if (node->pdo) {
      _DEVICE_OBJECT* top = io.topOfStack(node->pdo);
      if (top && top != node->pdo) kernelName = io.deviceName(top);
    }
    if (kernelName) {
      for (const auto& [link, target] : io.symbolicLinks())
        if (lower(target) == lower(*kernelName)) dosName = link;
    }
    r.set("port_name", portName ? Json(*portName) : Json());
    r.set("kernel_name", kernelName ? Json(*kernelName) : Json());
    r.set("dos_name", dosName ? Json(*dosName) : Json());
    Json child;
    std::map<int, DevNodeInfo> byId;
    for (auto& d : machine_->kernel().pnp().devices()) byId[d.id] = d;
    for (int c : node->children) {
      auto it = byId.find(c);
      if (it == byId.end()) continue;
      child = Json::object();
      child.set("device_id", it->second.deviceId);
      child.set("hardware_ids", stringList(it->second.hardwareIds));
      child.set("instance_id", it->second.instanceId);
      child.set("state", stateName(it->second.state));
      // A printer whose device ID names no manufacturer gets a child without identifiers.
      child.set("identified", !it->second.deviceId.empty());
      break;
    }
    r.set("device_id_read", !node->children.empty());
    r.set("child", child);
    if (portName && node->status == kSuccess && monitorInstalled()) monitor_->addPort(*portName);

    std::string line = "cable " + std::to_string(number) + ": " + namedStatusText(static_cast<uint32_t>(node->status)) +
                       " [" + stateName(node->state) + "]";
    if (portName) line += "  port " + *portName;
    if (kernelName) line += "  " + *kernelName;
    if (dosName) line += "  " + *dosName;
    r.say(line);
    if (child.isObject() && !child["identified"].asBool())
      r.say("  printer: attached, but it reported no usable identifier, so Windows cannot install it [" +
            child["state"].asString() + "]");
    else if (child.isObject())
      r.say("  printer: " + child["device_id"].asString() + "  (instance " + child["instance_id"].asString() + ")");
    else
      r.say("  no printer reported");
  }

  void unplug(const Args& a, Reply& r, bool orderly) {
    auto& c = presentCable(a.positional[0]);
    int number = c.number;
    int32_t status = machine_->unplug(number, orderly ? w98::Removal::Orderly : w98::Removal::Unplug);
    bool stays = machine_->cable(number)->present;
    setStatus(r.set("cable", number).set("plugged", stays), static_cast<uint32_t>(status));
    r.say("cable " + std::to_string(number) + (orderly ? (stays ? " not removed" : " removed") : " unplugged") +
          ": " + namedStatusText(static_cast<uint32_t>(status)));
  }

  void stopStart(const Args& a, Reply& r, bool stop) {
    auto& c = presentCable(a.positional[0]);
    auto node = machine_->devnode(c.number);
    if (!node) throw CommandError("cable " + std::to_string(c.number) + " has no devnode");
    auto& pnp = machine_->kernel().pnp();
    int32_t status = stop ? pnp.stopDevice(node->id) : pnp.startDevice(node->id);
    auto after = pnp.device(node->id);
    setStatus(r.set("cable", c.number), static_cast<uint32_t>(status));
    if (after) r.set("state", stateName(after->state));
    r.say("cable " + std::to_string(c.number) + (stop ? " stopped: " : " started: ") +
          namedStatusText(static_cast<uint32_t>(status)) + (after ? " [" + stateName(after->state) + "]" : ""));
  }

  void devices(Reply& r) {
    auto all = machine_->kernel().pnp().devices();
    std::map<int, DevNodeInfo> byId;
    for (auto& d : all) byId[d.id] = d;
    Json tree = Json::array();
    std::string text;
    for (const auto& d : all) {
      if (d.state == DevNodeState::Removed) continue;
      bool hasLiveParent = d.parent != 0 && byId.count(d.parent) && byId[d.parent].state != DevNodeState::Removed;
      if (hasLiveParent) continue;
      Json j = devnodeJson(d, byId);
      devnodeText(j, 0, text);
      tree.push(std::move(j));
    }
    r.set("devices", std::move(tree));
    r.text = text.empty() ? "no devices\n" : text;
  }

  void printerState(const Args& a, Reply& r) {
    auto& c = presentCable(a.positional[0]);
    const std::string& what = a.positional[1];
    if (what == "paper-empty") c.cable->setPaperEmpty(true);
    else if (what == "paper-ok") c.cable->setPaperEmpty(false);
    else if (what == "offline") c.cable->setOffline(true);
    else if (what == "online") c.cable->setOffline(false);
    else throw CommandError("printer: \"" + what + "\" is not paper-empty, paper-ok, offline or online");
    r.set("cable", c.number).set("printer", what).say("printer of cable " + std::to_string(c.number) + ": " + what);
  }

  static Json jobJson(const PrintJobResult& j) {
    Json o = Json::object();
    o.set("port", j.port);
    o.set("bytes", j.bytes);
    o.set("size", j.size);
    o.set("requests", j.requests);
    o.set("max_transfer_size", j.maxTransferSize);
    setStatus(o, static_cast<uint32_t>(j.status));
    o.set("failed", j.failed);
    o.set("timed_out", j.timedOut);
    o.set("virtual_seconds", seconds(j.ticks));
    return o;
  }

  static std::string jobText(const PrintJobResult& j) {
    std::string s = j.port + ": " + std::to_string(j.bytes) + " of " + std::to_string(j.size) + " bytes accepted in " +
                    std::to_string(j.requests) + (j.requests == 1 ? " request" : " requests") + " of at most " +
                    std::to_string(j.maxTransferSize) + " bytes, " + secondsText(j.ticks) + " of bus time";
    if (j.failed)
      s += ", FAILED with " + namedStatusText(static_cast<uint32_t>(j.status)) + (j.timedOut ? " (timed out)" : "");
    if (j.ticks > 0 && j.bytes > 0) {
      char buf[64];
      std::snprintf(buf, sizeof buf, " (%.0f bytes/s)", static_cast<double>(j.bytes) / seconds(j.ticks));
      s += buf;
    }
    return s;
  }

  void print(const Args& a, Reply& r) {
    std::vector<std::string> ports;
    std::stringstream list(a.positional[0]);
    for (std::string p; std::getline(list, p, ',');) {
      std::string name = port(p);
      if (std::find(ports.begin(), ports.end(), name) != ports.end())
        throw CommandError("print: port " + name + " named twice");
      if (handles_.count(name)) throw CommandError("print: " + name + " is open in this session; close it first");
      ports.push_back(name);
    }
    std::vector<uint8_t> data = readHostFile(a.positional[1]);
    int64_t timeout = static_cast<int64_t>(a.number("timeout", PortMonitor::kDefaultTimeout / 10'000'000)) * 10'000'000;
    if (monitorInstalled())
      for (const auto& p : ports) monitor_->addPort(p);

    auto& clock = machine_->kernel().clock();
    const int64_t start = clock.now();
    std::vector<PrintJobResult> results(ports.size());
    if (ports.size() == 1) {
      ProgressBar bar(session_.out(), ports[0], data.size(), session_.options().terminal && data.size() > 4096);
      results[0] = monitor_->print(ports[0], data, timeout, [&](uint64_t done) { bar.update(done); });
      bar.finish();
    } else {
      std::vector<w98::Kernel::Thread> threads;
      for (size_t i = 0; i < ports.size(); ++i)
        threads.push_back(machine_->kernel().spawn(
            [this, &results, &ports, &data, timeout, i] { results[i] = monitor_->print(ports[i], data, timeout); },
            "port monitor " + ports[i]));
      for (auto& t : threads) t.join();
    }
    const int64_t elapsed = clock.now() - start;

    if (results.size() == 1) {
      Json job = jobJson(results[0]);
      for (const auto& [k, v] : job.asObject()) r.set(k, v);
      r.say(jobText(results[0]));
      return;
    }
    Json jobs = Json::array();
    uint64_t bytes = 0;
    bool failed = false;
    for (const auto& j : results) {
      jobs.push(jobJson(j));
      bytes += j.bytes;
      failed = failed || j.failed;
      r.say(jobText(j));
    }
    r.set("jobs", std::move(jobs)).set("bytes", bytes).set("failed", failed).set("virtual_seconds", seconds(elapsed));
    r.say("all ports: " + std::to_string(bytes) + " bytes in " + secondsText(elapsed));
  }

  // The handle the session keeps for `port`, or a fresh one closed by the caller.
  // Requests sent on every bus so far: what a command sent is the difference.
  uint64_t busRequests() {
    uint64_t n = 0;
    for (size_t b = 0; b < machine_->busCount(); ++b) n += machine_->usb(static_cast<int>(b)).nextRequestIndex();
    return n;
  }

  struct UseHandle {
    uint32_t handle = 0;
    bool temporary = false;
    int32_t openStatus = 0;
  };
  UseHandle useHandle(const std::string& name) {
    auto it = handles_.find(name);
    if (it != handles_.end()) return {it->second, false, kSuccess};
    auto opened = machine_->kernel().user().open("\\\\.\\" + name);
    return {opened.handle, true, opened.status};
  }

  void ioctl(const Args& a, Reply& r) {
    std::string name = port(a.positional[0]);
    auto code = findIoctl(a.positional[1]);
    if (!code)
      throw CommandError("ioctl: \"" + a.positional[1] +
                         "\" is not a control code name (write-register, read-registers, get-device-id, "
                         "select-interface, soft-reset, get-port-status, reset-pipe, abort-pipes, recover) or 0x...");
    std::vector<uint8_t> input = parseHexBytes(std::span(a.positional).subspan(2));
    uint32_t outLength = static_cast<uint32_t>(a.number("out", code->outputLength));
    std::vector<uint8_t> output(outLength, 0);
    r.set("port", name).set("code", statusText(code->code)).set("name", code->name ? Json(code->name) : Json());
    UseHandle h = useHandle(name);
    if (h.openStatus != kSuccess) {
      setStatus(r, static_cast<uint32_t>(h.openStatus)).set("opened", false);
      r.say("cannot open \\\\.\\" + name + ": " + namedStatusText(static_cast<uint32_t>(h.openStatus)));
      return;
    }
    const uint64_t requestsBefore = busRequests();
    auto res = machine_->kernel().user().deviceControl(h.handle, code->code, input.empty() ? nullptr : input.data(),
                                                       static_cast<uint32_t>(input.size()),
                                                       output.empty() ? nullptr : output.data(), outLength);
    if (h.temporary) machine_->kernel().user().close(h.handle);
    setStatus(r, static_cast<uint32_t>(res.status));
    r.set("bytes_returned", res.information);
    r.set("output", hexBytes(output));
    std::string line = name + " " + (code->name ? code->name : statusText(code->code)) + ": " +
                       namedStatusText(static_cast<uint32_t>(res.status));
    // The recovery acts only on a bulk transfer still in flight and succeeds either way. After a write that
    // failed on a stall nothing is in flight any more: the stalled pipe needs reset-pipe.
    if (code->code == IOCTL_KVUSB_RECOVER && res.status == kSuccess) {
      const bool acted = busRequests() != requestsBefore;
      r.set("transfer_in_flight", acted);
      if (!acted)
        line += "\n  no transfer was in flight, so nothing was done; after a stalled write, reset-pipe clears the pipe";
    }
    if (!output.empty() && res.status == kSuccess) {
      if (code->code == findIoctl("get-device-id")->code) {
        auto nul = std::find(output.begin(), output.end(), uint8_t{0});
        std::string text(output.begin(), nul);
        r.set("text", text);
        line += "\n  device ID: " + text;
      } else {
        line += "\n  output: " + hexBytes(output, " ");
        if (code->code == findIoctl("read-registers")->code && output.size() >= 2)
          line += "\n  status lines: " + statusLines(output[0]) + "\n  control lines: " + controlLines(output[1]);
        if (code->code == findIoctl("get-port-status")->code)
          line += "\n  port status: " + portStatus(output[0]);
      }
    }
    r.say(line);
  }

  void open(const Args& a, Reply& r) {
    std::string name = port(a.positional[0]);
    if (handles_.count(name)) throw CommandError("open: " + name + " is already open in this session");
    auto opened = machine_->kernel().user().open("\\\\.\\" + name);
    setStatus(r.set("port", name), static_cast<uint32_t>(opened.status));
    if (opened.status == kSuccess) handles_[name] = opened.handle;
    r.say("open \\\\.\\" + name + ": " + namedStatusText(static_cast<uint32_t>(opened.status)));
  }

  uint32_t openHandle(const std::string& name, const char* command) {
    auto it = handles_.find(name);
    if (it == handles_.end()) throw CommandError(std::string(command) + ": " + name + " is not open (use open first)");
    return it->second;
  }

  static int64_t timeoutOf(const Args& a) {
    return static_cast<int64_t>(a.number("timeout", kStepTimeoutSeconds)) * 10'000'000;
  }

  void write(const Args& a, Reply& r) {
    std::string name = port(a.positional[0]);
    uint32_t h = openHandle(name, "write");
    std::vector<uint8_t> data;
    if (a.positional.size() == 2 && !a.positional[1].empty() && a.positional[1][0] == '@')
      data = readHostFile(a.positional[1].substr(1));
    else
      data = parseHexBytes(std::span(a.positional).subspan(1));
    if (data.size() > 0xFFFFFFFFu) throw CommandError("write: more than 4 GB in one request");
    auto request = machine_->kernel().user().writeAsync(h, data.data(), static_cast<uint32_t>(data.size()));
    auto res = waitWithTimeout(*machine_, request, timeoutOf(a), "write to " + name);
    setStatus(r.set("port", name), static_cast<uint32_t>(res.status)).set("bytes", res.information);
    r.set("timed_out", res.timedOut);
    r.say("write " + name + ": " + namedStatusText(static_cast<uint32_t>(res.status)) + ", " +
          std::to_string(res.information) + " of " + std::to_string(data.size()) + " bytes" +
          (res.timedOut ? " (timed out)" : ""));
  }

  void read(const Args& a, Reply& r) {
    std::string name = port(a.positional[0]);
    uint32_t h = openHandle(name, "read");
    auto n = static_cast<uint32_t>(parseNumber(a.positional[1], 0, 1u << 24, "the byte count"));
    std::vector<uint8_t> buf(n);
    auto request = machine_->kernel().user().readAsync(h, buf.data(), n);
    auto res = waitWithTimeout(*machine_, request, timeoutOf(a), "read from " + name);
    buf.resize(std::min<uint64_t>(res.information, n));
    setStatus(r.set("port", name), static_cast<uint32_t>(res.status)).set("bytes", res.information);
    r.set("data", hexBytes(buf)).set("timed_out", res.timedOut);
    r.say("read " + name + ": " + namedStatusText(static_cast<uint32_t>(res.status)) + ", " + std::to_string(buf.size()) +
          " bytes" + (buf.empty() ? "" : ": " + hexBytes(buf, " ")) + (res.timedOut ? " (timed out)" : ""));
  }

  void close(const Args& a, Reply& r) {
    std::string name = port(a.positional[0]);
    uint32_t h = openHandle(name, "close");
    int32_t status = machine_->kernel().user().close(h);
    handles_.erase(name);
    setStatus(r.set("port", name), static_cast<uint32_t>(status));
    r.say("close " + name + ": " + namedStatusText(static_cast<uint32_t>(status)));
  }

  void set(const Args& a, Reply& r) {
    const std::string& param = a.positional[0];
    uint64_t max;
    if (param == OSLNK_VALUE_MAX_TRANSFER_SIZE) max = 0xFFFFFFFFu;
    else if (param == OSLNK_VALUE_IF_SETTING || param == OSLNK_VALUE_ALT_SETTING) max = 0xFF;
    else
      throw CommandError("set: \"" + param + "\" is not MaxTransferSize, IFSetting or AltSetting");
    auto value = static_cast<uint32_t>(parseNumber(a.positional[1], 0, max, param));
    auto& reg = machine_->registry();
    const std::string classKey = kClassKey;
    // A machine without the product gets the driver key that its first cable will use.
    if (reg.subkeys(classKey).empty()) reg.createKey(classKey + "\\0000");
    Json keys = Json::array();
    for (const auto& sub : reg.subkeys(classKey)) {
      std::string key = classKey + "\\" + sub;
      if (!reg.setDword(key, param, value)) throw CommandError("set: cannot write " + key);
      keys.push(key);
    }
    r.set("param", param).set("value", value).set("keys", keys);
    r.say(param + " = " + std::to_string(value) + " in " + std::to_string(keys.size()) + " driver key(s); cables plugged from now on read it");
  }

  void registry(const Args& a, Reply& r) {
    auto& reg = machine_->registry();
    std::string key;
    if (!a.positional.empty()) {
      key = a.positional[0];
      if (!w98::normalizeRegPath(key)) throw CommandError("registry: \"" + key + "\" is not a registry path");
      if (!reg.keyExists(key)) throw CommandError("registry: no key " + key);
    }
    std::string text = reg.exportText(key);
    r.set("key", key.empty() ? Json() : Json(*w98::normalizeRegPath(key))).set("text", text);
    r.text = text;
    if (!r.text.empty() && r.text.back() != '\n') r.text.push_back('\n');
  }

  void fault(const Args& a, Reply& r) {
    const std::string& what = a.positional[0];
    if (what == "clear") {
      for (size_t b = 0; b < machine_->busCount(); ++b) machine_->usb(static_cast<int>(b)).faults().clear();
      r.set("fault", "clear").say("faults cleared");
      return;
    }
    w98::FaultRule rule;
    if (what == "stall") rule.action = w98::FaultAction::Stall;
    else if (what == "error") rule.action = w98::FaultAction::Error;
    else if (what == "hang") rule.action = w98::FaultAction::Hang;
    else throw CommandError("fault: \"" + what + "\" is not stall, error, hang or clear");
    if (a.flag("bulk-out")) {
      rule.match.urbFunction = 0x0009;  // URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
      rule.match.endpoint = 0x01;
    }
    rule.count = static_cast<int64_t>(a.number("count", 1));
    // Every bus gets the rule; --at counts the requests of each bus from now on.
    Json indexes = Json::array();
    for (size_t b = 0; b < machine_->busCount(); ++b) {
      auto& bus = machine_->usb(static_cast<int>(b));
      w98::FaultRule busRule = rule;
      if (auto at = a.number("at")) {
        busRule.match.requestIndex = bus.nextRequestIndex() + *at - 1;
        indexes.push(*busRule.match.requestIndex);
      }
      bus.faults().add(busRule);
    }
    r.set("fault", what);
    if (a.has("at")) r.set("request_index", indexes.size() == 1 ? indexes[0] : indexes);
    std::string answer;
    if (rule.action == w98::FaultAction::Error) {
      // What the bus answers the request with.
      setStatus(r, static_cast<uint32_t>(rule.usbdStatus), StatusKind::Usbd, "usbd_");
      answer = ": the request fails with " + namedStatusText(static_cast<uint32_t>(rule.usbdStatus), StatusKind::Usbd);
    }
    r.say("fault " + what + " armed" + (a.has("at") ? " for request " + std::to_string(*a.number("at")) + " from now" : std::string()) +
          answer);
  }

  void install(Reply& r) {
    const InstallReport rep = installProduct(machine_->user(), findHelperLibrary());
    if (!rep.installed) {
      std::string why = "setup failed and undid what it had done: " + rep.message;
      if (rep.error) why += " (error " + std::to_string(rep.error) + ")";
      throw CommandError(why);
    }
    loadMonitor();
    Json ports = Json::array();
    for (int n : machine_->presentCables()) {
      auto node = machine_->devnode(n);
      if (!node) continue;
      if (auto p = registryString(node->deviceKey, OSLNK_PORT_NAME_VALUE)) {
        monitor_->addPort(*p);
        ports.push(*p);
      }
    }
    r.set("files", stringList(rep.files)).set("keys", stringList(rep.keys)).set("monitor", kMonitorName);
    r.set("monitor_added", rep.monitorAdded).set("monitor_error", rep.error).set("ports", ports);
    r.set("message", rep.message);
    for (const auto& f : rep.files) r.say("  file " + f);
    for (const auto& k : rep.keys) r.say("  key  " + k);
    r.say(std::string("  monitor \"") + kMonitorName + "\" (" + kMonitorEnvironment + ", " + kMonitorLibrary +
          ") added through oslnkin");
    r.say("  setup says: " + rep.message);
  }

  void uninstall(const Args& a, Reply& r) {
    std::unique_ptr<w98::UserInterface> ui;
    const bool person = a.positional.empty() && session_.options().interactive && session_.input();
    if (person)
      ui = std::make_unique<w98::UserInterface>(*session_.input(), &session_.out());
    else
      ui = std::make_unique<w98::UserInterface>(a.positional, nullptr);
    bool restart = false;
    int exitStatus = 0;
    closeAllHandles();
    machine_->withUserInterface(*ui, [&](w98::UserSession& us) {
      exitStatus = oslnkun::RunRemovalProgram();
      restart = us.restartRequested();
    });
    Json shown = Json::array();
    size_t answered = 0;
    for (const auto& b : ui->shown()) {
      Json j = Json::object();
      j.set("kind", b.kind == w98::ShownBox::Kind::Dialog ? "dialog" : "message");
      j.set("caption", b.caption);
      j.set("text", b.text);
      j.set("buttons", stringList(b.buttons));
      j.set("answer", b.answer);
      shown.push(std::move(j));
      if (b.answer != "end of input") ++answered;
      if (!person) {
        r.say(std::string(b.kind == w98::ShownBox::Kind::Dialog ? "  dialog  " : "  message ") + "[" + b.caption +
              "]");
        std::stringstream lines(b.text);
        for (std::string l; std::getline(lines, l);) r.say("            " + l);
        r.say("            -> " + b.answer);
      }
    }
    r.set("shown", std::move(shown)).set("restart_requested", restart).set("exit_status", exitStatus);
    if (!person && answered < a.positional.size())
      r.set("unused_answers", static_cast<uint64_t>(a.positional.size() - answered));
    r.say(restart ? "  the removal program asked Windows to restart" : "  no restart was asked for");
  }

  void boot(Reply& r) {
    closeAllHandles();
    auto result = machine_->boot();
    loadMonitor();
    r.set("wininit", result.ran).set("done", stringList(result.done)).set("failed", stringList(result.failed));
    r.set("boots", machine_->boots());
    r.say(result.ran ? "wininit.ini carried out:" : "no wininit.ini to carry out");
    for (const auto& d : result.done) r.say("  " + d);
    for (const auto& f : result.failed) r.say("  FAILED " + f);
    r.say("Windows restarted");
  }

  void checkClean(Reply& r) {
    auto& reg = machine_->registry();
    std::vector<std::string> left;
    const std::string hklm = "HKEY_LOCAL_MACHINE\\";
    for (const std::string& key :
         {std::string(kClassKey), hklm + "Enum\\USB\\VID_0F1B&PID_1002", std::string(kRootDeviceKey),
          hklm + "System\\CurrentControlSet\\Control\\Print\\Monitors\\" + kMonitorName})
      if (reg.keyExists(key)) left.push_back(key);
    const std::string portsKey = w98::Spooler::kPortsKey;
    for (const auto& p : reg.subkeys(portsKey))
      if (p.rfind(OSLNK_PORT_NAME_PREFIX, 0) == 0) left.push_back(portsKey + "\\" + p);
    for (const char* f : {"C:\\WINDOWS\\SYSTEM\\oslnk.sys", "C:\\WINDOWS\\SYSTEM\\oslnkin.dll",
                          "C:\\WINDOWS\\SYSTEM\\reveror.dll", "C:\\WINDOWS\\SYSTEM\\dudirar.dll", kInfPath})
      if (machine_->disk().exists(f)) left.push_back(f);
    r.set("clean", left.empty()).set("left", stringList(left));
    if (left.empty()) r.say("nothing of the product is left");
    for (const auto& l : left) r.say("  left: " + l);
  }

  Session& session_;
  std::unique_ptr<TempFolder> temp_;
  std::unique_ptr<w98::Machine> machine_;
  std::unique_ptr<PortMonitor> monitor_;
  std::map<std::string, uint32_t> handles_;
};

}  // namespace

std::unique_ptr<CommandSet> makeMachineCommands(Session& session) { return std::make_unique<MachineCommands>(session); }

}  // namespace ostrolink
