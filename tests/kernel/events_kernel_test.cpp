// Events from real link and address changes, in a private network namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fake_host.h"
#include "netlib_private.h"
#include "netns.h"
#include "pelk_network_utils_core.h"
#include "reference_listener.h"

using namespace pelk::network;
using pelk::variant::Variant;

namespace
{

struct Seen {
    event_type type;
    Variant payload;
};

std::string text(const Variant& payload, const char* key)
{
    const Variant* v = payload.Find(key);
    return v ? v->AsString() : std::string();
}

void collect(event_type type, const Variant& payload, void* user_data)
{
    static_cast<std::vector<Seen>*>(user_data)->push_back(Seen{type, payload});
}

void count(event_type, const Variant&, void* user_data)
{
    ++*static_cast<std::size_t*>(user_data);
}

class EventsKernel : public ::testing::Test
{
protected:
    netlib_context ctx{};
    std::vector<Seen> seen;

    void SetUp() override
    {
        fake::host().reset();
        ctx.front_end_marker = 1;
    }
    void TearDown() override { netlib_libevents_close(&ctx); }

    void open_module()
    {
        ASSERT_TRUE(netlib_libevents_init(&ctx));
        unsigned int id = 0;
        ASSERT_TRUE(netlib_libevents_subscribe(&ctx, collect, id, &seen));
    }

    void ip(const std::string& args) { ASSERT_EQ(0, testns::sh("ip " + args)) << args; }

    // Services the module until an event matching `want` arrived (linkwatch
    // reports carrier changes a little later than the command returns).
    bool wait_for(const std::function<bool(const Seen&)>& want)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        std::size_t checked = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            EXPECT_TRUE(netlib_libevents_service(&ctx));
            for (; checked < seen.size(); ++checked) {
                if (want(seen[checked]))
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    static std::function<bool(const Seen&)> link_event(event_type type, const std::string& name)
    {
        return [=](const Seen& s) { return s.type == type && text(s.payload, "ifname") == name; };
    }
    static std::function<bool(const Seen&)> addr_event(event_type type, const std::string& addr)
    {
        return [=](const Seen& s) { return s.type == type && text(s.payload, "ifaddr") == addr; };
    }
};

TEST_F(EventsKernel, VethLifecycleProducesEventsInOrder)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    open_module();
    ip("link add kev0 type veth peer name kev1");
    ASSERT_TRUE(wait_for(link_event(event_if_down, "kev0")));
    const int index = static_cast<int>(if_nametoindex("kev0"));
    ASSERT_GT(index, 0);

    ip("link set kev0 up");
    ASSERT_TRUE(wait_for(link_event(event_if_up, "kev0")));  // peer still down: no carrier
    ip("link set kev1 up");
    ASSERT_TRUE(wait_for(link_event(event_lower_up, "kev0")));
    ip("addr add 10.77.0.1/24 dev kev0");
    ASSERT_TRUE(wait_for(addr_event(event_address_assigned, "10.77.0.1")));
    ip("-6 addr add 2001:db8::77/64 dev kev0 nodad");  // IPv6 addresses are not subscribed
    ip("addr del 10.77.0.1/24 dev kev0");
    ASSERT_TRUE(wait_for(addr_event(event_address_removed, "10.77.0.1")));
    ip("link set kev0 down");
    ASSERT_TRUE(wait_for(link_event(event_if_down, "kev0")));

    std::vector<std::string> order;
    for (const Seen& s : seen) {
        const Variant* family = s.payload.Find("family");
        if (family) {
            EXPECT_EQ("AF_INET", family->AsString());
            EXPECT_EQ(pelk::variant::VT_UINT32, s.payload.Find("ifindex")->GetType());
            EXPECT_EQ(static_cast<unsigned long long>(index), s.payload.Find("ifindex")->AsUInt64());
            EXPECT_EQ("kev0", text(s.payload, "ifname"));
            EXPECT_EQ(0x80, s.payload.Find("flags")->AsInt64());  // IFA_F_PERMANENT
        }
        if (text(s.payload, "ifname") != "kev0")
            continue;
        if (!family) {
            EXPECT_EQ(pelk::variant::VT_INT32, s.payload.Find("ifindex")->GetType());
            EXPECT_EQ(index, s.payload.Find("ifindex")->AsInt64());
            EXPECT_EQ(1, s.payload.Find("type")->AsInt64());  // ARPHRD_ETHER
        }
        order.push_back(text(s.payload, "eventName"));
    }
    // The changes made, in the order made (the kernel may repeat a state).
    const std::vector<std::string> expected = {"if_down",          "if_up",           "lower_up",
                                               "address_assigned", "address_removed", "if_down"};
    std::size_t matched = 0;
    for (const std::string& name : order) {
        if (matched < expected.size() && name == expected[matched])
            ++matched;
    }
    EXPECT_EQ(expected.size(), matched) << ::testing::PrintToString(order);
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(EventsKernel, LinkNotificationsOverOneKilobyteAreDelivered)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    // A reference socket sees the same datagrams and tells their size.
    const int ref = nl_open(RTMGRP_LINK);
    ASSERT_GE(ref, 0);
    open_module();
    ip("link add kbr0 type bridge");
    ASSERT_TRUE(wait_for(link_event(event_if_down, "kbr0")));
    alignas(nlmsghdr) unsigned char head[sizeof(nlmsghdr)];
    const ssize_t size = recv(ref, head, sizeof head, MSG_DONTWAIT | MSG_PEEK | MSG_TRUNC);
    int fd = ref;
    nl_close(fd);
    EXPECT_GT(size, 1024);
    nlmsghdr h;
    std::memcpy(&h, head, sizeof h);
    EXPECT_EQ(RTM_NEWLINK, h.nlmsg_type);

    ip("link set kbr0 up");
    ASSERT_TRUE(wait_for([](const Seen& s) {
        return text(s.payload, "ifname") == "kbr0" && (s.payload.Find("flags")->AsUInt64() & IFF_UP);
    }));
    EXPECT_TRUE(fake::host().logs.empty());
}

// Link and address messages: the ones the module turns into events.
bool is_event_message(const nlmsghdr* msg)
{
    return msg->nlmsg_type == RTM_NEWLINK || msg->nlmsg_type == RTM_DELLINK || msg->nlmsg_type == RTM_NEWADDR ||
           msg->nlmsg_type == RTM_DELADDR;
}

pid_t spawn_ip_batch(const std::string& path)
{
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("ip", "ip", "-batch", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

TEST_F(EventsKernel, BurstOfVethPairsLosesNothing)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    ReferenceListener reference;
    ASSERT_TRUE(reference.ok());
    ASSERT_TRUE(netlib_libevents_init(&ctx));
    std::size_t delivered = 0;
    unsigned int id = 0;
    ASSERT_TRUE(netlib_libevents_subscribe(&ctx, count, id, &delivered));

    char path[] = "/tmp/netlib-events-burst-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string batch;
    const int pairs = 150;
    for (int i = 0; i < pairs; ++i)
        batch += "link add kb" + std::to_string(i) + "a type veth peer name kb" + std::to_string(i) + "b\n";
    for (int i = 0; i < pairs; ++i) {
        batch += "link set kb" + std::to_string(i) + "a up\n";
        batch += "link set kb" + std::to_string(i) + "b up\n";
    }
    for (int i = 0; i < pairs; ++i)
        batch += "addr add 10.200." + std::to_string(i) + ".1/24 dev kb" + std::to_string(i) + "a\n";
    ASSERT_EQ(static_cast<ssize_t>(batch.size()), write(fd, batch.data(), batch.size()));
    close(fd);

    const pid_t child = spawn_ip_batch(path);
    ASSERT_GT(child, 0);
    int status = -1;
    bool child_done = false;
    std::size_t failures = 0;
    const auto start = std::chrono::steady_clock::now();
    auto last_change = start;
    std::size_t references = 0;  // link and address messages the reference saw
    std::size_t last_reference = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(25)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (;;) {
            const std::size_t before = delivered;
            if (!netlib_libevents_service(&ctx))
                ++failures;
            else if (delivered == before)
                break;
        }
        reference.read_all([&](const nlmsghdr* msg) { references += is_event_message(msg); });
        if (!child_done && waitpid(child, &status, WNOHANG) == child)
            child_done = true;
        if (references != last_reference) {
            last_reference = references;
            last_change = std::chrono::steady_clock::now();
        }
        // Carrier changes trickle in after the batch ends; stop once quiet.
        if (child_done && std::chrono::steady_clock::now() - last_change > std::chrono::milliseconds(1500))
            break;
    }
    if (!child_done) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    unlink(path);

    ASSERT_TRUE(child_done);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(reference.overflowed());
    EXPECT_EQ(0u, failures);
    EXPECT_GE(references, static_cast<std::size_t>(pairs * 5));
    EXPECT_EQ(references, delivered);
    EXPECT_TRUE(fake::host().logs.empty());
}

}  // namespace
