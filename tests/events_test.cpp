// Events: the decoder on recorded and malformed datagrams, dispatch on a socket
// pair, and the real kernel's notifications in a private network namespace.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>

#include "support.h"

namespace
{

using pelk::variant::Variant;

std::string text(const Variant& payload, const char* key)
{
    const Variant* v = payload.Find(key);
    return v ? v->AsString() : "?";
}

// "eventName ifname" for a link, "eventName ifname family address" for an address.
std::string describe(net::event_type type, const Variant& p)
{
    std::string line = text(p, "eventName") + " " + text(p, "ifname");
    return type < net::event_address_assigned ? line : line + " " + text(p, "family") + " " + text(p, "ifaddr");
}

std::string describe(const net::event_list& events)
{
    std::string all;
    for (const auto& e : events)
        all += describe(e.first, e.second) + "\n";
    return all;
}

// A datagram socket pair: what is sent on one end is read as notifications.
struct Pair {
    int fd[2] = {-1, -1};
    Pair() { EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fd)); }
    ~Pair() { close(fd[0]), close(fd[1]); }  // -1 is refused harmlessly
    void send(const std::vector<unsigned char>& d) const
    {
        EXPECT_EQ(static_cast<ssize_t>(d.size()), ::send(fd[1], d.data(), d.size(), 0));
    }
};

std::vector<unsigned char> join(std::initializer_list<Message> messages, std::size_t stray = 0)
{
    std::vector<unsigned char> d;
    for (const Message& m : messages)
        d.insert(d.end(), m.bytes.begin(), m.bytes.end());
    d.resize(d.size() + stray);
    return d;
}

// An address message with IFA_LOCAL and, when given, a peer's IFA_ADDRESS before or after it.
Message address(std::uint8_t family, const std::string& local, const std::string& peer = "", bool peer_first = false)
{
    Message m(RTM_NEWADDR, 8);
    m.put<std::uint8_t>(16, family).put<std::uint32_t>(20, 0x7ffffff0);  // an index no interface has
    if (peer_first)
        m.attr(IFA_ADDRESS, peer);
    m.attr(IFA_LOCAL, local);
    return peer.empty() || peer_first ? m : m.attr(IFA_ADDRESS, peer);
}

std::string ip4(unsigned char a, unsigned char b, unsigned char c, unsigned char d)
{
    return std::string{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)};
}

// In a namespace of its own: no interface there has the recorded indexes.
class Decoder : public Isolated
{
};

TEST_F(Decoder, RecordedKernelNotificationsDecodeToTheirEventsAndPayloads)
{
    std::vector<std::string> files;
    const std::string dir = NETLIB_SOURCE_DIR "/tests/data/netlink/";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name).find(".bin") != std::string::npos)
                files.push_back(e->d_name);
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    Pair pair;
    net::event_list events;
    for (const std::string& f : files) {
        const std::string bytes = read_file(dir + f);
        pair.send(std::vector<unsigned char>(bytes.begin(), bytes.end()));
        ASSERT_EQ(0, nl_service(pair.fd[0], events)) << f;
    }
    // What each recorded notification means: a line per file, in name order.
    EXPECT_EQ(read_file(dir + "expected.txt"), describe(events));

    // Keys in order, each with the width and signedness a subscriber relies on.
    std::string types;
    for (const Variant* p : {&events.front().second, &std::next(events.begin(), 2)->second})
        for (std::size_t i = 0; i < p->Size(); ++i)
            types += p->KeyAt(i) + ":" + Variant::TypeName(p->ValueAt(i).GetType()) + " ";
    EXPECT_EQ(
        "flags:uint32 ifindex:int32 ifname:string type:uint16 eventName:string family:string flags:uint8 "
        "ifaddr:string ifindex:uint32 ifname:string eventName:string ",
        types);
}

TEST_F(Decoder, MalformedDatagramsFailWithoutReadingPastTheirEnd)
{
    const Message up = link_message(RTM_NEWLINK, 2, IFF_UP, "a");
    Message short_link(RTM_NEWLINK, 16);
    struct Row {
        const char* what;
        std::vector<unsigned char> datagram;
        int result;
        const char* events;
    } rows[] = {
        {"empty", {}, 0, ""},
        {"10 bytes", std::vector<unsigned char>(10, 0xff), -1, ""},
        {"first length below the header", join({Message(RTM_NEWLINK, 16).length(15)}), -1, ""},
        {"first length past the end", join({Message(RTM_NEWLINK, 16).length(33)}), -1, ""},
        {"8 stray bytes after a message", join({up}, 8), -1, "if_up a\n"},
        {"second length below the header", join({up, Message(NLMSG_DONE, 4).length(8)}), -1, "if_up a\n"},
        {"attribute longer than its message", join({link_message(RTM_NEWLINK, 2, 1, "").attr(3, "abc", 64)}), 0,
         "if_up \n"},
        {"attribute shorter than its header", join({link_message(RTM_NEWLINK, 2, 1, "").attr(3, "abc", 3)}), 0,
         "if_up \n"},
        {"link message of 31 bytes skipped", join({short_link.length(31), up}), 0, "if_up a\n"},
        {"link message of 32 bytes, no attributes", join({Message(RTM_NEWLINK, 16)}), 0, "if_down \n"},
        {"done, error and route messages skipped",
         join({Message(NLMSG_DONE, 4), Message(NLMSG_ERROR, 20), Message(RTM_NEWROUTE, 12), up}), 0, "if_up a\n"},
        {"unterminated 17-byte name cut to 16",
         join({link_message(RTM_DELLINK, 2, 0x10000, "").attr(3, "abcdefghijklmnopq")}), 0,
         "if_down abcdefghijklmnop\n"},
        {"address family 7", join({address(7, "abcd")}), 0, "address_assigned  AF_INET6 \n"},
        {"octets of one, two and three digits",
         join({address(AF_INET, ip4(0, 9, 10, 99)), address(AF_INET, ip4(100, 255, 7, 0))}), 0,
         "address_assigned  AF_INET 0.9.10.99\naddress_assigned  AF_INET 100.255.7.0\n"},
        {"point-to-point: the local address, whichever comes first",
         join({address(AF_INET, ip4(10, 0, 0, 1), ip4(10, 0, 0, 2)),
               address(AF_INET, ip4(10, 0, 0, 1), ip4(10, 0, 0, 2), true)}),
         0, "address_assigned  AF_INET 10.0.0.1\naddress_assigned  AF_INET 10.0.0.1\n"},
        {"the later of two names, the shorter",
         join({link_message(RTM_NEWLINK, 2, IFF_UP, "second").attr(IFLA_IFNAME, "first")}), 0, "if_up first\n"},
        {"IPv4 address of 2 bytes", join({address(AF_INET, "ab")}), 0, "address_assigned  AF_INET \n"},
        {"an empty name ending the message, read",
         join({link_message(RTM_NEWLINK, 2, IFF_UP, "second").attr(IFLA_IFNAME, "")}), 0, "if_up \n"},
    };
    for (const Row& row : rows) {
        Pair pair;
        pair.send(row.datagram);
        net::event_list events;
        EXPECT_EQ(row.result, nl_service(pair.fd[0], events)) << row.what;
        EXPECT_EQ(row.events, describe(events)) << row.what;
        EXPECT_EQ(-1, recv(pair.fd[0], nullptr, 0, MSG_DONTWAIT)) << row.what << ": datagram left queued";
    }
    net::event_list events;
    errno = 0;
    EXPECT_EQ(
        -1, nl_event_callback(static_cast<nlmsghdr*>(static_cast<void*>(short_link.length(31).bytes.data())), events));
    EXPECT_EQ(EBADMSG, errno);
    Message short_address(RTM_DELADDR, 8);
    errno = 0;
    EXPECT_EQ(-1, nl_event_callback(static_cast<nlmsghdr*>(static_cast<void*>(short_address.length(23).bytes.data())),
                                    events));
    EXPECT_EQ(EBADMSG, errno);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ("router_domains", event_to_string(net::event_router_domains));
    EXPECT_EQ("n/a", event_to_string(static_cast<net::event_type>(10)));
}

// The events module reading from a socket pair instead of the kernel.
class Dispatch : public ::testing::Test
{
public:
    Log log;
    Ctx ctx;
    std::unique_ptr<Pair> pair;
    std::string calls;
    struct Sub {
        Dispatch* test;
        char name;
        unsigned int id;
    } a{this, 'A', 0}, b{this, 'B', 0}, c{this, 'C', 0};
    std::function<void(Sub&)> on_first_call;

protected:
    static void record(net::event_type type, const Variant& payload, void* user)
    {
        Sub& sub = *static_cast<Sub*>(user);
        sub.test->calls += std::string(1, sub.name) + ":" + describe(type, payload) + " ";
        std::function<void(Sub&)> act;
        act.swap(sub.test->on_first_call);
        if (act)
            act(sub);
    }
    void open(unsigned int extras = 0)
    {
        pair.reset(new Pair());
        ASSERT_TRUE(net::netlib_libevents_init(ctx));
        ASSERT_TRUE(net::netlib_libevents_opt_in(ctx, extras));  // on the kernel's socket, before it is replaced
        netlib_events_state* s = ctx.block.events_state;
        close(s->nl_socket);
        s->nl_socket = pair->fd[0];  // the module closes it
        pair->fd[0] = -1;
        ASSERT_TRUE(net::netlib_libevents_subscribe(ctx, record, a.id, &a));
        ASSERT_TRUE(net::netlib_libevents_subscribe(ctx, record, b.id, &b));
    }
    void SetUp() override { open(); }
    void send(const char* names)
    {
        std::vector<unsigned char> d;
        for (const char* n = names; *n; ++n)
            for (unsigned char byte : link_message(RTM_NEWLINK, 2, IFF_UP, std::string(1, *n)).bytes)
                d.push_back(byte);
        pair->send(d);
    }
};

// Every member as key=value, integers and booleans in decimal.
std::string members(const Variant& p)
{
    std::string all;
    for (std::size_t i = 0; i < p.Size(); ++i) {
        const Variant& v = p.ValueAt(i);
        all += " " + p.KeyAt(i) + "=" + (v.IsString() ? v.AsString() : std::to_string(v.AsInt64()));
    }
    return all;
}

TEST_F(Dispatch, OptedInIpv6AddressesAndRouterOptionsDecodeToTheirPayloads)
{
    const std::string fe80_5("\xfe\x80\0\0\0\0\0\0\0\0\0\0\0\0\0\x05", 16), fe80_1 = fe80_5.substr(0, 15) + "\x01";
    Message address(RTM_NEWADDR, 8);
    address.put<std::uint8_t>(16, AF_INET6).put<std::uint8_t>(17, 64).put<std::uint8_t>(18, 0x40);
    address.put<std::uint8_t>(19, 253).put<std::uint32_t>(20, 1);  // link scope, lo
    address.attr(IFA_LOCAL, fe80_5).attr(8 /* IFA_FLAGS: the full flags win */, std::string("\x60\0\0\0", 4));
    // A router advertisement's RDNSS and DNSSL options as the kernel passes them on, then its address.
    const std::string options = std::string("\x19\x05\0\0\0\0\x02\x58", 8) +
                                std::string("\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x53", 16) + fe80_1 +
                                std::string(
                                    "\x1f\x05\0\0\0\0\x02\x58\x03"
                                    "LAN\x04"
                                    "test\0\x03"
                                    "bad\x02 x\0",
                                    26) +
                                std::string(
                                    "\x04"
                                    "corp\x07"
                                    "example\0",
                                    14);
    Message router(68 /* RTM_NEWNDUSEROPT */, 16);
    router.put<std::uint8_t>(16, AF_INET6).put<std::uint16_t>(18, options.size()).put<std::int32_t>(20, 1);
    router.bytes.insert(router.bytes.end(), options.begin(), options.end());
    router.length(static_cast<std::uint32_t>(router.bytes.size())).attr(1 /* NDUSEROPT_SRCADDR */, fe80_1);
    std::vector<std::string> seen6;
    const auto keep = [](net::event_type, const Variant& p, void* user) {
        static_cast<std::vector<std::string>*>(user)->push_back(members(p));
    };
    for (unsigned int extras : {0u, 3u}) {
        open(extras);
        unsigned int id = 0;
        ASSERT_TRUE(net::netlib_libevents_subscribe(ctx, keep, id, &seen6));
        std::vector<unsigned char> d = address.bytes;
        d.insert(d.end(), router.bytes.begin(), router.bytes.end());
        pair->send(d);
        ASSERT_TRUE(net::netlib_libevents_service(ctx));
    }
    EXPECT_EQ((std::vector<std::string>{
                  " family=AF_INET6 flags=64 ifaddr=fe80:0000:0000:0000:0000:0000:0000:0005 ifindex=1 ifname=lo "
                  "eventName=address_assigned",
                  " family=AF_INET6 flags=64 ifaddr=fe80:0000:0000:0000:0000:0000:0000:0005 ifindex=1 ifname=lo "
                  "prefixlen=64 scope=link tentative=1 deprecated=1 dadfailed=0 eventName=ipv6_address_assigned",
                  " family=AF_INET6 ifindex=1 ifname=lo router=fe80::1 lifetime=600 nameservers=2001:db8::53 "
                  "fe80::1%lo eventName=router_nameservers",
                  " family=AF_INET6 ifindex=1 ifname=lo router=fe80::1 lifetime=600 domains=LAN.test corp.example "
                  "eventName=router_domains"}),
              seen6);
    EXPECT_FALSE(net::netlib_libevents_opt_in(ctx, 4));
    EXPECT_EQ(std::vector<std::string>{"3 netlib_libevents_opt_in: netlib: unknown event extras 0x4"}, Log::take());
}

TEST_F(Dispatch, SubscribersAreCalledInIdOrderAndMayChangeTheRegistryOrNotReenter)
{
    unsigned int id = 99;
    EXPECT_FALSE(net::netlib_libevents_subscribe(ctx, nullptr, id, nullptr));
    EXPECT_EQ(99u, id);
    struct Row {
        const char* what;
        std::function<void(Dispatch&, Sub&)> action;
        const char* calls;
    } rows[] = {
        {"none", nullptr, "A:if_up x A:if_up y B:if_up x B:if_up y "},
        {"unsubscribe itself", [](Dispatch& t, Sub& s) { net::netlib_libevents_unsubscribe(t.ctx, s.id); },
         "A:if_up x B:if_up x B:if_up y "},
        {"unsubscribe the next", [](Dispatch& t, Sub&) { net::netlib_libevents_unsubscribe(t.ctx, t.b.id); },
         "A:if_up x A:if_up y "},
        {"subscribe another", [](Dispatch& t, Sub&) { net::netlib_libevents_subscribe(t.ctx, record, t.c.id, &t.c); },
         "A:if_up x A:if_up y B:if_up x B:if_up y C:if_up x C:if_up y "},
        {"re-enter",
         [](Dispatch& t, Sub&) {
             EXPECT_FALSE(net::netlib_libevents_service(t.ctx));
             EXPECT_FALSE(net::netlib_libevents_drain(t.ctx, 1));
             EXPECT_FALSE(net::netlib_libevents_resync(t.ctx));
             EXPECT_FALSE(receive_event(t.ctx));
             EXPECT_FALSE(net::netlib_libevents_close(t.ctx));
             EXPECT_FALSE(net::netlib_libevents_init(t.ctx));
         },
         "A:if_up x A:if_up y B:if_up x B:if_up y "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(0u, a.id);
        EXPECT_EQ(1u, b.id);
        if (row.action)
            on_first_call = [this, &row](Sub& s) { row.action(*this, s); };
        send("xy");
        EXPECT_TRUE(net::netlib_libevents_service(ctx));
        EXPECT_EQ(row.calls, calls);
        calls.clear();
        ASSERT_TRUE(net::netlib_libevents_close(ctx));
        open();
    }
    std::vector<std::string> refused;
    for (const char* f : {"netlib_libevents_service", "netlib_libevents_drain", "netlib_libevents_resync",
                          "receive_event", "netlib_libevents_close", "netlib_libevents_init"})
        refused.push_back(std::string("3 ") + f + ": netlib: not allowed from an event callback");
    refused.insert(refused.begin(), "3 netlib_libevents_subscribe: netlib: invalid callback");
    EXPECT_EQ(refused, Log::take());
}

TEST_F(Dispatch, AThrowingCallbackIsContainedAndTheModuleStaysUsable)
{
    on_first_call = [](Sub&) { throw std::runtime_error("host fault"); };
    send("x");
    EXPECT_FALSE(net::netlib_libevents_service(ctx));
    send("y");
    EXPECT_TRUE(net::netlib_libevents_service(ctx));
    EXPECT_EQ("A:if_up x A:if_up y B:if_up y ", calls);
    EXPECT_EQ(std::vector<std::string>{"3 netlib_libevents_service: netlib: unexpected exception: host fault"},
              Log::take());
}

TEST_F(Dispatch, DrainReadsUpToItsBoundAndALostDatagramIsReported)
{
    ASSERT_TRUE(net::netlib_libevents_unsubscribe(ctx, b.id));
    ASSERT_TRUE(net::netlib_libevents_unsubscribe(ctx, 12345));
    for (const char* n : {"1", "2", "3", "4", "5"})
        send(n);
    EXPECT_TRUE(net::netlib_libevents_drain(ctx, 0) && receive_event(ctx));  // "1": read, never dispatched
    EXPECT_EQ("", calls);
    EXPECT_TRUE(net::netlib_libevents_drain(ctx, 2));
    EXPECT_EQ("A:if_up 2 A:if_up 3 ", calls);
    EXPECT_TRUE(net::netlib_libevents_drain(ctx, UINT_MAX));
    EXPECT_TRUE(net::netlib_libevents_service(ctx));
    EXPECT_EQ("A:if_up 2 A:if_up 3 A:if_up 4 A:if_up 5 ", calls);
    EXPECT_TRUE(Log::take().empty());

    // Longer than the receive buffer: never decoded cut, reported like an overflow.
    const std::vector<unsigned char> huge = join({link_message(RTM_NEWLINK, 2, IFF_UP, std::string(16400, 'h'))});
    calls.clear();
    pair->send(huge);
    send("6");
    EXPECT_FALSE(net::netlib_libevents_service(ctx));
    EXPECT_TRUE(net::netlib_libevents_service(ctx));
    pair->send(huge);
    send("7");
    EXPECT_FALSE(net::netlib_libevents_drain(ctx, UINT_MAX));
    EXPECT_TRUE(net::netlib_libevents_drain(ctx, UINT_MAX));
    EXPECT_EQ("A:if_up 6 A:if_up 7 ", calls);
    EXPECT_EQ((std::vector<std::string>{"3 netlib_libevents_service: netlib: failed to receive an event",
                                        "3 netlib_libevents_drain: netlib: failed to receive an event"}),
              Log::take());
}

// The module on the real kernel, with a subscriber keeping every event.
class Kernel : public Isolated
{
protected:
    Ctx ctx;
    std::vector<std::pair<std::string, unsigned int>> seen;  // description, ifindex
    static void keep(net::event_type type, const Variant& p, void* user)
    {
        const Variant* index = p.Find("ifindex");
        static_cast<Kernel*>(user)->seen.emplace_back(describe(type, p), index ? index->AsUInt64() : 0);
    }
    void SetUp() override
    {
        Isolated::SetUp();
        unsigned int id = 0;
        ASSERT_TRUE(net::netlib_libevents_init(ctx));
        ASSERT_TRUE(net::netlib_libevents_subscribe(ctx, keep, id, this));
    }
};

// A host's own socket: the groups it asked for and no other, closed without a trace.
TEST_F(Kernel, NlOpenBindsTheGroupsAskedForAndNlCloseLeavesNothing)
{
    const int before = open_descriptors();
    int fd = nl_open(RTMGRP_LINK);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    sockaddr_nl local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length));
    EXPECT_EQ(static_cast<unsigned int>(RTMGRP_LINK), local.nl_groups);
    sh("ip link add va type veth peer name vb && ip addr add 10.7.0.1/24 dev va");
    net::event_list events;
    for (std::size_t n = ~std::size_t{0}; n != events.size();) {  // until a read adds nothing
        n = events.size();
        ASSERT_EQ(0, nl_service(fd, events));
    }
    EXPECT_EQ("if_down vb\nif_down va\n", describe(events));
    nl_close(fd);
    EXPECT_EQ(-1, fd);
    nl_close(fd);
    EXPECT_EQ(before, open_descriptors());

    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(dup(0));  // no descriptor free from the lowest one on
    close(static_cast<int>(none.rlim_cur));
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &none));
    errno = 0;
    EXPECT_EQ(-1, nl_open(RTMGRP_LINK));
    EXPECT_EQ(EMFILE, errno);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(before, open_descriptors());
}

// Every message of the reference listener's queue as "L|A|R<ifindex>".
std::vector<std::string> reference_messages(int fd, std::size_t& largest)
{
    std::vector<std::string> out;
    static unsigned char buf[1 << 16];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
        const std::size_t size = static_cast<std::size_t>(n);
        largest = std::max(largest, size);
        nlmsghdr h;
        for (std::size_t at = 0; at + sizeof h <= size && (std::memcpy(&h, buf + at, sizeof h), h.nlmsg_len >= 16);
             at += NLMSG_ALIGN(h.nlmsg_len)) {
            const char kind = h.nlmsg_type == RTM_NEWADDR ? 'A' : h.nlmsg_type == RTM_DELADDR ? 'R' : 'L';
            int index = 0;
            std::memcpy(&index, buf + at + 20, sizeof index);
            out.push_back(kind + std::to_string(index));
        }
    }
    return out;
}

TEST_F(Kernel, ABurstIsDeliveredWholeExactlyAsTheKernelSentIt)
{
    const int ref = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE);
    const int size = 64 << 20;
    sockaddr_nl groups{AF_NETLINK, 0, 0, RTMGRP_LINK | RTMGRP_IPV4_IFADDR};
    ASSERT_EQ(0, setsockopt(ref, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size));
    ASSERT_EQ(0, bind(ref, reinterpret_cast<sockaddr*>(&groups), sizeof groups));
    for (const char* batch : {"link add v$i type veth peer name w$i", "link set v$i up", "link set w$i up",
                              "addr add 10.200.0.$i/32 dev v$i", "link del v$i"}) {
        sh(std::string("for i in $(seq 100); do echo \"") + batch + "\"; done | ip -batch -");
        ASSERT_TRUE(net::netlib_libevents_drain(ctx, UINT_MAX));
    }
    std::size_t largest = 0;
    const std::vector<std::string> sent = reference_messages(ref, largest);
    close(ref);
    ASSERT_TRUE(net::netlib_libevents_drain(ctx, UINT_MAX));
    std::vector<std::string> delivered;
    for (const auto& e : seen)
        delivered.push_back((e.first.rfind("address_a", 0) == 0   ? "A"
                             : e.first.rfind("address_r", 0) == 0 ? "R"
                                                                  : "L") +
                            std::to_string(e.second));
    EXPECT_GT(largest, 1024u);
    ASSERT_GE(delivered.size(), sent.size());
    EXPECT_GT(sent.size(), 400u);
    delivered.resize(sent.size());  // later carrier changes may reach the module after the reference was read
    EXPECT_EQ(sent, delivered);
}

TEST_F(Kernel, ResyncAfterAnOverrunGivesTheKernelsPicture)
{
    const int tiny = 4096;
    ASSERT_EQ(0, setsockopt(ctx.block.events_state->nl_socket, SOL_SOCKET, SO_RCVBUFFORCE, &tiny, sizeof tiny));
    sh("for i in $(seq 50); do echo \"link add v$i type veth peer name w$i\"; echo \"link set v$i up\"; "
       "echo \"addr add 10.201.0.$i/24 dev v$i\"; done | ip -batch -");
    EXPECT_FALSE(net::netlib_libevents_drain(ctx, UINT_MAX));
    for (int i = 0; i < 100 && !net::netlib_libevents_drain(ctx, UINT_MAX); ++i) {
    }
    seen.clear();
    ASSERT_TRUE(net::netlib_libevents_resync(ctx));
    std::set<std::string> picture, kernel;
    for (const auto& e : seen)
        picture.insert(e.first);
    ifaddrs* list = nullptr;
    ASSERT_EQ(0, getifaddrs(&list));
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        char addr[INET_ADDRSTRLEN] = "";
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET) {
            inet_ntop(AF_INET, &static_cast<sockaddr_in*>(static_cast<void*>(a->ifa_addr))->sin_addr, addr,
                      sizeof addr);
            kernel.insert(std::string("address_assigned ") + a->ifa_name + " AF_INET " + addr);
        } else if (a->ifa_addr && a->ifa_addr->sa_family == AF_PACKET) {
            const bool up = a->ifa_flags & IFF_UP, lower = a->ifa_flags & 0x10000 /* IFF_LOWER_UP */;
            kernel.insert(std::string(up && lower ? "lower_up " : up ? "if_up " : "if_down ") + a->ifa_name);
        }
    }
    freeifaddrs(list);
    EXPECT_EQ(kernel, picture);
    EXPECT_EQ(seen.size(), picture.size());
    // Links first, so that a subscriber knows an interface before its addresses.
    const auto first_address =
        std::find_if(seen.begin(), seen.end(), [](const auto& e) { return e.first.rfind("address_", 0) == 0; });
    EXPECT_TRUE(
        std::all_of(first_address, seen.end(), [](const auto& e) { return e.first.rfind("address_", 0) == 0; }));
    EXPECT_EQ(std::vector<std::string>{"3 netlib_libevents_drain: netlib: failed to receive an event"}, Log::take());
}

}  // namespace

// "assigned|removed IFNAME ADDRESS/N SCOPE[ FLAG...]" of an IPv6 address event,
// the address compressed as ip prints it.
std::string describe6(net::event_type type, const Variant& p)
{
    in6_addr address{};
    char compressed[INET6_ADDRSTRLEN] = "?";
    if (inet_pton(AF_INET6, text(p, "ifaddr").c_str(), &address) == 1)
        inet_ntop(AF_INET6, &address, compressed, sizeof compressed);
    const Variant* prefix = p.Find("prefixlen");
    std::string line = std::string(type == net::event_ipv6_address_assigned ? "assigned " : "removed ") +
                       text(p, "ifname") + " " + compressed + "/" + std::to_string(prefix ? prefix->AsUInt64() : 999) +
                       " " + text(p, "scope");
    for (const char* flag : {"tentative", "deprecated", "dadfailed"})
        if (const Variant* set = p.Find(flag); set && set->AsBool())
            line += std::string(" ") + flag;
    return line;
}

// The same description of each address line ip -6 monitor address printed.
std::vector<std::string> monitor_lines(const std::string& output)
{
    std::vector<std::string> out;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string word, name, family, address, scope_word, scope;
        words >> word;
        const bool removed = word == "Deleted";
        if (removed)
            words >> word;
        if (word.empty() || word.back() != ':' || !(words >> name >> family >> address >> scope_word >> scope))
            continue;  // a lifetime line
        std::string flags;
        while (words >> word)
            if (word == "tentative" || word == "deprecated" || word == "dadfailed")
                flags += " " + word;
        out.push_back(std::string(removed ? "removed " : "assigned ") + name + " " + address + " " + scope + flags);
    }
    return out;
}

// The lines from the one naming from up to the one naming to, both kept.
std::vector<std::string> between(const std::vector<std::string>& lines, const std::string& from, const std::string& to)
{
    auto has = [](const std::string& text) { return [text](const std::string& l) { return l.find(text) != l.npos; }; };
    const auto first = std::find_if(lines.begin(), lines.end(), has(from));
    const auto last = std::find_if(first, lines.end(), has(to));
    return std::vector<std::string>(first, last == lines.end() ? last : last + 1);
}

TEST_F(Kernel, Ipv6AddressEventsOnlyWhenOptedInOneForOneWithIpMonitorAndInResync)
{
    std::vector<std::string> module;
    const auto keep6 = [](net::event_type type, const Variant& p, void* user) {
        if (type == net::event_ipv6_address_assigned || type == net::event_ipv6_address_removed)
            static_cast<std::vector<std::string>*>(user)->push_back(describe6(type, p));
    };
    unsigned int id = 0;
    ASSERT_TRUE(net::netlib_libevents_subscribe(ctx, keep6, id, &module));
    // va stays down, so its global address stays tentative.
    sh("ip link add va type veth peer name vb && ip link set vb up && ip -6 addr add 2001:db8::1/64 dev vb nodad");
    ASSERT_TRUE(net::netlib_libevents_drain(ctx, UINT_MAX));
    EXPECT_EQ(0, std::count_if(seen.begin(), seen.end(),
                               [](const auto& e) { return e.first.find("AF_INET6") != e.first.npos; }));
    EXPECT_TRUE(module.empty());
    EXPECT_FALSE(net::netlib_libevents_opt_in(ctx, 0x4));
    ASSERT_TRUE(net::netlib_libevents_opt_in(ctx, net::events_ipv6_addresses | net::events_router_dns));
    as_init([&] {
        sh("ip -6 monitor address >/tmp/monitor6 2>&1 &");
        // Listening once it reports an address added after it started.
        for (int i = 0; i < 500 && read_file("/tmp/monitor6").find("2001:db8:ff::") == std::string::npos; ++i)
            sh("ip -6 addr add 2001:db8:ff::" + std::to_string(i + 10) + "/128 dev vb nodad");
        sh("ip -6 addr add 2001:db8:ff::1/128 dev vb nodad && ip -6 addr add 2001:db8::5/64 dev va && "
           "ip -6 addr add fe80::5/64 dev vb nodad && ip -6 addr change 2001:db8::1/64 dev vb preferred_lft 0 && "
           "ip -6 addr del 2001:db8::5/64 dev va && ip -6 addr add 2001:db8:ff::2/128 dev vb nodad");
        for (int i = 0; i < 500 && read_file("/tmp/monitor6").find("2001:db8:ff::2/") == std::string::npos; ++i)
            sh("true");  // the monitor writes in its own time; bounded
        ASSERT_TRUE(net::netlib_libevents_drain(ctx, UINT_MAX));
        const std::vector<std::string> oracle =
            between(monitor_lines(read_file("/tmp/monitor6")), "2001:db8:ff::1/", "2001:db8:ff::2/");
        EXPECT_GE(oracle.size(), 6u);
        EXPECT_EQ(oracle, between(module, "2001:db8:ff::1/", "2001:db8:ff::2/"));
        EXPECT_NE(oracle.end(), std::find(oracle.begin(), oracle.end(), "assigned va 2001:db8::5/64 global tentative"));
        EXPECT_NE(oracle.end(),
                  std::find(oracle.begin(), oracle.end(), "assigned vb 2001:db8::1/64 global deprecated"));
    });
    module.clear();
    ASSERT_TRUE(net::netlib_libevents_resync(ctx));
    std::set<std::string> kernel;
    for (const std::string& line : monitor_lines(sh("ip -6 -o addr show | sed 's/\\\\.*//'")))
        kernel.insert(line);
    EXPECT_EQ(kernel, std::set<std::string>(module.begin(), module.end()));
    EXPECT_TRUE(kernel.count("assigned vb 2001:db8::1/64 global deprecated"));
}
