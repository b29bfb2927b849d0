// The whole path through a real, private cupsd on a loopback port: lpinfo finds the cable by its device
// ID, lpadmin adds the queue, lp prints, the simulated printer gets the job byte for byte, lpstat says done.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "backend_run.h"
#include "usbfs_cable.h"

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
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return ntohs(address.sin_port);
}

void writeFile(const fs::path& path, const std::string& text, fs::perms mode = fs::perms(0644)) {
    std::ofstream(path) << text;
    fs::permissions(path, mode);
}

std::string readFile(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// A cupsd of its own: configuration, spool and programs in a scratch folder, listening on 127.0.0.1 only.
class PrivateCupsd {
public:
    explicit PrivateCupsd(const UsbfsCables& cables) : port_(freeLoopbackPort()) {
        char pattern[] = "/tmp/ostrolink-cupsd-XXXXXX";
        root_ = mkdtemp(pattern);  // 0700: cupsd refuses programs in a folder others may write
        for (const char* dir : {"etc", "bin/backend", "bin/daemon", "bin/filter", "spool/tmp", "cache", "state", "log"})
            fs::create_directories(root_ / dir);
        // cupsd wants absolute paths in its configuration.
        writeFile(root_ / "etc/cupsd.conf",
                  "LogLevel debug\nListen 127.0.0.1:" + std::to_string(port_) +
                      "\nBrowsing No\nWebInterface No\n"
                      "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                      "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");
        const std::string r = root_.string();
        std::string files = "ServerRoot " + r + "/etc\nServerBin " + r + "/bin\nRequestRoot " + r +
                            "/spool\nTempDir " + r + "/spool/tmp\nCacheDir " + r + "/cache\nStateDir " + r +
                            "/state\nServerKeychain " + r + "/etc/ssl\nPrintcap " + r + "/printcap\nErrorLog " + r +
                            "/log/error_log\nAccessLog " + r + "/log/access_log\nPageLog " + r + "/log/page_log\n";
        if (geteuid() == 0) files += "User lp\nGroup lp\nSystemGroup root\n";
        writeFile(root_ / "etc/cups-files.conf", files);
        for (const char* daemon : {"cups-deviced", "cups-exec"})
            fs::create_symlink(fs::path("/usr/lib/cups/daemon") / daemon, root_ / "bin/daemon" / daemon);
        // As root cupsd drops LD_* from a backend's environment; this wrapper (0700: run as root) gives the
        // backend umockdev's preload and testbed.
        std::string wrapper = "#!/bin/sh\n";
        for (const auto& [name, value] : cables.childEnvironment()) wrapper += name + "='" + value + "' ";
        wrapper += "exec '" + std::string(OSTROLINK_CUPS_BACKEND) + "' \"$@\"\n";
        writeFile(root_ / "bin/backend/ostrolink", wrapper, fs::perms(0700));

        cupsd_.emplace("/usr/sbin/cupsd",
                       std::vector<std::string>{"cupsd", "-f", "-c", r + "/etc/cupsd.conf", "-s", r + "/etc/cups-files.conf"},
                       Environment{});
    }
    ~PrivateCupsd() {
        if (cupsd_) {
            cupsd_->signal(SIGTERM);
            cupsd_->waitExit(10s);
        }
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    struct Result {
        std::optional<int> exit;
        std::string out;
    };
    Result run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 30s) const {
        const std::string program = fs::exists("/usr/sbin/" + argv[0]) ? "/usr/sbin/" + argv[0] : "/usr/bin/" + argv[0];
        BackendRun client(program, argv, {{"CUPS_SERVER", "127.0.0.1:" + std::to_string(port_)}});
        client.closeInput();
        Result r;
        r.exit = client.waitExit(timeout);
        r.out = client.out() + client.log();
        return r;
    }
    std::string errorLog() const { return readFile(root_ / "log/error_log") + cupsd_->log(); }

private:
    int port_;
    fs::path root_;
    std::optional<BackendRun> cupsd_;
};

TEST(CupsScheduler, FindsTheCableAddsAQueueAndPrintsAJobByteForByte) {
    UsbfsCables cables;
    cables.add({.serialNumber = "OSL0001"});
    PrivateCupsd cupsd(cables);
    ASSERT_TRUE(eventually([&] { return cupsd.run({"lpstat", "-r"}).out.find("is running") != std::string::npos; }, 20s))
        << cupsd.errorLog();

    const auto devices = cupsd.run({"lpinfo", "-l", "-v"});
    ASSERT_EQ(devices.exit, 0) << devices.out << cupsd.errorLog();
    const std::string uri = "ostrolink://Hanwell/LaserPress%206?serial=OSL0001";
    EXPECT_NE(devices.out.find("uri = " + uri), std::string::npos) << devices.out;
    EXPECT_NE(devices.out.find("make-and-model = Hanwell LaserPress 6"), std::string::npos) << devices.out;
    EXPECT_NE(devices.out.find("device-id = " + sim::PrinterConfig{}.deviceId), std::string::npos) << devices.out;

    const auto added = cupsd.run({"lpadmin", "-p", "laser", "-E", "-v", uri, "-m", "raw"});
    ASSERT_EQ(added.exit, 0) << added.out << cupsd.errorLog();

    std::vector<uint8_t> job(300000);
    for (std::size_t i = 0; i < job.size(); ++i) job[i] = static_cast<uint8_t>(i * 7 + i / 1000);
    const std::string path = ::testing::TempDir() + "/cups_scheduler_job.bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(job.data()), job.size());
    const auto queued = cupsd.run({"lp", "-d", "laser", "-o", "raw", path});
    ASSERT_EQ(queued.exit, 0) << queued.out << cupsd.errorLog();
    EXPECT_NE(queued.out.find("laser-1"), std::string::npos) << queued.out;

    EXPECT_TRUE(eventually([&] { return cupsd.run({"lpstat", "-W", "completed", "-o", "laser"}).out.find("laser-1") !=
                                        std::string::npos; },
                           60s))
        << cupsd.errorLog();
    EXPECT_EQ(cables.printed(0), job);
}

}  // namespace
}  // namespace ostrolink::testing
