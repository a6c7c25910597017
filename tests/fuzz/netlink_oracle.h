// A second, deliberately plain decoder of rtnetlink messages and datagrams,
// written from the wire format only. The netlink fuzz targets compare the
// library's results with it byte for byte: a difference is a finding, not
// just a crash.
#ifndef NETLIB_FUZZ_NETLINK_ORACLE_H
#define NETLIB_FUZZ_NETLINK_ORACLE_H

#include <net/if.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "pelk_network_utils_core.h"

namespace oracle
{

using pelk::network::event_type;
using pelk::variant::Variant;

struct Event {
    event_type type = static_cast<event_type>(0);
    bool link = false;
    // link
    std::uint32_t flags = 0;
    std::int32_t ifindex = 0;
    std::uint16_t arphrd = 0;
    // address
    std::string family;
    std::uint8_t addr_flags = 0;
    std::uint32_t addr_index = 0;
    std::string ifaddr;
    // both
    std::string ifname;
};

inline std::uint32_t u32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint16_t u16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

inline std::size_t align4(std::size_t n)
{
    return (n + 3) & ~static_cast<std::size_t>(3);
}

struct Attr {
    std::uint16_t type;
    const unsigned char* payload;
    std::size_t len;
};

// The attributes of [p, p + remaining) up to the first malformed one.
inline std::vector<Attr> attributes(const unsigned char* p, std::size_t remaining)
{
    std::vector<Attr> out;
    while (remaining >= 4) {
        const std::size_t len = u16(p);
        if (len < 4 || len > remaining)
            break;
        out.push_back({u16(p + 2), p + 4, len - 4});
        if (align4(len) > remaining)
            break;
        remaining -= align4(len);
        p += align4(len);
    }
    return out;
}

inline std::string ipv4_text(const unsigned char* b)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

inline std::string ipv6_text(const unsigned char* b)
{
    std::string out;
    for (int g = 0; g < 8; ++g) {
        char group[6];
        std::snprintf(group, sizeof group, "%s%02x%02x", g ? ":" : "", b[2 * g], b[2 * g + 1]);
        out += group;
    }
    return out;
}

inline std::string address_text(unsigned char family, const Attr& a)
{
    if (family == AF_INET && a.len >= 4)
        return ipv4_text(a.payload);
    if (family == AF_INET6 && a.len >= 16)
        return ipv6_text(a.payload);
    return "";
}

inline event_type classify(std::uint32_t flags)
{
    if ((flags & 0x10001u) == 0x10001u)
        return pelk::network::event_lower_up;
    return (flags & 1u) ? pelk::network::event_if_up : pelk::network::event_if_down;
}

// Decodes the message at msg whose nlmsg_len is trusted to lie inside the
// buffer. Returns the result nl_event_callback must give.
inline int decode(const unsigned char* msg, std::vector<Event>& out)
{
    const std::uint32_t len = u32(msg);
    const std::uint16_t type = u16(msg + 4);
    if (type == 16 || type == 17) {
        if (len < 32)
            return -1;
        Event e;
        e.link = true;
        e.arphrd = u16(msg + 18);
        e.ifindex = static_cast<std::int32_t>(u32(msg + 20));
        e.flags = u32(msg + 24);
        e.type = classify(e.flags);
        for (const Attr& a : attributes(msg + 32, len - 32)) {
            if (a.type != 3)
                continue;
            // At most 16 characters, up to the first NUL.
            std::size_t n = 0;
            while (n < a.len && n < 16 && a.payload[n] != 0)
                ++n;
            e.ifname.assign(reinterpret_cast<const char*>(a.payload), n);
        }
        out.push_back(e);
        return 0;
    }
    if (type == 20 || type == 21) {
        if (len < 24)
            return -1;
        Event e;
        e.type = type == 20 ? pelk::network::event_address_assigned : pelk::network::event_address_removed;
        const unsigned char family = msg[16];
        e.family = family == AF_INET ? "AF_INET" : "AF_INET6";
        e.addr_flags = msg[18];
        e.addr_index = u32(msg + 20);
        const Attr* local = nullptr;
        const Attr* address = nullptr;
        const std::vector<Attr> attrs = attributes(msg + 24, len - 24);
        for (const Attr& a : attrs) {
            if (a.type == 1)
                address = &a;
            else if (a.type == 2)
                local = &a;
        }
        if (local)
            e.ifaddr = address_text(family, *local);
        else if (address)
            e.ifaddr = address_text(family, *address);
        char name[IF_NAMESIZE + 1] = {};
        if (if_indextoname(e.addr_index, name) == nullptr)
            name[0] = '\0';
        e.ifname = name;
        out.push_back(e);
        return 0;
    }
    return 0;
}

// The result nl_service must give for one datagram of n bytes, with the
// events it must append (also those before a framing fault).
inline int walk(const unsigned char* buf, std::size_t n, std::vector<Event>& out)
{
    if (n == 0)
        return 0;
    if (n < 16 || u32(buf) < 16 || u32(buf) > n)
        return -1;
    long long remaining = static_cast<long long>(n);
    const unsigned char* p = buf;
    for (;;) {
        decode(p, out);
        const std::size_t step = align4(u32(p));
        remaining -= static_cast<long long>(step);
        if (remaining <= 0)
            return 0;
        p += step;
        if (remaining < 16)
            return -1;
        const std::uint32_t next = u32(p);
        if (next < 16 || next > remaining)
            return -1;
    }
}

inline std::vector<std::string> keys_of(const Variant& v)
{
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < v.Size(); ++i)
        keys.push_back(v.KeyAt(i));
    return keys;
}

inline const Variant& member(const Variant& v, const char* key)
{
    const Variant* m = v.Find(key);
    FUZZ_CHECK(m != nullptr, std::string("payload lacks ") + key);
    return *m;
}

inline void expect_text(const Variant& v, const char* key, const std::string& want)
{
    const Variant& m = member(v, key);
    FUZZ_CHECK(m.IsString(), key);
    FUZZ_CHECK(m.AsString() == want, std::string(key) + ": \"" + m.AsString() + "\" instead of \"" + want + "\"");
}

inline void expect_number(const Variant& v, const char* key, pelk::variant::VariantType type, unsigned long long bits)
{
    const Variant& m = member(v, key);
    FUZZ_CHECK(m.GetType() == type, std::string(key) + " has type " + Variant::TypeName(m.GetType()));
    FUZZ_CHECK(m.AsUInt64() == bits, key);
}

// One decoded entry of the library against the oracle's event.
inline void compare(const std::pair<event_type, Variant>& got, const Event& want)
{
    FUZZ_CHECK(got.first == want.type, "event type " + std::to_string(got.first));
    const Variant& p = got.second;
    using pelk::variant::VT_INT32;
    using pelk::variant::VT_UINT16;
    using pelk::variant::VT_UINT32;
    using pelk::variant::VT_UINT8;
    if (want.link) {
        FUZZ_CHECK((keys_of(p) == std::vector<std::string>{"flags", "ifindex", "ifname", "type", "eventName"}),
                   "link payload keys");
        expect_number(p, "flags", VT_UINT32, want.flags);
        expect_number(p, "ifindex", VT_INT32, static_cast<unsigned long long>(static_cast<long long>(want.ifindex)));
        expect_text(p, "ifname", want.ifname);
        expect_number(p, "type", VT_UINT16, want.arphrd);
    } else {
        FUZZ_CHECK(
            (keys_of(p) == std::vector<std::string>{"family", "flags", "ifaddr", "ifindex", "ifname", "eventName"}),
            "address payload keys");
        expect_text(p, "family", want.family);
        expect_number(p, "flags", VT_UINT8, want.addr_flags);
        expect_text(p, "ifaddr", want.ifaddr);
        expect_number(p, "ifindex", VT_UINT32, want.addr_index);
        expect_text(p, "ifname", want.ifname);
    }
    expect_text(p, "eventName", event_to_string(want.type));
}

// The entries appended after `before` against the oracle's events.
inline void compare_appended(const pelk::network::event_list& events, std::size_t before,
                             const std::vector<Event>& want)
{
    FUZZ_CHECK(events.size() == before + want.size(),
               std::to_string(events.size() - before) + " events instead of " + std::to_string(want.size()));
    auto it = std::next(events.begin(), static_cast<long>(before));
    for (const Event& e : want)
        compare(*it++, e);
}

}  // namespace oracle

#endif
