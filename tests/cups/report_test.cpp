// The text the backend gives CUPS: discovery lines that cups-deviced can split whatever the printer sends,
// device URIs that name the same cable after a round trip, and the job arguments it refuses.
#include <gtest/gtest.h>

#include "backend_run.h"
#include "cups_backend/report.h"

namespace ostrolink::cups_backend {
namespace {

using testing::parseDiscoveryLine;

std::vector<std::string> fieldsOf(const DiscoveredPrinter& printer) {
    const DiscoveryLine line = discoveryLine(printer);
    // cups-deviced reads a line with cupsFileGets() into 2048 bytes: 2047 characters, the newline among them.
    EXPECT_LE(line.text.size() + 1, 2047u);
    EXPECT_EQ(line.text.find('\n'), std::string::npos);
    auto fields = parseDiscoveryLine(line.text);
    EXPECT_TRUE(fields) << line.text;
    return fields.value_or(std::vector<std::string>(5));
}

TEST(CupsDiscoveryLine, HostileDeviceIdsStayParseableAndLoseNothingUnmarked) {
    DiscoveredPrinter p;
    p.ref = {"Hanwell \"Q\"", "Laser\\Press", "SN 1/2", ""};
    p.deviceId = "MFG:Hanwell \"Q\";MDL:Laser\\Press;DES:a\nb\rc\x01;";
    p.info = "info \"x\"";
    auto f = fieldsOf(p);
    EXPECT_EQ(f[0], "direct");
    EXPECT_EQ(f[1], "ostrolink://Hanwell%20%22Q%22/Laser%5CPress?serial=SN%201%2F2");
    EXPECT_EQ(f[2], "Hanwell \"Q\" Laser\\Press");
    EXPECT_EQ(f[3], "info \"x\"");
    EXPECT_EQ(f[4], "MFG:Hanwell \"Q\";MDL:Laser\\Press;DES:a?b?c?;");

    // Valid UTF-8 stays, a lone high byte is Latin-1 (0xE8 e-grave), a C1 control is marked.
    p.deviceId = "MFG:Ol\xC3\xA9;MDL:Mod\xE8le\x85;";
    EXPECT_EQ(fieldsOf(p)[4], "MFG:Ol\xC3\xA9;MDL:Mod\xC3\xA8le?;");

    // No MFG or MDL: the printer is still listed, as CUPS names what it cannot identify.
    p.ref = {"", "", "", "1-4.2"};
    p.deviceId = "CMD:PCL;";
    f = fieldsOf(p);
    EXPECT_EQ(f[1], "ostrolink://Unknown/Unknown?location=1-4.2");
    EXPECT_EQ(f[2], "Unknown");

    // Too long for cups-deviced's line: cut after a whole pair, and said so.
    std::string longId;
    for (int i = 0; longId.size() < 3000; ++i) longId += "K" + std::to_string(i) + ":\"v\\" + std::to_string(i) + ";";
    p.deviceId = longId;
    const DiscoveryLine line = discoveryLine(p);
    f = fieldsOf(p);
    EXPECT_TRUE(line.idCut);
    ASSERT_FALSE(f[4].empty());
    EXPECT_EQ(f[4].back(), ';');
    EXPECT_EQ(longId.compare(0, f[4].size(), f[4]), 0);
    EXPECT_GT(line.text.size(), kMaxDiscoveryLine - 40);  // nearly all the room is used
    p.deviceId = std::string(3000, ';');  // pairs of one byte fill the line to its last byte
    fieldsOf(p);

    // Make and model at their longest and escaped throughout, the longest serial number a USB string holds:
    // the URI survives cupsd's 1024-byte "DEVICE_URI=" buffer with the serial number whole, the line fits.
    p.ref = {std::string(300, '"'), std::string(300, '\xE9'), std::string(126, '%'), ""};
    f = fieldsOf(p);
    EXPECT_LE(f[1].size() + std::string_view("DEVICE_URI=").size(), 1023u);
    std::string error;
    const auto named = parseDeviceUri(f[1], error);
    ASSERT_TRUE(named) << error;
    EXPECT_EQ(named->serial, p.ref.serial);
}

TEST(CupsJobArguments, UriRoundTripsAndWhatNamesNoCableIsRefused) {
    const CableRef ref{"A&B/C?", "M%1 2", "S=1&x", ""};
    std::string error;
    const auto back = parseDeviceUri(deviceUri(ref), error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->make, ref.make);
    EXPECT_EQ(back->model, ref.model);
    EXPECT_EQ(back->serial, ref.serial);
    // Make and model come from the printer and may hold a NUL: the backend must still take its own URI.
    EXPECT_TRUE(parseDeviceUri(deviceUri({std::string("Ac\0me", 5), "J\x01", "S1", ""}), error)) << error;

    for (const char* bad : {"usb://Hanwell/LP6?serial=1", "ostrolink://Hanwell/LP6", "ostrolink://H/M?serial=",
                            "ostrolink://H/M?serial=%4", "ostrolink://H/M?serial=a%00b", "ostrolink://H/M?port=1"}) {
        error.clear();
        EXPECT_FALSE(parseDeviceUri(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }

    EXPECT_EQ(parseCopies("1", error), 1);
    EXPECT_EQ(parseCopies("9999", error), 9999);
    for (const char* bad : {"0", "10000", "-1", "2x", "", " 2", "99999999999"}) {
        error.clear();
        EXPECT_FALSE(parseCopies(bad, error)) << bad;
        EXPECT_NE(error.find("copies"), std::string::npos);
    }
}

}  // namespace
}  // namespace ostrolink::cups_backend
