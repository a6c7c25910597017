// The routing-netlink socket of the events unit: every system call the unit
// makes, from opening the socket to the dump requests of a resync.
#include "netlib_events_socket.h"

#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using pelk::network::event_list;

namespace netlib
{
namespace nlsock
{

const dump_request kLinkDump{RTM_GETLINK, sizeof(ifinfomsg), AF_UNSPEC};
const dump_request kAddressDump{RTM_GETADDR, sizeof(ifaddrmsg), AF_INET};
const dump_request kAddress6Dump{RTM_GETADDR, sizeof(ifaddrmsg), AF_INET6};

namespace
{

// A deep queue rides out bursts between two service calls.
constexpr int kReceiveQueueBytes = 4 * 1024 * 1024;
constexpr int kDumpRetries = 5;
// The kernel answers a dump request at once; this only bounds a broken peer.
constexpr time_t kDumpReplySeconds = 5;

[[nodiscard]] int bind_netlink(int fd, unsigned int groups)
{
    sockaddr_nl addr;
    std::memset(&addr, 0, sizeof addr);
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = groups;
    return bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ? 0 : errno;
}

void name_by_index(void*, unsigned int index, char (&name)[decode::kNameBytes])
{
    if_indextoname(index, name);
}

// One ioctl on a socket already open, where if_indextoname would open and
// close a socket of its own for every message.
void name_by_socket(void* context, unsigned int index, char (&name)[decode::kNameBytes])
{
    ifreq req;
    std::memset(&req, 0, sizeof req);
    req.ifr_ifindex = static_cast<int>(index);
    if (ioctl(*static_cast<const int*>(context), SIOCGIFNAME, &req) == 0) {
        std::memcpy(name, req.ifr_name, sizeof req.ifr_name);
        return;
    }
    if (errno != ENODEV)
        if_indextoname(index, name);
}

// An unconnected netlink socket talks to the kernel: no address needed.
[[nodiscard]] int send_dump_request(int fd, const dump_request& what, std::uint32_t seq)
{
    alignas(nlmsghdr) unsigned char bytes[NLMSG_HDRLEN + sizeof(ifinfomsg)] = {};
    nlmsghdr header;
    std::memset(&header, 0, sizeof header);
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + what.body_bytes);
    header.nlmsg_type = what.type;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = seq;
    std::memcpy(bytes, &header, sizeof header);
    bytes[NLMSG_HDRLEN] = what.family;  // first byte of both ifinfomsg and ifaddrmsg
    for (;;) {
        const ssize_t sent = send(fd, bytes, header.nlmsg_len, 0);
        if (sent == static_cast<ssize_t>(header.nlmsg_len))
            return 0;
        if (sent >= 0)
            return EPROTO;
        if (errno != EINTR)
            return errno;
    }
}

// An NLMSG_ERROR without a negative code is an acknowledgement nobody asked
// for, and so a protocol fault too.
[[nodiscard]] int carried_error(const unsigned char* msg, const nlmsghdr& header)
{
    const bool has_code = header.nlmsg_len >= NLMSG_LENGTH(sizeof(int));
    const int code = has_code ? decode::load<int>(msg + NLMSG_HDRLEN) : 0;
    if (header.nlmsg_type == NLMSG_DONE)
        return code < 0 ? -code : 0;
    return code < 0 ? -code : EPROTO;
}

struct dump_progress {
    bool done = false;
    bool interrupted = false;
};

// The messages of one reply datagram that answer request seq on port: data
// messages become events, NLMSG_DONE ends the dump and NLMSG_ERROR fails it.
[[nodiscard]] int take_reply(const unsigned char* buf, std::size_t n, std::uint32_t seq, std::uint32_t port,
                             dump_socket::sink& to, dump_progress& progress)
{
    int error = 0;
    const int framing = decode::for_each_message(buf, n, [&](const unsigned char* msg) {
        const nlmsghdr header = decode::load<nlmsghdr>(msg);
        if (header.nlmsg_seq != seq || header.nlmsg_pid != port)
            return true;
        if (header.nlmsg_flags & NLM_F_DUMP_INTR)
            progress.interrupted = true;
        switch (header.nlmsg_type) {
            case NLMSG_DONE:
                progress.done = true;
                [[fallthrough]];
            case NLMSG_ERROR:
                error = carried_error(msg, header);
                return false;
            default:
                error = to.take(msg);
                return error == 0;
        }
    });
    return framing != 0 ? EPROTO : error;
}

// A dump's messages decoded into events.
class event_sink final : public dump_socket::sink
{
public:
    event_sink(event_list& events, const decode::setup& env) : events_(events), env_(env) {}
    void reset() override { events_.clear(); }
    int take(const unsigned char* msg) override
    {
        return decode::decode_message(msg, events_, env_) == ENOMEM ? ENOMEM : 0;
    }

private:
    event_list& events_;
    decode::setup env_;
};

}  // namespace

int open_event_socket(unsigned int groups, int& fd)
{
    const int opened = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (opened < 0)
        return errno;
    // Without the privilege to force the size, the capped one is still
    // better than the default.
    if (setsockopt(opened, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveQueueBytes, sizeof kReceiveQueueBytes) != 0)
        setsockopt(opened, SOL_SOCKET, SO_RCVBUF, &kReceiveQueueBytes, sizeof kReceiveQueueBytes);
    const int error = bind_netlink(opened, groups);
    if (error != 0) {
        close(opened);
        return error;
    }
    fd = opened;
    return 0;
}

int read_datagram(int fd, int flags, datagram_buffer& buffer, std::size_t& size)
{
    // MSG_TRUNC makes recv report the datagram's real length, so one call
    // both reads it and tells whether it was cut.
    const ssize_t got = recv(fd, buffer.bytes, sizeof buffer.bytes, flags | MSG_TRUNC);
    if (got < 0)
        return errno == EWOULDBLOCK ? EAGAIN : errno;
    if (static_cast<std::size_t>(got) > sizeof buffer.bytes)
        return EMSGSIZE;
    size = static_cast<std::size_t>(got);
    return 0;
}

decode::setup socket_setup(int& fd, unsigned int extras)
{
    return decode::setup{name_by_socket, &fd, extras};
}

decode::setup system_setup()
{
    return decode::setup{name_by_index, nullptr, 0};
}

int change_membership(int fd, unsigned long long groups, bool join)
{
    for (int group = 1; group < 64; ++group) {
        if ((groups & (1ull << group)) == 0)
            continue;
        if (setsockopt(fd, SOL_NETLINK, join ? NETLINK_ADD_MEMBERSHIP : NETLINK_DROP_MEMBERSHIP, &group,
                       sizeof group) != 0)
            return errno;
    }
    return 0;
}

[[nodiscard]] int receive_events(int fd, event_list& events, unsigned int extras)
{
    datagram_buffer buffer;
    std::size_t size = 0;
    const int error = read_datagram(fd, MSG_DONTWAIT, buffer, size);
    if (error != 0 || size == 0)
        return error;
    return decode::decode_datagram(buffer.bytes, size, events, socket_setup(fd, extras));
}

dump_socket::~dump_socket()
{
    if (fd_ >= 0)
        close(fd_);
}

int dump_socket::open()
{
    fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ < 0)
        return errno;
    const timeval timeout{kDumpReplySeconds, 0};
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return errno;
    const int error = bind_netlink(fd_, 0);
    if (error != 0)
        return error;
    // The kernel chose the port; every reply must be addressed to it.
    sockaddr_nl local;
    std::memset(&local, 0, sizeof local);
    socklen_t len = sizeof local;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return errno;
    if (len < sizeof local || local.nl_family != AF_NETLINK)
        return EAFNOSUPPORT;
    port_ = local.nl_pid;
    return 0;
}

int dump_socket::run_once(const dump_request& what, bool& interrupted, sink& to)
{
    const std::uint32_t seq = ++seq_;
    int error = send_dump_request(fd_, what, seq);
    if (error != 0)
        return error;
    datagram_buffer buffer;
    dump_progress progress;
    while (!progress.done) {
        std::size_t size = 0;
        error = read_datagram(fd_, 0, buffer, size);
        if (error == EINTR)
            continue;
        if (error == EAGAIN)
            return ETIMEDOUT;  // the receive timeout ran out
        if (error == 0)
            error = take_reply(buffer.bytes, size, seq, port_, to, progress);
        if (error != 0)
            return error;
    }
    interrupted = progress.interrupted;
    return 0;
}

int dump_socket::dump(const dump_request& what, sink& to)
{
    for (int attempt = 0; attempt <= kDumpRetries; ++attempt) {
        to.reset();
        bool interrupted = false;
        const int error = run_once(what, interrupted, to);
        if (error != 0 || !interrupted)
            return error;
    }
    return EBUSY;  // the configuration kept changing under every attempt
}

int dump_socket::dump(const dump_request& what, event_list& events, unsigned int extras)
{
    event_sink to(events, socket_setup(fd_, extras));
    return dump(what, to);
}

}  // namespace nlsock
}  // namespace netlib
