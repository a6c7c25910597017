// Validators and text helpers of the standalone host.
#include <gtest/gtest.h>
#include <pelk/utils.h>

#include <string>
#include <vector>

#include "host_impl.h"

using pelk::utils::ipv4_address_valid;
using pelk::utils::ipv4_netmask_valid;

namespace
{

// Texts no flag makes acceptable, many of them forms inet_aton takes.
const std::vector<std::string> kMalformed = {
    "",           "1",         "1.2.3",      "0x7f.1.1.1", "010.1.1.1", " 1.2.3.4",   "1.2.3.4 ",
    "256.1.1.1",  "1.2.3.4.5", "1.2.3.4\n",  "1.2.3.4\r",  "\n1.2.3.4", "1.2.3.",     ".1.2.3",
    "1..2.3",     "+1.2.3.4",  "1.-2.3.4",   "1.2.3.04",   "00.1.2.3",  "1.2.3.256",  "1.2.3.1000",
    "1.2.3.0004", "a.b.c.d",   "1.2.3.4/24", "1,2,3,4",    "1.2.3.4.",  "0x01.2.3.4", "1. 2.3.4",
    "\t1.2.3.4",  "127.1",     "4294967295", "1.2.3.4a",   "٣.1.1.1",
};

TEST(HostValidate, MalformedAddressesAreRefusedWhateverTheFlags)
{
    for (const auto& text : kMalformed)
        for (int flags = 0; flags < 4; ++flags)
            EXPECT_FALSE(ipv4_address_valid(text, flags & 1, flags & 2)) << "\"" << text << "\" flags " << flags;
}

TEST(HostValidate, EmbeddedNulIsRefused)
{
    EXPECT_FALSE(ipv4_address_valid(std::string("1.2.3.4\0", 8), false, false));
    EXPECT_FALSE(ipv4_address_valid(std::string("1.2\0.3.4", 8), false, false));
    EXPECT_FALSE(ipv4_netmask_valid(std::string("255.0.0.0\0", 10), false));
}

struct AddressRow {
    const char* text;
    bool plain;         // no flag
    bool unicast_only;  // unicast_only alone
    bool nonzero;       // nonzero alone
};

TEST(HostValidate, AddressFlagsSelectWhatTheyName)
{
    const AddressRow rows[] = {
        {"1.2.3.4", true, true, true},         {"0.0.0.0", true, false, false},
        {"0.1.2.3", true, false, true},        {"10.0.0.1", true, true, true},
        {"127.0.0.1", true, true, true},       {"223.255.255.255", true, true, true},
        {"224.0.0.1", true, false, true},      {"239.255.255.250", true, false, true},
        {"240.0.0.1", true, false, true},      {"255.255.255.255", true, false, true},
        {"192.168.100.200", true, true, true}, {"100.0.0.0", true, true, true},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(ipv4_address_valid(r.text, false, false), r.plain) << r.text;
        EXPECT_EQ(ipv4_address_valid(r.text, true, false), r.unicast_only) << r.text;
        EXPECT_EQ(ipv4_address_valid(r.text, false, true), r.nonzero) << r.text;
        EXPECT_EQ(ipv4_address_valid(r.text, true, true), r.unicast_only && r.nonzero) << r.text;
    }
}

TEST(HostValidate, ParseGivesHostOrderBits)
{
    unsigned int v = 7;
    ASSERT_TRUE(pelk::host_impl::parse_dotted_quad("192.168.1.254", v));
    EXPECT_EQ(v, 0xC0A801FEu);
    ASSERT_TRUE(pelk::host_impl::parse_dotted_quad("0.0.0.0", v));
    EXPECT_EQ(v, 0u);
    v = 7;
    EXPECT_FALSE(pelk::host_impl::parse_dotted_quad("1.2.3", v));
    EXPECT_EQ(v, 7u) << "a refused text leaves the value alone";
}

TEST(HostValidate, NetmasksMustBeContiguous)
{
    const char* good[] = {"255.255.255.255", "255.255.255.0",   "255.255.0.0",   "255.0.0.0",
                          "128.0.0.0",       "255.255.255.252", "255.255.128.0", "254.0.0.0"};
    const char* bad[] = {"255.0.255.0", "0.255.255.255", "255.255.255.1", "255.254.255.0",
                         "1.0.0.0",     "255.255.0.128", "127.0.0.0",     "255.255.255.253"};
    for (const char* m : good) {
        EXPECT_TRUE(ipv4_netmask_valid(m, false)) << m;
        EXPECT_TRUE(ipv4_netmask_valid(m, true)) << m;
    }
    for (const char* m : bad) {
        EXPECT_FALSE(ipv4_netmask_valid(m, false)) << m;
        EXPECT_FALSE(ipv4_netmask_valid(m, true)) << m;
    }
    for (const auto& text : kMalformed)
        EXPECT_FALSE(ipv4_netmask_valid(text, false)) << "\"" << text << "\"";
    EXPECT_FALSE(ipv4_netmask_valid("255.255.255.00", false));
}

TEST(HostValidate, NonzeroFlagRefusesTheEmptyNetmask)
{
    EXPECT_TRUE(ipv4_netmask_valid("0.0.0.0", false));
    EXPECT_FALSE(ipv4_netmask_valid("0.0.0.0", true));
}

TEST(HostText, SplitKeepsEmptyPiecesAndAppends)
{
    std::vector<std::string> out{"kept"};
    pelk::utils::split("a,,b,", ",", out);
    EXPECT_EQ(out, (std::vector<std::string>{"kept", "a", "", "b", ""}));

    out.clear();
    pelk::utils::split("x<>y<>z", "<>", out);
    EXPECT_EQ(out, (std::vector<std::string>{"x", "y", "z"}));

    out.clear();
    pelk::utils::split("", ",", out);
    EXPECT_EQ(out, (std::vector<std::string>{""}));

    out.clear();
    pelk::utils::split("a,b", "", out);
    EXPECT_EQ(out, (std::vector<std::string>{"a,b"}));

    out.clear();
    pelk::utils::split("nosep", ";", out);
    EXPECT_EQ(out, (std::vector<std::string>{"nosep"}));
}

TEST(HostText, TrimStripsAllWhiteSpaceInPlace)
{
    std::string s = " \t\r\n\v\f a b \f\v\n\r\t ";
    std::string& r = pelk::utils::trim(s);
    EXPECT_EQ(&r, &s);
    EXPECT_EQ(s, "a b");

    std::string blank = " \t\n ";
    EXPECT_EQ(pelk::utils::trim(blank), "");
    std::string empty;
    EXPECT_EQ(pelk::utils::trim(empty), "");
    std::string inner = "x\ty";
    EXPECT_EQ(pelk::utils::trim(inner), "x\ty");
}

TEST(HostText, FormatHandlesLongOutput)
{
    EXPECT_EQ(pelk::utils::format("%s-%d-%02x", "ab", -5, 10), "ab--5-0a");
    std::string big(1000, 'q');
    EXPECT_EQ(pelk::utils::format("<%s>", big.c_str()), "<" + big + ">");
    EXPECT_EQ(pelk::utils::format("%s", ""), "");
}

}  // namespace
