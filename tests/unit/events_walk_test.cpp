// The netlink socket helpers and the datagram walk of nl_service, replayed
// through a datagram socket pair and the recorded kernel corpus.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "alloc_fail.h"
#include "events_builder.h"
#include "pelk_network_utils_core.h"
#include "syscall_shim.h"

using namespace pelk::network;
using namespace evtest;

namespace
{

class EventsWalk : public ::testing::Test
{
protected:
    DgramPair pair;
    event_list events;

    void SetUp() override
    {
        shim::reset();
        alloc_fail::reset();
    }
    void TearDown() override
    {
        shim::reset();
        alloc_fail::reset();
    }
    int service() { return nl_service(pair.fd[0], events); }
    bool queue_empty()
    {
        char byte;
        return recv(pair.fd[0], &byte, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == EAGAIN;
    }
};

Bytes link_msg(const char* name, unsigned int flags = 0x1)
{
    return Msg::link(RTM_NEWLINK, 5, flags).name(name).bytes();
}

// A link message padded with an unknown attribute to about `size` bytes.
Bytes big_link_msg(const char* name, std::size_t size)
{
    const Bytes filler(size, 0xab);
    return Msg::link(RTM_NEWLINK, 6, 0x10043).attr(0x7ff0, filler.data(), size - 64).name(name).bytes();
}

TEST_F(EventsWalk, NothingQueuedReturnsZeroAndKeepsTheList)
{
    events.emplace_back(event_if_up, pelk::variant::Variant());
    EXPECT_EQ(0, service());
    EXPECT_EQ(1u, events.size());
}

TEST_F(EventsWalk, SeveralMessagesInOneDatagramInOrder)
{
    pair.send_bytes(datagram({link_msg("a0"), Msg::other(RTM_NEWROUTE, 12).bytes(), Msg::other(NLMSG_DONE, 4).bytes(),
                              Msg::addr(RTM_NEWADDR, AF_INET, 0, 0x7ffffff0).ipv4(IFA_LOCAL, 1, 2, 3, 4).bytes(),
                              Msg::other(NLMSG_ERROR, 20).bytes(), link_msg("a1", 0)}));
    EXPECT_EQ(0, service());
    ASSERT_EQ(3u, events.size());
    auto it = events.begin();
    EXPECT_EQ(event_if_up, it->first);
    EXPECT_EQ("a0", text_of(it->second, "ifname"));
    ++it;
    EXPECT_EQ(event_address_assigned, it->first);
    EXPECT_EQ("1.2.3.4", text_of(it->second, "ifaddr"));
    ++it;
    EXPECT_EQ(event_if_down, it->first);
    EXPECT_EQ("a1", text_of(it->second, "ifname"));
}

TEST_F(EventsWalk, ReadsOneDatagramPerCall)
{
    pair.send_bytes(link_msg("first"));
    pair.send_bytes(link_msg("second"));
    EXPECT_EQ(0, service());
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(0, service());
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("second", text_of(events.back().second, "ifname"));
    EXPECT_EQ(0, service());
    EXPECT_EQ(2u, events.size());
}

TEST_F(EventsWalk, ShortMessageInsideTheDatagramIsSkipped)
{
    // A link message too short for its header yields nothing; the walk goes on.
    Bytes stub = Msg::other(RTM_NEWLINK, 8).bytes();
    pair.send_bytes(datagram({stub, link_msg("after")}));
    EXPECT_EQ(0, service());
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("after", text_of(events.front().second, "ifname"));
}

TEST_F(EventsWalk, FramingFaults)
{
    const Bytes good = link_msg("kept");
    struct Row {
        const char* what;
        Bytes datagram;
        std::size_t events_kept;
    } rows[] = {
        {"ten bytes", Bytes(10, 0), 0},
        {"first length below header", Msg::other(RTM_NEWLINK, 32).set_len(15).bytes(), 0},
        {"first length beyond datagram", Msg::other(RTM_NEWLINK, 32).set_len(200).bytes(), 0},
        {"eight stray bytes", datagram({good, Bytes(8, 0)}), 1},
        {"next length below header", datagram({good, Msg::other(RTM_NEWLINK, 16).set_len(8).bytes()}), 1},
        {"next length beyond datagram", datagram({good, Msg::other(RTM_NEWLINK, 16).set_len(64).bytes()}), 1},
    };
    for (const Row& row : rows) {
        events.clear();
        pair.send_bytes(row.datagram);
        EXPECT_EQ(-1, service()) << row.what;
        EXPECT_EQ(row.events_kept, events.size()) << row.what;
        EXPECT_TRUE(queue_empty()) << row.what;  // the bad datagram is consumed
    }
}

TEST_F(EventsWalk, EmptyDatagramIsConsumed)
{
    pair.send_bytes({});
    pair.send_bytes(link_msg("next"));
    EXPECT_EQ(0, service());
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(0, service());
    ASSERT_EQ(1u, events.size());
}

TEST_F(EventsWalk, ReceiveErrors)
{
    int calls = 0;
    int error = EINTR;
    shim::recv_hook = [&](int, void*, size_t, int) -> ssize_t {
        ++calls;
        errno = error;
        return -1;
    };
    EXPECT_EQ(0, service());
    error = EAGAIN;
    EXPECT_EQ(0, service());
    error = ENOBUFS;
    errno = 0;
    EXPECT_EQ(-1, service());
    EXPECT_EQ(ENOBUFS, errno);
    EXPECT_EQ(3, calls);  // one receive per call, no retry loop
    EXPECT_TRUE(events.empty());
    shim::reset();
    errno = 0;
    EXPECT_EQ(-1, nl_service(-1, events));
    EXPECT_EQ(EBADF, errno);
}

TEST_F(EventsWalk, LargeDatagramsAreDecodedWhole)
{
    for (std::size_t size : {1500u, 8192u, 20000u, 65000u}) {
        events.clear();
        pair.send_bytes(datagram({big_link_msg("big0", size), link_msg("tail")}));
        EXPECT_EQ(0, service()) << size;
        ASSERT_EQ(2u, events.size()) << size;
        EXPECT_EQ("big0", text_of(events.front().second, "ifname")) << size;
        EXPECT_EQ(event_lower_up, events.front().first) << size;
        EXPECT_EQ("tail", text_of(events.back().second, "ifname")) << size;
    }
}

TEST_F(EventsWalk, DatagramOfExactlyTheStackBuffer)
{
    Bytes d = datagram({big_link_msg("edge", 8100)});
    d.resize(8192 - 16, 0);
    const uint32_t len = static_cast<uint32_t>(d.size());
    std::memcpy(d.data(), &len, sizeof len);
    d = datagram({d, Msg::other(NLMSG_DONE, 0).bytes()});
    ASSERT_EQ(8192u, d.size());
    pair.send_bytes(d);
    EXPECT_EQ(0, service());
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("edge", text_of(events.front().second, "ifname"));
}

TEST_F(EventsWalk, LargeDatagramWithoutMemoryFailsWithEnomem)
{
    pair.send_bytes(big_link_msg("nomem", 20000));
    alloc_fail::fail_next_nothrow(1);
    errno = 0;
    EXPECT_EQ(-1, service());
    EXPECT_EQ(ENOMEM, errno);
    EXPECT_TRUE(events.empty());
    alloc_fail::reset();
    EXPECT_EQ(0, service());  // the datagram stayed queued
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("nomem", text_of(events.front().second, "ifname"));
}

TEST_F(EventsWalk, RecordedKernelNotificationsDecode)
{
    std::vector<std::string> files;
    DIR* dir = opendir(corpus_dir().c_str());
    ASSERT_NE(nullptr, dir) << corpus_dir();
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0)
            files.push_back(name);
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 20u);

    std::map<std::string, std::size_t> by_kind;
    for (const std::string& name : files) {
        const Bytes d = read_file(corpus_dir() + "/" + name);
        events.clear();
        pair.send_bytes(d);
        ASSERT_EQ(0, service()) << name;
        ASSERT_EQ(1u, events.size()) << name;
        const auto& payload = events.front().second;
        const bool is_link = name.find("link") != std::string::npos;
        EXPECT_EQ(is_link ? 5u : 6u, payload.Size()) << name;
        if (is_link)
            EXPECT_EQ(0u, text_of(payload, "ifname").rfind("rec-", 0)) << name;
        else
            EXPECT_FALSE(text_of(payload, "ifaddr").empty()) << name;
        ++by_kind[text_of(payload, "eventName")];
    }
    EXPECT_GT(by_kind["if_down"], 0u);
    EXPECT_GT(by_kind["if_up"], 0u);
    EXPECT_GT(by_kind["lower_up"], 0u);
    EXPECT_GT(by_kind["address_assigned"], 0u);
    EXPECT_GT(by_kind["address_removed"], 0u);
}

TEST_F(EventsWalk, RecordedVethMessagesInDetail)
{
    struct Row {
        const char* file;
        event_type event;
        const char* key;
        const char* text;
    } rows[] = {
        {"veth-02-newlink.bin", event_if_down, "ifname", "rec-veth0"},
        {"veth-03-newlink.bin", event_if_up, "ifname", "rec-veth0"},
        {"veth-06-newlink.bin", event_lower_up, "ifname", "rec-veth0"},
        {"veth-07-newaddr.bin", event_address_assigned, "ifaddr", "192.168.77.1"},
        {"veth-08-newaddr.bin", event_address_assigned, "ifaddr", "2001:0db8:0000:0000:0000:0000:0000:0001"},
        {"veth-09-deladdr.bin", event_address_removed, "ifaddr", "192.168.77.1"},
        {"bridge-02-newlink.bin", event_lower_up, "ifname", "rec-br0"},
        {"tap-02-newlink.bin", event_if_up, "ifname", "rec-tap0"},
        {"tap-03-newaddr.bin", event_address_assigned, "ifaddr", "172.16.5.4"},
    };
    for (const Row& row : rows) {
        const Bytes d = read_file(corpus_dir() + "/" + row.file);
        ASSERT_FALSE(d.empty()) << row.file;
        events.clear();
        pair.send_bytes(d);
        ASSERT_EQ(0, service()) << row.file;
        ASSERT_EQ(1u, events.size()) << row.file;
        EXPECT_EQ(row.event, events.front().first) << row.file;
        EXPECT_EQ(row.text, text_of(events.front().second, row.key)) << row.file;
    }
    // A real veth link notification does not fit the classic 1 KiB buffer.
    EXPECT_GT(read_file(corpus_dir() + "/veth-06-newlink.bin").size(), 1024u);
}

TEST(EventsSocket, CloseClosesAndResets)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const int copy = fd;
    nl_close(fd);
    EXPECT_EQ(-1, fd);
    EXPECT_EQ(-1, fcntl(copy, F_GETFD));
    nl_close(fd);
    EXPECT_EQ(-1, fd);
}

TEST(EventsSocket, OpenBindsCloexecNetlinkWithLargeBuffer)
{
    shim::reset();
    int seen_type = 0;
    shim::socket_hook = [&](int domain, int type, int protocol) {
        seen_type = type;
        return __real_socket(domain, type, protocol);
    };
    sockaddr_nl bound{};
    socklen_t bound_len = 0;
    shim::bind_hook = [&](int fd, const sockaddr* addr, socklen_t len) {
        std::memcpy(&bound, addr, sizeof bound);
        bound_len = len;
        return __real_bind(fd, addr, len);
    };
    int fd = nl_open(0);
    shim::reset();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(SOCK_DGRAM | SOCK_CLOEXEC, seen_type);
    EXPECT_EQ(12u, bound_len);
    EXPECT_EQ(AF_NETLINK, bound.nl_family);
    EXPECT_EQ(0u, bound.nl_pid);
    EXPECT_NE(-1, fcntl(fd, F_GETFD));
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    int rcvbuf = 0;
    socklen_t len = sizeof rcvbuf;
    ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len));
    if (geteuid() == 0) {
        EXPECT_GE(rcvbuf, 4 * 1024 * 1024);  // forced past rmem_max
    } else {
        int plain = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE);
        int plain_size = 0;
        socklen_t plain_len = sizeof plain_size;
        ASSERT_EQ(0, getsockopt(plain, SOL_SOCKET, SO_RCVBUF, &plain_size, &plain_len));
        close(plain);
        EXPECT_GE(rcvbuf, plain_size);
    }
    sockaddr_nl local{};
    socklen_t local_len = sizeof local;
    ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len));
    EXPECT_EQ(AF_NETLINK, local.nl_family);
    nl_close(fd);
}

TEST(EventsSocket, OpenFailuresReportErrnoAndLeakNothing)
{
    shim::reset();
    shim::socket_hook = [](int, int, int) {
        errno = EMFILE;
        return -1;
    };
    errno = 0;
    EXPECT_EQ(-1, nl_open(17));
    EXPECT_EQ(EMFILE, errno);

    shim::reset();
    const int before = open_fd_count();
    shim::bind_hook = [](int, const sockaddr*, socklen_t) {
        errno = EADDRINUSE;
        return -1;
    };
    errno = 0;
    EXPECT_EQ(-1, nl_open(17));
    EXPECT_EQ(EADDRINUSE, errno);
    EXPECT_EQ(before, open_fd_count());
    shim::reset();
}

}  // namespace
