#include "scratch_machine.h"

#include <cstdio>

namespace testrig {

std::string StatusText(NtStatus status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

ScratchMachine::ScratchMachine(std::string_view label)
    : folder_(label), machine_(std::make_unique<w98::Machine>(folder_.path()))
{
}

ScratchMachine::~ScratchMachine() { stop(); }

void ScratchMachine::restart()
{
    machine_.reset();
    machine_ = std::make_unique<w98::Machine>(folder_.path());
}

w98::CableOptions PrinterCable(std::string deviceId)
{
    w98::CableOptions options;
    options.printer.deviceId = std::move(deviceId);
    return options;
}

w98::CableOptions SyncCable(w98::CableOptions options)
{
    options.port.synchronousControl = true;
    return options;
}

w98::CableOptions SilentPrinterCable()
{
    w98::CableOptions options = SyncCable();
    options.printer.supports1284 = false;
    return options;
}

std::string WriteDriverParameters(w98::Registry& registry, const std::string& driverKey,
                                  const DriverParameters& parameters)
{
    const std::string key = std::string(kDriverClassKey) + "\\" + driverKey;
    bool written = registry.createKey(key);
    if (parameters.altSetting) written = written && registry.setDword(key, "AltSetting", *parameters.altSetting);
    if (parameters.ifSetting) written = written && registry.setDword(key, "IFSetting", *parameters.ifSetting);
    if (parameters.maxTransferSize)
        written = written && registry.setDword(key, "MaxTransferSize", *parameters.maxTransferSize);
    return written ? key : "";
}

bool AssignDriverKey(w98::Registry& registry, const std::string& instance, const std::string& driverKey)
{
    const std::string key = std::string(kCableEnumKey) + "\\" + instance;
    return registry.createKey(key) && registry.setString(key, "Driver", "USBQXC\\" + driverKey);
}

std::optional<std::string> PortNameOf(w98::Machine& machine, int number)
{
    const auto node = machine.devnode(number);
    if (!node) return std::nullopt;
    auto name = machine.registry().stringValue(node->deviceKey, "Port Name");
    if (!name || name->empty()) return std::nullopt;
    return name;
}

std::vector<w98::DevNodeInfo> ChildrenOf(w98::Machine& machine, int number)
{
    std::vector<w98::DevNodeInfo> children;
    const auto node = machine.devnode(number);
    if (!node) return children;
    for (const auto& device : machine.kernel().pnp().devices())
        if (device.parent == node->id && device.state != w98::DevNodeState::Removed) children.push_back(device);
    return children;
}

}  // namespace testrig
