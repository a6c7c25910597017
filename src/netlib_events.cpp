// netlib_events: the routing-netlink socket, decoding of link and address
// notifications into events, the subscriber registry and dispatch.
#define NETLIB_UNIT "netlib_events.cpp"
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "netlib_private.h"

using pelk::network::event_list;
using pelk::network::event_type;
using pelk::variant::Variant;

namespace
{

constexpr unsigned int kIffUp = 0x1;
constexpr unsigned int kIffLowerUp = 0x10000;
constexpr unsigned int kEventGroups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;  // 17
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
constexpr std::size_t kStackBufferBytes = 8 * 1024;
constexpr std::size_t kLinkHeaderBytes = NLMSG_HDRLEN + sizeof(ifinfomsg);  // 32
constexpr std::size_t kAddrHeaderBytes = NLMSG_HDRLEN + sizeof(ifaddrmsg);  // 24
constexpr std::size_t kNameBufferBytes = 17;
constexpr std::size_t kAddressTextBytes = 40;

static_assert(NLMSG_HDRLEN == 16 && kLinkHeaderBytes == 32 && kAddrHeaderBytes == 24, "rtnetlink layout");

// Result of decoding one message: NoMemory is kept apart from a short
// message so the datagram walk can report it.
enum class Decoded { Ok, TooShort, NoMemory };

// Reads a wire structure from bytes whose alignment is not guaranteed.
template <typename T>
T load(const unsigned char* p)
{
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

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

// strncpy of an attribute payload into the zeroed name buffer, keeping the
// last byte as terminator so the text never runs past the buffer.
void copy_name(char (&name)[kNameBufferBytes], const unsigned char* payload, std::size_t len)
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

// "a.b.c.d" of four network-order bytes.
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

// Eight groups of exactly four lowercase hex digits, nothing compressed.
void format_ipv6(char (&text)[kAddressTextBytes], const unsigned char* bytes)
{
    static const char digits[] = "0123456789abcdef";
    char* out = text;
    for (int i = 0; i < 16; ++i) {
        if (i != 0 && i % 2 == 0)
            *out++ = ':';
        *out++ = digits[bytes[i] >> 4];
        *out++ = digits[bytes[i] & 0xf];
    }
    *out = '\0';
}

// The decoder's names, built once: "address_assigned" would not fit the
// short-string buffer and cost an allocation per event.
const std::string& event_name_of(event_type type)
{
    static const std::string names[] = {
        event_to_string(static_cast<event_type>(0)),
        event_to_string(pelk::network::event_if_down),
        event_to_string(pelk::network::event_if_up),
        event_to_string(pelk::network::event_lower_up),
        event_to_string(pelk::network::event_address_assigned),
        event_to_string(pelk::network::event_address_removed),
    };
    const unsigned int index = static_cast<unsigned int>(type);
    return names[index < sizeof names / sizeof names[0] ? index : 0];
}

event_type classify_link(unsigned int flags)
{
    if ((flags & (kIffUp | kIffLowerUp)) == (kIffUp | kIffLowerUp))
        return pelk::network::event_lower_up;
    if (flags & kIffUp)
        return pelk::network::event_if_up;
    return pelk::network::event_if_down;
}

void append_event(event_list& events, event_type type, Variant& payload)
{
    events.emplace_back(type, std::move(payload));
}

Decoded decode_link(const unsigned char* msg, std::size_t msg_len, event_list& events)
{
    if (msg_len < kLinkHeaderBytes)
        return Decoded::TooShort;
    const ifinfomsg info = load<ifinfomsg>(msg + NLMSG_HDRLEN);

    char name[kNameBufferBytes] = {};
    walk_attributes(msg + kLinkHeaderBytes, msg_len - kLinkHeaderBytes,
                    [&name](unsigned short type, const unsigned char* payload, std::size_t len) {
                        if (type == IFLA_IFNAME)
                            copy_name(name, payload, len);
                    });

    const event_type event = classify_link(info.ifi_flags);
    const std::string& event_name = event_name_of(event);
    Variant payload;
    payload["flags"] = static_cast<unsigned int>(info.ifi_flags);
    payload["ifindex"] = static_cast<int>(info.ifi_index);
    payload["ifname"] = static_cast<const char*>(name);
    payload["type"] = static_cast<unsigned short>(info.ifi_type);
    payload["eventName"] = event_name;
    append_event(events, event, payload);
    return Decoded::Ok;
}

// The address text of an IFA_LOCAL or IFA_ADDRESS payload; a payload shorter
// than the family's address leaves the text empty.
void format_address(char (&text)[kAddressTextBytes], unsigned char family, const unsigned char* bytes, std::size_t len)
{
    if (family == AF_INET && len >= 4)
        format_ipv4(text, bytes);
    else if (family == AF_INET6 && len >= 16)
        format_ipv6(text, bytes);
}

Decoded decode_address(const unsigned char* msg, std::size_t msg_len, unsigned short msg_type, event_list& events)
{
    if (msg_len < kAddrHeaderBytes)
        return Decoded::TooShort;
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
    char name[kNameBufferBytes] = {};
    if (local)
        format_address(text, info.ifa_family, local, local_len);
    else if (address)
        format_address(text, info.ifa_family, address, address_len);

    const event_type event =
        msg_type == RTM_NEWADDR ? pelk::network::event_address_assigned : pelk::network::event_address_removed;
    const std::string& event_name = event_name_of(event);
    Variant payload;
    payload["family"] = info.ifa_family == AF_INET ? "AF_INET" : "AF_INET6";
    payload["flags"] = static_cast<unsigned char>(info.ifa_flags);
    payload["ifaddr"] = static_cast<const char*>(text);
    payload["ifindex"] = static_cast<unsigned int>(info.ifa_index);
    if_indextoname(info.ifa_index, name);  // an index that is gone leaves the name empty
    payload["ifname"] = static_cast<const char*>(name);
    payload["eventName"] = event_name;
    append_event(events, event, payload);
    return Decoded::Ok;
}

Decoded decode_message(const unsigned char* msg, event_list& events)
{
    const nlmsghdr header = load<nlmsghdr>(msg);
    try {
        switch (header.nlmsg_type) {
            case RTM_NEWLINK:
            case RTM_DELLINK:
                return decode_link(msg, header.nlmsg_len, events);
            case RTM_NEWADDR:
            case RTM_DELADDR:
                return decode_address(msg, header.nlmsg_len, header.nlmsg_type, events);
            default:
                return Decoded::Ok;
        }
    } catch (const std::bad_alloc&) {
        return Decoded::NoMemory;
    }
}

// Walks the messages of one datagram of n bytes. Events of the messages
// before a framing fault stay appended.
int walk_datagram(const unsigned char* buf, std::size_t n, event_list& events)
{
    if (n < NLMSG_HDRLEN)
        return -1;
    const std::uint32_t first_len = load<nlmsghdr>(buf).nlmsg_len;
    if (first_len < NLMSG_HDRLEN || first_len > n)
        return -1;

    bool out_of_memory = false;
    std::size_t offset = 0;
    long long remaining = static_cast<long long>(n);
    for (;;) {
        const std::uint32_t len = load<nlmsghdr>(buf + offset).nlmsg_len;
        if (decode_message(buf + offset, events) == Decoded::NoMemory)
            out_of_memory = true;
        const std::size_t step = NLMSG_ALIGN(static_cast<std::size_t>(len));
        remaining -= static_cast<long long>(step);
        if (remaining <= 0)
            break;
        offset += step;
        if (remaining < static_cast<long long>(NLMSG_HDRLEN))
            return -1;
        const std::uint32_t next_len = load<nlmsghdr>(buf + offset).nlmsg_len;
        if (next_len < NLMSG_HDRLEN || next_len > remaining)
            return -1;
    }
    if (out_of_memory) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

// A receive that found nothing to read is not a failure.
int receive_failed()
{
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

// Heap buffer for a datagram that does not fit on the stack.
struct alignas(nlmsghdr) heap_block {
    unsigned char bytes[NLMSG_ALIGNTO];
};

}  // namespace

int nl_open(unsigned int groups)
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    // A deep queue rides out bursts between two service calls; without the
    // privilege to force it, the capped size is still better than the default.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);

    sockaddr_nl addr;
    std::memset(&addr, 0, sizeof addr);
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = groups;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

void nl_close(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

int nl_service(int fd, event_list& events)
{
    // Peek with MSG_TRUNC for the datagram's real length, so that a link
    // message of any size is read whole and never cut.
    alignas(nlmsghdr) unsigned char stack_buf[kStackBufferBytes];
    const ssize_t size = recv(fd, stack_buf, sizeof stack_buf, MSG_DONTWAIT | MSG_PEEK | MSG_TRUNC);
    if (size < 0)
        return receive_failed();
    if (size == 0) {
        recv(fd, stack_buf, sizeof stack_buf, MSG_DONTWAIT);  // drop the empty datagram
        return 0;
    }

    const std::size_t want = static_cast<std::size_t>(size);
    unsigned char* buf = stack_buf;
    std::unique_ptr<heap_block[]> heap;
    if (want > sizeof stack_buf) {
        heap.reset(new (std::nothrow) heap_block[(want + NLMSG_ALIGNTO - 1) / NLMSG_ALIGNTO]);
        if (!heap) {
            errno = ENOMEM;
            return -1;
        }
        buf = heap[0].bytes;
    }
    const ssize_t got = recv(fd, buf, want, MSG_DONTWAIT);
    if (got < 0)
        return receive_failed();
    return walk_datagram(buf, static_cast<std::size_t>(got), events);
}

int nl_event_callback(struct nlmsghdr* msg, event_list& events)
{
    if (!msg)
        return -1;
    const Decoded result = decode_message(static_cast<const unsigned char*>(static_cast<void*>(msg)), events);
    if (result == Decoded::NoMemory)
        errno = ENOMEM;
    return result == Decoded::Ok ? 0 : -1;
}

std::string event_to_string(event_type type)
{
    switch (type) {
        case pelk::network::event_if_down:
            return "if_down";
        case pelk::network::event_if_up:
            return "if_up";
        case pelk::network::event_lower_up:
            return "lower_up";
        case pelk::network::event_address_assigned:
            return "address_assigned";
        case pelk::network::event_address_removed:
            return "address_removed";
    }
    return "n/a";
}

namespace
{

netlib_events_state* state_of(void* ctx)
{
    return static_cast<netlib_context*>(ctx)->events_state;
}

bool check(void* ctx)
{
    if (!ctx) {
        LOG_ERR("library context is null");
        return false;
    }
    const netlib_events_state* state = state_of(ctx);
    if (!state) {
        LOG_ERR("library context is null");
        return false;
    }
    if (!state->initialized) {
        LOG_ERR("library is not initialized");
        return false;
    }
    return true;
}

void release_state(netlib_context* context)
{
    netlib_events_state* state = context->events_state;
    if (!state)
        return;
    nl_close(state->nl_socket);
    delete state;
    context->events_state = nullptr;
}

int receive_into(netlib_events_state* state)
{
    return nl_service(state->nl_socket, state->pending_events);
}

// Marks the dispatch walk for its whole extent, also when a callback throws.
class dispatch_scope
{
public:
    explicit dispatch_scope(netlib_events_state* state) : state_(state) { state_->dispatching = true; }
    ~dispatch_scope()
    {
        state_->dispatching = false;
        state_->dispatch_removed = false;
    }
    dispatch_scope(const dispatch_scope&) = delete;
    dispatch_scope& operator=(const dispatch_scope&) = delete;

private:
    netlib_events_state* state_;
};

// Subscriber-major delivery. The next subscriber is looked up after each
// callback, so callbacks may subscribe and unsubscribe (their own id too);
// one that removed itself gets no further events.
void dispatch(netlib_events_state* state)
{
    if (state->subscribers.empty() || state->pending_events.empty())
        return;
    dispatch_scope scope(state);
    auto it = state->subscribers.begin();
    while (it != state->subscribers.end()) {
        const unsigned int id = it->first;
        const auto subscriber = it->second;
        state->dispatch_id = id;
        state->dispatch_removed = false;
        for (const auto& event : state->pending_events) {
            subscriber.first(event.first, event.second, subscriber.second);
            if (state->dispatch_removed)
                break;
        }
        it = state->subscribers.upper_bound(id);
    }
}

}  // namespace

namespace pelk
{
namespace network
{

bool netlib_libevents_init(void* ctx)
{
    if (!ctx) {
        LOG_ERR("library context is null");
        return false;
    }
    netlib_context* context = static_cast<netlib_context*>(ctx);
    if (!context->front_end_marker) {
        LOG_ERR("netlib: you may not call this function directly");
        return false;
    }
    if (context->events_state && context->events_state->dispatching) {
        LOG_ERR("netlib: not allowed from an event callback");
        return false;
    }
    release_state(context);  // a repeated init must not leak the earlier socket

    netlib_events_state* state = new (std::nothrow) netlib_events_state();
    if (!state) {
        context->events_state = nullptr;
        LOG_ERR("netlib: memory allocation error");
        return false;
    }
    state->nl_socket = -1;
    context->events_state = state;
    state->nl_socket = nl_open(kEventGroups);
    if (state->nl_socket < 0) {
        const int err = errno;
        LOG_ERR("netlib: failed to open netlink socket (%d)", err);
        release_state(context);
        return false;
    }
    state->next_id = 0;
    state->initialized = true;
    return true;
}

bool netlib_libevents_close(void* ctx)
{
    if (!ctx) {
        LOG_ERR("library context is null");
        return false;
    }
    netlib_context* context = static_cast<netlib_context*>(ctx);
    if (!context->front_end_marker) {
        LOG_ERR("netlib: you may not call this function directly");
        return false;
    }
    netlib_events_state* state = context->events_state;
    if (!state || !state->initialized)
        return true;
    if (state->dispatching) {
        LOG_ERR("netlib: not allowed from an event callback");
        return false;
    }
    release_state(context);
    return true;
}

bool netlib_libevents_subscribe(void* ctx, event_callback callback, unsigned int& id, void* user_data)
{
    if (!check(ctx))
        return false;
    if (!callback) {
        LOG_ERR("netlib: invalid callback");
        return false;
    }
    netlib_events_state* state = state_of(ctx);
    // After the counter wrapped, ids still held by live subscribers are skipped.
    unsigned int candidate = state->next_id;
    while (state->subscribers.count(candidate))
        ++candidate;
    try {
        state->subscribers.emplace(candidate, std::make_pair(callback, user_data));
    } catch (const std::bad_alloc&) {
        LOG_ERR("netlib: memory allocation error");
        return false;
    }
    state->next_id = candidate + 1;
    id = candidate;
    return true;
}

bool netlib_libevents_unsubscribe(void* ctx, unsigned int id)
{
    if (!check(ctx))
        return false;
    netlib_events_state* state = state_of(ctx);
    if (state->subscribers.erase(id) && state->dispatching && state->dispatch_id == id)
        state->dispatch_removed = true;
    return true;
}

bool netlib_libevents_service(void* ctx)
{
    if (!check(ctx))
        return false;
    netlib_events_state* state = state_of(ctx);
    if (state->dispatching) {
        LOG_ERR("netlib: not allowed from an event callback");
        return false;
    }
    state->pending_events.clear();
    if (receive_into(state) != 0) {
        LOG_ERR("netlib: failed to receive an event");
        return false;
    }
    dispatch(state);
    return true;
}

}  // namespace network
}  // namespace pelk

bool receive_event(void* ctx)
{
    if (!check(ctx))
        return false;
    netlib_events_state* state = state_of(ctx);
    if (state->dispatching) {
        LOG_ERR("netlib: not allowed from an event callback");
        return false;
    }
    return receive_into(state) == 0;
}
