// Public interface of libpelk_network_utils_core.so.
//
// The host owns a netlib_context, marks it, opens the modules on it and then
// calls the operations below, one call at a time per context. Logging,
// program execution, validation and the Variant value come from the host
// (see pelk/log.h, pelk/utils.h, pelk/variant.h).
#ifndef PELK_NETWORK_UTILS_CORE_H
#define PELK_NETWORK_UTILS_CORE_H

#include <pelk/variant.h>

#include <list>
#include <string>
#include <utility>
#include <vector>

#define NETLIB_API __attribute__((visibility("default")))

struct nlmsghdr;
struct netlib_iface_state;
struct netlib_events_state;

// Host-owned block handed to every operation as void*. The host sets
// front_end_marker to a non-zero value and leaves both state slots null;
// the library fills the slots. On a 32-bit target the block is four
// 32-bit words with events_state the fourth.
struct netlib_context {
    unsigned char front_end_marker;
    netlib_iface_state* iface_state;
    void* host_reserved;  // never read or written by the library
    netlib_events_state* events_state;
};

namespace pelk
{
namespace network
{

// A 32-bit value; event_to_string names any value, known or not.
enum event_type : int {
    event_if_down = 1,
    event_if_up = 2,
    event_lower_up = 3,
    event_address_assigned = 4,
    event_address_removed = 5,
};

typedef std::list<std::pair<event_type, pelk::variant::Variant>> event_list;
typedef void (*event_callback)(event_type type, const pelk::variant::Variant& payload, void* user_data);

// Interface module lifecycle.
NETLIB_API bool netlib_libiface_init(void* ctx);
NETLIB_API bool netlib_libiface_close(void* ctx);

// Interface ioctl operations. Out parameters are written only on success.
NETLIB_API bool netlib_iface_get_flags(void* ctx, const std::string& iface, int& flags);
NETLIB_API bool netlib_iface_set_flags(void* ctx, const std::string& iface, int flags);
NETLIB_API bool netlib_iface_get_address(void* ctx, const std::string& iface, std::string& address);
NETLIB_API bool netlib_iface_get_address(void* ctx, const std::string& iface, unsigned int& address);
NETLIB_API bool netlib_iface_get_netmask(void* ctx, const std::string& iface, std::string& netmask);
NETLIB_API bool netlib_iface_set_mtu(void* ctx, const std::string& iface, int mtu);
NETLIB_API bool netlib_iface_get_link_speed(void* ctx, const std::string& iface, int& speed);
NETLIB_API bool netlib_iface_get_link_duplex(void* ctx, const std::string& iface, int& duplex);
NETLIB_API bool netlib_iface_is_up(void* ctx, const std::string& iface);
NETLIB_API bool netlib_iface_is_running(void* ctx, const std::string& iface);
NETLIB_API bool netlib_iface_set_up(void* ctx, const std::string& iface, bool up);

// Enumeration and the choice of the main interface.
NETLIB_API bool netlib_get_ifaces(void* ctx, std::list<std::string>& names, bool only_up);
NETLIB_API bool netlib_iface_guess_default_iface(void* ctx, std::string& iface);

// Events module.
//
// The kernel queues link and IPv4-address notifications on the module's
// socket until the host reads them; the library never waits or reads on its
// own. Each of the three reading calls below delivers inside the call, on
// the host's thread: subscriber by subscriber in ascending id, each getting
// the events in the order they arrived. None of them, nor init or close, may
// be called from an event callback (refused and logged).
//
// - service reads at most one datagram: a fixed, small amount of work.
// - drain reads and dispatches datagram after datagram, each exactly as
//   service would, until nothing is queued or max_datagrams were read.
// - resync asks the kernel for every link and then every IPv4 address and
//   delivers them as events, so the host can rebuild its picture.
//
// Each datagram is read whole into a 16 KiB buffer, with one system call.
// A false service or drain means a datagram could not be read. The usual
// cause is a queue that overflowed while the host was busy; a datagram longer
// than 16 KiB (the kernel sends none for these groups: link messages are
// about 1.5 KiB) is dropped unread and counts as lost the same way. Either
// way notifications were lost and the host's picture may be stale. To
// recover, drain until it returns true (the older notifications still queued
// are read first), then call resync; notifications read after that only move
// the picture forward.
//
// Nothing throws out of these calls. An exception thrown by a callback ends
// the call: it is logged ("netlib: unexpected exception: ..."), the rest of
// that datagram's deliveries are dropped, the call returns false and the
// module stays usable.
NETLIB_API bool netlib_libevents_init(void* ctx);
NETLIB_API bool netlib_libevents_close(void* ctx);
NETLIB_API bool netlib_libevents_subscribe(void* ctx, event_callback callback, unsigned int& id, void* user_data);
NETLIB_API bool netlib_libevents_unsubscribe(void* ctx, unsigned int id);
NETLIB_API bool netlib_libevents_service(void* ctx);
// Never waits. True when the queue is empty or max_datagrams datagrams were
// read (a datagram that held no event counts too); UINT_MAX reads until
// empty, and 0 reads nothing, dispatches nothing and returns true. False on
// the first datagram that cannot be read ("netlib: failed to receive an
// event"): the datagrams before it were delivered, the rest stay queued.
NETLIB_API bool netlib_libevents_drain(void* ctx, unsigned int max_datagrams);
// Reports the current state, on a short-lived socket of its own so the
// queued notifications stay queued: one event per link (if_down, if_up or
// lower_up by its flags now; the payload as for a notification), then one
// address_assigned per IPv4 address. The links are dispatched as one batch
// in the kernel's order, then the addresses as another. A dump that a
// concurrent change interrupted is asked for again (up to 5 more times), so
// each batch is one consistent snapshot. Waits only for the kernel's answer
// (at most 5 s per reply datagram). On failure it logs "netlib: failed to
// resynchronise" with the error number (EBUSY: still interrupted after the
// retries; ETIMEDOUT: no answer; EMSGSIZE: a reply datagram longer than
// 16 KiB, which only a single oversized message could cause) and returns
// false, after delivering the events of the batch it had reached.
NETLIB_API bool netlib_libevents_resync(void* ctx);
NETLIB_API int netlib_libevents_fd(void* ctx);

// Network configuration.
NETLIB_API bool netlib_netm_connect(void* ctx, const std::string& iface);
NETLIB_API bool netlib_netm_disconnect(void* ctx, const std::string& iface);
NETLIB_API bool netlib_netm_configure_interface(void* ctx, const std::string& iface);
NETLIB_API bool netlib_netm_flush_iface(void* ctx, const std::string& iface);
NETLIB_API bool netlib_netm_configure_ip_addr(void* ctx, const std::string& iface, const std::string& ip,
                                              const std::string& netmask, const std::string& broadcast);
NETLIB_API bool netlib_netm_configure_routes(void* ctx, const std::string& iface, const std::string& gateway);
// Replaces the resolver file by renaming a complete, flushed temporary file
// over it. When /etc/resolv.conf is a symbolic link, the link is kept and the
// file it names (followed through further links) is replaced, from a
// temporary file in that file's directory; otherwise the temporary file is
// written in /tmp. A link that cannot be followed fails the call and leaves
// everything as it was.
NETLIB_API bool netlib_netm_configure_dns(void* ctx, const std::string& iface,
                                          const std::vector<std::string>& nameservers, const std::string& search);
NETLIB_API bool netlib_netm_configure_dhcp(void* ctx, const std::string& iface);
NETLIB_API bool netlib_netm_configure_static_fallback(void* ctx, const std::string& iface, const std::string& ip,
                                                      const std::string& netmask, const std::string& broadcast);
NETLIB_API bool netlib_netm_is_static_connection(void* ctx, const std::string& iface);
NETLIB_API bool netlib_netm_is_static_fallback_connection(void* ctx, const std::string& iface);
NETLIB_API bool netlib_netm_configure_dhcp(void* ctx, const std::string& iface, const std::string& ip,
                                           const std::string& netmask, const std::string& gateway,
                                           const std::vector<std::string>& nameservers, const std::string& search,
                                           const std::string& broadcast, bool fallback);
NETLIB_API bool netlib_netm_configure_static(void* ctx, const std::string& iface, const std::string& ip,
                                             const std::string& netmask, const std::string& gateway,
                                             const std::vector<std::string>& nameservers, const std::string& search,
                                             const std::string& broadcast, bool fallback);
NETLIB_API bool netlib_netm_init_network(void* ctx, const std::string& iface, const pelk::variant::Variant& config);

}  // namespace network
}  // namespace pelk

// Free netlink functions: no context, no state, no logging. They return -1
// on failure (errno tells why, except for bad framing) and 0 on success.
// nl_service reads one datagram with one recv into a 16 KiB buffer: a longer
// one is consumed undecoded and gives -1 with errno EMSGSIZE; an empty one,
// or none queued (EAGAIN) or an interrupted read (EINTR), gives 0. An
// exception from the Variant gives -1 with errno ENOMEM (allocation failure)
// or ECANCELED (anything else).
NETLIB_API int nl_open(unsigned int groups);
NETLIB_API void nl_close(int& fd);
NETLIB_API int nl_service(int fd, pelk::network::event_list& events);
NETLIB_API int nl_event_callback(struct nlmsghdr* msg, pelk::network::event_list& events);
NETLIB_API std::string event_to_string(pelk::network::event_type type);
NETLIB_API bool receive_event(void* ctx);

#endif
