// The conversions between JSON and the host's Variant: the start-up
// configuration file and event payloads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "json_convert.h"

namespace
{

using pelk::variant::Variant;
using pelk::variant::VariantType;

class ConfigFile : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (!path_.empty())
            unlink(path_.c_str());
    }

    bool read(const std::string& text, Variant& config, std::string& why)
    {
        char name[] = "/tmp/netlibctl-config-XXXXXX";
        int fd = mkstemp(name);
        path_ = name;
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
        return netlibctl::read_config(path_, config, why);
    }

    std::string path_;
};

TEST_F(ConfigFile, ObjectsBecomeMembersInFileOrderWithTheirKinds)
{
    Variant config;
    std::string why;
    ASSERT_TRUE(read(R"({"statik": {"netmask": "255.255.255.0", "ip": "10.20.30.40"},
                         "dhcp": {"status": 0, "big": 18446744073709551615, "edge": 9223372036854775807,
                                  "negative": -3},
                         "enabled": true})",
                     config, why))
        << why;
    ASSERT_TRUE(config.IsObject());
    ASSERT_EQ(config.Size(), 3u);
    EXPECT_EQ(config.KeyAt(0), "statik");
    EXPECT_EQ(config.KeyAt(1), "dhcp");
    EXPECT_EQ(config.ValueAt(0).KeyAt(0), "netmask");

    const Variant* ip = config.GetKeyChain(pelk::variant::VT_STRING, "statik/ip", true);
    ASSERT_NE(ip, nullptr);
    EXPECT_EQ(ip->AsString(), "10.20.30.40");

    const Variant* status = config.GetKeyChain(pelk::variant::VT_INTEGER, "dhcp/status", true);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->GetType(), pelk::variant::VT_INT64);
    EXPECT_EQ(static_cast<long long>(*status), 0);

    const Variant* big = config.GetKeyChain(pelk::variant::VT_INTEGER, "dhcp/big", true);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->GetType(), pelk::variant::VT_UINT64);
    EXPECT_EQ(big->AsUInt64(), 18446744073709551615ull);

    const Variant* edge = config.GetKeyChain(pelk::variant::VT_INTEGER, "dhcp/edge", true);
    ASSERT_NE(edge, nullptr);
    EXPECT_EQ(edge->GetType(), pelk::variant::VT_INT64);
    EXPECT_EQ(edge->AsInt64(), 9223372036854775807ll);

    const Variant* negative = config.GetKeyChain(pelk::variant::VT_INTEGER, "dhcp/negative", true);
    ASSERT_NE(negative, nullptr);
    EXPECT_EQ(negative->AsInt64(), -3);

    const Variant* enabled = config.GetKeyChain(pelk::variant::VT_BOOL, "enabled", true);
    ASSERT_NE(enabled, nullptr);
    EXPECT_TRUE(enabled->AsBool());
}

TEST_F(ConfigFile, ExampleConfigurationsAreAccepted)
{
    for (const char* name : {"network-static.json", "network-dhcp.json"}) {
        SCOPED_TRACE(name);
        Variant config;
        std::string why;
        ASSERT_TRUE(netlibctl::read_config(std::string(EXAMPLES_DIR) + "/" + name, config, why)) << why;
        for (const char* key : {"statik/ip", "statik/netmask", "routes/gateway", "dns/ns1/ip", "dns/ns2/ip",
                                "dhcp/fallbackIP", "dhcp/fallbackNetmask"})
            EXPECT_NE(config.GetKeyChain(pelk::variant::VT_STRING, key, true), nullptr) << key;
        for (const char* key : {"dhcp/status", "dns/ns1/status", "dns/ns2/status"})
            EXPECT_NE(config.GetKeyChain(pelk::variant::VT_INTEGER, key, true), nullptr) << key;
    }
}

TEST(PayloadJson, KeepsMemberOrderAndIntegerKinds)
{
    Variant payload;
    payload["flags"] = static_cast<unsigned char>(128);
    payload["ifindex"] = -1;
    payload["ifaddr"] = "10.9.9.1";
    payload["big"] = 18446744073709551615ull;
    payload["ok"] = true;
    payload["nested"]["inner"] = 7u;
    EXPECT_EQ(netlibctl::variant_to_json(payload).dump(),
              R"({"flags":128,"ifindex":-1,"ifaddr":"10.9.9.1","big":18446744073709551615,"ok":true,)"
              R"("nested":{"inner":7}})");
    EXPECT_TRUE(netlibctl::variant_to_json(Variant()).is_null());
}

}  // namespace
