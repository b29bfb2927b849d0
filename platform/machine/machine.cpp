#include "machine/machine.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

struct _DRIVER_OBJECT;
struct _UNICODE_STRING;

// The driver's entry points (driver/entry.h, which needs the kernel's own headers).
extern "C" int32_t DriverEntry(_DRIVER_OBJECT* driverObject, _UNICODE_STRING* registryPath);
extern "C" void OslnkResetImage(void);

namespace w98 {

namespace {

constexpr size_t kPcapHeader = 24;  // the capture file's own header; records follow it

std::string lowerCase(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string readWhole(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + p.string());
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace

void Machine::writeDefaults(Registry& r, Disk& d) {
  const std::string hklm = "HKEY_LOCAL_MACHINE\\";
  const std::string ccs = hklm + "System\\CurrentControlSet\\";
  // Windows itself.
  r.createKey(hklm + "SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
  r.setString(hklm + "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "SystemRoot", "C:\\WINDOWS");
  r.setString(hklm + "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "Version", "Windows 98");
  r.setString(hklm + "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "VersionNumber", "4.10.1998");
  r.createKey("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion");
  // Device classes of a machine with a parallel port and USB.
  for (const char* cls : {"Ports", "Printer", "USB"}) r.createKey(ccs + "Services\\Class\\" + cls);
  r.setString(ccs + "Services\\Class\\Ports", "", "Ports (COM & LPT)");
  r.setString(ccs + "Services\\Class\\Printer", "", "Printers");
  r.setString(ccs + "Services\\Class\\USB", "", "Universal serial bus controller");
  // Enumerators the product adds devices under.
  r.createKey(hklm + "Enum\\Root\\Printer");
  r.createKey(hklm + "Enum\\USB\\ROOT_HUB\\PCI&VEN_8086&DEV_7112&FUNC_2");
  r.setString(hklm + "Enum\\USB\\ROOT_HUB\\PCI&VEN_8086&DEV_7112&FUNC_2", "DeviceDesc", "USB Root Hub");
  r.createKey(hklm + "Enum\\LPTENUM");
  // The spooler with its built-in monitor and the ports of the machine's own parallel and serial ports.
  r.createKey(ccs + "Control\\Print\\Environments\\Windows 4.0");
  r.createKey(ccs + "Control\\Print\\Monitors\\Local Port");
  r.setString(ccs + "Control\\Print\\Monitors\\Local Port", "Driver", "localmon.dll");
  r.createKey(ccs + "Control\\Print\\Ports\\LPT1");
  r.createKey(ccs + "Control\\Print\\Ports\\COM1");
  r.createKey(ccs + "Control\\Print\\Printers");

  d.createDirectories("C:\\WINDOWS\\SYSTEM");
  d.createDirectories("C:\\WINDOWS\\INF\\OTHER");
  d.createDirectories("C:\\WINDOWS\\TEMP");
  d.writeFile("C:\\WINDOWS\\WIN.INI", "[windows]\r\nload=\r\nrun=\r\n\r\n[Ports]\r\nLPT1:=\r\nCOM1:=9600,n,8,1,x\r\n");
  d.writeFile("C:\\WINDOWS\\SYSTEM.INI", "[boot]\r\nshell=Explorer.exe\r\n");
  d.writeFile("C:\\WINDOWS\\SYSTEM\\localmon.dll", "MZ localmon.dll (placeholder image)\r\n");
}

// CreateFileA("\\.\NAME") and the I/O on it, through the kernel's user-mode I/O while Windows runs.
class Machine::KernelDeviceFiles : public DeviceFiles {
 public:
  explicit KernelDeviceFiles(Machine& machine) : machine_(machine) {}

  Result open(const std::string& path) override {
    if (!machine_.running()) return {static_cast<int32_t>(0xC000000E), 0};  // STATUS_NO_SUCH_DEVICE
    auto r = machine_.kernel().user().open(path);
    return {r.status, r.handle};
  }
  int32_t close(uint64_t handle) override {
    if (!machine_.running()) return static_cast<int32_t>(0xC0000008);  // STATUS_INVALID_HANDLE
    return machine_.kernel().user().close(static_cast<UserIo::Handle>(handle));
  }
  std::shared_ptr<Operation> write(uint64_t handle, const void* data, uint32_t length) override {
    return start([&](UserIo& io) { return io.writeAsync(static_cast<UserIo::Handle>(handle), data, length); });
  }
  std::shared_ptr<Operation> read(uint64_t handle, void* data, uint32_t length) override {
    return start([&](UserIo& io) { return io.readAsync(static_cast<UserIo::Handle>(handle), data, length); });
  }
  std::shared_ptr<Operation> control(uint64_t handle, uint32_t code, const void* input, uint32_t inputLength,
                                     void* output, uint32_t outputLength) override {
    return start([&](UserIo& io) {
      return io.deviceControlAsync(static_cast<UserIo::Handle>(handle), code, input, inputLength, output, outputLength);
    });
  }

 private:
  class Request : public Operation {
   public:
    Request(Kernel& kernel, UserIo::RequestPtr request) : kernel_(kernel), request_(std::move(request)) {}
    bool completed() override { return request_->completed(); }
    std::optional<Result> wait(int64_t timeout) override {
      std::optional<UserIo::Result> r =
          timeout < 0 ? std::optional<UserIo::Result>(request_->wait()) : request_->waitUntil(kernel_.clock().now() + timeout);
      if (!r) return std::nullopt;
      return Result{r->status, r->information};
    }
    void cancel() override { request_->cancel(); }

   private:
    Kernel& kernel_;
    UserIo::RequestPtr request_;
  };

  std::shared_ptr<Operation> start(const std::function<UserIo::RequestPtr(UserIo&)>& call) {
    // With Windows shut down every handle is gone: the request fails as one on a closed handle does.
    if (!machine_.running()) return std::make_shared<Failed>();
    return std::make_shared<Request>(machine_.kernel(), call(machine_.kernel().user()));
  }
  class Failed : public Operation {
   public:
    bool completed() override { return true; }
    std::optional<Result> wait(int64_t) override { return Result{static_cast<int32_t>(0xC0000008), 0}; }
    void cancel() override {}
  };

  Machine& machine_;
};

Machine::Machine(std::filesystem::path folder) : folder_(std::move(folder)) {
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
  if (!std::filesystem::is_directory(folder_))
    throw std::runtime_error("cannot use " + folder_.string() + " as the machine's folder");
  registry_ = std::make_unique<Registry>();
  const bool fresh = !std::filesystem::exists(registryFile());
  disk_ = std::make_unique<Disk>(driveFolder());
  if (fresh) {
    writeDefaults(*registry_, *disk_);
  } else {
    if (auto error = registry_->importText(readWhole(registryFile())))
      throw std::runtime_error(registryFile().string() + ": " + *error);
  }
  ui_ = std::make_unique<UserInterface>(std::vector<std::string>{}, nullptr);
  deviceFiles_ = std::make_unique<KernelDeviceFiles>(*this);
  UserSession::Options options;
  options.devices = deviceFiles_.get();
  session_ = std::make_unique<UserSession>(*registry_, *disk_, *ui_, options);
  lastBoot_ = runWininit(*disk_);
  boots_ = 1;
  startKernel();
}

Machine::~Machine() {
  stopKernel();
  session_.reset();
}

void Machine::startKernel() {
  kernel_ = std::make_unique<Kernel>(*registry_);
  DriverRegistration reg;
  reg.hardwareId = kCableHardwareId;
  reg.entry = &DriverEntry;
  reg.resetImage = &OslnkResetImage;
  reg.className = "USBQXC";
  reg.service = "oslnk";
  reg.poolTag = kDriverPoolTag;
  kernel_->pnp().registerDriver(reg);
  buses_.push_back(std::make_unique<UsbBus>(*kernel_));
}

void Machine::keepTraffic(UsbBus& bus, int number) {
  if (bus.log().size() == 0) return;
  earlierTraffic_.emplace_back(static_cast<uint16_t>(number), bus.log().take());
}

void Machine::stopKernel() {
  for (size_t i = 0; i < buses_.size(); ++i) keepTraffic(*buses_[i], static_cast<int>(i) + 1);
  // The buses take every device out before the kernel goes; the cables outlive their ports.
  while (!buses_.empty()) buses_.pop_back();
  kernel_.reset();
  for (auto& c : cables_) c.present = false;
  cables_.clear();
}

void Machine::save() {
  std::string text = registry_->exportText();
  auto tmp = registryFile();
  tmp += ".new";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + tmp.string());
    f << text;
    f.flush();
    if (!f) throw std::runtime_error("cannot write " + tmp.string());
  }
  std::error_code ec;
  std::filesystem::rename(tmp, registryFile(), ec);
  if (ec) throw std::runtime_error("cannot replace " + registryFile().string() + ": " + ec.message());
}

void Machine::shutdown() { stopKernel(); }

WininitResult Machine::boot() {
  stopKernel();
  lastBoot_ = runWininit(*disk_);
  ++boots_;
  startKernel();
  return lastBoot_;
}

// Windows' device installer, for the part the product's devices need: the first time a cable appears on a port,
// its device key gets a driver key of the cable's class. A driver key that no device claims yet (the one the
// product's installer made) is taken first; a new one starts with the parameters of the class's first driver key,
// as the setup information file's defaults would give it.
void Machine::prepareDeviceKey(const std::string& instanceId) {
  const std::string deviceKey = std::string("HKEY_LOCAL_MACHINE\\Enum\\") + kCableHardwareId + "\\" + instanceId;
  if (auto d = registry_->stringValue(deviceKey, "Driver"); d && !d->empty()) return;
  const std::string className = "USBQXC";
  const std::string classKey = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\" + className;
  std::vector<std::string> claimed;
  const std::string hardwareKey = std::string("HKEY_LOCAL_MACHINE\\Enum\\") + kCableHardwareId;
  for (const auto& inst : registry_->subkeys(hardwareKey))
    if (auto d = registry_->stringValue(hardwareKey + "\\" + inst, "Driver")) claimed.push_back(lowerCase(*d));
  const auto existing = registry_->subkeys(classKey);
  auto exists = [&](const std::string& n) {
    return std::any_of(existing.begin(), existing.end(), [&](const std::string& e) { return lowerCase(e) == lowerCase(n); });
  };
  for (int n = 0; n < 10000; ++n) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04d", n);
    const std::string name = className + "\\" + digits;
    if (std::find(claimed.begin(), claimed.end(), lowerCase(name)) != claimed.end()) continue;
    const std::string driverKey = classKey + "\\" + digits;
    if (!exists(digits)) {
      registry_->createKey(driverKey);
      const std::string first = classKey + "\\0000";
      for (const char* param : {"MaxTransferSize", "IFSetting", "AltSetting"})
        if (auto v = registry_->value(first, param)) registry_->setValue(driverKey, param, *v);
    }
    registry_->createKey(deviceKey);
    registry_->setString(deviceKey, "Driver", name);
    return;
  }
}

int Machine::plug(CableOptions options) {
  if (!kernel_) throw std::runtime_error("the machine is shut down");
  size_t bus = 0;
  while (bus < buses_.size() && buses_[bus]->ports().size() >= static_cast<size_t>(kDevicesPerBus)) ++bus;
  if (bus == buses_.size()) {
    if (bus >= static_cast<size_t>(kHostControllers))
      throw std::runtime_error("every USB port of the machine is taken");
    buses_.push_back(std::make_unique<UsbBus>(*kernel_));
  }
  UsbBus& usb = *buses_[bus];
  // The bus takes its lowest free port; the instance id is that number, as the bus would give it (with the
  // controller's number in front on the second bus, so that instance ids stay unique).
  if (options.port.instanceId.empty()) {
    auto used = usb.ports();
    int port = 1;
    while (std::find(used.begin(), used.end(), port) != used.end()) ++port;
    options.port.instanceId = (bus == 0 ? "" : std::to_string(bus + 1) + "&") + std::to_string(port);
  }
  prepareDeviceKey(options.port.instanceId);
  PluggedCable pc;
  pc.number = cables_.empty() ? 1 : cables_.back().number + 1;
  pc.cable = std::make_unique<sim::Cable>(std::move(options.cable), std::move(options.printer));
  int port = usb.plug(*pc.cable, options.port);
  if (port == 0) throw std::runtime_error("the bus could not enumerate the cable");
  pc.bus = static_cast<int>(bus);
  pc.port = port;
  pc.present = true;
  cables_.push_back(std::move(pc));
  return cables_.back().number;
}

int32_t Machine::unplug(int number, Removal how) {
  PluggedCable* c = cable(number);
  if (!c || !c->present) throw std::out_of_range("no cable " + std::to_string(number) + " is plugged in");
  UsbBus& bus = usb(c->bus);
  int32_t status = how == Removal::Orderly             ? bus.remove(c->port)
                   : how == Removal::NtSurpriseRemoval ? bus.unplugWithSurpriseRemoval(c->port)
                                                       : bus.unplug(c->port);
  c->present = bus.plugged(c->port);
  return status;
}

PluggedCable* Machine::cable(int number) {
  for (auto& c : cables_)
    if (c.number == number) return &c;
  return nullptr;
}

std::vector<int> Machine::presentCables() const {
  std::vector<int> v;
  for (const auto& c : cables_)
    if (c.present) v.push_back(c.number);
  return v;
}

std::optional<DevNodeInfo> Machine::devnode(int number) const {
  for (const auto& c : cables_) {
    if (c.number != number || !c.present) continue;
    _DEVICE_OBJECT* pdo = buses_.at(static_cast<size_t>(c.bus))->pdo(c.port);
    if (!pdo) return std::nullopt;
    return kernel_->pnp().deviceFor(pdo);
  }
  return std::nullopt;
}

void Machine::withUserInterface(UserInterface& ui, const std::function<void(UserSession&)>& fn) {
  // One user session is current at a time: the machine's own steps aside while `ui` is the screen.
  UserSession::Options options = session_->options();
  session_.reset();
  struct Restore {
    Machine& m;
    UserSession::Options options;
    ~Restore() { m.session_ = std::make_unique<UserSession>(*m.registry_, *m.disk_, *m.ui_, options); }
  } restore{*this, options};
  UserSession scripted(*registry_, *disk_, ui, options);
  fn(scripted);
}

std::vector<uint8_t> Machine::pcap() const {
  std::vector<uint8_t> out;
  for (const auto& [number, log] : earlierTraffic_) {
    auto capture = log->pcap(number);
    if (capture.size() <= kPcapHeader) continue;
    out.insert(out.end(), capture.begin() + (out.empty() ? 0 : kPcapHeader), capture.end());
  }
  for (size_t i = 0; i < buses_.size(); ++i) {
    auto capture = buses_[i]->log().pcap(static_cast<uint16_t>(i + 1));
    if (out.empty()) {
      out = std::move(capture);
    } else if (capture.size() > kPcapHeader) {
      out.insert(out.end(), capture.begin() + kPcapHeader, capture.end());
    }
  }
  return out;
}

}  // namespace w98
