// The netlink decoder: link and address messages into events with their
// key/value payloads.
#include "netlib_events_decode.h"

#include <arpa/inet.h>
#include <linux/if.h>  // IFF_LOWER_UP: glibc's <net/if.h> stops short of it
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

constexpr std::size_t kLinkHeaderBytes = NLMSG_HDRLEN + sizeof(ifinfomsg);
constexpr std::size_t kAddrHeaderBytes = NLMSG_HDRLEN + sizeof(ifaddrmsg);
constexpr std::size_t kUserOptHeaderBytes = NLMSG_HDRLEN + sizeof(nduseroptmsg);
// Router advertisement options the kernel hands to user space.
constexpr unsigned char kNdOptRdnss = 25;
constexpr unsigned char kNdOptDnssl = 31;
constexpr std::size_t kNdOptHeaderBytes = 8;  // type, length, reserved, lifetime

static_assert(NLMSG_HDRLEN == 16 && kLinkHeaderBytes == 32 && kAddrHeaderBytes == 24 && kUserOptHeaderBytes == 32,
              "rtnetlink layout");

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
    constexpr unsigned int kUpAndLowerUp = IFF_UP | IFF_LOWER_UP;
    if ((flags & kUpAndLowerUp) == kUpAndLowerUp)
        return pelk::network::event_lower_up;
    if (flags & IFF_UP)
        return pelk::network::event_if_up;
    return pelk::network::event_if_down;
}

[[nodiscard]] int decode_link(const unsigned char* msg, std::size_t msg_len, event_list& events)
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

void put_interface(Variant& payload, unsigned int index, const setup& env)
{
    char name[kNameBytes] = {};
    payload["ifindex"] = index;
    env.lookup(env.context, index, name);
    name[kNameBytes - 1] = '\0';
    payload["ifname"] = static_cast<const char*>(name);
}

[[nodiscard]] int decode_address(const unsigned char* msg, std::size_t msg_len, unsigned short msg_type,
                                 const setup& env, event_list& events)
{
    address_message m;
    if (!parse_address_message(msg, msg_len, m))
        return EBADMSG;
    const bool ipv6 = m.info.ifa_family == AF_INET6;
    const bool ipv6_kinds = (env.extras & pelk::network::events_ipv6_addresses) != 0;
    char text[kAddressTextBytes] = {};
    if (m.address)
        format_address(text, m.info.ifa_family, m.address, m.address_len);

    const bool assigned = msg_type == RTM_NEWADDR;
    const event_type event =
        ipv6 && ipv6_kinds
            ? (assigned ? pelk::network::event_ipv6_address_assigned : pelk::network::event_ipv6_address_removed)
            : (assigned ? pelk::network::event_address_assigned : pelk::network::event_address_removed);
    Variant payload;
    payload["family"] = m.info.ifa_family == AF_INET ? "AF_INET" : "AF_INET6";
    payload["flags"] = static_cast<unsigned char>(m.info.ifa_flags);
    payload["ifaddr"] = static_cast<const char*>(text);
    put_interface(payload, m.info.ifa_index, env);
    if (ipv6 && ipv6_kinds) {
        payload["prefixlen"] = static_cast<unsigned char>(m.info.ifa_prefixlen);
        payload["scope"] = scope_name(m.info.ifa_scope);
        payload["tentative"] = (m.flags & IFA_F_TENTATIVE) != 0;
        payload["deprecated"] = (m.flags & IFA_F_DEPRECATED) != 0;
        payload["dadfailed"] = (m.flags & IFA_F_DADFAILED) != 0;
    }
    payload["eventName"] = event_name(event);
    events.emplace_back(event, std::move(payload));
    return 0;
}

std::uint32_t load_be32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

void append_word(std::string& list, const std::string& word)
{
    if (!list.empty())
        list += ' ';
    list += word;
}

// The servers of an RDNSS option, compressed; a link-local one carries the
// interface as its scope ("fe80::1%eth0") so the text works in a resolver
// file as it is.
std::string rdnss_servers(const unsigned char* body, std::size_t len, const char* ifname)
{
    std::string servers;
    for (std::size_t at = 0; at + 16 <= len; at += 16) {
        std::string server = format_ipv6_compressed(body + at);
        if (body[at] == 0xfe && (body[at + 1] & 0xc0) == 0x80 && ifname[0] != '\0')
            server += std::string("%") + ifname;
        append_word(servers, server);
    }
    return servers;
}

bool host_name_byte(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// The names of a DNSSL option, in DNS label form, dotted. A name holding a
// byte no host name has (a space, a line break) is left out whole: hosts
// write these names into resolver files.
std::string dnssl_domains(const unsigned char* body, std::size_t len)
{
    std::string domains, name;
    bool usable = true;
    std::size_t at = 0;
    while (at < len) {
        const unsigned char label = body[at++];
        if (label == 0) {  // the end of a name, or padding
            if (!name.empty() && usable)
                append_word(domains, name);
            name.clear();
            usable = true;
            continue;
        }
        if (label > 63 || label > len - at)
            break;  // compression or a cut label: nothing further is trusted
        if (!name.empty())
            name += '.';
        for (std::size_t i = 0; i < label; ++i, ++at) {
            usable = usable && host_name_byte(body[at]);
            name += static_cast<char>(body[at]);
        }
    }
    return domains;
}

void add_router_event(const unsigned char* option, std::size_t option_len, const std::string& router,
                      unsigned int index, const setup& env, event_list& events)
{
    const bool servers = option[0] == kNdOptRdnss;
    const event_type event = servers ? pelk::network::event_router_nameservers : pelk::network::event_router_domains;
    Variant payload;
    payload["family"] = "AF_INET6";
    put_interface(payload, index, env);
    const std::string ifname = *payload.Find("ifname");  // a copy: members move as members are added
    payload["router"] = router;
    payload["lifetime"] = static_cast<unsigned int>(load_be32(option + 4));
    const unsigned char* body = option + kNdOptHeaderBytes;
    const std::size_t body_len = option_len - kNdOptHeaderBytes;
    if (servers)
        payload["nameservers"] = rdnss_servers(body, body_len, ifname.c_str());
    else
        payload["domains"] = dnssl_domains(body, body_len);
    payload["eventName"] = event_name(event);
    events.emplace_back(event, std::move(payload));
}

// A router advertisement's options as the kernel passes them on: one event
// per name-server or search-domain option; other options are not looked at.
[[nodiscard]] int decode_user_options(const unsigned char* msg, std::size_t msg_len, const setup& env,
                                      event_list& events)
{
    if ((env.extras & pelk::network::events_router_dns) == 0)
        return 0;
    if (msg_len < kUserOptHeaderBytes)
        return EBADMSG;
    const nduseroptmsg info = load<nduseroptmsg>(msg + NLMSG_HDRLEN);
    const std::size_t opts_len = info.nduseropt_opts_len;
    if (info.nduseropt_family != AF_INET6 || opts_len > msg_len - kUserOptHeaderBytes)
        return 0;
    const unsigned char* options = msg + kUserOptHeaderBytes;
    std::string router;
    const std::size_t attrs_at = NLMSG_ALIGN(opts_len);
    if (attrs_at < msg_len - kUserOptHeaderBytes)
        walk_attributes(options + attrs_at, msg_len - kUserOptHeaderBytes - attrs_at,
                        [&router](unsigned short type, const unsigned char* payload, std::size_t len) {
                            if (type == NDUSEROPT_SRCADDR && len >= 16)
                                router = format_ipv6_compressed(payload);
                        });
    for (std::size_t at = 0; at + 2 <= opts_len;) {
        const std::size_t len = std::size_t{options[at + 1]} * 8;
        if (len == 0 || len > opts_len - at)
            break;
        if ((options[at] == kNdOptRdnss || options[at] == kNdOptDnssl) && len >= kNdOptHeaderBytes)
            add_router_event(options + at, len, router, static_cast<unsigned int>(info.nduseropt_ifindex), env, events);
        at += len;
    }
    return 0;
}

}  // namespace

const std::string& event_name(event_type type)
{
    // Built once: "address_assigned" does not fit the short-string buffer
    // and would cost an allocation per event.
    static const std::string kNames[] = {"n/a",
                                         "if_down",
                                         "if_up",
                                         "lower_up",
                                         "address_assigned",
                                         "address_removed",
                                         "ipv6_address_assigned",
                                         "ipv6_address_removed",
                                         "router_nameservers",
                                         "router_domains"};
    const unsigned int index = static_cast<unsigned int>(type);
    return kNames[index < sizeof kNames / sizeof kNames[0] ? index : 0];
}

bool parse_address_message(const unsigned char* msg, std::size_t msg_len, address_message& out)
{
    if (msg_len < kAddrHeaderBytes)
        return false;
    out.info = load<ifaddrmsg>(msg + NLMSG_HDRLEN);
    out.flags = out.info.ifa_flags;
    const unsigned char* address = nullptr;
    std::size_t address_len = 0;
    walk_attributes(msg + kAddrHeaderBytes, msg_len - kAddrHeaderBytes,
                    [&](unsigned short type, const unsigned char* payload, std::size_t len) {
                        if (type == IFA_LOCAL) {
                            out.address = payload;
                            out.address_len = len;
                        } else if (type == IFA_ADDRESS) {
                            address = payload;
                            address_len = len;
                        } else if (type == IFA_FLAGS && len >= 4) {
                            out.flags = load<std::uint32_t>(payload);
                        }
                    });
    if (out.address == nullptr) {
        out.address = address;
        out.address_len = address_len;
    }
    return true;
}

std::string format_ipv6_compressed(const unsigned char* bytes)
{
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, bytes, text, sizeof text);
    return text;
}

std::string scope_name(unsigned char scope)
{
    switch (scope) {
        case RT_SCOPE_UNIVERSE:
            return "global";
        case RT_SCOPE_SITE:
            return "site";
        case RT_SCOPE_LINK:
            return "link";
        case RT_SCOPE_HOST:
            return "host";
        default:
            return std::to_string(scope);
    }
}

[[nodiscard]] int decode_message(const unsigned char* msg, event_list& events, const setup& env)
{
    const nlmsghdr header = load<nlmsghdr>(msg);
    try {
        switch (header.nlmsg_type) {
            case RTM_NEWLINK:
            case RTM_DELLINK:
                return decode_link(msg, header.nlmsg_len, events);
            case RTM_NEWADDR:
            case RTM_DELADDR:
                return decode_address(msg, header.nlmsg_len, header.nlmsg_type, env, events);
            case RTM_NEWNDUSEROPT:
                return decode_user_options(msg, header.nlmsg_len, env, events);
            default:
                return 0;
        }
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

[[nodiscard]] int decode_datagram(const unsigned char* buf, std::size_t n, event_list& events, const setup& env)
{
    bool out_of_memory = false;
    const int framing = for_each_message(buf, n, [&](const unsigned char* msg) {
        if (decode_message(msg, events, env) == ENOMEM)
            out_of_memory = true;
        return true;
    });
    if (framing != 0)
        return framing;
    return out_of_memory ? ENOMEM : 0;
}

}  // namespace decode
}  // namespace netlib
