// netlib_libevents_drain against a datagram pair standing in for the
// kernel, and the rules that drain and resync share with service: the guard
// and the refusal of re-entrant calls from callbacks.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "events_builder.h"
#include "fake_host.h"
#include "netlib_private.h"
#include "pelk_network_utils_core.h"
#include "syscall_shim.h"

using namespace pelk::network;
using pelk::variant::Variant;
using namespace evtest;

namespace
{

using Lines = std::vector<std::string>;

struct Subscriber {
    explicit Subscriber(const char* who) : name(who) {}
    std::string name;
    Lines* calls = nullptr;
    std::function<void()> action;  // run after recording
};

void record(event_type, const Variant& payload, void* user_data)
{
    Subscriber* s = static_cast<Subscriber*>(user_data);
    s->calls->push_back(s->name + ":" + text_of(payload, "ifname"));
    if (s->action)
        s->action();
}

class EventsDrain : public ::testing::Test
{
protected:
    netlib_context ctx{};
    DgramPair pair;
    Lines calls;
    Subscriber a{"a"}, b{"b"};

    void SetUp() override
    {
        fake::host().reset();
        shim::reset();
        ctx.front_end_marker = 1;
        ASSERT_TRUE(netlib_libevents_init(&ctx));
        int& fd = ctx.events_state->nl_socket;
        nl_close(fd);
        fd = pair.release_reader();
        fake::host().reset();
    }

    void TearDown() override
    {
        shim::reset();
        ctx.front_end_marker = 1;
        if (ctx.events_state)
            ctx.events_state->dispatching = false;
        netlib_libevents_close(&ctx);
    }

    void subscribe(Subscriber& s)
    {
        s.calls = &calls;
        unsigned int id = 0;
        ASSERT_TRUE(netlib_libevents_subscribe(&ctx, record, id, &s));
    }

    // One datagram holding a link message per name.
    void send_links(std::initializer_list<const char*> names)
    {
        Bytes d;
        for (const char* n : names) {
            const Bytes m = Msg::link(RTM_NEWLINK, 3, 0x10001).name(n).bytes();
            d.insert(d.end(), m.begin(), m.end());
        }
        pair.send_bytes(d);
    }

    void send_empty() { ASSERT_EQ(0, send(pair.fd[1], "", 0, 0)); }

    Lines logs() const { return fake::host().log_texts(); }
};

TEST_F(EventsDrain, EmptiesTheQueueDispatchingEachDatagramAsServiceDoes)
{
    subscribe(a);
    subscribe(b);
    send_links({"e1", "e2"});
    send_links({"e3"});
    send_empty();  // holds nothing, but is not the end of the queue
    send_links({"e4"});
    EXPECT_TRUE(netlib_libevents_drain(&ctx, UINT_MAX));
    // Subscriber-major within each datagram, datagrams in arrival order.
    EXPECT_EQ((Lines{"a:e1", "a:e2", "b:e1", "b:e2", "a:e3", "b:e3", "a:e4", "b:e4"}), calls);
    EXPECT_TRUE(netlib_libevents_drain(&ctx, UINT_MAX));  // nothing queued
    EXPECT_EQ(8u, calls.size());
    EXPECT_TRUE(logs().empty());
}

TEST_F(EventsDrain, HonoursTheBoundAndCountsEmptyDatagrams)
{
    subscribe(a);
    send_links({"e1"});
    send_empty();
    send_links({"e2"});
    send_links({"e3"});

    EXPECT_TRUE(netlib_libevents_drain(&ctx, 0));
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(netlib_libevents_drain(&ctx, 2));
    EXPECT_EQ((Lines{"a:e1"}), calls);
    EXPECT_TRUE(netlib_libevents_drain(&ctx, 1));
    EXPECT_EQ((Lines{"a:e1", "a:e2"}), calls);
    EXPECT_TRUE(netlib_libevents_service(&ctx));  // the rest is still queued
    EXPECT_EQ((Lines{"a:e1", "a:e2", "a:e3"}), calls);
    EXPECT_TRUE(logs().empty());
}

TEST_F(EventsDrain, StopsAtAnUnreadableDatagramAndLeavesTheRestQueued)
{
    subscribe(a);
    send_links({"e1"});
    pair.send_bytes(datagram({Msg::link(RTM_NEWLINK, 3, 1).name("partial").bytes(), Bytes(8, 0)}));
    send_links({"e2"});
    EXPECT_FALSE(netlib_libevents_drain(&ctx, UINT_MAX));
    EXPECT_EQ((Lines{"a:e1"}), calls);  // the faulty datagram's event is not delivered
    EXPECT_EQ((Lines{"3 netlib_libevents_drain: netlib: failed to receive an event"}), logs());
    EXPECT_EQ(0, fake::host().logs[0].error_number);
    EXPECT_TRUE(netlib_libevents_drain(&ctx, UINT_MAX));
    EXPECT_EQ((Lines{"a:e1", "a:e2"}), calls);
}

TEST_F(EventsDrain, RetriesInterruptedReceivesAndFailsOnReceiveErrors)
{
    subscribe(a);
    send_links({"e1"});
    int interruptions = 1;
    shim::recv_hook = [&](int fd, void* buf, size_t len, int flags) -> ssize_t {
        if (interruptions > 0) {
            --interruptions;
            errno = EINTR;
            return -1;
        }
        return __real_recv(fd, buf, len, flags);
    };
    EXPECT_TRUE(netlib_libevents_drain(&ctx, 1));
    EXPECT_EQ((Lines{"a:e1"}), calls);  // the interruption did not use up the bound

    send_links({"e2"});
    shim::recv_hook = [](int, void*, size_t, int) -> ssize_t {
        errno = ENOBUFS;  // the socket's queue overflowed
        return -1;
    };
    EXPECT_FALSE(netlib_libevents_drain(&ctx, UINT_MAX));
    EXPECT_EQ((Lines{"3 netlib_libevents_drain: netlib: failed to receive an event"}), logs());
    shim::reset();
    EXPECT_TRUE(netlib_libevents_drain(&ctx, UINT_MAX));
    EXPECT_EQ((Lines{"a:e1", "a:e2"}), calls);
}

TEST_F(EventsDrain, ReadingCallsAreRefusedFromCallbacks)
{
    int sockets_opened = 0;
    shim::socket_hook = [&](int domain, int type, int protocol) {
        ++sockets_opened;
        return __real_socket(domain, type, protocol);
    };
    std::vector<bool> results;
    a.action = [&] {
        results.push_back(netlib_libevents_drain(&ctx, UINT_MAX));
        results.push_back(netlib_libevents_resync(&ctx));
        results.push_back(netlib_libevents_service(&ctx));
    };
    subscribe(a);
    send_links({"e1"});
    send_links({"e2"});
    send_links({"e3"});
    EXPECT_TRUE(netlib_libevents_service(&ctx));   // from a service dispatch
    EXPECT_TRUE(netlib_libevents_drain(&ctx, 1));  // from a drain dispatch
    EXPECT_EQ((std::vector<bool>(6, false)), results);
    const Lines refused{"3 netlib_libevents_drain: netlib: not allowed from an event callback",
                        "3 netlib_libevents_resync: netlib: not allowed from an event callback",
                        "3 netlib_libevents_service: netlib: not allowed from an event callback"};
    Lines twice = refused;
    twice.insert(twice.end(), refused.begin(), refused.end());
    EXPECT_EQ(twice, logs());
    EXPECT_EQ(0, sockets_opened);  // the refused resync asked the kernel nothing
    // Nothing was consumed by the refused calls: the third datagram is still there.
    a.action = nullptr;
    EXPECT_TRUE(netlib_libevents_drain(&ctx, UINT_MAX));
    EXPECT_EQ((Lines{"a:e1", "a:e2", "a:e3"}), calls);
}

TEST_F(EventsDrain, GuardRows)
{
    netlib_context closed{};
    closed.front_end_marker = 1;
    auto both = [](void* c) {
        EXPECT_FALSE(netlib_libevents_drain(c, UINT_MAX));
        EXPECT_FALSE(netlib_libevents_resync(c));
    };
    both(nullptr);
    both(&closed);
    ctx.events_state->initialized = false;
    both(&ctx);
    ctx.events_state->initialized = true;
    EXPECT_EQ((Lines{"3 check: library context is null", "3 check: library context is null",
                     "3 check: library context is null", "3 check: library context is null",
                     "3 check: library is not initialized", "3 check: library is not initialized"}),
              logs());
    for (const auto& l : fake::host().logs) {
        EXPECT_EQ("pelk_network_utils_core", l.module);
        EXPECT_EQ("netlib_events.cpp", l.file);
        EXPECT_EQ(0, l.error_number);
    }
    // Like service, the guard does not look at the marker.
    fake::host().reset();
    ctx.front_end_marker = 0;
    EXPECT_TRUE(netlib_libevents_drain(&ctx, UINT_MAX));
    EXPECT_TRUE(logs().empty());
}

}  // namespace
