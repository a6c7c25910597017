// The routing-netlink socket of the events unit: opening it, reading one
// datagram, interface-name lookups, and the dump requests of a resync.
#ifndef NETLIB_EVENTS_SOCKET_H
#define NETLIB_EVENTS_SOCKET_H

#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>

#include "netlib_events_decode.h"
#include "pelk_network_utils_core.h"

namespace netlib
{
namespace nlsock
{

// One datagram, read whole or not at all. The kernel sends link messages of
// about 1.5 KiB; a dump reply is never longer than the buffer it is read
// into, unless a single message does not fit.
constexpr std::size_t kDatagramBytes = std::size_t{16} * 1024;

// Lives on the caller's stack; never zeroed, only the bytes read are looked at.
struct datagram_buffer {
    alignas(nlmsghdr) unsigned char bytes[kDatagramBytes];
};

// Helpers return 0 or a positive errno value.

// A socket bound to the multicast groups, with a deep receive queue.
[[nodiscard]] int open_event_socket(unsigned int groups, int& fd);

// One recv (MSG_TRUNC added to flags). 0 with size set (0 for an empty
// datagram); EAGAIN when nothing is queued, EINTR; EMSGSIZE for a datagram
// longer than the buffer, which is dropped undecoded; else recv's errno.
[[nodiscard]] int read_datagram(int fd, int flags, datagram_buffer& buffer, std::size_t& size);

// Names through the socket an event came from (SIOCGIFNAME): ENODEV, an
// interface already gone, leaves the name empty; any other failure falls
// back to if_indextoname. fd must outlive the setup.
decode::setup socket_setup(int& fd, unsigned int extras);
// Names through if_indextoname alone, as the first release decoded.
decode::setup system_setup();

// Joins (or, with join false, leaves) the multicast groups in the
// RTNLGRP_* mask, one by one. 0 or the errno of the first refusal.
[[nodiscard]] int change_membership(int fd, unsigned long long groups, bool join);

// Reads one datagram without waiting and decodes it into events. 0 (also for
// an empty datagram), or the errno of read_datagram or decode_datagram.
// extras as in decode::setup.
int receive_events(int fd, pelk::network::event_list& events, unsigned int extras = 0);

// What a dump asks for.
struct dump_request {
    std::uint16_t type;
    std::size_t body_bytes;
    unsigned char family;
};
extern const dump_request kLinkDump;      // every link
extern const dump_request kAddressDump;   // every IPv4 address
extern const dump_request kAddress6Dump;  // every IPv6 address

// A short-lived socket for dumps, so the replies never mix with the
// notifications queued on the subscription socket.
class dump_socket
{
public:
    dump_socket() = default;
    ~dump_socket();
    dump_socket(const dump_socket&) = delete;
    dump_socket& operator=(const dump_socket&) = delete;

    [[nodiscard]] int open();
    // Takes the messages of a dump, one by one; reset starts an attempt
    // afresh. take returns 0 or an errno that ends the dump.
    class sink
    {
    public:
        virtual void reset() = 0;
        virtual int take(const unsigned char* msg) = 0;

    protected:
        ~sink() = default;
    };

    // One consistent snapshot into to: a dump that a concurrent change
    // interrupted is asked for again, up to 5 more times (then EBUSY).
    // ETIMEDOUT when the kernel does not answer within 5 s; EMSGSIZE for a
    // reply datagram longer than the buffer. to holds the last attempt's
    // messages, also on failure.
    [[nodiscard]] int dump(const dump_request& what, sink& to);
    // The same, decoded into events (cleared first).
    int dump(const dump_request& what, pelk::network::event_list& events, unsigned int extras);

private:
    [[nodiscard]] int run_once(const dump_request& what, bool& interrupted, sink& to);

    int fd_ = -1;
    std::uint32_t port_ = 0;
    std::uint32_t seq_ = 0;
};

}  // namespace nlsock
}  // namespace netlib

#endif
