// The netlink decoder: link and address messages into events with their
// key/value payloads.
#include "netlib_events_decode.h"

#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <new>

using pelk::network::event_list;
using pelk::network::event_type;
using pelk::variant::Variant;

namespace netlib
{
namespace decode
{

namespace
{

constexpr unsigned int kIffUp = 0x1;
constexpr unsigned int kIffLowerUp = 0x10000;
constexpr std::size_t kLinkHeaderBytes = NLMSG_HDRLEN + sizeof(ifinfomsg);
constexpr std::size_t kAddrHeaderBytes = NLMSG_HDRLEN + sizeof(ifaddrmsg);
// The longest text, eight groups of four digits and seven colons, and a NUL.
constexpr std::size_t kAddressTextBytes = 40;

static_assert(NLMSG_HDRLEN == 16 && kLinkHeaderBytes == 32 && kAddrHeaderBytes == 24, "rtnetlink layout");

// Calls visit(type, payload, payload_len) for each well-formed attribute in
// [attrs, attrs + remaining); a malformed attribute ends the walk quietly.
template <typename Visit>
void walk_attributes(const unsigned char* attrs, std::size_t remaining, Visit visit)
{
    while (remaining >= sizeof(rtattr)) {
        const rtattr attr = load<rtattr>(attrs);
        if (attr.rta_len < sizeof(rtattr) || attr.rta_len > remaining)
            return;
        visit(attr.rta_type, attrs + sizeof(rtattr), static_cast<std::size_t>(attr.rta_len - sizeof(rtattr)));
        const std::size_t step = RTA_ALIGN(attr.rta_len);
        if (step > remaining)
            return;
        remaining -= step;
        attrs += step;
    }
}

// strncpy rules, keeping the last byte as terminator so that a name without
// one never runs past the buffer.
void copy_name(char (&name)[kNameBytes], const unsigned char* payload, std::size_t len)
{
    std::memset(name, 0, sizeof name);
    const std::size_t limit = len < sizeof name - 1 ? len : sizeof name - 1;
    for (std::size_t i = 0; i < limit && payload[i] != 0; ++i)
        name[i] = static_cast<char>(payload[i]);
}

char* put_decimal_octet(char* out, unsigned int octet)
{
    if (octet >= 100)
        *out++ = static_cast<char>('0' + octet / 100);
    if (octet >= 10)
        *out++ = static_cast<char>('0' + octet / 10 % 10);
    *out++ = static_cast<char>('0' + octet % 10);
    return out;
}

void format_ipv4(char (&text)[kAddressTextBytes], const unsigned char* bytes)
{
    char* out = text;
    for (int i = 0; i < 4; ++i) {
        if (i != 0)
            *out++ = '.';
        out = put_decimal_octet(out, bytes[i]);
    }
    *out = '\0';
}

// Every group has four lowercase digits; nothing is compressed.
void format_ipv6(char (&text)[kAddressTextBytes], const unsigned char* bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    char* out = text;
    for (int i = 0; i < 16; ++i) {
        if (i != 0 && i % 2 == 0)
            *out++ = ':';
        *out++ = kDigits[bytes[i] >> 4];
        *out++ = kDigits[bytes[i] & 0xf];
    }
    *out = '\0';
}

// A payload shorter than the family's address leaves the text empty.
void format_address(char (&text)[kAddressTextBytes], unsigned char family, const unsigned char* bytes, std::size_t len)
{
    if (family == AF_INET && len >= 4)
        format_ipv4(text, bytes);
    else if (family == AF_INET6 && len >= 16)
        format_ipv6(text, bytes);
}

event_type classify_link(unsigned int flags)
{
    if ((flags & (kIffUp | kIffLowerUp)) == (kIffUp | kIffLowerUp))
        return pelk::network::event_lower_up;
    if (flags & kIffUp)
        return pelk::network::event_if_up;
    return pelk::network::event_if_down;
}

int decode_link(const unsigned char* msg, std::size_t msg_len, event_list& events)
{
    if (msg_len < kLinkHeaderBytes)
        return EBADMSG;
    const ifinfomsg info = load<ifinfomsg>(msg + NLMSG_HDRLEN);

    char name[kNameBytes] = {};
    walk_attributes(msg + kLinkHeaderBytes, msg_len - kLinkHeaderBytes,
                    [&name](unsigned short type, const unsigned char* payload, std::size_t len) {
                        if (type == IFLA_IFNAME)
                            copy_name(name, payload, len);
                    });

    const event_type event = classify_link(info.ifi_flags);
    Variant payload;
    payload["flags"] = static_cast<unsigned int>(info.ifi_flags);
    payload["ifindex"] = static_cast<int>(info.ifi_index);
    payload["ifname"] = static_cast<const char*>(name);
    payload["type"] = static_cast<unsigned short>(info.ifi_type);
    payload["eventName"] = event_name(event);
    events.emplace_back(event, std::move(payload));
    return 0;
}

int decode_address(const unsigned char* msg, std::size_t msg_len, unsigned short msg_type, const name_lookup& lookup,
                   event_list& events)
{
    if (msg_len < kAddrHeaderBytes)
        return EBADMSG;
    const ifaddrmsg info = load<ifaddrmsg>(msg + NLMSG_HDRLEN);

    const unsigned char* address = nullptr;
    std::size_t address_len = 0;
    const unsigned char* local = nullptr;
    std::size_t local_len = 0;
    walk_attributes(msg + kAddrHeaderBytes, msg_len - kAddrHeaderBytes,
                    [&](unsigned short type, const unsigned char* payload, std::size_t len) {
                        if (type == IFA_ADDRESS) {
                            address = payload;
                            address_len = len;
                        } else if (type == IFA_LOCAL) {
                            local = payload;
                            local_len = len;
                        }
                    });

    char text[kAddressTextBytes] = {};
    char name[kNameBytes] = {};
    if (local)
        format_address(text, info.ifa_family, local, local_len);
    else if (address)
        format_address(text, info.ifa_family, address, address_len);

    const event_type event =
        msg_type == RTM_NEWADDR ? pelk::network::event_address_assigned : pelk::network::event_address_removed;
    Variant payload;
    payload["family"] = info.ifa_family == AF_INET ? "AF_INET" : "AF_INET6";
    payload["flags"] = static_cast<unsigned char>(info.ifa_flags);
    payload["ifaddr"] = static_cast<const char*>(text);
    payload["ifindex"] = static_cast<unsigned int>(info.ifa_index);
    lookup.fn(lookup.context, info.ifa_index, name);
    name[kNameBytes - 1] = '\0';
    payload["ifname"] = static_cast<const char*>(name);
    payload["eventName"] = event_name(event);
    events.emplace_back(event, std::move(payload));
    return 0;
}

}  // namespace

const std::string& event_name(event_type type)
{
    // Built once: "address_assigned" does not fit the short-string buffer
    // and would cost an allocation per event.
    static const std::string kNames[] = {"n/a", "if_down", "if_up", "lower_up", "address_assigned", "address_removed"};
    const unsigned int index = static_cast<unsigned int>(type);
    return kNames[index < sizeof kNames / sizeof kNames[0] ? index : 0];
}

int decode_message(const unsigned char* msg, event_list& events, const name_lookup& lookup)
{
    const nlmsghdr header = load<nlmsghdr>(msg);
    try {
        switch (header.nlmsg_type) {
            case RTM_NEWLINK:
            case RTM_DELLINK:
                return decode_link(msg, header.nlmsg_len, events);
            case RTM_NEWADDR:
            case RTM_DELADDR:
                return decode_address(msg, header.nlmsg_len, header.nlmsg_type, lookup, events);
            default:
                return 0;
        }
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int decode_datagram(const unsigned char* buf, std::size_t n, event_list& events, const name_lookup& lookup)
{
    bool out_of_memory = false;
    const int framing = for_each_message(buf, n, [&](const unsigned char* msg) {
        if (decode_message(msg, events, lookup) == ENOMEM)
            out_of_memory = true;
        return true;
    });
    if (framing != 0)
        return framing;
    return out_of_memory ? ENOMEM : 0;
}

}  // namespace decode
}  // namespace netlib
