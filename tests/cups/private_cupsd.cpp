#include "private_cupsd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ostrolink::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

int freeLoopbackPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no free port on 127.0.0.1");
    close(s);
    return ntohs(address.sin_port);
}

void writeFile(const fs::path& path, const std::string& text, fs::perms mode = fs::perms(0644)) {
    std::ofstream(path) << text;
    fs::permissions(path, mode);
}

}  // namespace

PrivateCupsd::PrivateCupsd(const UsbfsCables& cables, const std::string& backendPath) : port_(freeLoopbackPort()) {
    char pattern[] = "/tmp/ostrolink-cupsd-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("cannot make a folder for cupsd");
    root_ = pattern;  // 0700: cupsd runs no program from a folder that others may write
    for (const char* dir : {"etc", "bin/backend", "bin/daemon", "bin/filter", "spool/tmp", "cache", "state", "log"})
        fs::create_directories(root_ / dir);
    const std::string r = root_.string();
    // cupsd refuses relative paths in its configuration.
    writeFile(root_ / "etc/cupsd.conf",
              "LogLevel debug\nListen 127.0.0.1:" + std::to_string(port_) +
                  "\nBrowsing No\nWebInterface No\n"
                  "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                  "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");
    std::string files = "ServerRoot " + r + "/etc\nServerBin " + r + "/bin\nRequestRoot " + r + "/spool\nTempDir " + r +
                        "/spool/tmp\nCacheDir " + r + "/cache\nStateDir " + r + "/state\nServerKeychain " + r +
                        "/etc/ssl\nPrintcap " + r + "/printcap\nErrorLog " + r + "/log/error_log\nAccessLog " + r +
                        "/log/access_log\nPageLog " + r + "/log/page_log\n";
    if (geteuid() == 0) files += "User lp\nGroup lp\nSystemGroup root\n";
    writeFile(root_ / "etc/cups-files.conf", files);
    for (const char* daemon : {"cups-deviced", "cups-exec"})
        fs::create_symlink(fs::path("/usr/lib/cups/daemon") / daemon, root_ / "bin/daemon" / daemon);
    // As root cupsd drops LD_* from what it passes on; this wrapper (0700, so it runs as root) gives the
    // backend umockdev's preload library and testbed.
    std::string wrapper = "#!/bin/sh\n";
    for (const auto& [name, value] : cables.childEnvironment()) wrapper += name + "='" + value + "' ";
    wrapper += "exec '" + backendPath + "' \"$@\"\n";
    writeFile(root_ / "bin/backend/ostrolink", wrapper, fs::perms(0700));

    cupsd_.emplace("/usr/sbin/cupsd",
                   std::vector<std::string>{"cupsd", "-f", "-c", r + "/etc/cupsd.conf", "-s",
                                            r + "/etc/cups-files.conf"},
                   Environment{});
}

PrivateCupsd::~PrivateCupsd() {
    if (cupsd_) {
        cupsd_->signal(SIGTERM);
        cupsd_->waitExit(10s);
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

bool PrivateCupsd::waitRunning(std::chrono::milliseconds timeout) const {
    return eventually([&] { return run({"lpstat", "-r"}, 5s).out.find("is running") != std::string::npos; }, timeout,
                      100ms);
}

PrivateCupsd::Result PrivateCupsd::run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) const {
    const std::string program = fs::exists("/usr/sbin/" + argv[0]) ? "/usr/sbin/" + argv[0] : "/usr/bin/" + argv[0];
    BackendRun client(program, argv, {{"CUPS_SERVER", server()}});
    client.closeInput();
    Result r;
    r.exit = client.waitExit(timeout);
    r.out = client.out() + client.log();
    return r;
}

std::string PrivateCupsd::errorLog() const {
    std::ostringstream text;
    text << std::ifstream(root_ / "log/error_log").rdbuf();
    return text.str() + (cupsd_ ? cupsd_->log() : "");
}

std::string PrivateCupsd::server() const { return "127.0.0.1:" + std::to_string(port_); }

}  // namespace ostrolink::testing
