// netlib_libevents_resync against a fake kernel: the library's dump socket
// is one end of a datagram pair (through the socket seam), and the test
// answers each dump request it finds at the other end with scripted replies.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <functional>
#include <memory>
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

struct Request {
    uint16_t type = 0, flags = 0;
    uint32_t len = 0, seq = 0, pid = 0;
    uint8_t family = 0xff;
};

// Gives a hand-built message the header fields a dump reply carries.
Bytes reply(Msg m, const Request& r, uint32_t port, uint16_t flags = NLM_F_MULTI)
{
    Bytes out = m.bytes();
    nlmsghdr h;
    std::memcpy(&h, out.data(), sizeof h);
    h.nlmsg_seq = r.seq;
    h.nlmsg_pid = port;
    h.nlmsg_flags = flags;
    std::memcpy(out.data(), &h, sizeof h);
    return out;
}

Msg with_code(uint16_t type, int code, std::size_t body)
{
    Msg m = Msg::other(type);
    Bytes payload(body, 0);
    std::memcpy(payload.data(), &code, sizeof code);
    return m.raw(payload);
}

Msg done(int code = 0)
{
    return with_code(NLMSG_DONE, code, sizeof(int));
}
Msg error_reply(int code)
{
    return with_code(NLMSG_ERROR, code, sizeof(nlmsgerr));
}
Msg link(const char* name, unsigned int flags = 0x10001)
{
    return Msg::link(RTM_NEWLINK, 7, flags).name(name);
}
Msg address(uint8_t last_octet)
{
    return Msg::addr(RTM_NEWADDR, AF_INET, 0x80, 1).ipv4(IFA_LOCAL, 10, 0, 0, last_octet);
}

// The kernel's side of the dump socket.
class FakeKernel
{
public:
    static constexpr uint32_t kPort = 4242;

    // Reply datagrams for a request; `links` and `addresses` count the
    // requests of that kind before this one.
    std::function<std::vector<Bytes>(const Request&, std::size_t links, std::size_t addresses)> answer;
    std::vector<Request> requests;
    int socket_type = 0;
    bool cloexec_while_open = false;
    int library_fd = -1;

    FakeKernel()
    {
        shim::socket_hook = [this](int domain, int type, int protocol) {
            if (domain != AF_NETLINK || protocol != NETLINK_ROUTE)
                return __real_socket(domain, type, protocol);
            socket_type = type;
            int sv[2];
            if (socketpair(AF_UNIX, type, 0, sv) != 0)
                return -1;
            library_fd = sv[0];
            kernel_fd_ = sv[1];
            return sv[0];
        };
        shim::bind_hook = [this](int fd, const sockaddr* addr, socklen_t len) {
            if (fd != library_fd)
                return __real_bind(fd, addr, len);
            sockaddr_nl nl{};
            std::memcpy(&nl, addr, sizeof nl);
            EXPECT_EQ(AF_NETLINK, nl.nl_family);
            EXPECT_EQ(0u, nl.nl_pid);
            EXPECT_EQ(0u, nl.nl_groups);  // no notifications on the dump socket
            return 0;
        };
        shim::getsockname_hook = [this](int fd, sockaddr* addr, socklen_t* len) {
            if (fd != library_fd)
                return __real_getsockname(fd, addr, len);
            sockaddr_nl nl{};
            nl.nl_family = AF_NETLINK;
            nl.nl_pid = kPort;
            std::memcpy(addr, &nl, sizeof nl);
            *len = sizeof nl;
            return 0;
        };
        shim::recv_hook = [this](int fd, void* buf, size_t len, int flags) {
            if (fd == library_fd)
                serve();
            return __real_recv(fd, buf, len, flags);
        };
    }
    ~FakeKernel()
    {
        shim::reset();
        if (kernel_fd_ >= 0)
            close(kernel_fd_);
    }
    FakeKernel(const FakeKernel&) = delete;
    FakeKernel& operator=(const FakeKernel&) = delete;

    std::size_t count(uint16_t type) const
    {
        std::size_t n = 0;
        for (const Request& r : requests)
            n += r.type == type;
        return n;
    }

private:
    int kernel_fd_ = -1;

    // Answers every request the library sent since the last receive.
    void serve()
    {
        alignas(nlmsghdr) unsigned char buf[256];
        ssize_t n;
        while ((n = recv(kernel_fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
            Request r;
            nlmsghdr h;
            ASSERT_GE(static_cast<std::size_t>(n), sizeof h + 1);
            std::memcpy(&h, buf, sizeof h);
            r.type = h.nlmsg_type;
            r.flags = h.nlmsg_flags;
            r.len = h.nlmsg_len;
            r.seq = h.nlmsg_seq;
            r.pid = h.nlmsg_pid;
            r.family = buf[sizeof h];
            EXPECT_EQ(static_cast<uint32_t>(n), r.len);
            cloexec_while_open = (fcntl(library_fd, F_GETFD) & FD_CLOEXEC) != 0;
            const std::size_t links = count(RTM_GETLINK), addresses = count(RTM_GETADDR);
            requests.push_back(r);
            // Few enough datagrams to fit the pair's queue (max_dgram_qlen).
            for (const Bytes& d : answer(r, links, addresses))
                ASSERT_EQ(static_cast<ssize_t>(d.size()), send(kernel_fd_, d.data(), d.size(), MSG_DONTWAIT));
        }
    }
};

// What subscribers saw, as "who:eventName:ifname" or "who:eventName:ifaddr".
struct Subscriber {
    explicit Subscriber(const char* who) : name(who) {}
    std::string name;
    Lines* calls = nullptr;
    std::function<void()> action;
};

void record(event_type type, const Variant& payload, void* user_data)
{
    Subscriber* s = static_cast<Subscriber*>(user_data);
    const bool is_address = type == event_address_assigned || type == event_address_removed;
    s->calls->push_back(s->name + ":" + text_of(payload, "eventName") + ":" +
                        text_of(payload, is_address ? "ifaddr" : "ifname"));
    if (s->action)
        s->action();
}

class EventsResync : public ::testing::Test
{
protected:
    netlib_context ctx{};
    Lines calls;
    Subscriber a{"a"}, b{"b"};
    std::unique_ptr<FakeKernel> kernel;

    void SetUp() override
    {
        fake::host().reset();
        shim::reset();
        ctx.front_end_marker = 1;
        ASSERT_TRUE(netlib_libevents_init(&ctx));
        kernel.reset(new FakeKernel);
    }

    void TearDown() override
    {
        kernel.reset();
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

    // A link dump of the given names and an address dump of 10.0.0.<octet>s.
    void answer_with(std::vector<const char*> names, std::vector<uint8_t> octets)
    {
        kernel->answer = [=](const Request& r, std::size_t, std::size_t) {
            const uint32_t port = FakeKernel::kPort;
            Bytes d;
            if (r.type == RTM_GETLINK) {
                for (const char* n : names)
                    d = datagram({d, reply(link(n), r, port)});
            } else {
                for (uint8_t o : octets)
                    d = datagram({d, reply(address(o), r, port)});
            }
            return std::vector<Bytes>{datagram({d, reply(done(), r, port)})};
        };
    }

    Lines logs() const { return fake::host().log_texts(); }
};

TEST_F(EventsResync, DumpsLinksThenAddressesAndDispatchesEachAsOneBatch)
{
    subscribe(a);
    subscribe(b);
    const Bytes filler(12000, 0xab);  // a reply datagram beyond the stack buffer
    kernel->answer = [&](const Request& r, std::size_t, std::size_t) {
        const uint32_t port = FakeKernel::kPort;
        Request stale = r;
        stale.seq = r.seq + 100;
        if (r.type == RTM_GETLINK) {
            return std::vector<Bytes>{
                datagram({reply(link("stale-seq"), stale, port), reply(link("other-port"), r, port + 1),
                          reply(link("lo"), r, port),
                          reply(link("eth0", 0x1).attr(0x7ff0, filler.data(), filler.size()), r, port)}),
                datagram({reply(link("eth1", 0), r, port), reply(done(), stale, port), reply(done(), r, port)})};
        }
        return std::vector<Bytes>{datagram({reply(address(1), r, port), reply(address(2), r, port)}),
                                  datagram({reply(done(), r, port)})};
    };
    EXPECT_TRUE(netlib_libevents_resync(&ctx));
    EXPECT_EQ((Lines{"a:lower_up:lo", "a:if_up:eth0", "a:if_down:eth1", "b:lower_up:lo", "b:if_up:eth0",
                     "b:if_down:eth1", "a:address_assigned:10.0.0.1", "a:address_assigned:10.0.0.2",
                     "b:address_assigned:10.0.0.1", "b:address_assigned:10.0.0.2"}),
              calls);
    EXPECT_TRUE(logs().empty());

    ASSERT_EQ(2u, kernel->requests.size());
    const Request& links = kernel->requests[0];
    const Request& addrs = kernel->requests[1];
    EXPECT_EQ(RTM_GETLINK, links.type);
    EXPECT_EQ(NLM_F_REQUEST | NLM_F_DUMP, links.flags);
    EXPECT_EQ(NLMSG_LENGTH(sizeof(ifinfomsg)), links.len);
    EXPECT_EQ(AF_UNSPEC, links.family);
    EXPECT_EQ(RTM_GETADDR, addrs.type);
    EXPECT_EQ(NLM_F_REQUEST | NLM_F_DUMP, addrs.flags);
    EXPECT_EQ(NLMSG_LENGTH(sizeof(ifaddrmsg)), addrs.len);
    EXPECT_EQ(AF_INET, addrs.family);
    EXPECT_NE(links.seq, addrs.seq);

    EXPECT_TRUE(kernel->socket_type & SOCK_CLOEXEC);
    EXPECT_TRUE(kernel->cloexec_while_open);
    EXPECT_EQ(-1, fcntl(kernel->library_fd, F_GETFD));  // closed again
}

TEST_F(EventsResync, LeavesTheSubscriptionQueueAlone)
{
    DgramPair pair;
    int& fd = ctx.events_state->nl_socket;
    nl_close(fd);
    fd = pair.release_reader();
    pair.send_bytes(Msg::link(RTM_NEWLINK, 3, 0).name("queued").bytes());
    subscribe(a);
    answer_with({"now"}, {});
    EXPECT_TRUE(netlib_libevents_resync(&ctx));
    EXPECT_EQ((Lines{"a:lower_up:now"}), calls);
    EXPECT_TRUE(netlib_libevents_drain(&ctx, UINT_MAX));
    EXPECT_EQ((Lines{"a:lower_up:now", "a:if_down:queued"}), calls);
}

TEST_F(EventsResync, InterruptedDumpIsAskedAgainAndOnlyTheCleanSnapshotDelivered)
{
    subscribe(a);
    kernel->answer = [](const Request& r, std::size_t links, std::size_t) {
        const uint32_t port = FakeKernel::kPort;
        if (r.type == RTM_GETADDR)
            return std::vector<Bytes>{reply(done(), r, port)};
        if (links < 2) {  // the kernel marks the end of an inconsistent dump
            return std::vector<Bytes>{
                datagram({reply(link("changing"), r, port), reply(done(), r, port, NLM_F_MULTI | NLM_F_DUMP_INTR)})};
        }
        return std::vector<Bytes>{datagram({reply(link("settled"), r, port), reply(done(), r, port)})};
    };
    EXPECT_TRUE(netlib_libevents_resync(&ctx));
    EXPECT_EQ((Lines{"a:lower_up:settled"}), calls);
    EXPECT_EQ(3u, kernel->count(RTM_GETLINK));
    EXPECT_EQ(1u, kernel->count(RTM_GETADDR));
    EXPECT_NE(kernel->requests[0].seq, kernel->requests[1].seq);  // a retry is a new request
    EXPECT_TRUE(logs().empty());
}

TEST_F(EventsResync, StillInterruptedAfterFiveRetriesFailsWithEbusy)
{
    subscribe(a);
    kernel->answer = [](const Request& r, std::size_t links, std::size_t) {
        const uint32_t port = FakeKernel::kPort;
        const std::string name = "try" + std::to_string(links);
        return std::vector<Bytes>{datagram({reply(link(name.c_str()), r, port, NLM_F_MULTI | NLM_F_DUMP_INTR),
                                            reply(done(), r, port, NLM_F_MULTI | NLM_F_DUMP_INTR)})};
    };
    EXPECT_FALSE(netlib_libevents_resync(&ctx));
    EXPECT_EQ(6u, kernel->count(RTM_GETLINK));
    EXPECT_EQ(0u, kernel->count(RTM_GETADDR));
    EXPECT_EQ((Lines{"a:lower_up:try5"}), calls);  // what it had: the last attempt
    EXPECT_EQ((Lines{"3 netlib_libevents_resync: netlib: failed to resynchronise"}), logs());
    EXPECT_EQ(EBUSY, fake::host().logs[0].error_number);
}

struct FailureRow {
    const char* what;
    // Replaces the reply of the first request of this type.
    uint16_t failing_request;
    std::function<std::vector<Bytes>(const Request&)> bad_reply;
    int error_number;
    Lines delivered;
};

TEST_F(EventsResync, FailuresAreLoggedWithTheirErrnoAfterDeliveringWhatArrived)
{
    const uint32_t port = FakeKernel::kPort;
    const std::vector<FailureRow> rows = {
        {"error reply to the address dump",
         RTM_GETADDR,
         [=](const Request& r) {
             return std::vector<Bytes>{datagram({reply(address(9), r, port), reply(error_reply(-EPERM), r, port, 0)})};
         },
         EPERM,
         {"a:lower_up:lo", "a:address_assigned:10.0.0.9"}},
        {"dump ended with an error code",
         RTM_GETLINK,
         [=](const Request& r) {
             return std::vector<Bytes>{datagram({reply(link("part"), r, port), reply(done(-EMSGSIZE), r, port)})};
         },
         EMSGSIZE,
         {"a:lower_up:part"}},
        {"acknowledgement nobody asked for",
         RTM_GETLINK,
         [=](const Request& r) { return std::vector<Bytes>{reply(error_reply(0), r, port, 0)}; },
         EPROTO,
         {}},
        {"error reply too short for its code",
         RTM_GETLINK,
         [=](const Request& r) { return std::vector<Bytes>{reply(Msg::other(NLMSG_ERROR), r, port, 0)}; },
         EPROTO,
         {}},
        {"stray bytes after a message",
         RTM_GETLINK,
         [=](const Request& r) {
             return std::vector<Bytes>{datagram({reply(link("first"), r, port), Bytes(8, 0)})};
         },
         EPROTO,
         {"a:lower_up:first"}},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.what);
        kernel.reset();  // its hooks go before the next kernel's are set
        kernel.reset(new FakeKernel);
        calls.clear();
        fake::host().reset();
        if (ctx.events_state->subscribers.empty())
            subscribe(a);
        kernel->answer = [&](const Request& r, std::size_t links, std::size_t addresses) {
            const bool first = (r.type == RTM_GETLINK ? links : addresses) == 0;
            if (r.type == row.failing_request && first)
                return row.bad_reply(r);
            if (r.type == RTM_GETLINK)
                return std::vector<Bytes>{datagram({reply(link("lo"), r, port), reply(done(), r, port)})};
            return std::vector<Bytes>{reply(done(), r, port)};
        };
        EXPECT_FALSE(netlib_libevents_resync(&ctx));
        EXPECT_EQ(row.delivered, calls);
        EXPECT_EQ((Lines{"3 netlib_libevents_resync: netlib: failed to resynchronise"}), logs());
        ASSERT_EQ(1u, fake::host().logs.size());
        EXPECT_EQ(row.error_number, fake::host().logs[0].error_number);
        EXPECT_EQ(-1, fcntl(kernel->library_fd, F_GETFD));
        EXPECT_EQ(row.failing_request == RTM_GETADDR ? 1u : 0u, kernel->count(RTM_GETADDR));
    }
}

TEST_F(EventsResync, SocketFailureAndSilentKernel)
{
    subscribe(a);
    shim::socket_hook = [](int, int, int) {
        errno = EMFILE;
        return -1;
    };
    const int before = open_fd_count();
    EXPECT_FALSE(netlib_libevents_resync(&ctx));
    EXPECT_EQ(before, open_fd_count());

    kernel.reset();
    kernel.reset(new FakeKernel);
    kernel->answer = [](const Request&, std::size_t, std::size_t) { return std::vector<Bytes>{}; };
    shim::recv_hook = [](int, void*, size_t, int) -> ssize_t {
        errno = EAGAIN;  // what the receive timeout gives
        return -1;
    };
    EXPECT_FALSE(netlib_libevents_resync(&ctx));
    EXPECT_EQ(-1, fcntl(kernel->library_fd, F_GETFD));
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ((Lines(2, "3 netlib_libevents_resync: netlib: failed to resynchronise")), logs());
    EXPECT_EQ(EMFILE, fake::host().logs[0].error_number);
    EXPECT_EQ(ETIMEDOUT, fake::host().logs[1].error_number);
}

TEST_F(EventsResync, CallbacksMayNotReenterButMaySubscribe)
{
    std::vector<bool> results;
    Subscriber late{"late"};
    late.calls = &calls;
    a.action = [&] {
        if (!results.empty())
            return;
        results.push_back(netlib_libevents_resync(&ctx));
        results.push_back(netlib_libevents_drain(&ctx, UINT_MAX));
        results.push_back(netlib_libevents_close(&ctx));
        unsigned int id = 0;
        results.push_back(netlib_libevents_subscribe(&ctx, record, id, &late));
    };
    subscribe(a);
    answer_with({"lo", "eth0"}, {5});
    EXPECT_TRUE(netlib_libevents_resync(&ctx));
    EXPECT_EQ((std::vector<bool>{false, false, false, true}), results);
    EXPECT_EQ((Lines{"3 netlib_libevents_resync: netlib: not allowed from an event callback",
                     "3 netlib_libevents_drain: netlib: not allowed from an event callback",
                     "3 netlib_libevents_close: netlib: not allowed from an event callback"}),
              logs());
    EXPECT_EQ((Lines{"a:lower_up:lo", "a:lower_up:eth0", "late:lower_up:lo", "late:lower_up:eth0",
                     "a:address_assigned:10.0.0.5", "late:address_assigned:10.0.0.5"}),
              calls);
    EXPECT_EQ(2u, kernel->requests.size());
}

}  // namespace
