// Descriptor layouts for the default cable and for other configurations.
#include <gtest/gtest.h>

#include "sim/cable.h"

using namespace sim;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes getDescriptor(Cable& c, uint8_t type, uint8_t index, uint16_t length, ControlStatus expect = ControlStatus::Ack) {
    Bytes buf(length, 0xEE);
    const auto r = c.control({0x80, 6, static_cast<uint16_t>(type << 8 | index), 0, length}, buf);
    EXPECT_EQ(r.status, expect) << "descriptor type " << int(type) << " index " << int(index);
    buf.resize(r.length);
    return buf;
}

// Splits a configuration descriptor into its descriptors, checking the chain of bLength.
std::vector<Bytes> split(const Bytes& d) {
    std::vector<Bytes> out;
    std::size_t pos = 0;
    while (pos < d.size()) {
        const std::size_t len = d[pos];
        if (len < 2 || pos + len > d.size()) {
            ADD_FAILURE() << "broken descriptor chain at " << pos;
            break;
        }
        out.emplace_back(d.begin() + pos, d.begin() + pos + len);
        pos += len;
    }
    return out;
}

}  // namespace

TEST(Descriptors, DefaultDeviceDescriptor) {
    Cable c;
    const Bytes expected = {18, 1, 0x10, 0x01, 0, 0, 0, 64, 0x1B, 0x0F, 0x02, 0x10, 0x00, 0x01, 0, 0, 0, 1};
    EXPECT_EQ(c.deviceDescriptor(), expected);
    EXPECT_EQ(getDescriptor(c, 1, 0, 18), expected);
    EXPECT_EQ(getDescriptor(c, 1, 0, 8), Bytes(expected.begin(), expected.begin() + 8)) << "first 8 bytes only";
    EXPECT_EQ(getDescriptor(c, 1, 0, 64), expected) << "short answer to a longer request";
}

TEST(Descriptors, DefaultConfigurationDescriptor) {
    Cable c;
    const Bytes expected = {
        9, 2, 32, 0, 1, 1, 0, 0x80, 50,        // configuration: one interface, value 1
        9, 4, 2, 0, 2, 0x07, 0x01, 0x02, 0,    // interface 2, alternate 0, two endpoints, printer class
        7, 5, 0x01, 0x02, 64, 0, 0,            // bulk OUT 0x01
        7, 5, 0x81, 0x02, 64, 0, 0,            // bulk IN 0x81
    };
    EXPECT_EQ(c.configurationDescriptor(), expected);
    EXPECT_EQ(getDescriptor(c, 2, 0, 9), Bytes(expected.begin(), expected.begin() + 9));
    EXPECT_EQ(getDescriptor(c, 2, 0, 32 + 16), expected);
    getDescriptor(c, 2, 1, 9, ControlStatus::Stall);  // only one configuration
    getDescriptor(c, 3, 0, 255, ControlStatus::Stall);  // no strings
    getDescriptor(c, 6, 0, 10, ControlStatus::Stall);   // no device qualifier at full speed
}

TEST(Descriptors, SeveralInterfacesAlternatesAndClassDescriptors) {
    CableConfig cfg;
    InterfaceConfig i0;
    i0.number = 0;
    AlternateConfig vendor;
    vendor.interfaceClass = 0xFF;
    vendor.interfaceSubClass = 0;
    vendor.interfaceProtocol = 0;
    vendor.endpoints = {EndpointConfig{0x83, 0x03, 8, 10}};
    i0.alternates = {vendor};
    InterfaceConfig i2;
    i2.number = 2;
    AlternateConfig a0;
    a0.endpoints = {EndpointConfig{0x02, 0x02, 64, 0}};
    a0.classDescriptors = {{5, 0x24, 1, 2, 3}};
    AlternateConfig a1;
    a1.alternateSetting = 1;
    a1.endpoints = {EndpointConfig{0x01, 0x02, 64, 0}, EndpointConfig{0x81, 0x02, 32, 0},
                    EndpointConfig{0x82, 0x03, 16, 1}};
    i2.alternates = {a0, a1};
    cfg.interfaces = {i0, i2};
    cfg.configAttributes = 0x40;
    cfg.trailingDescriptors = {{4, 0x30, 0xAA, 0xBB}};
    Cable c(cfg);

    const Bytes d = c.configurationDescriptor();
    const auto parts = split(d);
    ASSERT_EQ(parts.size(), 1u + 1 + 1 + 1 + 1 + 1 + 1 + 3 + 1);
    EXPECT_EQ(d[2] | d[3] << 8, static_cast<int>(d.size()));
    EXPECT_EQ(d[4], 2) << "bNumInterfaces counts interfaces, not settings";
    EXPECT_EQ(d[7], 0xC0) << "bit 7 always set";
    EXPECT_EQ(parts[1], (Bytes{9, 4, 0, 0, 1, 0xFF, 0, 0, 0}));
    EXPECT_EQ(parts[2], (Bytes{7, 5, 0x83, 0x03, 8, 0, 10}));
    EXPECT_EQ(parts[3], (Bytes{9, 4, 2, 0, 1, 0x07, 0x01, 0x02, 0}));
    EXPECT_EQ(parts[4], (Bytes{5, 0x24, 1, 2, 3})) << "class descriptor before the endpoints";
    EXPECT_EQ(parts[5], (Bytes{7, 5, 0x02, 0x02, 64, 0, 0}));
    EXPECT_EQ(parts[6], (Bytes{9, 4, 2, 1, 3, 0x07, 0x01, 0x02, 0}));
    EXPECT_EQ(parts[8], (Bytes{7, 5, 0x81, 0x02, 32, 0, 0}));
    EXPECT_EQ(parts.back(), (Bytes{4, 0x30, 0xAA, 0xBB}));
}

TEST(Descriptors, LongConfigurationDescriptor) {
    CableConfig cfg;
    for (int i = 0; i < 40; ++i) {
        cfg.interfaces[0].alternates[0].classDescriptors.push_back(Bytes(200, static_cast<uint8_t>(i)));
        cfg.interfaces[0].alternates[0].classDescriptors.back()[0] = 200;
    }
    Cable c(cfg);
    const Bytes& d = c.configurationDescriptor();
    EXPECT_EQ(d.size(), 32u + 40 * 200);
    EXPECT_EQ(d[2] | d[3] << 8, 32 + 40 * 200);
    EXPECT_EQ(split(d).size(), 4u + 40);
    EXPECT_EQ(getDescriptor(c, 2, 0, 0xFFFF), d);
    EXPECT_EQ(getDescriptor(c, 2, 0, 300).size(), 300u);
}

TEST(Descriptors, OtherIdentityAndEndpoint0) {
    CableConfig cfg;
    cfg.vendorId = 0x1234;
    cfg.productId = 0xABCD;
    cfg.bcdDevice = 0x0203;
    cfg.maxPacket0 = 8;
    const Bytes d = buildDeviceDescriptor(cfg);
    EXPECT_EQ(d[7], 8);
    EXPECT_EQ(d[8] | d[9] << 8, 0x1234);
    EXPECT_EQ(d[10] | d[11] << 8, 0xABCD);
    EXPECT_EQ(d[12] | d[13] << 8, 0x0203);
}

TEST(Descriptors, Strings) {
    CableConfig cfg;
    cfg.manufacturer = "Molvex";
    cfg.serialNumber = "A1";
    Cable c(cfg);
    const Bytes& d = c.deviceDescriptor();
    EXPECT_EQ(d[14], 1);
    EXPECT_EQ(d[15], 0) << "no product string";
    EXPECT_EQ(d[16], 2);
    EXPECT_EQ(getDescriptor(c, 3, 0, 255), (Bytes{4, 3, 0x09, 0x04}));
    EXPECT_EQ(getDescriptor(c, 3, 1, 255), (Bytes{14, 3, 'M', 0, 'o', 0, 'l', 0, 'v', 0, 'e', 0, 'x', 0}));
    EXPECT_EQ(getDescriptor(c, 3, 2, 255), (Bytes{6, 3, 'A', 0, '1', 0}));
    getDescriptor(c, 3, 3, 255, ControlStatus::Stall);
}

TEST(Descriptors, InconsistentConfigurationsAreRefused) {
    auto expectBad = [](CableConfig cfg, const char* what) {
        EXPECT_THROW(Cable{cfg}, std::invalid_argument) << what;
    };
    {
        CableConfig cfg;
        cfg.interfaces.push_back(cfg.interfaces[0]);
        expectBad(cfg, "interface twice");
    }
    {
        CableConfig cfg;
        cfg.interfaces[0].alternates.push_back(cfg.interfaces[0].alternates[0]);
        expectBad(cfg, "alternate twice");
    }
    {
        CableConfig cfg;
        cfg.interfaces[0].alternates[0].endpoints.push_back(EndpointConfig{0x80, 2, 64, 0});
        expectBad(cfg, "endpoint 0 in a setting");
    }
    {
        CableConfig cfg;
        cfg.interfaces[0].alternates[0].endpoints.push_back(EndpointConfig{0x01, 2, 64, 0});
        expectBad(cfg, "endpoint twice");
    }
    {
        CableConfig cfg;
        cfg.interfaces[0].alternates[0].classDescriptors = {{7, 0x24, 1}};
        expectBad(cfg, "raw descriptor length lies");
    }
    {
        CableConfig cfg;
        cfg.trailingDescriptors = {{}};
        expectBad(cfg, "empty raw descriptor");
    }
    {
        CableConfig cfg;
        for (int i = 0; i < 300; ++i) cfg.trailingDescriptors.push_back(Bytes(255, 0));
        for (auto& d : cfg.trailingDescriptors) d[0] = 255;
        expectBad(cfg, "over 65535 bytes");
    }
    {
        CableConfig cfg;
        cfg.interfaces.clear();
        expectBad(cfg, "no interface");
    }
    {
        CableConfig cfg;
        cfg.maxPacket0 = 63;
        expectBad(cfg, "endpoint 0 size");
    }
    {
        CableConfig cfg;
        cfg.interfaces[0].alternates.clear();
        expectBad(cfg, "no alternate setting");
    }
}
