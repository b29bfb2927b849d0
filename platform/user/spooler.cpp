#include "user/spooler.h"

namespace w98 {

namespace {

bool sameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto f = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (f(a[i]) != f(b[i])) return false;
  }
  return true;
}

std::string folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool validName(std::string_view n) { return !n.empty() && n.find('\\') == std::string_view::npos; }

}  // namespace

Spooler::Spooler(Registry& registry) : registry_(registry) {
  registry_.createKey(kMonitorsKey);
  registry_.createKey(kPortsKey);
}

uint32_t Spooler::checkServerAndEnvironment(const char* server, const char* environment) const {
  // Only the local spooler exists on this machine; it runs the environment of Windows 98.
  if (server && *server) return kInvalidName;
  if (environment && *environment && !sameText(environment, kEnvironment)) return kInvalidEnvironment;
  return kOk;
}

uint32_t Spooler::addMonitor(const char* server, uint32_t level, const char* name, const char* environment,
                             const char* dll) {
  uint32_t err = kOk;
  if (level != 2) {
    err = kInvalidLevel;
  } else if ((err = checkServerAndEnvironment(server, environment)) != kOk) {
  } else if (!name || !validName(name) || !dll || !*dll) {
    err = kInvalidParameter;
  } else {
    const std::string key = std::string(kMonitorsKey) + "\\" + name;
    std::lock_guard lock(mutex_);
    if (registry_.keyExists(key)) {
      err = kMonitorAlreadyInstalled;
    } else {
      registry_.createKey(key);
      registry_.setValue(key, "Driver", RegValue::fromString(dll));
    }
  }
  std::lock_guard lock(mutex_);
  calls_.push_back({"AddMonitor", copy(server), copy(environment), copy(name), copy(dll), level, err});
  return err;
}

uint32_t Spooler::deleteMonitor(const char* server, const char* environment, const char* name) {
  uint32_t err = checkServerAndEnvironment(server, environment);
  if (err == kOk) {
    std::unique_lock lock(mutex_);
    const bool busy = name && std::find(inUse_.begin(), inUse_.end(), folded(name)) != inUse_.end();
    lock.unlock();
    if (!name || !validName(name)) {
      err = kInvalidParameter;
    } else if (busy && registry_.keyExists(std::string(kMonitorsKey) + "\\" + name)) {
      err = kMonitorInUse;
    } else if (!registry_.deleteKeyTree(std::string(kMonitorsKey) + "\\" + name)) {
      err = kUnknownMonitor;
    }
  }
  std::lock_guard lock(mutex_);
  calls_.push_back({"DeleteMonitor", copy(server), copy(environment), copy(name), std::nullopt, 0, err});
  return err;
}

void Spooler::setMonitorInUse(std::string_view name, bool inUse) {
  std::lock_guard lock(mutex_);
  const std::string f = folded(name);
  inUse_.erase(std::remove(inUse_.begin(), inUse_.end(), f), inUse_.end());
  if (inUse) inUse_.push_back(f);
}

std::vector<std::string> Spooler::monitors() const { return registry_.subkeys(kMonitorsKey); }

std::optional<std::string> Spooler::monitorDll(std::string_view name) const {
  if (!validName(name)) return std::nullopt;
  return registry_.stringValue(std::string(kMonitorsKey) + "\\" + std::string(name), "Driver");
}

bool Spooler::addPort(std::string_view port) {
  if (!validName(port)) return false;
  return registry_.createKey(std::string(kPortsKey) + "\\" + std::string(port));
}

bool Spooler::deletePort(std::string_view port) {
  if (!validName(port)) return false;
  return registry_.deleteKeyTree(std::string(kPortsKey) + "\\" + std::string(port));
}

std::vector<std::string> Spooler::ports() const { return registry_.subkeys(kPortsKey); }

std::vector<Spooler::Call> Spooler::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

}  // namespace w98
