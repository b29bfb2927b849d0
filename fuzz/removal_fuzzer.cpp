// Fuzz target: the removal steps against random registry and file trees.
//
// The input builds a machine: keys (with values) under the places the removal looks (the spooler's ports,
// the cable's class, its USB device keys, the root-enumerated key, the monitors), at random depths and with
// random names; the product's files present or not, read-only, in use, or a folder in a file's place; and
// a wininit.ini with random text. Then the steps run as the removal program runs them, every message box
// answered. What must hold: no crash; the steps return 0 or -1; keys and files that are not the product's
// (a sentinel key, the LPT1 port, a file beside the product's) are exactly as they were; no port key whose
// name begins with "KVUSB" is left when the ports key was there to open.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

#include "registry/registry.h"
#include "steps/removal_steps.h"
#include "user/codepage.h"
#include "user/disk.h"
#include "user/session.h"
#include "user/user_interface.h"

namespace {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string text(size_t max)
    {
        std::string s;
        const size_t n = byte() % (max + 1);
        for (size_t i = 0; i < n && !empty(); ++i) {
            char c = static_cast<char>(byte());
            if (c == '\\' || c == 0) c = '_';  // a name, not a path
            s.push_back(c);
        }
        return s;
    }
    // A name as the machine's registry holds it: ANSI (code page 932) text, stored as UTF-8. Bytes that are
    // no code page 932 text could never have been written through the registry functions; they become '_'.
    std::string name(size_t max)
    {
        std::string ansi = text(max);
        if (w98::utf8ToCp932(w98::cp932ToUtf8(ansi)) != ansi)
            for (char& c : ansi)
                if (static_cast<unsigned char>(c) >= 0x80) c = '_';
        return w98::cp932ToUtf8(ansi);
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

const char* const kParents[] = {
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Ports",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class",
    "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0F1B&PID_1002",
    "HKEY_LOCAL_MACHINE\\Enum\\USB",
    "HKEY_LOCAL_MACHINE\\Enum\\Root\\KVUSBCable",
    "HKEY_LOCAL_MACHINE\\Enum\\Root",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Monitors",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Monitors\\Molvex USB Cable Port Monitor",
};
const char* const kNames[] = {"KVUSB", "KVUSB1", "KVUSB2", "kvusb3", "KVUS", "KVUSB128", "0000", "0001",
                              "Device Parameters", "LPT2", "Molvex USB Cable Port Monitor", "5&1A2B"};
const char* const kFiles[] = {"C:\\WINDOWS\\INF\\OTHER\\DODOZEREDID.INF", "C:\\WINDOWS\\SYSTEM\\dudirar.dll",
                              "C:\\WINDOWS\\SYSTEM\\oslnkin.dll", "C:\\WINDOWS\\SYSTEM\\reveror.dll",
                              "C:\\WINDOWS\\SYSTEM\\oslnk.sys"};
const char kSentinelKey[] = "HKEY_LOCAL_MACHINE\\Software\\Sentinel";
const char kLpt1[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Ports\\LPT1";
const char kPorts[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Ports";
const char kKeepFile[] = "C:\\WINDOWS\\SYSTEM\\keep.dll";

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

std::filesystem::path Folder()
{
    // Never destroyed: the clean-up at exit still needs it.
    static const auto* folder = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                                          ("oslnk_fuzz_removal_" + std::to_string(::getpid())));
    return *folder;
}

void Clean()
{
    std::error_code ec;
    for (auto& e : std::filesystem::recursive_directory_iterator(Folder(), ec))
        std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(Folder(), ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096) return 0;
    static const bool cleanAtExit = [] { return std::atexit(Clean) == 0; }();
    (void)cleanAtExit;
    Clean();
    Input in(data, size);

    w98::Registry registry;
    w98::Disk disk(Folder());
    disk.createDirectories("C:\\WINDOWS\\SYSTEM");
    disk.createDirectories("C:\\WINDOWS\\INF\\OTHER");
    const uint8_t layout = in.byte();
    if (layout & 1) registry.createKey(kPorts);
    registry.createKey(kSentinelKey);
    registry.setString(kSentinelKey, "Keep", "yes");
    registry.createKey(kLpt1);
    registry.setString(kLpt1, "Keep", "LPT1");
    disk.writeFile(kKeepFile, "not the product's");
    if (layout & 2) disk.writeFile("C:\\WINDOWS\\WININIT.INI", in.text(200));

    // Keys at random places and depths.
    const int keys = in.byte() % 24;
    for (int i = 0; i < keys && !in.empty(); ++i) {
        std::string path = kParents[in.byte() % std::size(kParents)];
        const int depth = 1 + in.byte() % 6;
        for (int d = 0; d < depth; ++d) {
            const uint8_t pick = in.byte();
            path += "\\" + (pick & 0x80 ? in.name(12) : std::string(kNames[pick % std::size(kNames)]));
        }
        if (!registry.createKey(path)) continue;
        if (in.byte() & 1) registry.setString(path, in.name(8), in.name(16));
    }
    // The product's files in every state.
    for (const char* file : kFiles) {
        const uint8_t state = in.byte();
        if ((state & 3) == 0) continue;
        if ((state & 3) == 3) {
            disk.createDirectories(file);  // a folder where the file should be
            continue;
        }
        disk.writeFile(file, "product");
        if (state & 4) disk.setAttributes(file, 0x01);  // read-only
        if (state & 8) disk.setInUse(file, true);
    }

    const std::string sentinelBefore = registry.exportText(kSentinelKey);
    const std::string lptBefore = registry.exportText(kLpt1);
    w98::UserInterface ui(std::vector<std::string>(64, "ok"));
    {
        w98::UserSession session(registry, disk, ui);
        RemovalSteps steps(nullptr);
        const int root = steps.RemoveRootDeviceKey();
        const int entries = steps.RemoveRegistryEntries();
        steps.RemoveFiles();
        steps.ScheduleMonitorDllRemoval();
        if ((root != 0 && root != -1) || (entries != 0 && entries != -1))
            Fail("a step returned " + std::to_string(root) + "/" + std::to_string(entries));
    }
    if (registry.exportText(kSentinelKey) != sentinelBefore) Fail("the sentinel key changed");
    if (registry.exportText(kLpt1) != lptBefore) Fail("the LPT1 port key changed");
    if (disk.readFile(kKeepFile).value_or("") != "not the product's") Fail("a file beside the product's changed");
    if (registry.keyExists(kPorts))
        for (const auto& name : registry.subkeys(kPorts))
            if (name.rfind("KVUSB", 0) == 0) Fail("port key " + name + " is left");
    return 0;
}
