// Two contexts used at the same time from two threads: the library keeps no
// state outside a context, so each thread's interface queries, events
// module and configuration calls must neither disturb the other's nor race
// with them. Run under ThreadSanitizer by scripts/tsan-test.
//
// Interface queries go to the real loopback interface (read-only ioctls and
// getifaddrs). Each events module reads its own datagram socket pair in
// place of its netlink socket, fed with recorded kernel notifications.
// Configuration calls run against the recording fake host, which records
// one call at a time; rename goes to the seam, so nothing real changes.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "fake_host.h"
#include "netlib_private.h"
#include "pelk_network_utils_core.h"
#include "syscall_shim.h"

using namespace pelk::network;

namespace
{

constexpr int kRounds = 150;

using Bytes = std::vector<unsigned char>;

Bytes recorded(const char* name)
{
    std::string dir = __FILE__;
    dir = dir.substr(0, dir.rfind('/')) + "/../data/netlink/";
    std::ifstream in(dir + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What one thread saw; checked on the main thread after both joined.
struct Outcome {
    std::string iface;
    int failures = 0;
    std::vector<std::string> failed;  // the first few failed steps
    int events = 0;
    int link_events = 0;
    std::string last_event_name;
    bool static_recorded = false;

    void expect(bool ok, const char* step)
    {
        if (ok)
            return;
        if (failures++ < 5)
            failed.push_back(step);
    }
};

void count_event(event_type type, const pelk::variant::Variant& payload, void* user_data)
{
    Outcome* o = static_cast<Outcome*>(user_data);
    ++o->events;
    if (type == event_if_up || type == event_if_down || type == event_lower_up)
        ++o->link_events;
    const pelk::variant::Variant* name = payload.Find("eventName");
    o->last_event_name = name ? name->AsString() : "";
}

void query_loopback(void* ctx, Outcome& o)
{
    int flags = 0;
    o.expect(netlib_iface_get_flags(ctx, "lo", flags) && (flags & IFF_LOOPBACK), "get_flags lo");
    o.expect(netlib_iface_is_up(ctx, "lo"), "is_up lo");
    std::string address;
    o.expect(netlib_iface_get_address(ctx, "lo", address) && address == "127.0.0.1", "get_address lo");
    std::string netmask;
    o.expect(netlib_iface_get_netmask(ctx, "lo", netmask) && netmask == "255.0.0.0", "get_netmask lo");
    std::list<std::string> names;
    o.expect(netlib_get_ifaces(ctx, names, false) && !names.empty(), "get_ifaces");
    std::string main_iface;
    netlib_iface_guess_default_iface(ctx, main_iface);  // depends on the machine; must only not race
}

void configure(void* ctx, Outcome& o, int round)
{
    const std::vector<std::string> dns{"192.168.7.1"};
    const std::string ip = "10.0." + std::to_string(round % 200) + ".2";
    o.expect(netlib_netm_configure_static(ctx, o.iface, ip, "255.255.255.0", "10.0.0.1", dns, "lan", "", false),
             "configure_static");
    o.expect(netlib_netm_is_static_connection(ctx, o.iface), "is_static");
    o.expect(netlib_netm_configure_dhcp(ctx, o.iface), "configure_dhcp");
    o.expect(!netlib_netm_is_static_connection(ctx, o.iface), "is_static after dhcp");
    o.expect(!netlib_netm_configure_ip_addr(ctx, o.iface, "10.0.0.256", "", ""), "refused address");
    o.expect(netlib_netm_configure_static(ctx, o.iface, ip, "", "", dns, "", "", true), "configure_static fallback");
}

// One thread's whole life with its own context.
void run_context(Outcome& o, const std::vector<Bytes>& datagrams)
{
    netlib_context ctx{};
    ctx.front_end_marker = 1;
    o.expect(netlib_libiface_init(&ctx), "iface init");
    o.expect(netlib_libevents_init(&ctx), "events init");
    if (o.failures)
        return;

    // The events module reads our socket pair instead of the kernel.
    int pair[2];
    o.expect(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    nl_close(ctx.events_state->nl_socket);
    ctx.events_state->nl_socket = pair[0];  // closed by netlib_libevents_close
    unsigned int id = 0;
    o.expect(netlib_libevents_subscribe(&ctx, count_event, id, &o), "subscribe");

    for (int round = 0; round < kRounds; ++round) {
        const Bytes& d = datagrams[static_cast<std::size_t>(round) % datagrams.size()];
        o.expect(send(pair[1], d.data(), d.size(), 0) == static_cast<ssize_t>(d.size()), "send");
        o.expect(netlib_libevents_service(&ctx), "service");
        query_loopback(&ctx, o);
        configure(&ctx, o, round);
    }
    o.expect(netlib_libevents_service(&ctx), "service of an empty queue");
    o.static_recorded = netlib_netm_is_static_connection(&ctx, o.iface);

    close(pair[1]);
    o.expect(netlib_libevents_unsubscribe(&ctx, id), "unsubscribe");
    o.expect(netlib_libevents_close(&ctx), "events close");
    o.expect(netlib_libiface_close(&ctx), "iface close");
}

int count_lines_naming(const std::vector<std::string>& lines, const std::string& iface)
{
    int n = 0;
    for (const auto& l : lines)
        n += l.size() > iface.size() && l.compare(l.size() - iface.size(), iface.size(), iface) == 0;
    return n;
}

TEST(Concurrency, TwoContextsOnTwoThreadsStayApart)
{
    fake::host().reset();
    shim::reset();
    // Route deletions find nothing to delete; renames never reach the disk.
    fake::host().exec_hook = [](const fake::ExecCall& c) { return c.args.at(0) == "del" ? 1 : 0; };
    std::atomic<int> renames{0};
    shim::rename_hook = [&renames](const char*, const char* to) {
        renames += std::strcmp(to, "/etc/resolv.conf") == 0;
        return 0;
    };

    const std::vector<Bytes> datagrams = {recorded("veth-01-newlink.bin"), recorded("veth-07-newaddr.bin"),
                                          recorded("bridge-05-deladdr.bin"), recorded("tap-04-newlink.bin")};
    for (const Bytes& d : datagrams)
        ASSERT_FALSE(d.empty());

    Outcome a, b;
    a.iface = "thr-a0";
    b.iface = "thr-b0";
    std::thread ta(run_context, std::ref(a), std::cref(datagrams));
    std::thread tb(run_context, std::ref(b), std::cref(datagrams));
    ta.join();
    tb.join();

    for (const Outcome* o : {&a, &b}) {
        EXPECT_EQ(o->failures, 0) << o->iface << ": " << ::testing::PrintToString(o->failed);
        // One event per recorded datagram, half of them link events.
        EXPECT_EQ(o->events, kRounds) << o->iface;
        EXPECT_EQ(o->link_events, kRounds / 2) << o->iface;
        EXPECT_FALSE(o->last_event_name.empty()) << o->iface;
        EXPECT_TRUE(o->static_recorded) << o->iface;
    }

    // Each thread's commands were recorded whole and under its own name:
    // per round two static configurations of three commands each (address,
    // route deletion, route), nothing for the refused address.
    const std::vector<std::string> lines = fake::host().exec_lines();
    EXPECT_EQ(count_lines_naming(lines, "thr-a0"), 6 * kRounds);
    EXPECT_EQ(count_lines_naming(lines, "thr-b0"), 6 * kRounds);
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(2 * 6 * kRounds));
    EXPECT_EQ(fake::host().daemons.size(), static_cast<std::size_t>(2 * kRounds));
    EXPECT_EQ(renames.load(), 2 * 2 * kRounds);

    shim::reset();
    fake::host().reset();
}

}  // namespace
