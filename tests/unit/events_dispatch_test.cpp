// The events module: lifecycle, guard, subscriptions and dispatch, against
// the recording fake host with a datagram pair standing in for the kernel.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

#include "alloc_fail.h"
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

// What the callbacks saw, as "who:eventName:ifname" lines, shared by all
// subscribers of a test so the interleaving is visible.
struct Journal {
    Lines calls;
};

struct Subscriber {
    explicit Subscriber(const char* who) : name(who) {}
    std::string name;
    Journal* journal = nullptr;
    std::function<void(event_type, const Variant&)> action;  // run after recording
};

void record(event_type, const Variant& payload, void* user_data)
{
    Subscriber* s = static_cast<Subscriber*>(user_data);
    s->journal->calls.push_back(s->name + ":" + text_of(payload, "eventName") + ":" + text_of(payload, "ifname"));
    if (s->action)
        s->action(event_if_down, payload);
}

class EventsModule : public ::testing::Test
{
protected:
    netlib_context ctx{};
    DgramPair pair;
    Journal journal;

    void SetUp() override
    {
        fake::host().reset();
        shim::reset();
        alloc_fail::reset();
        ctx.front_end_marker = 1;
    }

    void TearDown() override
    {
        shim::reset();
        alloc_fail::reset();
        ctx.front_end_marker = 1;
        if (ctx.events_state)
            ctx.events_state->dispatching = false;
        netlib_libevents_close(&ctx);
    }

    // Opens the module and swaps its netlink socket for the pair's reader,
    // so only the datagrams a test sends arrive.
    void open()
    {
        ASSERT_TRUE(netlib_libevents_init(&ctx));
        int& fd = ctx.events_state->nl_socket;
        nl_close(fd);
        fd = pair.release_reader();
        fake::host().reset();
    }

    unsigned int subscribe(Subscriber& s)
    {
        s.journal = &journal;
        unsigned int id = 12345;
        EXPECT_TRUE(netlib_libevents_subscribe(&ctx, record, id, &s));
        return id;
    }

    void send_links(std::initializer_list<const char*> names)
    {
        Bytes d;
        for (const char* n : names) {
            const Bytes m = Msg::link(RTM_NEWLINK, 3, 0x10001).name(n).bytes();
            d.insert(d.end(), m.begin(), m.end());
        }
        pair.send_bytes(d);
    }

    Lines logs() const { return fake::host().log_texts(); }
};

TEST_F(EventsModule, IdsStartAtZeroGrowAndRestartAfterReopen)
{
    open();
    Subscriber a("a"), b("b"), c("c");
    EXPECT_EQ(0u, subscribe(a));
    EXPECT_EQ(1u, subscribe(b));
    EXPECT_TRUE(netlib_libevents_unsubscribe(&ctx, 0));
    EXPECT_EQ(2u, subscribe(c));  // ids are not given back
    EXPECT_TRUE(netlib_libevents_close(&ctx));
    ASSERT_TRUE(netlib_libevents_init(&ctx));
    EXPECT_EQ(0u, subscribe(a));
    EXPECT_TRUE(logs().empty());
}

TEST_F(EventsModule, DeliveryIsSubscriberMajorWithOwnUserData)
{
    open();
    Subscriber a("a"), b("b");
    subscribe(a);
    subscribe(b);
    send_links({"e1", "e2"});
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    EXPECT_EQ((Lines{"a:lower_up:e1", "a:lower_up:e2", "b:lower_up:e1", "b:lower_up:e2"}), journal.calls);
    // Delivered once: the next service finds nothing new.
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    EXPECT_EQ(4u, journal.calls.size());
    EXPECT_TRUE(logs().empty());
}

TEST_F(EventsModule, PayloadIsTheListElementItself)
{
    open();
    static const Variant* seen = nullptr;
    static event_type seen_type = event_if_down;
    unsigned int id = 0;
    ASSERT_TRUE(netlib_libevents_subscribe(
        &ctx, [](event_type t, const Variant& p, void*) { seen = &p, seen_type = t; }, id, nullptr));
    send_links({"ref0"});
    ASSERT_TRUE(netlib_libevents_service(&ctx));
    ASSERT_EQ(1u, ctx.events_state->pending_events.size());
    EXPECT_EQ(&ctx.events_state->pending_events.front().second, seen);
    EXPECT_EQ(event_lower_up, seen_type);
}

TEST_F(EventsModule, NoSubscriberStillDecodesAndNextServiceClears)
{
    open();
    send_links({"x0", "x1"});
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    EXPECT_EQ(2u, ctx.events_state->pending_events.size());
    EXPECT_TRUE(netlib_libevents_service(&ctx));  // nothing queued
    EXPECT_TRUE(ctx.events_state->pending_events.empty());
    EXPECT_TRUE(logs().empty());
}

TEST_F(EventsModule, NothingQueuedCallsNobody)
{
    open();
    Subscriber a("a");
    subscribe(a);
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    EXPECT_TRUE(journal.calls.empty());
}

TEST_F(EventsModule, ReceiveFailureIsLoggedAndNothingDelivered)
{
    open();
    Subscriber a("a");
    subscribe(a);
    send_links({"kept"});
    pair.send_bytes(datagram({Msg::link(RTM_NEWLINK, 3, 1).name("partial").bytes(), Bytes(8, 0)}));
    send_links({"after"});
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    EXPECT_FALSE(netlib_libevents_service(&ctx));
    EXPECT_EQ(1u, ctx.events_state->pending_events.size());  // decoded, never delivered
    EXPECT_EQ((Lines{"3 netlib_libevents_service: netlib: failed to receive an event"}), logs());
    EXPECT_EQ(0, fake::host().logs[0].error_number);
    EXPECT_TRUE(netlib_libevents_service(&ctx));  // the module stays open
    EXPECT_EQ((Lines{"a:lower_up:kept", "a:lower_up:after"}), journal.calls);
}

TEST_F(EventsModule, SubscribeFromCallbackReachesTheNewSubscriberInTheSameWalk)
{
    open();
    Subscriber a("a"), late("late");
    late.journal = &journal;
    bool added = false;
    a.action = [&](event_type, const Variant&) {
        if (added)
            return;
        added = true;
        unsigned int id = 0;
        EXPECT_TRUE(netlib_libevents_subscribe(&ctx, record, id, &late));
        EXPECT_EQ(1u, id);
    };
    subscribe(a);
    send_links({"e1", "e2"});
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    EXPECT_EQ((Lines{"a:lower_up:e1", "a:lower_up:e2", "late:lower_up:e1", "late:lower_up:e2"}), journal.calls);
}

TEST_F(EventsModule, UnsubscribeFromCallback)
{
    open();
    Subscriber a("a"), b("b"), c("c");
    a.action = [&](event_type, const Variant&) { netlib_libevents_unsubscribe(&ctx, 1); };  // b, not reached yet
    c.action = [&](event_type, const Variant&) { netlib_libevents_unsubscribe(&ctx, 2); };  // itself
    subscribe(a);
    subscribe(b);
    subscribe(c);
    Subscriber d("d");
    subscribe(d);
    send_links({"e1", "e2"});
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    // c removed itself at its first event: no more deliveries to it, d still reached.
    EXPECT_EQ((Lines{"a:lower_up:e1", "a:lower_up:e2", "c:lower_up:e1", "d:lower_up:e1", "d:lower_up:e2"}),
              journal.calls);
    journal.calls.clear();
    send_links({"e3"});
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    EXPECT_EQ((Lines{"a:lower_up:e3", "d:lower_up:e3"}), journal.calls);
    EXPECT_EQ(2u, ctx.events_state->subscribers.size());
}

TEST_F(EventsModule, UnsubscribeEveryoneFromCallbackEndsTheWalk)
{
    open();
    Subscriber a("a"), b("b");
    a.action = [&](event_type, const Variant&) {
        EXPECT_TRUE(netlib_libevents_unsubscribe(&ctx, 0));
        EXPECT_TRUE(netlib_libevents_unsubscribe(&ctx, 1));
    };
    subscribe(a);
    subscribe(b);
    send_links({"e1", "e2"});
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    EXPECT_EQ((Lines{"a:lower_up:e1"}), journal.calls);
}

TEST_F(EventsModule, ReentrantCallsAreRefusedDuringDispatch)
{
    open();
    Subscriber a("a");
    std::vector<bool> results;
    a.action = [&](event_type, const Variant&) {
        results.push_back(netlib_libevents_service(&ctx));
        results.push_back(netlib_libevents_close(&ctx));
        results.push_back(netlib_libevents_init(&ctx));
        results.push_back(receive_event(&ctx));
    };
    subscribe(a);
    send_links({"e1"});
    send_links({"e2"});
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    EXPECT_EQ((std::vector<bool>{false, false, false, false}), results);
    EXPECT_EQ((Lines{"3 netlib_libevents_service: netlib: not allowed from an event callback",
                     "3 netlib_libevents_close: netlib: not allowed from an event callback",
                     "3 netlib_libevents_init: netlib: not allowed from an event callback",
                     "3 receive_event: netlib: not allowed from an event callback"}),
              logs());
    // Nothing was torn down: the second datagram is still there for the next call.
    EXPECT_EQ((Lines{"a:lower_up:e1"}), journal.calls);
    a.action = nullptr;
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    EXPECT_EQ((Lines{"a:lower_up:e1", "a:lower_up:e2"}), journal.calls);
}

TEST_F(EventsModule, ThrowingCallbackDoesNotLeaveTheModuleStuck)
{
    open();
    Subscriber a("a");
    bool thrown = false;
    a.action = [&](event_type, const Variant&) {
        if (!thrown) {
            thrown = true;
            throw std::runtime_error("host callback failed");
        }
    };
    subscribe(a);
    send_links({"e1"});
    EXPECT_THROW(netlib_libevents_service(&ctx), std::runtime_error);
    send_links({"e2"});
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    EXPECT_EQ((Lines{"a:lower_up:e1", "a:lower_up:e2"}), journal.calls);
}

TEST_F(EventsModule, NullCallbackIsRefused)
{
    open();
    unsigned int id = 77;
    EXPECT_FALSE(netlib_libevents_subscribe(&ctx, nullptr, id, &journal));
    EXPECT_EQ(77u, id);
    EXPECT_TRUE(ctx.events_state->subscribers.empty());
    EXPECT_EQ((Lines{"3 netlib_libevents_subscribe: netlib: invalid callback"}), logs());
    Subscriber a("a");
    EXPECT_EQ(0u, subscribe(a));  // the refused call used no id
}

TEST_F(EventsModule, WrappedCounterSkipsLiveIds)
{
    open();
    Subscriber a("a"), b("b"), c("c"), d("d");
    EXPECT_EQ(0u, subscribe(a));
    EXPECT_EQ(1u, subscribe(b));
    ctx.events_state->next_id = UINT_MAX;
    EXPECT_EQ(UINT_MAX, subscribe(c));
    EXPECT_EQ(2u, subscribe(d));  // 0 and 1 still belong to a and b
    EXPECT_EQ(3u, ctx.events_state->next_id);
    send_links({"w"});
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    EXPECT_EQ((Lines{"a:lower_up:w", "b:lower_up:w", "d:lower_up:w", "c:lower_up:w"}), journal.calls);
}

TEST_F(EventsModule, UnsubscribeUnknownIdIsNotAnError)
{
    open();
    EXPECT_TRUE(netlib_libevents_unsubscribe(&ctx, 42));
    Subscriber a("a");
    subscribe(a);
    EXPECT_TRUE(netlib_libevents_unsubscribe(&ctx, 0));
    EXPECT_TRUE(netlib_libevents_unsubscribe(&ctx, 0));
    EXPECT_TRUE(logs().empty());
}

TEST_F(EventsModule, GuardRows)
{
    Subscriber a("a");
    a.journal = &journal;
    unsigned int id = 9;
    auto all_guarded = [&](void* c) {
        EXPECT_FALSE(netlib_libevents_subscribe(c, record, id, &a));
        EXPECT_FALSE(netlib_libevents_unsubscribe(c, 0));
        EXPECT_FALSE(netlib_libevents_service(c));
        EXPECT_FALSE(receive_event(c));
    };
    const Lines null_lines(4, "3 check: library context is null");

    all_guarded(nullptr);
    EXPECT_EQ(null_lines, logs());
    fake::host().reset();
    all_guarded(&ctx);  // never opened
    EXPECT_EQ(null_lines, logs());
    EXPECT_EQ(9u, id);

    open();
    ctx.events_state->initialized = false;
    all_guarded(&ctx);
    EXPECT_EQ(Lines(4, "3 check: library is not initialized"), logs());
    for (const auto& l : fake::host().logs) {
        EXPECT_EQ("pelk_network_utils_core", l.module);
        EXPECT_EQ("netlib_events.cpp", l.file);
        EXPECT_EQ(0, l.error_number);
        EXPECT_EQ(0, l.reserved);
        EXPECT_GT(l.line, 0);
    }
    ctx.events_state->initialized = true;

    // The guard does not look at the marker.
    fake::host().reset();
    ctx.front_end_marker = 0;
    EXPECT_TRUE(netlib_libevents_subscribe(&ctx, record, id, &a));
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    EXPECT_TRUE(receive_event(&ctx));
    EXPECT_TRUE(logs().empty());
}

TEST_F(EventsModule, ReceiveEventFillsThePendingList)
{
    open();
    Subscriber a("a");
    subscribe(a);
    send_links({"r0"});
    EXPECT_TRUE(receive_event(&ctx));
    EXPECT_EQ(1u, ctx.events_state->pending_events.size());
    EXPECT_TRUE(journal.calls.empty());
    pair.send_bytes(Bytes(10, 0));
    EXPECT_FALSE(receive_event(&ctx));
    EXPECT_TRUE(logs().empty());
}

TEST_F(EventsModule, InitRefusesNullContextAndUnmarkedContext)
{
    EXPECT_FALSE(netlib_libevents_init(nullptr));
    ctx.front_end_marker = 0;
    EXPECT_FALSE(netlib_libevents_init(&ctx));
    EXPECT_EQ(nullptr, ctx.events_state);
    EXPECT_EQ((Lines{"3 netlib_libevents_init: library context is null",
                     "3 netlib_libevents_init: netlib: you may not call this function directly"}),
              logs());
}

TEST_F(EventsModule, InitSocketFailuresLogErrnoAndLeaveNoState)
{
    shim::socket_hook = [](int, int, int) {
        errno = EMFILE;
        return -1;
    };
    EXPECT_FALSE(netlib_libevents_init(&ctx));
    EXPECT_EQ(nullptr, ctx.events_state);
    shim::reset();

    const int before = open_fd_count();
    shim::bind_hook = [](int, const sockaddr*, socklen_t) {
        errno = EADDRINUSE;
        return -1;
    };
    EXPECT_FALSE(netlib_libevents_init(&ctx));
    EXPECT_EQ(nullptr, ctx.events_state);
    EXPECT_EQ(before, open_fd_count());
    shim::reset();

    EXPECT_FALSE(netlib_libevents_service(&ctx));
    EXPECT_EQ(
        (Lines{"3 netlib_libevents_init: netlib: failed to open netlink socket (" + std::to_string(EMFILE) + ")",
               "3 netlib_libevents_init: netlib: failed to open netlink socket (" + std::to_string(EADDRINUSE) + ")",
               "3 check: library context is null"}),
        logs());
    EXPECT_EQ(0, fake::host().logs[0].error_number);
    EXPECT_TRUE(netlib_libevents_close(&ctx));
}

TEST_F(EventsModule, InitAllocationFailureLeavesNoState)
{
    const int before = open_fd_count();
    alloc_fail::fail_next_nothrow(1);
    EXPECT_FALSE(netlib_libevents_init(&ctx));
    EXPECT_EQ(1, alloc_fail::nothrow_failures());
    EXPECT_EQ(nullptr, ctx.events_state);
    EXPECT_EQ(before, open_fd_count());
    EXPECT_EQ((Lines{"3 netlib_libevents_init: netlib: memory allocation error"}), logs());
    alloc_fail::reset();
    EXPECT_TRUE(netlib_libevents_init(&ctx));
}

TEST_F(EventsModule, CloseRows)
{
    EXPECT_TRUE(netlib_libevents_close(&ctx));  // never opened
    EXPECT_TRUE(logs().empty());
    EXPECT_FALSE(netlib_libevents_close(nullptr));
    EXPECT_EQ((Lines{"3 netlib_libevents_close: library context is null"}), logs());

    open();
    netlib_events_state* state = ctx.events_state;
    ctx.front_end_marker = 0;
    EXPECT_FALSE(netlib_libevents_close(&ctx));
    EXPECT_EQ(state, ctx.events_state);
    EXPECT_EQ((Lines{"3 netlib_libevents_close: netlib: you may not call this function directly"}), logs());
    ctx.front_end_marker = 1;
    fake::host().reset();

    const int fd = state->nl_socket;
    EXPECT_TRUE(netlib_libevents_close(&ctx));
    EXPECT_EQ(nullptr, ctx.events_state);
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
    EXPECT_TRUE(netlib_libevents_close(&ctx));
    EXPECT_TRUE(logs().empty());
    EXPECT_FALSE(netlib_libevents_service(&ctx));
}

TEST_F(EventsModule, SecondInitReleasesTheFirstSocket)
{
    const int before = open_fd_count();
    ASSERT_TRUE(netlib_libevents_init(&ctx));
    Subscriber a("a");
    subscribe(a);
    ASSERT_TRUE(netlib_libevents_init(&ctx));
    EXPECT_EQ(before + 1, open_fd_count());
    EXPECT_TRUE(ctx.events_state->subscribers.empty());
    EXPECT_EQ(0u, subscribe(a));
    EXPECT_TRUE(netlib_libevents_close(&ctx));
    EXPECT_EQ(before, open_fd_count());
}

TEST_F(EventsModule, NetlinkSocketIsCloexecAndBoundToLinkAndIpv4Groups)
{
    unsigned int groups = 0;
    shim::bind_hook = [&](int fd, const sockaddr* addr, socklen_t len) {
        sockaddr_nl nl{};
        std::memcpy(&nl, addr, sizeof nl);
        groups = nl.nl_groups;
        return __real_bind(fd, addr, len);
    };
    ASSERT_TRUE(netlib_libevents_init(&ctx));
    shim::reset();
    EXPECT_EQ(static_cast<unsigned int>(RTMGRP_LINK | RTMGRP_IPV4_IFADDR), groups);
    const int flags = fcntl(ctx.events_state->nl_socket, F_GETFD);
    ASSERT_NE(-1, flags);
    EXPECT_TRUE(flags & FD_CLOEXEC);
    EXPECT_EQ(0u, ctx.events_state->next_id);
    EXPECT_TRUE(ctx.events_state->initialized);
}

}  // namespace
