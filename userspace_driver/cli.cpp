// ostrolink-usb: the cable from a terminal. Lists cables with their printers, reads a printer's device ID,
// shows the port status in words, soft-resets the printer port and recovers a stalled pipe.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "ostrolink_usb.h"

namespace usb = ostrolink::usb;

namespace {

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

void usage(FILE* out)
{
    std::fputs("usage: ostrolink-usb [--serial SERIAL | --location BUS-PORT[.PORT] | --location BBB:DDD] COMMAND\n"
               "commands:\n"
               "  list        every cable on every bus, with the printer on it\n"
               "  device-id   the printer's IEEE 1284 device ID\n"
               "  status      the printer's state: paper empty, offline, error, busy (or ready)\n"
               "  reset       soft-reset the printer port\n"
               "  recover     clear a stalled pipe\n"
               "Without --serial or --location a command uses the only cable plugged in.\n",
               out);
}

// The device ID as text a terminal can show: printable ASCII as it is, everything else as \xNN.
std::string printable(std::string_view text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out;
}

int list(usb::Context& context)
{
    auto cables = context.listCables();
    if (cables.empty()) {
        std::puts("no Ostrolink cable found");
        return kExitOk;
    }
    for (const auto& info : cables) {
        std::string printer;
        try {
            usb::Cable cable(context, usb::CableSelector::byLocation(info.location));
            usb::DeviceId id = cable.readDeviceId();
            if (!id.valid) {
                printer = "no IEEE 1284 printer answers";
            } else {
                usb::DeviceIdFields fields = usb::parseDeviceId(id.text);
                printer = fields.manufacturer.empty() && fields.model.empty()
                              ? "printer without make and model"
                              : printable(fields.manufacturer + (fields.manufacturer.empty() ? "" : " ") + fields.model);
            }
        } catch (const usb::Error& e) {
            printer = std::string("(") + e.what() + ")";
        }
        std::printf("%-10s serial %-16s %s\n", info.location.c_str(),
                    info.serialNumber.empty() ? "-" : printable(info.serialNumber).c_str(), printer.c_str());
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv)
{
    usb::CableSelector selector;
    std::string command;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if ((arg == "--serial" || arg == "--location") && i + 1 < argc) {
            (arg == "--serial" ? selector.serialNumber : selector.location) = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return kExitOk;
        } else if (command.empty() && !arg.starts_with("-")) {
            command = arg;
        } else {
            std::fprintf(stderr, "ostrolink-usb: unexpected argument \"%s\"\n", printable(arg).c_str());
            usage(stderr);
            return kExitUsage;
        }
    }
    if (command.empty()) {
        usage(stderr);
        return kExitUsage;
    }
    if (command != "list" && command != "device-id" && command != "status" && command != "reset" && command != "recover") {
        std::fprintf(stderr, "ostrolink-usb: unknown command \"%s\"\n", printable(command).c_str());
        usage(stderr);
        return kExitUsage;
    }

    try {
        usb::Context context;
        if (command == "list") return list(context);
        usb::Cable cable(context, selector);
        if (command == "device-id") {
            usb::DeviceId id = cable.readDeviceId();
            if (!id.valid) {
                std::fprintf(stderr, "ostrolink-usb: the printer on %s sent no device ID\n", cable.info().location.c_str());
                return kExitFailed;
            }
            std::printf("%s\n", printable(id.text).c_str());
            if (id.truncated)
                std::fprintf(stderr, "ostrolink-usb: the device ID is incomplete (%zu of %u bytes)\n", id.text.size(),
                             id.declaredLength > 2 ? id.declaredLength - 2u : 0u);
        } else if (command == "status") {
            usb::PrinterState state = cable.state();
            std::printf("%s (port status 0x%02X, status lines 0x%02X)\n", state.words().c_str(), state.portStatus,
                        state.statusRegister);
        } else if (command == "reset") {
            cable.softReset();
            std::puts("printer port reset");
        } else {
            cable.recoverPipes();
            std::puts("pipes recovered");
        }
        return kExitOk;
    } catch (const usb::Error& e) {
        std::fprintf(stderr, "ostrolink-usb: %s\n", e.what());
        return kExitFailed;
    }
}
