// Checks the Windows driver image that the Windows target built: a PE32 native image whose entry point is
// DriverEntry and whose every import is a kernel export that Windows 98 provides.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;

using Import = std::pair<std::string, std::string>;  // module, function

struct CommandResult {
    int exitCode = -1;
    std::string output;
};

CommandResult RunCommand(const std::string& command)
{
    CommandResult result;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return result;
    std::array<char, 4096> chunk{};
    size_t n = 0;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) result.output.append(chunk.data(), n);
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool ToolExists(const std::string& tool)
{
    return RunCommand("command -v " + tool).exitCode == 0;
}

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// Imports listed by `objdump -p`: a "DLL Name: X" line, then "<hint-rva> <hint> <name>" lines
// until the next blank line.
std::vector<Import> ParseImports(const std::string& objdump)
{
    std::vector<Import> imports;
    std::istringstream lines(objdump);
    std::string line;
    std::string module;
    while (std::getline(lines, line)) {
        const std::string trimmed = Trim(line);
        const std::string marker = "DLL Name:";
        if (trimmed.rfind(marker, 0) == 0) {
            module = Trim(trimmed.substr(marker.size()));
            continue;
        }
        if (trimmed.empty()) {
            module.clear();
            continue;
        }
        if (module.empty()) continue;
        std::istringstream fields(trimmed);
        std::string rva;
        std::string hint;
        std::string name;
        if (!(fields >> rva >> hint >> name)) continue;
        if (rva == "vma:") continue;  // the column header
        imports.emplace_back(module, name);
    }
    return imports;
}

// Value of a "Name<tab>value" line of `objdump -p`.
std::optional<std::string> HeaderField(const std::string& objdump, const std::string& field)
{
    std::istringstream lines(objdump);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name;
        if (fields >> name && name == field) {
            std::string rest;
            std::getline(fields, rest);
            return Trim(rest);
        }
    }
    return std::nullopt;
}

std::set<Import> LoadAllowed(const std::string& path)
{
    std::set<Import> allowed;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string module;
        std::string function;
        if (fields >> module >> function) allowed.emplace(module, function);
    }
    return allowed;
}

std::vector<Import> Disallowed(const std::vector<Import>& imports, const std::set<Import>& allowed)
{
    std::vector<Import> bad;
    for (const Import& import : imports) {
        if (!allowed.contains(import)) bad.push_back(import);
    }
    return bad;
}

const char* const kObjdump = "i686-w64-mingw32-objdump";
const char* const kNm = "i686-w64-mingw32-nm";

class DriverImage : public ::testing::Test {
protected:
    void SetUp() override
    {
        image_ = fs::path(OSLNK_WINDOWS_BUILD_DIR) / "driver" / "oslnk.sys";
        if (!fs::exists(image_)) GTEST_SKIP() << "no Windows driver image at " << image_;
        if (!ToolExists(kObjdump)) GTEST_SKIP() << kObjdump << " is not installed";
        const CommandResult dump = RunCommand(std::string(kObjdump) + " -p '" + image_.string() + "'");
        ASSERT_EQ(dump.exitCode, 0) << "objdump could not read " << image_;
        headers_ = dump.output;
    }

    fs::path image_;
    std::string headers_;
};

TEST_F(DriverImage, IsA32BitNativeImage)
{
    EXPECT_NE(headers_.find("file format pei-i386"), std::string::npos);
    const auto magic = HeaderField(headers_, "Magic");
    ASSERT_TRUE(magic.has_value());
    EXPECT_NE(magic->find("010b"), std::string::npos) << *magic;
    const auto subsystem = HeaderField(headers_, "Subsystem");
    ASSERT_TRUE(subsystem.has_value());
    EXPECT_EQ(subsystem->substr(0, 8), "00000001") << *subsystem;  // IMAGE_SUBSYSTEM_NATIVE
}

TEST_F(DriverImage, EntryPointIsDriverEntry)
{
    if (!ToolExists(kNm)) GTEST_SKIP() << kNm << " is not installed";
    const auto base = HeaderField(headers_, "ImageBase");
    const auto entry = HeaderField(headers_, "AddressOfEntryPoint");
    ASSERT_TRUE(base && entry);
    const unsigned long entryAddress = std::stoul(*base, nullptr, 16) + std::stoul(*entry, nullptr, 16);
    ASSERT_NE(std::stoul(*entry, nullptr, 16), 0ul);

    const CommandResult symbols = RunCommand(std::string(kNm) + " '" + image_.string() + "'");
    ASSERT_EQ(symbols.exitCode, 0);
    std::optional<unsigned long> driverEntry;
    std::istringstream lines(symbols.output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address;
        std::string kind;
        std::string name;
        if (fields >> address >> kind >> name && name == "_DriverEntry@8") driverEntry = std::stoul(address, nullptr, 16);
    }
    ASSERT_TRUE(driverEntry.has_value()) << "the image has no _DriverEntry@8 symbol";
    EXPECT_EQ(*driverEntry, entryAddress);
}

// A driver's entry point is the image's entry point: it exports nothing, and kernel C++ without exceptions
// carries no unwind tables. The headers state Windows 98's version 4.0 and mark a WDM driver; the code is not
// writable, and the relocations stay, since the loader places a driver wherever there is room.
TEST_F(DriverImage, IsAWdmDriverImageWithNoExportsOrUnwindTables)
{
    EXPECT_EQ(headers_.find("There is an export table"), std::string::npos) << "the driver exports symbols";
    EXPECT_EQ(HeaderField(headers_, "MajorSubsystemVersion").value_or(""), "4");
    EXPECT_EQ(HeaderField(headers_, "MinorSubsystemVersion").value_or(""), "0");
    EXPECT_EQ(HeaderField(headers_, "MajorOSystemVersion").value_or(""), "4");
    const unsigned long dllCharacteristics = std::stoul(HeaderField(headers_, "DllCharacteristics").value_or("0"), nullptr, 16);
    EXPECT_EQ(dllCharacteristics, 0x2000ul) << "only IMAGE_DLLCHARACTERISTICS_WDM_DRIVER";
    const unsigned long characteristics = std::stoul(HeaderField(headers_, "Characteristics").value_or("0"), nullptr, 16);
    EXPECT_EQ(characteristics & 0x2000ul, 0ul) << "a driver is not a DLL";

    // `objdump -h`: a line "<idx> <name> <size> ..." and below it the section's flags.
    const CommandResult sections = RunCommand(std::string(kObjdump) + " -h '" + image_.string() + "'");
    ASSERT_EQ(sections.exitCode, 0);
    std::istringstream lines(sections.output);
    std::string line;
    std::string name;
    std::set<std::string> names;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string first;
        std::string second;
        if (!(fields >> first >> second)) continue;
        if (std::isdigit(static_cast<unsigned char>(first[0]))) {
            name = second;
            names.insert(name);
        } else if (!name.empty() && line.find("CODE") != std::string::npos) {
            EXPECT_NE(line.find("READONLY"), std::string::npos) << name << " is writable code: " << line;
        }
    }
    EXPECT_TRUE(names.contains(".text"));
    EXPECT_TRUE(names.contains(".reloc"));
    EXPECT_FALSE(names.contains(".edata"));
    for (const std::string& n : names) EXPECT_NE(n.rfind(".eh_fram", 0), 0u) << "unwind tables in " << n;
}

TEST_F(DriverImage, ImportsOnlyWindows98KernelExports)
{
    const std::set<Import> allowed = LoadAllowed(OSLNK_DRIVER_IMAGE_ALLOWED_IMPORTS);
    ASSERT_FALSE(allowed.empty());
    const std::vector<Import> imports = ParseImports(headers_);
    // A driver imports at least these; an empty list would mean the table was not read at all.
    const std::set<Import> seen(imports.begin(), imports.end());
    EXPECT_TRUE(seen.contains({"ntoskrnl.exe", "IoCreateDevice"}));
    EXPECT_TRUE(seen.contains({"ntoskrnl.exe", "IofCallDriver"}));
    for (const auto& [module, function] : Disallowed(imports, allowed)) {
        ADD_FAILURE() << "import not available on Windows 98: " << module << "!" << function;
    }
}

// The parser and the allowed list must be able to say no, or the image check would pass anything.
TEST(ImportCheck, FlagsNtOnlyAndForeignImports)
{
    const std::string dump =
        "The Import Tables (interpreted .idata section contents)\n"
        " vma:            Hint    Time      Forward  DLL       First\n"
        "                 Table   Stamp     Chain    Name      Thunk\n"
        " 0000a000       0000a03c 00000000 00000000 0000a408 0000a0c4\n"
        "\n"
        "\tDLL Name: ntoskrnl.exe\n"
        "\tvma:  Hint/Ord Member-Name Bound-To\n"
        "\ta198\t  116  ExAllocatePoolWithTag\n"
        "\ta1b0\t  139  MmGetSystemAddressForMdlSafe\n"
        "\n"
        "\tDLL Name: KERNEL32.dll\n"
        "\ta400\t   21  CreateFileA\n"
        "\n"
        "\tDLL Name: HAL.dll\n"
        "\ta170\t   95  KfAcquireSpinLock\n"
        "\n";
    const std::vector<Import> imports = ParseImports(dump);
    ASSERT_EQ(imports.size(), 4u);
    EXPECT_EQ(imports[0], Import("ntoskrnl.exe", "ExAllocatePoolWithTag"));
    EXPECT_EQ(imports[3], Import("HAL.dll", "KfAcquireSpinLock"));

    const std::vector<Import> bad = Disallowed(imports, LoadAllowed(OSLNK_DRIVER_IMAGE_ALLOWED_IMPORTS));
    ASSERT_EQ(bad.size(), 2u);
    EXPECT_EQ(bad[0], Import("ntoskrnl.exe", "MmGetSystemAddressForMdlSafe"));
    EXPECT_EQ(bad[1], Import("KERNEL32.dll", "CreateFileA"));
}

TEST(ImportCheck, ReadsHeaderFields)
{
    const std::string dump = "Magic\t\t\t010b\t(PE32)\nSubsystem\t\t00000001\t(NT native)\n";
    EXPECT_EQ(HeaderField(dump, "Subsystem").value_or(""), "00000001\t(NT native)");
    EXPECT_FALSE(HeaderField(dump, "ImageBase").has_value());
}

}  // namespace
