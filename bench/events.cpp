// Kernel notifications recorded in tests/data/netlink (one datagram per
// file): the library's decoder against a libmnl walk building the same
// payload, and netlib_libevents_service against a bare recv of the same
// datagrams replayed through socket pairs: all of them for a host that
// opted in to nothing, the IPv6 address ones for a host opted in to them.
#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <variant>

#include "bench.h"
#include "netlib_private.h"

namespace bench
{
namespace
{
using PeerPayload = std::map<std::string, std::variant<unsigned int, int, unsigned short, unsigned char, std::string>>;
using PeerList = std::list<std::pair<int, PeerPayload>>;

std::vector<std::vector<std::uint32_t>> g_datagrams;  // aligned for nlmsghdr
std::vector<std::size_t> g_sizes;
std::vector<nlmsghdr*> g_messages;  // the link and address messages in them

void load_corpus(const std::string& dir)
{
    std::vector<std::string> paths;
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(dir, missing))
        if (entry.path().extension() == ".bin")
            paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    for (const std::string& path : paths) {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        g_datagrams.emplace_back((bytes.size() + 3) / 4);
        g_sizes.push_back(bytes.size());
        std::memcpy(g_datagrams.back().data(), bytes.data(), bytes.size());
        int left = static_cast<int>(bytes.size());
        for (auto* m = reinterpret_cast<nlmsghdr*>(g_datagrams.back().data()); NLMSG_OK(m, left);
             m = NLMSG_NEXT(m, left))
            if (m->nlmsg_type == RTM_NEWLINK || m->nlmsg_type == RTM_DELLINK || m->nlmsg_type == RTM_NEWADDR ||
                m->nlmsg_type == RTM_DELADDR)
                g_messages.push_back(m);
    }
}

int keep_attr(const nlattr* attr, void* table)
{
    if (mnl_attr_get_type(attr) < 64)
        static_cast<const nlattr**>(table)[mnl_attr_get_type(attr)] = attr;
    return MNL_CB_OK;
}

// The peer: a libmnl attribute walk building the library's keys and values.
void peer_decode(nlmsghdr* msg, PeerList& events)
{
    static const std::string kNames[] = {"n/a", "if_down", "if_up", "lower_up", "address_assigned", "address_removed"};
    const nlattr* attrs[64] = {};
    PeerPayload payload;
    int event = 0;
    if (msg->nlmsg_type == RTM_NEWLINK || msg->nlmsg_type == RTM_DELLINK) {
        const auto* info = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(msg));
        mnl_attr_parse(msg, sizeof *info, keep_attr, attrs);
        const unsigned int flags = info->ifi_flags;
        const unsigned int up_and_lower = IFF_UP | (1u << 16);  // IFF_LOWER_UP
        event = (flags & up_and_lower) == up_and_lower ? 3 : (flags & IFF_UP) ? 2 : 1;
        const nlattr* name = attrs[IFLA_IFNAME];
        const char* text = name ? static_cast<const char*>(mnl_attr_get_payload(name)) : "";
        payload["flags"] = flags;
        payload["ifindex"] = info->ifi_index;
        payload["ifname"] = std::string(
            text, name ? strnlen(text, std::min<std::size_t>(mnl_attr_get_payload_len(name), IFNAMSIZ)) : 0);
        payload["type"] = static_cast<unsigned short>(info->ifi_type);
    } else {
        const auto* info = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(msg));
        mnl_attr_parse(msg, sizeof *info, keep_attr, attrs);
        const nlattr* chosen = attrs[IFA_LOCAL] ? attrs[IFA_LOCAL] : attrs[IFA_ADDRESS];
        char text[48] = {};
        const auto* b = chosen ? static_cast<const unsigned char*>(mnl_attr_get_payload(chosen)) : nullptr;
        const std::size_t len = chosen ? mnl_attr_get_payload_len(chosen) : 0;
        if (info->ifa_family == AF_INET && len >= 4)
            inet_ntop(AF_INET, b, text, sizeof text);
        else if (info->ifa_family == AF_INET6 && len >= 16)  // uncompressed, as the library writes it
            std::snprintf(text, sizeof text, "%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x",
                          b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                          b[15]);
        char name[IF_NAMESIZE] = {};
        if_indextoname(info->ifa_index, name);
        event = msg->nlmsg_type == RTM_NEWADDR ? 4 : 5;
        payload["family"] = std::string(info->ifa_family == AF_INET ? "AF_INET" : "AF_INET6");
        payload["flags"] = static_cast<unsigned char>(info->ifa_flags);
        payload["ifaddr"] = std::string(text);
        payload["ifindex"] = static_cast<unsigned int>(info->ifa_index);
        payload["ifname"] = std::string(name);
    }
    payload["eventName"] = kNames[event];
    events.emplace_back(event, std::move(payload));
}

// One call decodes every message; emptying the list is part of the cost on
// both sides.
template <typename List, auto decode>
bool decode_all()
{
    static List events;
    for (nlmsghdr* m : g_messages)
        decode(m, events);
    events.clear();
    return true;
}

unsigned long g_delivered = 0;

// Recorded datagrams replayed through the events module (its socket
// replaced by one end of a socket pair) and through a bare socket pair.
struct Replay {
    Context context;
    int lib[2] = {-1, -1};  // its receiving end is the module's socket
    int bare[2] = {-1, -1};
    std::vector<std::size_t> datagrams;  // indexes into g_datagrams, each queued four times over
};
Replay g_replay, g_replay6;

// A datagram socket pair whose sending end has room for every queued pass.
bool open_pair(int fds[2])
{
    const int bytes = 4 << 20;
    return socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0 &&
           setsockopt(fds[0], SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) == 0;
}

void count_event(pelk::network::event_type, const pelk::variant::Variant& payload, void*)
{
    benchmark::DoNotOptimize(&payload);
    ++g_delivered;
}

bool lib_service(Replay& r)
{
    const unsigned long before = g_delivered;  // a datagram that gave no event was not delivered
    return pelk::network::netlib_libevents_service(&r.context.block) && g_delivered != before;
}

bool bare_recv(Replay& r)
{
    alignas(8) char buffer[16384];
    const ssize_t n = recv(r.bare[1], buffer, sizeof buffer, 0);
    benchmark::DoNotOptimize(buffer);
    return n > 0;
}

// Queues the datagrams four times over on the pair (untimed), then reads
// every one with read_one.
template <bool (*read_one)(Replay&)>
Body replayed(Replay& r, const int fds[2])
{
    const std::size_t queued = 4 * r.datagrams.size();
    const auto queue = [&r, fds, queued] {
        for (std::size_t i = 0; i < queued; ++i) {
            const std::size_t n = r.datagrams[i % r.datagrams.size()];
            if (send(fds[0], g_datagrams[n].data(), g_sizes[n], MSG_DONTWAIT) != static_cast<ssize_t>(g_sizes[n]))
                return false;
        }
        return true;
    };
    const auto read_all = [&r, queued] {
        for (std::size_t i = 0; i < queued; ++i)
            if (!read_one(r))
                return false;
        return true;
    };
    return timed("a replayed datagram was refused, not read or not delivered", read_all, queue);
}

// The module reads the replayed datagrams instead of the kernel's.
bool replace_module_socket(Replay& r, unsigned int extras)
{
    unsigned int id = 0;
    if (!pelk::network::netlib_libevents_init(&r.context.block) || !open_pair(r.lib) || !open_pair(r.bare) ||
        !pelk::network::netlib_libevents_opt_in(&r.context.block, extras))
        return false;
    close(r.context.block.events_state->nl_socket);
    r.context.block.events_state->nl_socket = r.lib[1];
    return pelk::network::netlib_libevents_subscribe(&r.context.block, count_event, id, nullptr);
}

bool holds_ipv6_address(const std::vector<std::uint32_t>& datagram, std::size_t size)
{
    int left = static_cast<int>(size);
    for (auto* m = reinterpret_cast<const nlmsghdr*>(datagram.data()); NLMSG_OK(m, left); m = NLMSG_NEXT(m, left))
        if ((m->nlmsg_type == RTM_NEWADDR || m->nlmsg_type == RTM_DELADDR) &&
            static_cast<const ifaddrmsg*>(NLMSG_DATA(m))->ifa_family == AF_INET6)
            return true;
    return false;
}

}  // namespace

void register_events()
{
    const std::string dir = NETLIB_SOURCE_DIR "/tests/data/netlink";
    load_corpus(dir);
    if (g_messages.empty()) {
        g_failed["nl_event_callback"] = g_failed["libevents_service"] = "no recorded messages in " + dir;
        return;
    }
    add_pair("nl_event_callback", timed("", decode_all<pelk::network::event_list, nl_event_callback>),
             timed("", decode_all<PeerList, peer_decode>), Shape::micro(static_cast<double>(g_messages.size())));
    for (std::size_t i = 0; i < g_datagrams.size(); ++i) {
        g_replay.datagrams.push_back(i);
        if (holds_ipv6_address(g_datagrams[i], g_sizes[i]))
            g_replay6.datagrams.push_back(i);
    }
    // An IPv4-only host: the module as the first release opened it.
    if (!replace_module_socket(g_replay, 0)) {
        g_failed["libevents_service"] = "cannot replay the recorded datagrams through the events module";
        return;
    }
    add_pair("libevents_service", replayed<lib_service>(g_replay, g_replay.lib),
             replayed<bare_recv>(g_replay, g_replay.bare), Shape::micro(4.0 * g_replay.datagrams.size()));
    if (g_replay6.datagrams.empty() || !replace_module_socket(g_replay6, pelk::network::events_ipv6_addresses)) {
        g_failed["ipv6_address_event"] = "no recorded IPv6 address datagram, or the module refused them";
        return;
    }
    add_pair("ipv6_address_event", replayed<lib_service>(g_replay6, g_replay6.lib),
             replayed<bare_recv>(g_replay6, g_replay6.bare), Shape::micro(4.0 * g_replay6.datagrams.size()));
}

}  // namespace bench
