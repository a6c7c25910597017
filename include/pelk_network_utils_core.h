// libpelk_network_utils_core: IPv4 network management for embedded Linux
// devices, with IPv6 beside it for hosts that ask for it (since version 1.2).
// The public interface, complete.
//
// USING IT
// The host owns a netlib_context, marks it (front_end_marker non-zero),
// opens the modules it needs on it (netlib_libiface_init, and
// netlib_libevents_init for events) and then calls the operations below.
// Calls on one context must not overlap: the host serialises them, event
// callbacks included. Two contexts share nothing. The library starts no
// thread, keeps no timer and never waits on its own, except where a
// function says so (programs it runs, a resync's dump).
//
// MODULES AND TEARDOWN
// The two modules are independent: each has its own slot in the context,
// its own socket and its own init and close. The events module works
// without the interface module: a host that only listens to events may
// open the events module alone, and it stays usable after the interface
// module is closed. netlib_iface_* and netlib_netm_* need the interface
// module. Tear down by closing the modules in either order:
// netlib_libevents_close and netlib_libiface_close each release only their
// own module's state and set only their own slot back to null, leaving the
// other module open and usable. Once both are closed the context holds no
// state and the host may free or reuse it.
//
// THE HOST
// Logging, program execution, validation and the Variant value come from
// the host process, through link-time symbols the library leaves undefined
// (pelk/log.h, pelk/utils.h, pelk/variant.h); libpelk_host.so is a complete
// implementation of them.
//
// RESULTS AND LOG LINES
// Functions in pelk::network return true on success and false on failure;
// their out parameters are written only on success unless said otherwise.
// Every failure is logged once through logInternal with the module name
// "pelk_network_utils_core", the source file, the name of the function
// that reports it, the source line, level 3 (PELK_LOG_ERR; level 4,
// PELK_LOG_NOTICE, where marked "notice") and an error number (errno where
// marked "with errno", else 0). The lines below give the message and, in
// brackets, the function name logged when it is not the function's own.
// Log texts never change between versions: log readers rely on them.
//
// Lines every guarded operation may log:
//   "library context is null" [check]     ctx is null, or the module the
//                                          operation needs is not open
//   "library is not initialized" [check]  the module's state is not ready
//   "netlib: memory allocation error"     an allocation failed inside
//   "netlib: unexpected exception: WHAT"  a host function threw; no
//                                          exception ever leaves the library
// Guarded: every operation that takes a context, except netlib_get_ifaces
// and the two lifecycle pairs. netlib_iface_* and netlib_netm_* need the
// interface module open; netlib_libevents_* and receive_event the events
// module.
//
// INTERFACE NAMES
// A name must fit the kernel's 16-byte name field whole: names of 16 bytes
// or more, or holding a NUL byte, are refused with "invalid network
// interface" (no ioctl, no program run), since the kernel would cut them and
// act on another interface. The netlib_netm_* operations refuse the empty
// name too; netlib_iface_* pass it to the kernel (ENODEV).
//
// ADDRESSES
// Addresses, netmasks and gateways are dotted-quad texts. Texts checked
// with the host's validators are strict: four decimal numbers 0-255, no
// leading zeros, no spaces.
//
// IPV6 (since version 1.2, version node PELK_NETWORK_UTILS_CORE_1.2)
// Everything IPv6 is additive: a host that calls none of the functions
// marked "since 1.2" sees what it saw before (the same events, payloads,
// results and log lines). IPv6 texts are those inet_pton reads, in any
// form ("2001:db8::5", "2001:0db8:0:0:0:0:0:5"); an address with a prefix
// is "ADDRESS/N" with N 1 to 128 in decimal. The library prints them
// compressed, as ip does, except in the "ifaddr" of events (see below).
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
// the library fills the slots. The block is four pointer-sized words
// (the marker's byte padded to one), events_state the fourth: on 32-bit ARM
// (armhf) 16 bytes, events_state at offset 12; on 64-bit ARM (arm64) and
// x86-64 32 bytes, events_state at offset 24.
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

// What a kernel notification reports. A 32-bit value; event_to_string names
// any value, known or not ("n/a").
//
// Link events come from RTM_NEWLINK and RTM_DELLINK alike and are chosen by
// the link's flags alone:
//   event_if_down   IFF_UP clear: the link is down. A link just created is
//                   down, so its creation reads as if_down; a link deleted
//                   while down too.
//   event_if_up     IFF_UP set, no carrier (IFF_LOWER_UP clear).
//   event_lower_up  IFF_UP and IFF_LOWER_UP set: up with carrier.
// A deletion is not reported as such: it carries the flags the link last
// had. A host that must know reads "ifindex" and the interface list.
// Address events report IPv4 addresses (the module subscribes to no IPv6
// group unless the host opts in; a host's own nl_open may):
//   event_address_assigned   RTM_NEWADDR
//   event_address_removed    RTM_DELADDR
// Since 1.2, only for a host that opted in (netlib_libevents_opt_in); a
// host that did not never gets them, and nl_service and nl_event_callback
// never give them:
//   event_ipv6_address_assigned  RTM_NEWADDR of an IPv6 address (also when
//                                its flags change: tentative to usable, ...)
//   event_ipv6_address_removed   RTM_DELADDR of an IPv6 address
//   event_router_nameservers     a router advertised name servers (RDNSS)
//   event_router_domains         a router advertised search domains (DNSSL)
enum event_type : int {
    event_if_down = 1,
    event_if_up = 2,
    event_lower_up = 3,
    event_address_assigned = 4,
    event_address_removed = 5,
    event_ipv6_address_assigned = 6,
    event_ipv6_address_removed = 7,
    event_router_nameservers = 8,
    event_router_domains = 9,
};

// What a host may opt in to beyond the first release's events, as a mask
// (since 1.2).
//   events_ipv6_addresses  IPv6 address events, and IPv6 addresses in resync
//   events_router_dns      the name servers and search domains routers
//                          advertise (the kernel passes them on as
//                          RTM_NEWNDUSEROPT; it keeps no list of them, so
//                          resync cannot report them)
enum event_extras : unsigned int {
    events_ipv6_addresses = 0x1,
    events_router_dns = 0x2,
};

// Events in arrival order, each with its payload: a Variant object whose
// members, in this order, are
//
// link events (if_down, if_up, lower_up):
//   "flags"      unsigned int    the kernel's 32-bit link flags (ifi_flags,
//                                IFF_LOWER_UP 0x10000 included)
//   "ifindex"    int             the interface index
//   "ifname"     text            the interface name; "" when the message
//                                carried none (bytes as the kernel gave them)
//   "type"       unsigned short  the device type (ARPHRD_*: 1 Ethernet,
//                                772 loopback, ...)
//   "eventName"  text            event_to_string of the event
//
// address events (address_assigned, address_removed):
//   "family"     text            "AF_INET"; any other family reads "AF_INET6"
//   "flags"      unsigned char   the address flags (ifa_flags, IFA_F_*)
//   "ifaddr"     text            the local address: dotted quad for IPv4,
//                                eight groups of four lowercase hex digits
//                                for IPv6 (uncompressed); "" when absent
//   "ifindex"    unsigned int    the interface index
//   "ifname"     text            the interface's name now; "" when it no
//                                longer exists
//   "eventName"  text            event_to_string of the event
//
// IPv6 address events (ipv6_address_assigned, ipv6_address_removed): the
// address events' members, "family" "AF_INET6" and "ifaddr" uncompressed,
// with these before "eventName":
//   "prefixlen"  unsigned char   the prefix length, 0-128
//   "scope"      text            "global", "site", "link", "host", or the
//                                kernel's number as decimal text
//   "tentative"  bool            duplicate detection has not ended yet
//   "deprecated" bool            its preferred lifetime ran out
//   "dadfailed"  bool            duplicate detection found the address in use
//
// router events (router_nameservers, router_domains), one per option:
//   "family"     text            "AF_INET6"
//   "ifindex"    unsigned int    the interface the advertisement came in on
//   "ifname"     text            its name; "" when it no longer exists
//   "router"     text            the router's address, compressed; "" when
//                                the kernel did not say
//   "lifetime"   unsigned int    seconds the router vouches for them; 0
//                                withdraws them
//   "nameservers" text           (router_nameservers) the servers, compressed,
//                                separated by one space; a link-local one as
//                                "fe80::1%IFNAME", ready for a resolver file
//   "domains"    text            (router_domains) the domains, dotted,
//                                separated by one space; a name holding a
//                                byte no host name has is left out
//   "eventName"  text            event_to_string of the event
//
// Integers keep the width and signedness shown (Variant::GetType).
typedef std::list<std::pair<event_type, pelk::variant::Variant>> event_list;

// A subscriber: called on the host's thread, inside the reading call, once
// per event, with the payload by reference (valid during the call only) and
// the user data given at subscription.
typedef void (*event_callback)(event_type type, const pelk::variant::Variant& payload, void* user_data);

// ---- Interface module lifecycle ----

// Opens the interface module on ctx: its state and a control socket
// (AF_INET datagram, close-on-exec). An earlier state of ctx is released
// first (socket closed, configuration records forgotten).
// Logs: "library context is null" (ctx null), "netlib: you may not call
// this function directly" (marker zero), "netlib: memory allocation
// error", "netlib: cannot open dev socket". On failure ctx holds no state.
NETLIB_API bool netlib_libiface_init(void* ctx);
// Closes the module: the socket is closed, the records are forgotten. True
// also when the module was not open (nothing logged); false, with the
// init's first two lines, for a null or unmarked ctx. The events module,
// when open, is left as it is (see MODULES AND TEARDOWN above).
NETLIB_API bool netlib_libiface_close(void* ctx);

// ---- Interface operations (one ioctl each on the module's socket) ----
// Each logs "netlib: ioctl(%X) failed" [do_ioctl], with errno and the
// request number in upper-case hexadecimal (8913 SIOCGIFFLAGS, 8914
// SIOCSIFFLAGS, 8915 SIOCGIFADDR, 891B SIOCGIFNETMASK, 8922 SIOCSIFMTU,
// 8946 SIOCETHTOOL), when the kernel refuses: no such interface (ENODEV), no
// IPv4 address (EADDRNOTAVAIL), no permission (EPERM), no link settings
// (EOPNOTSUPP).

// flags: the kernel's 16-bit interface flags (IFF_*), sign-extended: with
// bit 15 set the value is negative.
NETLIB_API bool netlib_iface_get_flags(void* ctx, const std::string& iface, int& flags);
// Writes the low 16 bits of flags as the interface's flags, every bit: read
// them first, change what is wanted, write them back.
NETLIB_API bool netlib_iface_set_flags(void* ctx, const std::string& iface, int flags);
// The interface's primary IPv4 address as a dotted quad; address is
// replaced whole.
NETLIB_API bool netlib_iface_get_address(void* ctx, const std::string& iface, std::string& address);
// The same address as the kernel keeps it, in network byte order: the first
// number of the dotted quad is the lowest-addressed byte (192.168.1.20 is
// 0x1401A8C0 on a little-endian device); inet_ntoa reads it as it is.
NETLIB_API bool netlib_iface_get_address(void* ctx, const std::string& iface, unsigned int& address);
// The netmask of the primary IPv4 address as a dotted quad.
NETLIB_API bool netlib_iface_get_netmask(void* ctx, const std::string& iface, std::string& netmask);
NETLIB_API bool netlib_iface_set_mtu(void* ctx, const std::string& iface, int mtu);
// speed: the link speed in Mb/s (megabits per second) as the driver reports
// it (ETHTOOL_GSET, speed_hi and speed combined); -1 or 0 when the driver
// does not know it (no carrier, virtual links).
NETLIB_API bool netlib_iface_get_link_speed(void* ctx, const std::string& iface, int& speed);
// duplex: 0 half, 1 full, 255 unknown, as the driver reports it.
NETLIB_API bool netlib_iface_get_link_duplex(void* ctx, const std::string& iface, int& duplex);
// True when the flags could be read and IFF_UP (IFF_RUNNING) is set; a
// failed query and a clear bit both give false.
NETLIB_API bool netlib_iface_is_up(void* ctx, const std::string& iface);
NETLIB_API bool netlib_iface_is_running(void* ctx, const std::string& iface);
// Sets or clears IFF_UP, every other flag written back as read. True at once,
// after one query, when the interface is already as wanted.
NETLIB_API bool netlib_iface_set_up(void* ctx, const std::string& iface, bool up);

// One IPv6 address of an interface (since 1.2).
struct ipv6_address {
    std::string address;         // compressed, as ip prints it
    unsigned int prefix_length;  // 0-128
    std::string scope;           // "global", "site", "link", "host" or the number
    unsigned int flags;          // the kernel's IFA_F_* flags: 0x01 temporary,
                                 // 0x08 dadfailed, 0x20 deprecated, 0x40 tentative,
                                 // 0x80 permanent (set by hand), ...
};
// The interface's IPv6 addresses, in the kernel's order; addresses is
// replaced whole (empty when IPv6 is off there). Read through a routing
// netlink request, not an ioctl. Logs "No such network interface "NAME""
// with errno (ENODEV, or the name refused: "invalid network interface"),
// "netlib: failed to read IPv6 addresses" with errno. Since 1.2.
NETLIB_API bool netlib_iface_get_ipv6_addresses(void* ctx, const std::string& iface,
                                                std::vector<ipv6_address>& addresses);

// ---- Enumeration and the main interface ----

// Appends to names (not emptied first) every interface the kernel lists,
// in its order, once each; with only_up, those with IFF_UP set. Needs no
// context (ctx may be null or unopened). On failure names is unchanged.
// Logs "getifaddrs() failed" with errno.
NETLIB_API bool netlib_get_ifaces(void* ctx, std::list<std::string>& names, bool only_up);
// Chooses the device's main interface among those up: "ap0" when it is
// running and broadcast-capable and not a loopback, else the first such
// interface in the kernel's order. iface is emptied first and holds the
// choice on true; false when none qualifies (nothing logged) or the list
// cannot be read (its line). Notices (level 4): "Failed to get flags for
// interface "NAME"" (that interface is skipped), "More than 1 interface been
// found, choose: 'NAME'" (several qualified, no "ap0").
NETLIB_API bool netlib_iface_guess_default_iface(void* ctx, std::string& iface);

// ---- Events module ----
//
// The kernel queues link and IPv4-address notifications (and those the
// host opted in to) on the module's socket (4 MiB deep) until the host reads them; the library never waits or
// reads on its own. Each of the three reading calls below delivers inside
// the call, on the host's thread: subscriber by subscriber in ascending id,
// each getting the events in the order they arrived. None of them, nor init
// or close, may be called from an event callback: refused, "netlib: not
// allowed from an event callback". A callback may subscribe (the new
// subscriber gets the current events later in the same walk) and
// unsubscribe any id, its own included (it gets no further events).
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
// An exception thrown by a callback ends the call: it is logged ("netlib:
// unexpected exception: ..."), the rest of that datagram's deliveries are
// dropped, the call returns false and the module stays usable.

// Opens the events module on ctx: a routing-netlink socket bound to link
// and IPv4-address notifications, an empty registry (ids start at 0). An
// earlier module of ctx is closed first. Logs: the lifecycle lines of
// netlib_libiface_init, and "netlib: failed to open netlink socket (N)", N
// the errno value.
NETLIB_API bool netlib_libevents_init(void* ctx);
// Closes the module: socket, subscribers and pending events. True also when
// it was not open (nothing logged). The interface module, when open, is left
// as it is; the two closes may come in either order.
NETLIB_API bool netlib_libevents_close(void* ctx);
// Registers callback with user_data; id receives its subscription id: 0 after
// init, then one more per subscription (ids are not reused; after 2^32
// subscriptions the count wraps and skips the ids still held). Refused:
// a null callback, "netlib: invalid callback". id is written only on success.
NETLIB_API bool netlib_libevents_subscribe(void* ctx, event_callback callback, unsigned int& id, void* user_data);
// Removes a subscriber. True also for an id that was never given or is
// already gone (nothing logged); false only when the guard refuses.
NETLIB_API bool netlib_libevents_unsubscribe(void* ctx, unsigned int id);
// Reads at most one datagram without waiting and dispatches its events. True
// when a datagram was read and dispatched or nothing was queued; false, with
// "netlib: failed to receive an event", when one was lost (see above).
NETLIB_API bool netlib_libevents_service(void* ctx);
// Never waits. True when the queue is empty or max_datagrams datagrams were
// read (a datagram that held no event counts too); UINT_MAX reads until
// empty, and 0 reads nothing, dispatches nothing and returns true. False on
// the first datagram that cannot be read ("netlib: failed to receive an
// event"): the datagrams before it were delivered, the rest stay queued.
//
// A bounded drain and edge-triggered epoll: true does not say that the
// queue is empty. A drain that stopped at its bound returns true like one
// that found the queue empty, and datagrams may remain queued after it.
// Level-triggered waits (poll, select, epoll without EPOLLET, a GLib
// source) report the descriptor again while any remain. An edge-triggered
// epoll (EPOLLET) does not: it reports the descriptor again only when a new
// datagram arrives, so what a bounded drain left stays unread until then.
// With EPOLLET the host must empty the queue before it waits again: drain
// with UINT_MAX (true then means a read found the queue empty), or call
// drain again until a poll of netlib_libevents_fd with timeout 0 reports it
// not readable. After a false result the rest is still queued too: drain
// again until true, then resync (see above).
NETLIB_API bool netlib_libevents_drain(void* ctx, unsigned int max_datagrams);
// Reports the current state, on a short-lived socket of its own so the
// queued notifications stay queued: one event per link (if_down, if_up or
// lower_up by its flags now; the payload as for a notification), then one
// address_assigned per IPv4 address; opted in to IPv6 addresses, then one
// ipv6_address_assigned per IPv6 address. The links are dispatched as one
// batch in the kernel's order, then the addresses as another (the IPv6 ones
// as a third). A dump that a
// concurrent change interrupted is asked for again (up to 5 more times), so
// each batch is one consistent snapshot. Waits only for the kernel's answer
// (at most 5 s per reply datagram). On failure it logs "netlib: failed to
// resynchronise" with the error number (EBUSY: still interrupted after the
// retries; ETIMEDOUT: no answer; EMSGSIZE: a reply datagram longer than
// 16 KiB, which only a single oversized message could cause) and returns
// false, after delivering the events of the batch it had reached.
NETLIB_API bool netlib_libevents_resync(void* ctx);
// The events socket's descriptor, for the host to wait on for readability
// (poll, epoll, select, a GLib source) before it calls drain or service: it
// becomes readable when a notification is queued. The host never reads,
// writes, closes or changes it; it stays valid until netlib_libevents_close
// (or a new init). -1, with the guard's line, when the module is not open.
// With edge-triggered epoll, see netlib_libevents_drain: a bounded drain may
// leave datagrams queued that no new edge will report.
// Since version 1.1 (version node PELK_NETWORK_UTILS_CORE_1.1).
NETLIB_API int netlib_libevents_fd(void* ctx);
// Replaces the set of extras the module reports (a mask of event_extras; 0
// returns to the first release's events). Takes effect for notifications
// the kernel queues after the call and for those still queued: without the
// IPv6 extra, an IPv6 address notification still queued reads as the first
// release read one (address_assigned or address_removed, "AF_INET6"), and
// router options are not reported. Refused: an unknown bit, "netlib: unknown
// event extras 0xMASK"; the kernel refusing a group, "netlib: failed to
// join a netlink group (N)" (N the errno value; the set is left as it was).
// Since 1.2.
NETLIB_API bool netlib_libevents_opt_in(void* ctx, unsigned int extras);

// ---- Network configuration ----
//
// The programs these run (ip, route, the DHCP client and its hook script)
// are chosen when the library is built: netlibctl --version names them;
// below they read /bin/ip, /bin/route, /bin/udhcpc and /bin/udhcpc_cb.sh,
// the defaults. They run without a shell, one argument each, and are waited
// for (except the DHCP client, started in the background). Nothing is
// retried and nothing is undone when a later step fails.

// Brings the interface up (connect) or down (disconnect), as
// netlib_iface_set_up; the empty name is refused too.
NETLIB_API bool netlib_netm_connect(void* ctx, const std::string& iface);
NETLIB_API bool netlib_netm_disconnect(void* ctx, const std::string& iface);
// Prepares the interface for IP configuration: IFF_UP, IFF_RUNNING and
// IFF_ALLMULTI asked for in its flags (written only when one was missing),
// then MTU 1500. Logs: "Failed to get "NAME" flags", "Failed to turn on
// "NAME"", "Failed to set MTU (1500) for "NAME"", each after the ioctl's line.
NETLIB_API bool netlib_netm_configure_interface(void* ctx, const std::string& iface);
// Removes every address of the interface: ip addr flush dev IFACE. Logs
// "Failed to flush interface "NAME"" when ip fails.
NETLIB_API bool netlib_netm_flush_iface(void* ctx, const std::string& iface);
// Adds an IPv4 address: ip addr add IP/NETMASK brd BROADCAST dev IFACE (the
// netmask as given, dotted; without a netmask IP alone, a /32; an empty
// broadcast as "+", derived from the netmask). Addresses already there
// stay. The interface's addresses are looked at before ip runs: one it
// already holds with the same netmask and, when one was given, the same
// broadcast address counts as added (a DHCP renewal) and ip does not run;
// held with another netmask or broadcast it is a failure and ip does not
// run (the kernel would keep both).
// Logs: "IP address is invalid or empty" (ip refused by the validator, or
// 0.0.0.0), "subnet mask is invalid" (a non-empty netmask that is not
// contiguous), "Failed to configure interface "NAME"" (ip failed). broadcast
// is not validated: ip judges it.
NETLIB_API bool netlib_netm_configure_ip_addr(void* ctx, const std::string& iface, const std::string& ip,
                                              const std::string& netmask, const std::string& broadcast);
// Replaces the interface's default routes. gateway holds gateways separated
// by spaces (blank tokens are skipped, each token trimmed), or is empty.
// Every gateway is checked first: one refused logs "Invalid gateway 'TEXT'"
// [add_route] and "Failed to configure routes on interface "NAME"", and
// nothing changes. A gateway given twice counts once. Then every default
// route through the interface is deleted: route del default gw 0.0.0.0 dev
// IFACE once per default route /proc/net/route lists for it (where that
// cannot be read, until route fails, at most 256 times), so that no run is
// expected to fail. An empty gateway then adds a default route straight
// through the interface (route add default dev IFACE; its failure is not
// logged); a gateway text of blanks adds nothing. Otherwise each gateway, in
// order: a gateway no route of the interface reaches directly (off-link)
// first gets a host route (route add -host GW dev IFACE); then route add
// default gw GW dev IFACE; when that fails, the host route and the default
// route once more. Logs "Failed to configure routes on interface "NAME""
// when a host route or the second try fails; later gateways are not
// handled.
NETLIB_API bool netlib_netm_configure_routes(void* ctx, const std::string& iface, const std::string& gateway);
// Replaces the resolver file /etc/resolv.conf with "search SEARCH" (when
// search is not empty) and one "nameserver ENTRY" line per entry, in
// order, each ending in a line feed, nothing else; entries are written as
// given. iface is only checked as a name: the file is system-wide.
// Checked first, nothing written when refused: every non-blank entry must
// be an IPv4 address once trimmed ("Invalid nameserver 'ENTRY'", the entry
// as given), and no entry nor the search text may hold a line break or NUL
// ("Invalid nameserver '...'", "Invalid search domain 'TEXT'").
// The file is replaced whole by renaming a complete temporary file
// ("resolv.conf.PID.RANDOM") over it, so a reader sees the old file or the
// new one; the library flushes the new file to storage itself before the
// rename and syncs the directory after it, so a completed call survives a
// power cut. The new file is mode 0644 whatever the umask. Where:
//   a regular file or no file: the temporary file is written in /tmp and
//     renamed over it; when the rename cannot cross from /tmp (another
//     mount: a tmpfs /tmp), it is written again in /etc and renamed there;
//   a symbolic link: the link is kept. It is followed (relative to each
//     link's directory, through at most 40 links) to a regular file or to a
//     name that does not exist yet in an existing directory, which is
//     replaced from a temporary file beside it; /etc may be read-only. A
//     link in a sticky, world-writable directory (/tmp) is followed only
//     when it belongs to the caller or the directory's owner (EACCES);
//   anything else (a directory, a device node such as /dev/null, a FIFO, a
//     socket, a link loop): nothing is written or replaced.
// Logs: "Failed to open config file "/etc/resolv.conf"", "Failed to write
// data to config file "/etc/resolv.conf"" (a write or the flush failed),
// "Failed to move DNS config from "TEMPORARY" to "TARGET"" with errno (the
// rename failed or nothing may be replaced: EISDIR, ENOTSUP, ELOOP, ENOENT,
// EACCES, EBUSY, ...). A failed call leaves the old file and no temporary
// file.
NETLIB_API bool netlib_netm_configure_dns(void* ctx, const std::string& iface,
                                          const std::vector<std::string>& nameservers, const std::string& search);
// Starts the DHCP client for the interface. An interface the kernel does
// not know is refused first ("No such network interface "NAME"", with
// errno), so that a typo stops no running client. Then every process named
// "udhcpc" is sent SIGTERM, and /bin/udhcpc --retries 9 -b -x hostname:HOST -i IFACE -S
// -s /bin/udhcpc_cb.sh starts detached (HOST: the host name, at most 63
// characters; the client logs to syslog, its standard streams are the
// host's concern: the standalone host gives it /dev/null). Returns once it started; it never waits for a lease. Records
// the interface as not static, no fallback. Logs "Failed to get hostname",
// "Failed to start udhcpc".
NETLIB_API bool netlib_netm_configure_dhcp(void* ctx, const std::string& iface);
// Assigns the static fallback address (as netlib_netm_configure_ip_addr,
// with its lines) and records the interface as not static, with fallback.
// Starts or stops no DHCP client.
NETLIB_API bool netlib_netm_configure_static_fallback(void* ctx, const std::string& iface, const std::string& ip,
                                                      const std::string& netmask, const std::string& broadcast);
// The records of how the interface was last configured, kept per context
// until the interface module is closed: true when last configured as a
// static connection (netlib_netm_configure_static), resp. when its address
// was last set as the static fallback. False for an interface never
// configured, and on any failure.
//   after configure_dhcp (either form)   static false, fallback false
//   after configure_static_fallback      static false, fallback true
//   after configure_static               static true,  fallback false
// A failed call leaves both, except a program failing after the fallback
// address step of configure_static/configure_dhcp with fallback set
// (false, true); a refused text changes nothing.
NETLIB_API bool netlib_netm_is_static_connection(void* ctx, const std::string& iface);
NETLIB_API bool netlib_netm_is_static_fallback_connection(void* ctx, const std::string& iface);
// Applies a whole configuration. Every text is judged first, as the steps
// below would judge it and with their lines (address, netmask, gateways,
// name servers, search text), and a refusal runs nothing. Then, in this
// order, stopping at the first step that fails (each logs its own line;
// nothing is undone): the address
// (netlib_netm_configure_static_fallback when fallback is set, else
// netlib_netm_configure_ip_addr), the routes (netlib_netm_configure_routes
// with gateway), the resolver file (netlib_netm_configure_dns). Then records
// the interface: this form (a DHCP lease, applied by the client's hook) as
// not static; netlib_netm_configure_static as static. Neither starts nor
// stops a DHCP client nor flushes old addresses.
NETLIB_API bool netlib_netm_configure_dhcp(void* ctx, const std::string& iface, const std::string& ip,
                                           const std::string& netmask, const std::string& gateway,
                                           const std::vector<std::string>& nameservers, const std::string& search,
                                           const std::string& broadcast, bool fallback);
NETLIB_API bool netlib_netm_configure_static(void* ctx, const std::string& iface, const std::string& ip,
                                             const std::string& netmask, const std::string& gateway,
                                             const std::vector<std::string>& nameservers, const std::string& search,
                                             const std::string& broadcast, bool fallback);
// Brings the network up from a configuration tree. The tree is read first;
// for a static configuration its texts are judged as
// netlib_netm_configure_static judges them, and a refusal changes nothing.
// Then, in this order: the kernel options ("1" into /proc/sys/net/ipv4/ip_forward,
// conf/all/forwarding and conf/all/arp_filter, "0" into tcp_ecn; the first
// that cannot be written ends the call: "Failed to write /proc file"
// [configure_ipv4_opts]); netlib_netm_configure_interface; every "udhcpc"
// sent SIGTERM; netlib_netm_flush_iface (its failure does not end the
// call). Then, with "dhcp/status" absent or exactly 1,
// netlib_netm_configure_dhcp; otherwise netlib_netm_configure_static with
// "statik/ip" and "statik/netmask" (when the address is a unicast dotted
// quad and the netmask contiguous and non-zero; else "dhcp/fallbackIP" and
// "dhcp/fallbackNetmask" with fallback set, and the notice "Static address
// 'IP' netmask 'NETMASK' refused, using the fallback address IP netmask
// NETMASK"), "routes/gateway", the name
// servers "dns/ns1/ip" and "dns/ns2/ip" whose "status" is non-zero and whose
// address is valid, no search text, the default broadcast. Keys are
// "/"-separated paths; texts are read with Variant type 0x100E, integers
// with 0x4000 (the standalone host counts booleans there, as 0 and 1); a
// key of another type reads as absent. Defaults: dhcp/status 1, statik/ip and dhcp/fallbackIP
// "192.168.1.20", statik/netmask and dhcp/fallbackNetmask "255.255.255.0",
// the rest empty or 0. The result is that of the chosen path.
//
// IPv6 (since 1.2): with none of the keys "ipv6/mode", "ipv6/address" and
// "ipv6/gateway", IPv6 is left as it is. Otherwise they are judged with the
// rest, first: "ipv6/mode" "slaac", "static" or "off" ("Invalid IPv6 mode
// 'TEXT'"; "off" with an address or gateway is refused the same way), the
// address as netlib_netm_configure_ipv6_addr judges it, the gateways as
// netlib_netm_configure_ipv6_routes. After the IPv4 path succeeded:
// netlib_netm_configure_ipv6_mode with IPv6 restarted on the interface
// (switched off and on, so that the link-local address the flush removed is
// formed again and routers are asked at once), then the address, then the
// gateways; the first that fails ends the call with false.
NETLIB_API bool netlib_netm_init_network(void* ctx, const std::string& iface, const pelk::variant::Variant& config);

// ---- IPv6 configuration (since 1.2) ----

// Adds an IPv6 address: ip -6 addr add ADDRESS/N dev IFACE. An address the
// interface already holds with that prefix length counts as added and ip
// does not run; held with another prefix length it is a failure and ip
// does not run. Logs "Invalid IPv6 address 'TEXT'" (not ADDRESS/N, N not 1
// to 128, the unspecified address or a multicast one), "Failed to configure
// interface "NAME"" (held otherwise, the addresses could not be read, or ip
// failed).
NETLIB_API bool netlib_netm_configure_ipv6_addr(void* ctx, const std::string& iface, const std::string& address);
// Replaces the interface's IPv6 default routes; IPv4 routes are not
// touched. gateways holds IPv6 gateways separated by spaces (as
// netlib_netm_configure_routes reads its text; a link-local gateway works,
// written without a "%" scope: the interface is the scope). Every gateway
// is checked first: one refused logs "Invalid gateway 'TEXT'" [add_route]
// and "Failed to configure routes on interface "NAME"", and nothing
// changes. Then every IPv6 default route through the interface, those
// learnt from routers too, is deleted (ip -6 route del default dev IFACE,
// once per route /proc/net/ipv6_route lists), and each gateway in order
// gets ip -6 route add default via GW dev IFACE metric M, M 1024 for the
// first and one more for each next, so the first is preferred; a gateway
// that no route of the interface reaches directly first gets a host route
// (ip -6 route add GW/128 dev IFACE). A text without gateways only deletes.
// Logs "Failed to configure routes on interface "NAME"" when ip fails;
// later gateways are not handled.
NETLIB_API bool netlib_netm_configure_ipv6_routes(void* ctx, const std::string& iface, const std::string& gateways);
// How the interface takes part in IPv6, set through
// /proc/sys/net/ipv6/conf/IFACE/ (accept_ra, autoconf, disable_ipv6):
//   ipv6_slaac   on; router advertisements accepted (also while the
//                device forwards: accept_ra 2) and addresses formed from
//                their prefixes (autoconf 1)
//   ipv6_static  on; advertisements not accepted (accept_ra 0, autoconf 0):
//                addresses and routes only as configured
//   ipv6_off     IPv6 disabled on the interface (disable_ipv6 1; its IPv6
//                addresses go with it)
// Routers are asked at once when IPv6 comes on (from off) or the link comes
// up; otherwise their next periodic advertisement applies. Every file is
// read first; when one cannot be written, those written are set back.
// Logs "No such network interface "NAME"" (ENODEV), "Invalid IPv6 mode N",
// "Failed to set IPv6 mode on "NAME"" with errno (ENOENT: the kernel has no
// IPv6).
enum ipv6_mode : int {
    ipv6_slaac = 1,
    ipv6_static = 2,
    ipv6_off = 3,
};
NETLIB_API bool netlib_netm_configure_ipv6_mode(void* ctx, const std::string& iface, ipv6_mode mode);
// netlib_netm_configure_dns for name servers of both families: an entry is
// an IPv4 address as there, or an IPv6 address; a link-local one
// (fe80::/10) must name its interface as "%IFACE" ("fe80::1%eth0"), no
// other may carry one. The same checks, lines, file handling and results
// otherwise.
NETLIB_API bool netlib_netm_configure_dns_dual(void* ctx, const std::string& iface,
                                               const std::vector<std::string>& nameservers, const std::string& search);

}  // namespace network
}  // namespace pelk

// ---- Netlink functions ----
// No context, no state, no logging: a host may use them on a socket of its
// own. They return -1 on failure (errno tells why, except for bad framing)
// and 0 on success.

// A routing-netlink datagram socket (close-on-exec, 4 MiB receive queue
// where allowed) bound to the multicast groups in the mask groups
// (RTMGRP_LINK 0x1, RTMGRP_IPV4_IFADDR 0x10, RTMGRP_IPV6_IFADDR 0x100, ...):
// its descriptor, or -1 (nothing left open).
NETLIB_API int nl_open(unsigned int groups);
// Closes fd when it is 0 or more and sets it to -1 in every case.
NETLIB_API void nl_close(int& fd);
// Reads one datagram without waiting, with one recv into a 16 KiB buffer,
// and appends the events of its messages to events (nothing else in events
// is touched). 0 when nothing was queued (EAGAIN), the read was interrupted
// (EINTR), the datagram was empty or decoded whole. -1 with errno from recv
// (ENOBUFS: the queue overflowed); -1 with EMSGSIZE for a datagram longer
// than 16 KiB, consumed undecoded; -1 without errno for bad framing, after
// appending the events of the messages before it; -1 with ENOMEM
// (allocation failure) or ECANCELED (the Variant threw something else).
NETLIB_API int nl_service(int fd, pelk::network::event_list& events);
// Decodes one message, whose nlmsg_len bytes must be readable, into at most
// one event appended to events: link and address messages give one, every
// other type none (0). -1 with errno EBADMSG for a link message shorter than
// 32 bytes or an address message shorter than 24, ENOMEM for an allocation
// failure; -1 for a null msg.
NETLIB_API int nl_event_callback(struct nlmsghdr* msg, pelk::network::event_list& events);
// "if_down", "if_up", "lower_up", "address_assigned", "address_removed",
// and since 1.2 "ipv6_address_assigned", "ipv6_address_removed",
// "router_nameservers", "router_domains"; "n/a" for any other value.
NETLIB_API std::string event_to_string(pelk::network::event_type type);
// Reads one datagram of the events module into its pending events without
// dispatching them (netlib_libevents_service reads and dispatches). True
// when one was read or none was queued. The next service or drain clears the
// pending events before it reads: what this call read is never dispatched.
NETLIB_API bool receive_event(void* ctx);

#endif
