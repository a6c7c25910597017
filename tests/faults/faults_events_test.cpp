// Events module under real system-call failures: the netlink socket cannot
// be opened or bound, the state cannot be allocated, and the receive is
// interrupted, finds nothing, or finds the socket's queue overflowed.
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cerrno>
#include <string>
#include <vector>

#include "alloc_fail.h"
#include "fault_test.h"
#include "netlib_private.h"

using namespace pelk::network;
using pelk::variant::Variant;

namespace
{

const char kReceiveFailed[] = " netlib_libevents_service: netlib: failed to receive an event";

struct Seen {
    event_type type;
    std::string ifname;
    std::string ifaddr;
};

std::string text_of(const Variant& payload, const char* key)
{
    const Variant* v = payload.Find(key);
    return v != nullptr && v->IsString() ? v->AsString() : std::string();
}

void collect(event_type type, const Variant& payload, void* user_data)
{
    static_cast<std::vector<Seen>*>(user_data)->push_back(
        Seen{type, text_of(payload, "ifname"), text_of(payload, "ifaddr")});
}

bool saw_address(const std::vector<Seen>& seen, const std::string& address)
{
    for (const Seen& s : seen) {
        if (s.type == event_address_assigned && s.ifaddr == address)
            return true;
    }
    return false;
}

// Services until a call delivers nothing; the number of false results.
int drain(netlib_context& ctx, std::vector<Seen>& seen, int max_calls = 10000)
{
    int failures = 0;
    for (int i = 0; i < max_calls; ++i) {
        const std::size_t had = seen.size();
        const bool ok = netlib_libevents_service(&ctx);
        if (!ok)
            ++failures;
        else if (seen.size() == had)
            break;
    }
    return failures;
}

class EventsFaults : public FaultTest
{
};

TEST_F(EventsFaults, InitWithoutFreeDescriptorLogsTheErrno)
{
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        const int before = faults::fd_count();
        const long soft = faults::exhaust_descriptors();
        c.expect(soft > 0, "descriptor limit lowered");
        c.expect(!netlib_libevents_init(&ctx), "init fails");
        c.expect(ctx.events_state == nullptr, "no state left behind");
        c.expect_logged(
            {" netlib_libevents_init: netlib: failed to open netlink socket (" + std::to_string(EMFILE) + ")"});
        int fd = nl_open(17);
        c.expect(fd == -1 && errno == EMFILE, "nl_open reports EMFILE");
        c.expect(faults::restore_descriptor_limit(soft), "limit restored");
        c.expect(faults::fd_count() == before, "no descriptor leaked");
        c.expect(netlib_libevents_init(&ctx), "a later init succeeds");
        c.expect(netlib_libevents_close(&ctx), "close");
        c.expect(faults::fd_count() == before, "init and close leave the count as it was");
    });
}

TEST_F(EventsFaults, RefusedBindClosesTheSocket)
{
    SKIP_WITHOUT_SECCOMP();
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        const int before = faults::fd_count();
        c.expect(faults::install_errno_filter({{SYS_bind, EADDRINUSE}}), "seccomp filter");
        int fd = nl_open(17);
        c.expect(fd == -1 && errno == EADDRINUSE, "nl_open fails with the bind's errno");
        c.expect(faults::fd_count() == before, "the unbound socket was closed");
        c.expect(!netlib_libevents_init(&ctx), "init fails");
        c.expect(ctx.events_state == nullptr, "no state left behind");
        c.expect_logged(
            {" netlib_libevents_init: netlib: failed to open netlink socket (" + std::to_string(EADDRINUSE) + ")"});
        c.expect(faults::fd_count() == before, "no descriptor leaked by init");
        c.expect(!netlib_libevents_service(&ctx), "service after the failed init");
        c.expect_logged({" check: library context is null"});
    });
}

TEST_F(EventsFaults, InitWhoseStateCannotBeAllocatedOpensNoSocket)
{
    netlib_context ctx = fresh_context();
    const int before = faults::fd_count();
    alloc_fail::reset();
    alloc_fail::fail_next_nothrow(1);
    EXPECT_FALSE(netlib_libevents_init(&ctx));
    const long refused = alloc_fail::nothrow_failures();
    alloc_fail::reset();
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(ctx.events_state, nullptr);
    EXPECT_EQ(faults::log_count({" netlib_libevents_init: netlib: memory allocation error"}), 1) << faults::log_dump();
    EXPECT_EQ(faults::fd_count(), before);
}

TEST_F(EventsFaults, NothingQueuedIsNotAFailure)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    netlib_context ctx = fresh_context();
    const int before = faults::fd_count();
    ASSERT_TRUE(netlib_libevents_init(&ctx));
    std::vector<Seen> seen;
    unsigned int id = 0;
    ASSERT_TRUE(netlib_libevents_subscribe(&ctx, collect, id, &seen));
    EXPECT_TRUE(netlib_libevents_service(&ctx));
    event_list events;
    errno = 0;
    EXPECT_EQ(nl_service(ctx.events_state->nl_socket, events), 0);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(faults::log_lines().empty()) << faults::log_dump();
    EXPECT_TRUE(netlib_libevents_close(&ctx));
    EXPECT_EQ(faults::fd_count(), before);
}

// An interrupted receive is "nothing this time": no failure, no callback,
// and the queued datagram is still there for the next call.
TEST_F(EventsFaults, InterruptedReceiveLeavesTheDatagramQueued)
{
    SKIP_WITHOUT_SECCOMP();
    NETLIB_ENTER_NETNS_OR_SKIP();
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        c.expect(netlib_libevents_init(&ctx), "init");
        std::vector<Seen> seen;
        unsigned int id = 0;
        c.expect(netlib_libevents_subscribe(&ctx, collect, id, &seen), "subscribe");
        c.expect(faults::run({"ip", "link", "add", "feA0", "type", "veth", "peer", "name", "feB0"}) == 0, "veth added");
        std::vector<faults::ErrnoRule> rules{{SYS_recvfrom, EINTR}};
#ifdef SYS_recv
        rules.push_back({SYS_recv, EINTR});
#endif
        c.expect(faults::install_errno_filter(rules), "seccomp filter");
        c.expect(netlib_libevents_service(&ctx), "service returns true");
        c.expect(seen.empty(), "no callback");
        event_list events;
        c.expect(nl_service(ctx.events_state->nl_socket, events) == 0 && events.empty(), "nl_service returns 0");
        c.expect(faults::log_lines().empty(), "nothing logged:\n" + faults::log_dump());
        char buffer[8192];
        iovec iov{buffer, sizeof buffer};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        c.expect(recvmsg(ctx.events_state->nl_socket, &msg, MSG_DONTWAIT) > 0, "the datagram is still queued");
        c.expect(netlib_libevents_close(&ctx), "close");
    });
}

// A real overflow: the socket's queue is shrunk and filled with link changes
// while nobody services it. The loss is reported once per failed call, and
// the module goes on with the next notifications.
TEST_F(EventsFaults, OverflowedQueueIsReportedAndServiceRecovers)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    netlib_context ctx = fresh_context();
    const int before = faults::fd_count();
    ASSERT_TRUE(netlib_libevents_init(&ctx));
    std::vector<Seen> seen;
    unsigned int id = 0;
    ASSERT_TRUE(netlib_libevents_subscribe(&ctx, collect, id, &seen));
    const int tiny = 1;  // the kernel raises it to its minimum, about one message
    ASSERT_EQ(setsockopt(ctx.events_state->nl_socket, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny), 0);
    for (int i = 0; i < 8; ++i) {
        const std::string n = std::to_string(i);
        ASSERT_EQ(
            testns::sh("ip link add feO" + n + " type veth peer name feP" + n + " && ip link set feO" + n + " up"), 0);
    }
    const int failures = drain(ctx, seen);
    EXPECT_GE(failures, 1);
    EXPECT_EQ(faults::log_count({kReceiveFailed}), failures) << faults::log_dump();
    EXPECT_EQ(faults::log_lines().size(), static_cast<std::size_t>(failures)) << faults::log_dump();

    // The queue still holds one notification at a time: one address change
    // per round, each delivered by the next calls.
    for (const char* address : {"10.9.9.1", "10.9.9.2"}) {
        seen.clear();
        ASSERT_EQ(testns::sh(std::string("ip addr add ") + address + "/24 dev feO0"), 0);
        EXPECT_EQ(drain(ctx, seen), 0) << faults::log_dump();
        EXPECT_TRUE(saw_address(seen, address)) << address;
    }
    EXPECT_TRUE(netlib_libevents_close(&ctx));
    EXPECT_EQ(faults::fd_count(), before);
}

}  // namespace
