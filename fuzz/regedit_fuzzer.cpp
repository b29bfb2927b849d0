// Fuzz target: the REGEDIT4 loader.
//
// Properties checked for every input:
//  - a refused text leaves the registry exactly as it was (all or nothing), and the error names a line;
//  - an accepted text exports to REGEDIT4 that loads again into a fresh registry and exports to the very
//    same text (nothing is lost or changed by a save and a load).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "registry/registry.h"

namespace {

// A registry with something in it, so that a half-applied import would show.
void Populate(w98::Registry& r)
{
    const std::string key = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC\\0000";
    r.createKey(key);
    r.setDword(key, "MaxTransferSize", 1024);
    r.setString(key, "Port Name", "KVUSB1", false);
    r.createKey("HKEY_CURRENT_USER\\Software\\Ostrolink");
}

[[noreturn]] void Fail(const char* what, const std::string& a, const std::string& b)
{
    std::fprintf(stderr, "%s\n--- first ---\n%s\n--- second ---\n%s\n", what, a.c_str(), b.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);

    w98::Registry registry;
    Populate(registry);
    const std::string before = registry.exportText();
    if (auto error = registry.importText(text)) {
        if (error->empty()) Fail("refused without a message", text, "");
        const std::string after = registry.exportText();
        if (after != before) Fail("a refused import changed the registry", before, after);
        return 0;
    }

    const std::string saved = registry.exportText();
    w98::Registry again;
    if (auto error = again.importText(saved)) Fail("the registry's own export does not load", saved, *error);
    const std::string resaved = again.exportText();
    if (resaved != saved) Fail("export, load, export changed the text", saved, resaved);
    return 0;
}
