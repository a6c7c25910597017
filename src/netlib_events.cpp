// netlib_events: the routing-netlink socket, decoding of link and address
// notifications into events, the subscriber registry and dispatch.
#define NETLIB_UNIT "netlib_events.cpp"
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
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
constexpr std::size_t kStackBufferBytes = std::size_t{8} * 1024;
constexpr std::size_t kLinkHeaderBytes = NLMSG_HDRLEN + sizeof(ifinfomsg);  // 32
constexpr std::size_t kAddrHeaderBytes = NLMSG_HDRLEN + sizeof(ifaddrmsg);  // 24
constexpr std::size_t kNameBufferBytes = 17;
constexpr std::size_t kAddressTextBytes = 40;
// A dump interrupted by a concurrent change is asked for again this many times.
constexpr int kDumpRetries = 5;
// The kernel answers a dump request at once; this only bounds a broken peer.
constexpr time_t kDumpReplySeconds = 5;

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

// The name of the interface with that index; empty when there is none. The
// socket the message came from answers with one ioctl, where if_indextoname
// would open and close a socket of its own for every message.
void index_to_name(unsigned int index, int name_fd, char (&name)[kNameBufferBytes])
{
    if (name_fd >= 0) {
        ifreq req;
        std::memset(&req, 0, sizeof req);
        req.ifr_ifindex = static_cast<int>(index);
        if (ioctl(name_fd, SIOCGIFNAME, &req) == 0) {
            copy_name(name, reinterpret_cast<const unsigned char*>(req.ifr_name), sizeof req.ifr_name);
            return;
        }
        if (errno == ENODEV)
            return;  // the interface is already gone
    }
    if_indextoname(index, name);
}

Decoded decode_address(const unsigned char* msg, std::size_t msg_len, unsigned short msg_type, int name_fd,
                       event_list& events)
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
    index_to_name(info.ifa_index, name_fd, name);  // an index that is gone leaves the name empty
    payload["ifname"] = static_cast<const char*>(name);
    payload["eventName"] = event_name;
    append_event(events, event, payload);
    return Decoded::Ok;
}

// name_fd: a socket to look interface names up with, or -1.
Decoded decode_message(const unsigned char* msg, event_list& events, int name_fd = -1)
{
    const nlmsghdr header = load<nlmsghdr>(msg);
    try {
        switch (header.nlmsg_type) {
            case RTM_NEWLINK:
            case RTM_DELLINK:
                return decode_link(msg, header.nlmsg_len, events);
            case RTM_NEWADDR:
            case RTM_DELADDR:
                return decode_address(msg, header.nlmsg_len, header.nlmsg_type, name_fd, events);
            default:
                return Decoded::Ok;
        }
    } catch (const std::bad_alloc&) {
        return Decoded::NoMemory;
    }
}

// Calls visit(message) for each message of a datagram of n bytes, in order,
// until visit returns false. Returns -1 on a framing fault, after visiting
// the messages before it, else 0.
template <typename Visit>
int for_each_message(const unsigned char* buf, std::size_t n, Visit visit)
{
    if (n < NLMSG_HDRLEN)
        return -1;
    const std::uint32_t first_len = load<nlmsghdr>(buf).nlmsg_len;
    if (first_len < NLMSG_HDRLEN || first_len > n)
        return -1;

    std::size_t offset = 0;
    long long remaining = static_cast<long long>(n);
    for (;;) {
        const std::uint32_t len = load<nlmsghdr>(buf + offset).nlmsg_len;
        if (!visit(buf + offset))
            return 0;
        const std::size_t step = NLMSG_ALIGN(static_cast<std::size_t>(len));
        remaining -= static_cast<long long>(step);
        if (remaining <= 0)
            return 0;
        offset += step;
        if (remaining < static_cast<long long>(NLMSG_HDRLEN))
            return -1;
        const std::uint32_t next_len = load<nlmsghdr>(buf + offset).nlmsg_len;
        if (next_len < NLMSG_HDRLEN || next_len > remaining)
            return -1;
    }
}

// Decodes every message of one datagram. Events of the messages before a
// framing fault stay appended.
int walk_datagram(const unsigned char* buf, std::size_t n, int fd, event_list& events)
{
    bool out_of_memory = false;
    const int framed = for_each_message(buf, n, [&](const unsigned char* msg) {
        if (decode_message(msg, events, fd) == Decoded::NoMemory)
            out_of_memory = true;
        return true;
    });
    if (framed != 0)
        return -1;
    if (out_of_memory) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

// What one receive found. A drain stops at QueueEmpty but goes on after a
// datagram that held nothing, so the two are kept apart.
enum class Received { Datagram, QueueEmpty, Interrupted, Failed };

Received receive_error()
{
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return Received::QueueEmpty;
    if (errno == EINTR)
        return Received::Interrupted;
    return Received::Failed;
}

// Heap buffer for a datagram that does not fit on the stack.
struct alignas(nlmsghdr) heap_block {
    unsigned char bytes[NLMSG_ALIGNTO];
};

// Room for one whole datagram: on the stack when it fits, else on the heap,
// kept for the next datagram of a dump.
class datagram_buffer
{
public:
    datagram_buffer() = default;
    datagram_buffer(const datagram_buffer&) = delete;
    datagram_buffer& operator=(const datagram_buffer&) = delete;

    // The size probe copies nothing: MSG_TRUNC reports the whole length.
    unsigned char* probe_area() { return stack_; }
    std::size_t probe_size() const { return 0; }

    // Room for n bytes; its capacity is at least n. Null when out of memory.
    unsigned char* room_for(std::size_t n, std::size_t& capacity)
    {
        if (n <= sizeof stack_) {
            capacity = sizeof stack_;
            return stack_;
        }
        if (n > heap_bytes_) {
            const std::size_t blocks = (n + NLMSG_ALIGNTO - 1) / NLMSG_ALIGNTO;
            heap_.reset(new (std::nothrow) heap_block[blocks]);
            heap_bytes_ = heap_ ? blocks * NLMSG_ALIGNTO : 0;
            if (!heap_)
                return nullptr;
        }
        capacity = heap_bytes_;
        return heap_[0].bytes;
    }

private:
    alignas(nlmsghdr) unsigned char stack_[kStackBufferBytes];
    std::unique_ptr<heap_block[]> heap_;
    std::size_t heap_bytes_ = 0;
};

// Reads the next datagram whole. Its real length is peeked first (MSG_TRUNC),
// so a message of any size is read in one piece and never cut.
Received read_datagram(int fd, int flags, datagram_buffer& buffer, const unsigned char*& data, std::size_t& size)
{
    const ssize_t probed = recv(fd, buffer.probe_area(), buffer.probe_size(), flags | MSG_PEEK | MSG_TRUNC);
    if (probed < 0)
        return receive_error();
    std::size_t capacity = 0;
    unsigned char* room = buffer.room_for(static_cast<std::size_t>(probed), capacity);
    if (!room) {
        errno = ENOMEM;
        return Received::Failed;
    }
    const ssize_t got = recv(fd, room, capacity, flags);
    if (got < 0)
        return receive_error();
    data = room;
    size = static_cast<std::size_t>(got);
    return Received::Datagram;
}

// One non-blocking receive and the walk over its datagram. An empty
// datagram is read and dropped.
Received receive_datagram(int fd, event_list& events)
{
    datagram_buffer buffer;
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    const Received received = read_datagram(fd, MSG_DONTWAIT, buffer, data, size);
    if (received != Received::Datagram || size == 0)
        return received;
    return walk_datagram(data, size, fd, events) == 0 ? Received::Datagram : Received::Failed;
}

// An errno worth reporting, also where a failing call left none.
int failure_errno()
{
    return errno != 0 ? errno : EIO;
}

// What to dump: the request type, the size of its family header and the
// family asked for (the first byte of both ifinfomsg and ifaddrmsg).
struct dump_request {
    std::uint16_t type;
    std::size_t body_bytes;
    unsigned char family;
};

constexpr dump_request kLinkDump{RTM_GETLINK, sizeof(ifinfomsg), AF_UNSPEC};
constexpr dump_request kAddressDump{RTM_GETADDR, sizeof(ifaddrmsg), AF_INET};

// A short-lived socket of its own for the dumps, so the replies never mix
// with the notifications queued on the subscription socket.
class dump_socket
{
public:
    dump_socket() = default;
    ~dump_socket() { nl_close(fd_); }
    dump_socket(const dump_socket&) = delete;
    dump_socket& operator=(const dump_socket&) = delete;

    // False with errno set when the socket cannot be made ready.
    bool open()
    {
        fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd_ < 0)
            return false;
        const timeval timeout{kDumpReplySeconds, 0};
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
            return false;
        sockaddr_nl addr;
        std::memset(&addr, 0, sizeof addr);
        addr.nl_family = AF_NETLINK;
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
            return false;
        // The kernel chose the port; every reply must be addressed to it.
        sockaddr_nl local;
        std::memset(&local, 0, sizeof local);
        socklen_t len = sizeof local;
        if (getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0)
            return false;
        if (len < sizeof local || local.nl_family != AF_NETLINK) {
            errno = EAFNOSUPPORT;
            return false;
        }
        port_ = local.nl_pid;
        return true;
    }

    int fd() const { return fd_; }
    std::uint32_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint32_t port_ = 0;
};

// Sent without an address: an unconnected netlink socket talks to the kernel.
bool send_dump_request(int fd, const dump_request& what, std::uint32_t seq)
{
    alignas(nlmsghdr) unsigned char bytes[NLMSG_HDRLEN + sizeof(ifinfomsg)] = {};
    nlmsghdr header;
    std::memset(&header, 0, sizeof header);
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + what.body_bytes);
    header.nlmsg_type = what.type;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = seq;
    std::memcpy(bytes, &header, sizeof header);
    bytes[NLMSG_HDRLEN] = what.family;
    for (;;) {
        const ssize_t sent = send(fd, bytes, header.nlmsg_len, 0);
        if (sent == static_cast<ssize_t>(header.nlmsg_len))
            return true;
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent >= 0)
            errno = EIO;
        return false;
    }
}

// The error number an NLMSG_ERROR or NLMSG_DONE message carries: 0 for none,
// else a positive errno. An error reply without a negative code is an
// acknowledgement nobody asked for, and so a protocol fault too.
int carried_error(const unsigned char* msg, const nlmsghdr& header)
{
    const bool has_code = header.nlmsg_len >= NLMSG_LENGTH(sizeof(int));
    const int code = has_code ? load<int>(msg + NLMSG_HDRLEN) : 0;
    if (header.nlmsg_type == NLMSG_DONE)
        return code < 0 ? -code : 0;
    return code < 0 ? -code : EPROTO;
}

struct dump_progress {
    bool done = false;
    bool interrupted = false;
};

// Takes the messages of one reply datagram that answer request seq on port:
// data messages become events, NLMSG_DONE ends the dump and NLMSG_ERROR
// fails it. Returns false with errno set on a failure.
bool take_reply(const unsigned char* buf, std::size_t n, std::uint32_t seq, std::uint32_t port, dump_progress& progress,
                event_list& events)
{
    int error = 0;
    const int framed = for_each_message(buf, n, [&](const unsigned char* msg) {
        const nlmsghdr header = load<nlmsghdr>(msg);
        if (header.nlmsg_seq != seq || header.nlmsg_pid != port)
            return true;  // not an answer to this request
        if (header.nlmsg_flags & NLM_F_DUMP_INTR)
            progress.interrupted = true;
        switch (header.nlmsg_type) {
            case NLMSG_DONE:
                progress.done = true;
                error = carried_error(msg, header);
                return false;
            case NLMSG_ERROR:
                error = carried_error(msg, header);
                return false;
            default:
                if (decode_message(msg, events) == Decoded::NoMemory) {
                    error = ENOMEM;
                    return false;
                }
                return true;
        }
    });
    if (framed != 0)
        error = EPROTO;
    if (error != 0) {
        errno = error;
        return false;
    }
    return true;
}

// One dump: the request, then its reply datagrams up to NLMSG_DONE.
bool run_dump(const dump_socket& sock, const dump_request& what, std::uint32_t seq, dump_progress& progress,
              event_list& events)
{
    if (!send_dump_request(sock.fd(), what, seq))
        return false;
    datagram_buffer buffer;
    while (!progress.done) {
        const unsigned char* data = nullptr;
        std::size_t size = 0;
        const Received received = read_datagram(sock.fd(), 0, buffer, data, size);
        if (received == Received::Interrupted)
            continue;
        if (received == Received::QueueEmpty) {
            errno = ETIMEDOUT;  // the receive timeout ran out
            return false;
        }
        if (received == Received::Failed)
            return false;
        if (!take_reply(data, size, seq, sock.port(), progress, events))
            return false;
    }
    return true;
}

// Repeats an interrupted dump so that what is delivered is one consistent
// snapshot. events holds the last attempt's events, also on failure.
bool dump_consistently(const dump_socket& sock, const dump_request& what, std::uint32_t& seq, event_list& events)
{
    for (int attempt = 0; attempt <= kDumpRetries; ++attempt) {
        events.clear();
        dump_progress progress;
        if (!run_dump(sock, what, ++seq, progress, events))
            return false;
        if (!progress.interrupted)
            return true;
    }
    errno = EBUSY;  // the configuration kept changing under every attempt
    return false;
}

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
    return receive_datagram(fd, events) == Received::Failed ? -1 : 0;
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

// Calls that read the socket or replace the state would pull the list or the
// registry from under a running dispatch walk: refused from a callback, and
// logged under the refused operation's name.
bool outside_dispatch(const netlib_events_state* state, const char* function)
{
    if (!state->dispatching)
        return true;
    logInternal(NETLIB_MODULE, NETLIB_UNIT, function, __LINE__, PELK_LOG_ERR, 0, 0,
                "netlib: not allowed from an event callback");
    return false;
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

// Dumps one kind of object and dispatches the events as one batch, also
// those of a dump that failed part way. Returns 0 or the error number.
int resync_kind(netlib_events_state* state, const dump_socket& sock, const dump_request& what, std::uint32_t& seq)
{
    event_list events;
    const int error = dump_consistently(sock, what, seq, events) ? 0 : failure_errno();
    state->pending_events.clear();
    state->pending_events.splice(state->pending_events.end(), events);
    dispatch(state);
    return error;
}

// Links first, so a subscriber knows an interface before its addresses.
int resynchronise(netlib_events_state* state)
{
    dump_socket sock;
    if (!sock.open())
        return failure_errno();
    std::uint32_t seq = 0;
    const int error = resync_kind(state, sock, kLinkDump, seq);
    if (error != 0)
        return error;
    return resync_kind(state, sock, kAddressDump, seq);
}

}  // namespace

namespace pelk
{
namespace network
{

bool netlib_libevents_init(void* ctx)
{
    netlib_context* context = netlib::marked_context(ctx, __func__, __LINE__);
    if (context == nullptr)
        return false;
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
    netlib_context* context = netlib::marked_context(ctx, __func__, __LINE__);
    if (context == nullptr)
        return false;
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
    if (!check(ctx) || !outside_dispatch(state_of(ctx), __func__))
        return false;
    netlib_events_state* state = state_of(ctx);
    state->pending_events.clear();
    if (receive_into(state) != 0) {
        LOG_ERR("netlib: failed to receive an event");
        return false;
    }
    dispatch(state);
    return true;
}

bool netlib_libevents_drain(void* ctx, unsigned int max_datagrams)
{
    if (!check(ctx) || !outside_dispatch(state_of(ctx), __func__))
        return false;
    netlib_events_state* state = state_of(ctx);
    unsigned int read = 0;
    while (read < max_datagrams) {
        state->pending_events.clear();
        const Received received = receive_datagram(state->nl_socket, state->pending_events);
        if (received == Received::QueueEmpty)
            return true;
        if (received == Received::Interrupted)
            continue;
        if (received == Received::Failed) {
            LOG_ERR("netlib: failed to receive an event");
            return false;
        }
        ++read;
        dispatch(state);
    }
    return true;
}

bool netlib_libevents_resync(void* ctx)
{
    if (!check(ctx) || !outside_dispatch(state_of(ctx), __func__))
        return false;
    netlib_events_state* state = state_of(ctx);
    const int error = resynchronise(state);
    if (error != 0) {
        LOG_ERRNO(error, "netlib: failed to resynchronise");
        return false;
    }
    return true;
}

}  // namespace network
}  // namespace pelk

bool receive_event(void* ctx)
{
    if (!check(ctx) || !outside_dispatch(state_of(ctx), __func__))
        return false;
    netlib_events_state* state = state_of(ctx);
    return receive_into(state) == 0;
}
