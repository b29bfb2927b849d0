// make demo-cups: the cable on a Linux computer as a user meets it, end to end. A simulated cable and
// printer behind an emulated USB device node, real libusb, the ostrolink backend and a private cupsd on
// 127.0.0.1: the commands a user types and what they print, a job that meets an empty paper tray, and
// what came out of the printer.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "private_cupsd.h"

using namespace ostrolink::testing;
using namespace std::chrono_literals;

namespace {

// Runs a command and prints it with its output; `keep` > 0 prints only the first lines and the alerts.
PrivateCupsd::Result show(const PrivateCupsd& cupsd, const std::vector<std::string>& argv, int keep = 0) {
    std::string line = "$";
    for (const auto& a : argv) line += " " + a;
    std::cout << line << "\n";
    PrivateCupsd::Result r = cupsd.run(argv);
    std::istringstream out(r.out);
    int n = 0;
    for (std::string l; std::getline(out, l); ++n)
        if (keep == 0 || n < keep || l.find("Alerts:") != std::string::npos) std::cout << l << "\n";
    if (keep > 0) std::cout << "\t...\n";
    if (r.exit != 0) std::cout << "(exit status " << (r.exit ? std::to_string(*r.exit) : "none") << ")\n";
    std::cout << std::endl;
    return r;
}

int fail(const std::string& what, const PrivateCupsd& cupsd) {
    std::cerr << "demo-cups: " << what << "\n--- cupsd's log ---\n" << cupsd.errorLog();
    return 1;
}

}  // namespace

int main() {
    try {
        UsbfsCables cables;
        cables.add({.serialNumber = "OSL0001"});
        PrivateCupsd cupsd(cables, OSTROLINK_CUPS_BACKEND);
        std::cout << "== A simulated Ostrolink cable (serial OSL0001) with a Hanwell LaserPress 6 on its far end,\n"
                     "   a private cupsd at " << cupsd.server() << " (CUPS_SERVER for the commands below)\n\n";
        if (!cupsd.waitRunning(20s)) return fail("cupsd did not start", cupsd);

        std::cout << "== The printer as CUPS finds it (the device ID comes from the IEEE 1284 nibble exchange)\n";
        if (show(cupsd, {"lpinfo", "-l", "-v"}).exit != 0) return fail("lpinfo failed", cupsd);
        const std::string uri = "ostrolink://Hanwell/LaserPress%206?serial=OSL0001";
        if (show(cupsd, {"lpadmin", "-p", "LaserPress", "-E", "-v", uri, "-m", "raw"}).exit != 0)
            return fail("lpadmin failed", cupsd);

        std::cout << "== A job sent while the paper tray is empty\n";
        cables.setPaperEmpty(0, true);
        const std::string page = "Hello from CUPS, through the Ostrolink cable.\r\n\f";
        const std::string path = "/tmp/ostrolink-demo-cups-page." + std::to_string(getpid()) + ".txt";
        if (FILE* f = std::fopen(path.c_str(), "w")) {
            std::fputs(page.c_str(), f);
            std::fclose(f);
        }
        if (show(cupsd, {"lp", "-d", "LaserPress", "-o", "raw", path}).exit != 0) return fail("lp failed", cupsd);
        const bool reported = eventually(
            [&] {
                return cupsd.run({"lpstat", "-l", "-p", "LaserPress"}).out.find("media-empty") != std::string::npos;
            },
            20s, 200ms);
        show(cupsd, {"lpstat", "-l", "-p", "LaserPress"}, 2);
        if (!reported) return fail("the empty tray was not reported", cupsd);

        std::cout << "== Paper loaded: the job goes on where it stopped\n\n";
        cables.setPaperEmpty(0, false);
        const bool done = eventually(
            [&] {
                const auto done = cupsd.run({"lpstat", "-W", "completed", "-o", "LaserPress"});
                return done.out.find("LaserPress-1") != std::string::npos;
            },
            30s, 200ms);
        show(cupsd, {"lpstat", "-W", "completed", "-o", "LaserPress"});
        show(cupsd, {"lpstat", "-p", "LaserPress"});
        if (!done) return fail("the job did not complete", cupsd);

        const std::vector<uint8_t> printed = cables.printed(0);
        std::cout << "== What the printer received (" << printed.size() << " bytes):\n"
                  << std::string(printed.begin(), printed.end()) << "\n";
        std::remove(path.c_str());
        return std::string(printed.begin(), printed.end()) == page ? 0 : fail("the printer got other bytes", cupsd);
    } catch (const std::exception& e) {
        std::cerr << "demo-cups: " << e.what() << "\n";
        return 1;
    }
}
