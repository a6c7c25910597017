// Decoding of single rtnetlink messages into events and payloads.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include "events_builder.h"
#include "pelk_network_utils_core.h"

using namespace pelk::network;
using pelk::variant::Variant;
using pelk::variant::VariantType;
using namespace evtest;

namespace
{

constexpr unsigned int kUp = 0x1;
constexpr unsigned int kRunning = 0x40;
constexpr unsigned int kLowerUp = 0x10000;
constexpr uint32_t kMissingIndex = 0x7ffffff0;

const Variant& only_payload(const event_list& events)
{
    EXPECT_EQ(1u, events.size());
    return events.front().second;
}

TEST(EventsToString, NamesEachEventAndNaForOthers)
{
    EXPECT_EQ("if_down", event_to_string(event_if_down));
    EXPECT_EQ("if_up", event_to_string(event_if_up));
    EXPECT_EQ("lower_up", event_to_string(event_lower_up));
    EXPECT_EQ("address_assigned", event_to_string(event_address_assigned));
    EXPECT_EQ("address_removed", event_to_string(event_address_removed));
    EXPECT_EQ("n/a", event_to_string(static_cast<event_type>(0)));
    EXPECT_EQ("n/a", event_to_string(static_cast<event_type>(6)));
    EXPECT_EQ("n/a", event_to_string(static_cast<event_type>(-1)));
}

TEST(EventsDecodeLink, PayloadKeysOrderAndTypes)
{
    event_list events;
    ASSERT_EQ(0, decode(Msg::link(RTM_NEWLINK, 7, kUp | kRunning | kLowerUp, 772).name("eth3").bytes(), events));
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(event_lower_up, events.front().first);
    const Variant& p = events.front().second;
    EXPECT_EQ((std::vector<std::string>{"flags", "ifindex", "ifname", "type", "eventName"}), keys_of(p));
    EXPECT_EQ(pelk::variant::VT_UINT32, member(p, "flags").GetType());
    EXPECT_EQ(kUp | kRunning | kLowerUp, member(p, "flags").AsUInt64());
    EXPECT_EQ(pelk::variant::VT_INT32, member(p, "ifindex").GetType());
    EXPECT_EQ(7, member(p, "ifindex").AsInt64());
    EXPECT_EQ(pelk::variant::VT_STRING, member(p, "ifname").GetType());
    EXPECT_EQ("eth3", text_of(p, "ifname"));
    EXPECT_EQ(pelk::variant::VT_UINT16, member(p, "type").GetType());
    EXPECT_EQ(772, member(p, "type").AsInt64());
    EXPECT_EQ(pelk::variant::VT_STRING, member(p, "eventName").GetType());
    EXPECT_EQ("lower_up", text_of(p, "eventName"));
}

TEST(EventsDecodeLink, ClassifiesByUpAndLowerUpOnly)
{
    struct Row {
        uint16_t type;
        unsigned int flags;
        event_type expected;
    } rows[] = {
        {RTM_NEWLINK, 0, event_if_down},
        {RTM_NEWLINK, kRunning, event_if_down},
        {RTM_NEWLINK, kLowerUp, event_if_down},  // lower up without IFF_UP
        {RTM_NEWLINK, kUp, event_if_up},
        {RTM_NEWLINK, kUp | kRunning, event_if_up},
        {RTM_NEWLINK, kUp | kLowerUp, event_lower_up},
        {RTM_DELLINK, kUp, event_if_up},  // a deleted link still up is classified the same way
        {RTM_DELLINK, 0x1002, event_if_down},
    };
    for (const Row& row : rows) {
        event_list events;
        ASSERT_EQ(0, decode(Msg::link(row.type, 3, row.flags).name("v0").bytes(), events));
        ASSERT_EQ(1u, events.size()) << std::hex << row.flags;
        EXPECT_EQ(row.expected, events.front().first) << std::hex << row.flags;
        EXPECT_EQ(event_to_string(row.expected), text_of(events.front().second, "eventName"));
    }
}

TEST(EventsDecodeLink, MissingNameGivesEmptyTextAndOtherKeys)
{
    event_list events;
    const uint32_t mtu = 1500;
    ASSERT_EQ(0, decode(Msg::link(RTM_NEWLINK, 4, 0).attr(IFLA_MTU, &mtu, sizeof mtu).bytes(), events));
    const Variant& p = only_payload(events);
    EXPECT_EQ(5u, p.Size());
    EXPECT_EQ(pelk::variant::VT_STRING, member(p, "ifname").GetType());
    EXPECT_EQ("", text_of(p, "ifname"));
    EXPECT_EQ(4, member(p, "ifindex").AsInt64());
}

TEST(EventsDecodeLink, NameAfterOtherAttributesAndLastNameWins)
{
    event_list events;
    const uint32_t mtu = 9000;
    ASSERT_EQ(
        0,
        decode(
            Msg::link(RTM_NEWLINK, 4, 0).attr(IFLA_MTU, &mtu, sizeof mtu).name("first-long-name").name("br1").bytes(),
            events));
    EXPECT_EQ("br1", text_of(only_payload(events), "ifname"));
}

TEST(EventsDecodeLink, NameIsBoundedWithoutTerminator)
{
    // 20 bytes without a NUL: the text stays within the name buffer.
    const char long_name[20] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j',
                                'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't'};
    event_list events;
    ASSERT_EQ(0, decode(Msg::link(RTM_NEWLINK, 4, 0).attr(IFLA_IFNAME, long_name, sizeof long_name).bytes(), events));
    EXPECT_EQ("abcdefghijklmnop", text_of(only_payload(events), "ifname"));

    // A payload without NUL is cut at the attribute's own length.
    events.clear();
    ASSERT_EQ(0, decode(Msg::link(RTM_NEWLINK, 4, 0).attr(IFLA_IFNAME, "wan0xyz", 4).bytes(), events));
    EXPECT_EQ("wan0", text_of(only_payload(events), "ifname"));
}

TEST(EventsDecodeLink, MalformedAttributeChainsEndQuietly)
{
    struct Row {
        const char* what;
        Bytes tail;
    } rows[] = {
        {"length below header", {2, 0, IFLA_IFNAME, 0, 'x', 0, 0, 0}},
        {"length beyond message", {40, 0, IFLA_IFNAME, 0, 'x', 0, 0, 0}},
        {"three stray bytes", {9, 0, 3}},
    };
    for (const Row& row : rows) {
        event_list events;
        ASSERT_EQ(0, decode(Msg::link(RTM_NEWLINK, 9, kUp).name("ok0").raw(row.tail).bytes(), events)) << row.what;
        ASSERT_EQ(1u, events.size()) << row.what;
        EXPECT_EQ("ok0", text_of(events.front().second, "ifname")) << row.what;
        EXPECT_EQ(event_if_up, events.front().first) << row.what;
    }

    // An attribute whose rounded length overruns the message ends the walk
    // after it has been looked at.
    event_list events;
    Bytes odd = Msg::link(RTM_NEWLINK, 9, 0).bytes();
    const Bytes tail = {7, 0, IFLA_IFNAME, 0, 'a', 'b', 0};
    odd.insert(odd.end(), tail.begin(), tail.end());
    const uint32_t len = static_cast<uint32_t>(odd.size());
    std::memcpy(odd.data(), &len, sizeof len);
    ASSERT_EQ(0, decode(odd, events));
    EXPECT_EQ("ab", text_of(only_payload(events), "ifname"));
}

TEST(EventsDecodeLink, AttributesBeyondNlmsgLenAreNotRead)
{
    // nlmsg_len says 32: the name attribute that follows is outside the message.
    event_list events;
    ASSERT_EQ(0, decode(Msg::link(RTM_NEWLINK, 2, kUp).name("hidden").set_len(32).bytes(), events));
    EXPECT_EQ("", text_of(only_payload(events), "ifname"));
}

TEST(EventsDecodeShort, TooShortForTheFamilyHeader)
{
    event_list events;
    EXPECT_EQ(-1, decode(Msg::link(RTM_NEWLINK, 1, kUp).set_len(31).bytes(), events));
    EXPECT_EQ(-1, decode(Msg::link(RTM_DELLINK, 1, kUp).set_len(16).bytes(), events));
    EXPECT_EQ(-1, decode(Msg::addr(RTM_NEWADDR, AF_INET, 0, 1).set_len(23).bytes(), events));
    EXPECT_EQ(-1, decode(Msg::addr(RTM_DELADDR, AF_INET, 0, 1).set_len(16).bytes(), events));
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(0, decode(Msg::link(RTM_NEWLINK, 1, kUp).set_len(32).bytes(), events));
    EXPECT_EQ(0, decode(Msg::addr(RTM_NEWADDR, AF_INET, 0, 1).set_len(24).bytes(), events));
    EXPECT_EQ(2u, events.size());
}

TEST(EventsDecodeOther, OtherMessageTypesYieldNothing)
{
    event_list events;
    EXPECT_EQ(0, decode(Msg::other(RTM_NEWROUTE, 12).bytes(), events));
    EXPECT_EQ(0, decode(Msg::other(NLMSG_DONE, 4).bytes(), events));
    EXPECT_EQ(0, decode(Msg::other(NLMSG_ERROR, 20).bytes(), events));
    EXPECT_EQ(0, decode(Msg::other(RTM_GETLINK).bytes(), events));
    EXPECT_TRUE(events.empty());
}

TEST(EventsDecodeOther, AppendsAfterExistingEvents)
{
    event_list events;
    Variant marker;
    marker["mine"] = 1;
    events.emplace_back(event_if_up, marker);
    ASSERT_EQ(0, decode(Msg::link(RTM_NEWLINK, 1, 0).bytes(), events));
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(marker, events.front().second);
    EXPECT_EQ(event_if_down, events.back().first);
}

TEST(EventsDecodeAddress, Ipv4PayloadKeysOrderAndTypes)
{
    event_list events;
    ASSERT_EQ(0, decode(Msg::addr(RTM_NEWADDR, AF_INET, 0x80, kMissingIndex).ipv4(IFA_ADDRESS, 192, 168, 1, 20).bytes(),
                        events));
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(event_address_assigned, events.front().first);
    const Variant& p = events.front().second;
    EXPECT_EQ((std::vector<std::string>{"family", "flags", "ifaddr", "ifindex", "ifname", "eventName"}), keys_of(p));
    EXPECT_EQ(pelk::variant::VT_STRING, member(p, "family").GetType());
    EXPECT_EQ("AF_INET", text_of(p, "family"));
    EXPECT_EQ(pelk::variant::VT_UINT8, member(p, "flags").GetType());
    EXPECT_EQ(0x80, member(p, "flags").AsInt64());
    EXPECT_EQ(pelk::variant::VT_STRING, member(p, "ifaddr").GetType());
    EXPECT_EQ("192.168.1.20", text_of(p, "ifaddr"));
    EXPECT_EQ(pelk::variant::VT_UINT32, member(p, "ifindex").GetType());
    EXPECT_EQ(kMissingIndex, member(p, "ifindex").AsUInt64());
    EXPECT_EQ(pelk::variant::VT_STRING, member(p, "ifname").GetType());
    EXPECT_EQ("", text_of(p, "ifname"));  // no interface has that index
    EXPECT_EQ("address_assigned", text_of(p, "eventName"));
}

TEST(EventsDecodeAddress, LocalPreferredOverAddressInEitherOrder)
{
    event_list events;
    ASSERT_EQ(0, decode(Msg::addr(RTM_NEWADDR, AF_INET, 0, kMissingIndex)
                            .ipv4(IFA_ADDRESS, 10, 0, 0, 2)
                            .ipv4(IFA_LOCAL, 10, 0, 0, 1)
                            .bytes(),
                        events));
    ASSERT_EQ(0, decode(Msg::addr(RTM_NEWADDR, AF_INET, 0, kMissingIndex)
                            .ipv4(IFA_LOCAL, 10, 0, 0, 1)
                            .ipv4(IFA_ADDRESS, 10, 0, 0, 2)
                            .bytes(),
                        events));
    ASSERT_EQ(2u, events.size());
    for (const auto& e : events)
        EXPECT_EQ("10.0.0.1", text_of(e.second, "ifaddr"));
}

TEST(EventsDecodeAddress, Ipv4BytesAreUnsignedDecimal)
{
    event_list events;
    ASSERT_EQ(
        0, decode(Msg::addr(RTM_NEWADDR, AF_INET, 0, kMissingIndex).ipv4(IFA_LOCAL, 255, 0, 9, 128).bytes(), events));
    EXPECT_EQ("255.0.9.128", text_of(only_payload(events), "ifaddr"));
}

TEST(EventsDecodeAddress, Ipv6RemovedUncompressedLowercase)
{
    in6_addr fe80{};
    ASSERT_EQ(1, inet_pton(AF_INET6, "fe80::1", &fe80));
    event_list events;
    ASSERT_EQ(
        0,
        decode(Msg::addr(RTM_DELADDR, AF_INET6, 0xc0, kMissingIndex, 64).attr(IFA_ADDRESS, &fe80, sizeof fe80).bytes(),
               events));
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(event_address_removed, events.front().first);
    const Variant& p = events.front().second;
    EXPECT_EQ("AF_INET6", text_of(p, "family"));
    EXPECT_EQ("fe80:0000:0000:0000:0000:0000:0000:0001", text_of(p, "ifaddr"));
    EXPECT_EQ("address_removed", text_of(p, "eventName"));

    in6_addr mixed{};
    ASSERT_EQ(1, inet_pton(AF_INET6, "2001:db8:abcd:12:ff00:a:b0c:ffff", &mixed));
    events.clear();
    ASSERT_EQ(0,
              decode(Msg::addr(RTM_NEWADDR, AF_INET6, 0, kMissingIndex).attr(IFA_ADDRESS, &mixed, 16).bytes(), events));
    EXPECT_EQ("2001:0db8:abcd:0012:ff00:000a:0b0c:ffff", text_of(only_payload(events), "ifaddr"));
}

TEST(EventsDecodeAddress, UnknownFamilyIsNamedInet6WithoutText)
{
    event_list events;
    ASSERT_EQ(0,
              decode(Msg::addr(RTM_NEWADDR, AF_PACKET, 0, kMissingIndex).ipv4(IFA_LOCAL, 1, 2, 3, 4).bytes(), events));
    EXPECT_EQ("AF_INET6", text_of(only_payload(events), "family"));
    EXPECT_EQ("", text_of(only_payload(events), "ifaddr"));
}

TEST(EventsDecodeAddress, MissingOrShortAddressGivesEmptyText)
{
    const uint8_t three[3] = {10, 1, 2};
    const uint8_t eight[8] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0};
    const uint32_t label = 7;
    struct Row {
        const char* what;
        Bytes message;
    } rows[] = {
        {"no address attribute", Msg::addr(RTM_NEWADDR, AF_INET, 0, kMissingIndex).attr(IFA_FLAGS, &label, 4).bytes()},
        {"short IPv4 payload", Msg::addr(RTM_NEWADDR, AF_INET, 0, kMissingIndex).attr(IFA_LOCAL, three, 3).bytes()},
        {"short IPv6 payload", Msg::addr(RTM_NEWADDR, AF_INET6, 0, kMissingIndex).attr(IFA_ADDRESS, eight, 8).bytes()},
        {"short local hides a good address", Msg::addr(RTM_NEWADDR, AF_INET, 0, kMissingIndex)
                                                 .ipv4(IFA_ADDRESS, 10, 0, 0, 2)
                                                 .attr(IFA_LOCAL, three, 3)
                                                 .bytes()},
    };
    for (const Row& row : rows) {
        event_list events;
        ASSERT_EQ(0, decode(row.message, events)) << row.what;
        ASSERT_EQ(1u, events.size()) << row.what;
        EXPECT_EQ("", text_of(events.front().second, "ifaddr")) << row.what;
        EXPECT_EQ(6u, events.front().second.Size()) << row.what;
    }
}

TEST(EventsDecodeAddress, MalformedChainKeepsWhatWasFound)
{
    event_list events;
    ASSERT_EQ(0, decode(Msg::addr(RTM_NEWADDR, AF_INET, 0, kMissingIndex)
                            .ipv4(IFA_ADDRESS, 10, 0, 0, 2)
                            .raw({200, 0, IFA_LOCAL, 0, 9, 9, 9, 9})
                            .bytes(),
                        events));
    EXPECT_EQ("10.0.0.2", text_of(only_payload(events), "ifaddr"));
}

TEST(EventsDecodeAddress, NamesAnExistingInterfaceByIndex)
{
    const unsigned int lo = if_nametoindex("lo");
    ASSERT_NE(0u, lo);
    event_list events;
    ASSERT_EQ(0, decode(Msg::addr(RTM_NEWADDR, AF_INET, 0, lo).ipv4(IFA_LOCAL, 127, 0, 0, 1).bytes(), events));
    EXPECT_EQ("lo", text_of(only_payload(events), "ifname"));
}

}  // namespace
