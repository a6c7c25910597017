// The netlink decoder: routing-netlink bytes in, events out. It makes no
// system call and does not log, so a fuzz target can link it with nothing
// but the Variant implementation.
#ifndef NETLIB_EVENTS_DECODE_H
#define NETLIB_EVENTS_DECODE_H

#include <linux/if_addr.h>
#include <linux/netlink.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "pelk_network_utils_core.h"

namespace netlib
{
namespace decode
{

// The interface-name buffer: 15 characters, a terminator and one spare byte.
constexpr std::size_t kNameBytes = 17;

// Writes the name of interface index into name (zeroed by the caller), or
// leaves it empty when there is no such interface. context is the lookup's
// own data.
using name_lookup_fn = void (*)(void* context, unsigned int index, char (&name)[kNameBytes]);

// What a decoding run needs from outside: interface names, and the extras a
// host opted in to (pelk::network::event_extras; 0 decodes as the first
// release did).
struct setup {
    name_lookup_fn lookup;
    void* context;
    unsigned int extras = 0;
};

// "if_down" ... "router_domains"; "n/a" for any other value.
const std::string& event_name(pelk::network::event_type type);

// Reads a wire structure from bytes whose alignment is not guaranteed.
template <typename T>
T load(const unsigned char* p)
{
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Decodes the message at msg, whose nlmsg_len bytes must be readable, into at
// most one event appended to events. Link messages (RTM_NEWLINK, RTM_DELLINK)
// and address messages (RTM_NEWADDR, RTM_DELADDR) give one, IPv6 addresses
// of the IPv6 kinds when those are opted in; opted in, a router's
// name-server and search-domain options (RTM_NEWNDUSEROPT) give one each;
// every other type gives none. Events get their "ifname" from env.
// 0; EBADMSG when the message is shorter than its type's header; ENOMEM when
// the event could not be built (nothing is appended then). Exceptions other
// than std::bad_alloc (from the host's Variant) pass through.
int decode_message(const unsigned char* msg, pelk::network::event_list& events, const setup& env);

// Calls visit(msg) for each message of a datagram of n bytes, in order, until
// visit returns false. 0, or EBADMSG on a framing fault (datagram shorter
// than a header, a length below the header or beyond the bytes left, or
// trailing bytes that cannot hold a message), after visiting the messages
// before it.
template <typename Visit>
[[nodiscard]] int for_each_message(const unsigned char* buf, std::size_t n, Visit visit)
{
    std::size_t offset = 0;
    std::size_t remaining = n;
    for (;;) {
        if (remaining < NLMSG_HDRLEN)
            return EBADMSG;
        const std::uint32_t len = load<nlmsghdr>(buf + offset).nlmsg_len;
        if (len < NLMSG_HDRLEN || len > remaining)
            return EBADMSG;
        if (!visit(buf + offset))
            return 0;
        const std::size_t step = NLMSG_ALIGN(static_cast<std::size_t>(len));
        if (step >= remaining)
            return 0;
        remaining -= step;
        offset += step;
    }
}

// Decodes every message of one datagram of n bytes (n > 0). 0; EBADMSG on a
// framing fault, with the events of the messages before it appended; ENOMEM
// when an event could not be built (the other messages are still decoded).
int decode_datagram(const unsigned char* buf, std::size_t n, pelk::network::event_list& events, const setup& env);

// An address message's header and the attributes the decoder reads.
struct address_message {
    ifaddrmsg info{};
    const unsigned char* address = nullptr;  // the local address (IFA_LOCAL, else IFA_ADDRESS)
    std::size_t address_len = 0;
    std::uint32_t flags = 0;  // IFA_FLAGS when the kernel sent it, else the header's 8 bits
};

// False when the message is shorter than its header.
[[nodiscard]] bool parse_address_message(const unsigned char* msg, std::size_t msg_len, address_message& out);

// The compressed text of an IPv6 address, as ip prints it ("2001:db8::5").
std::string format_ipv6_compressed(const unsigned char* bytes);

// "global", "site", "link", "host", or the number, as ip names a scope.
std::string scope_name(unsigned char scope);

// The longest address text, eight groups of four digits and seven colons,
// and a NUL.
constexpr std::size_t kAddressTextBytes = 40;

}  // namespace decode
}  // namespace netlib

#endif
