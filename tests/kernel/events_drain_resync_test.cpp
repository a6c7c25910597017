// drain and resync against the real kernel, in a private network namespace:
// bursts of notifications, the state dumps, and recovery from an overrun.
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
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

using Lines = std::vector<std::string>;

std::string text(const Variant& payload, const char* key)
{
    const Variant* v = payload.Find(key);
    return v ? v->AsString() : std::string();
}

bool is_address(event_type type)
{
    return type == event_address_assigned || type == event_address_removed;
}

// An event as "link <ifindex> <flags>" or "<new|del>addr <ifindex> <address>",
// the form the reference listener gives the raw messages.
std::string signature(event_type type, const Variant& payload)
{
    const Variant* index = payload.Find("ifindex");
    const std::string ifindex = index ? std::to_string(index->AsInt64()) : "?";
    if (!is_address(type)) {
        const Variant* flags = payload.Find("flags");
        return "link " + ifindex + " " + (flags ? std::to_string(flags->AsUInt64()) : "?");
    }
    return std::string(type == event_address_assigned ? "newaddr " : "deladdr ") + ifindex + " " +
           text(payload, "ifaddr");
}

void record_signature(event_type type, const Variant& payload, void* user_data)
{
    static_cast<Lines*>(user_data)->push_back(signature(type, payload));
}

// What a host knows of the network: each link's state by name and the
// IPv4 addresses as "ifname address".
struct Picture {
    std::map<std::string, std::string> links;
    std::set<std::string> addresses;
    bool operator==(const Picture& o) const { return links == o.links && addresses == o.addresses; }
    bool operator!=(const Picture& o) const { return !(*this == o); }
};

std::ostream& operator<<(std::ostream& out, const Picture& p)
{
    out << p.links.size() << " links, " << p.addresses.size() << " addresses";
    return out;
}

// The host: builds its picture only from delivered events, and keeps them
// in order for the tests that look at the sequence.
struct Host {
    Picture picture;
    std::vector<std::pair<event_type, std::string>> events;  // (type, ifname or "ifname address")
};

void update_picture(event_type type, const Variant& payload, void* user_data)
{
    Host* host = static_cast<Host*>(user_data);
    const std::string name = text(payload, "ifname");
    if (!is_address(type)) {
        host->picture.links[name] = text(payload, "eventName");
        host->events.emplace_back(type, name);
        return;
    }
    const std::string entry = name + " " + text(payload, "ifaddr");
    if (type == event_address_assigned)
        host->picture.addresses.insert(entry);
    else
        host->picture.addresses.erase(entry);
    host->events.emplace_back(type, entry);
}

Lines command_lines(const char* command)
{
    Lines lines;
    FILE* pipe = popen(command, "r");
    if (!pipe)
        return lines;
    char buf[4096];
    while (fgets(buf, sizeof buf, pipe))
        lines.emplace_back(buf);
    pclose(pipe);
    return lines;
}

// The kernel's real state, read with iproute2 ("2: kb0a@kb0b: <...,UP,LOWER_UP> ...",
// "3: kb0a    inet 10.0.0.1/24 ...").
Picture kernel_picture()
{
    Picture p;
    for (const std::string& line : command_lines("ip -o link")) {
        const std::size_t name_at = line.find(": ") + 2;
        std::string name = line.substr(name_at, line.find(':', name_at) - name_at);
        name = name.substr(0, name.find('@'));
        const std::string flag_list = line.substr(line.find('<') + 1, line.find('>') - line.find('<') - 1);
        std::set<std::string> flags;
        std::stringstream in(flag_list);
        for (std::string flag; std::getline(in, flag, ',');)
            flags.insert(flag);
        const bool up = flags.count("UP") != 0;
        p.links[name] = up && flags.count("LOWER_UP") ? "lower_up" : up ? "if_up" : "if_down";
    }
    for (const std::string& line : command_lines("ip -o -4 addr")) {
        std::stringstream in(line);
        std::string index, name, family, address;
        in >> index >> name >> family >> address;
        p.addresses.insert(name + " " + address.substr(0, address.find('/')));
    }
    return p;
}

// The notifications of the reference listener as signatures in arrival
// order, comparable with what the module delivered.
class ReferenceSignatures
{
public:
    bool ok() const { return listener_.ok(); }
    bool overflowed() const { return listener_.overflowed(); }
    const Lines& seen() const { return seen_; }

    void read_all()
    {
        listener_.read_all([this](const nlmsghdr* msg) { add(msg); });
    }

    // Reads until no notification came for `quiet` (carrier changes trail
    // the commands), at most `limit`.
    void read_until_quiet(std::chrono::milliseconds quiet, std::chrono::seconds limit)
    {
        const auto start = std::chrono::steady_clock::now();
        auto last_change = start;
        std::size_t last = seen_.size();
        while (std::chrono::steady_clock::now() - start < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            read_all();
            if (seen_.size() != last) {
                last = seen_.size();
                last_change = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - last_change >= quiet) {
                return;
            }
        }
    }

private:
    void add(const nlmsghdr* h)
    {
        const unsigned char* msg = static_cast<const unsigned char*>(static_cast<const void*>(h));
        if ((h->nlmsg_type == RTM_NEWLINK || h->nlmsg_type == RTM_DELLINK) &&
            h->nlmsg_len >= NLMSG_LENGTH(sizeof(ifinfomsg))) {
            ifinfomsg info;
            std::memcpy(&info, msg + NLMSG_HDRLEN, sizeof info);
            seen_.push_back("link " + std::to_string(info.ifi_index) + " " + std::to_string(info.ifi_flags));
        } else if ((h->nlmsg_type == RTM_NEWADDR || h->nlmsg_type == RTM_DELADDR) &&
                   h->nlmsg_len >= NLMSG_LENGTH(sizeof(ifaddrmsg))) {
            ifaddrmsg info;
            std::memcpy(&info, msg + NLMSG_HDRLEN, sizeof info);
            seen_.push_back(std::string(h->nlmsg_type == RTM_NEWADDR ? "newaddr " : "deladdr ") +
                            std::to_string(info.ifa_index) + " " + local_address(msg, h->nlmsg_len));
        }
    }

    static std::string local_address(const unsigned char* msg, std::size_t len)
    {
        std::size_t offset = NLMSG_LENGTH(sizeof(ifaddrmsg));
        while (offset + sizeof(rtattr) <= len) {
            rtattr a;
            std::memcpy(&a, msg + offset, sizeof a);
            if (a.rta_len < sizeof a || offset + a.rta_len > len)
                break;
            if (a.rta_type == IFA_LOCAL && a.rta_len == sizeof a + 4) {
                const unsigned char* b = msg + offset + sizeof a;
                return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
                       std::to_string(b[3]);
            }
            offset += RTA_ALIGN(a.rta_len);
        }
        return "";
    }

    ReferenceListener listener_;
    Lines seen_;
};

// Runs `ip -batch` over the given commands and waits for it.
bool run_ip_batch(const std::string& commands)
{
    char path[] = "/tmp/netlib-drain-batch-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return false;
    const bool written = write(fd, commands.data(), commands.size()) == static_cast<ssize_t>(commands.size());
    close(fd);
    int status = -1;
    if (written) {
        const pid_t child = fork();
        if (child == 0) {
            execlp("ip", "ip", "-batch", path, static_cast<char*>(nullptr));
            _exit(127);
        }
        if (child > 0)
            waitpid(child, &status, 0);
    }
    unlink(path);
    return written && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Veth pairs <prefix><i>a/<prefix><i>b, both ends up, 10.<i/200>.<i%200>.1/24 on the a end.
std::string veth_storm(const std::string& prefix, int pairs)
{
    std::string batch;
    for (int i = 0; i < pairs; ++i) {
        const std::string n = prefix + std::to_string(i);
        batch += "link add " + n + "a type veth peer name " + n + "b\n";
    }
    for (int i = 0; i < pairs; ++i) {
        const std::string n = prefix + std::to_string(i);
        batch += "link set " + n + "a up\nlink set " + n + "b up\n";
    }
    for (int i = 0; i < pairs; ++i) {
        batch += "addr add 10." + std::to_string(i / 200) + "." + std::to_string(i % 200) + ".1/24 dev " + prefix +
                 std::to_string(i) + "a\n";
    }
    return batch;
}

class EventsDrainResync : public ::testing::Test
{
protected:
    netlib_context ctx{};

    void SetUp() override
    {
        fake::host().reset();
        ctx.front_end_marker = 1;
    }
    void TearDown() override { netlib_libevents_close(&ctx); }

    void subscribe(event_callback callback, void* user_data)
    {
        unsigned int id = 0;
        ASSERT_TRUE(netlib_libevents_subscribe(&ctx, callback, id, user_data));
    }

    bool module_queue_empty()
    {
        char byte;
        return recv(ctx.events_state->nl_socket, &byte, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == EAGAIN;
    }
};

TEST_F(EventsDrainResync, DrainHonoursItsBoundThenEmptiesABurstInOneCall)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    ReferenceSignatures reference;
    ASSERT_TRUE(reference.ok());
    ASSERT_TRUE(netlib_libevents_init(&ctx));
    Lines delivered;
    subscribe(record_signature, &delivered);

    ASSERT_TRUE(run_ip_batch(veth_storm("kd", 60)));
    reference.read_until_quiet(std::chrono::milliseconds(1000), std::chrono::seconds(10));
    ASSERT_GE(reference.seen().size(), 300u);

    // One notification per datagram: the bound is a count of events here.
    EXPECT_TRUE(netlib_libevents_drain(&ctx, 5));
    EXPECT_EQ(Lines(reference.seen().begin(), reference.seen().begin() + 5), delivered);
    EXPECT_TRUE(netlib_libevents_drain(&ctx, 0));
    EXPECT_EQ(5u, delivered.size());

    EXPECT_TRUE(netlib_libevents_drain(&ctx, UINT_MAX));
    EXPECT_TRUE(module_queue_empty());
    reference.read_all();
    EXPECT_FALSE(reference.overflowed());
    EXPECT_EQ(reference.seen(), delivered);  // each exactly once, in order
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(EventsDrainResync, ResyncReportsEveryLinkThenEveryAddressAndLeavesTheQueue)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    ReferenceSignatures reference;
    ASSERT_TRUE(reference.ok());
    ASSERT_TRUE(netlib_libevents_init(&ctx));
    Host host;
    subscribe(update_picture, &host);
    ASSERT_TRUE(
        run_ip_batch("link add kr0a type veth peer name kr0b\n"
                     "link add kr1a type veth peer name kr1b\n"
                     "link add kr2a type veth peer name kr2b\n"
                     "link set kr0a up\nlink set kr0b up\nlink set kr1a up\n"
                     "addr add 10.1.0.1/24 dev kr0a\naddr add 10.1.1.1/24 dev kr0a\n"
                     "addr add 10.2.0.1/24 dev kr2a\n"));

    ASSERT_TRUE(netlib_libevents_resync(&ctx));
    const Picture expected{{{"lo", "lower_up"},
                            {"kr0a", "lower_up"},
                            {"kr0b", "lower_up"},
                            {"kr1a", "if_up"},  // its peer is down: no carrier
                            {"kr1b", "if_down"},
                            {"kr2a", "if_down"},
                            {"kr2b", "if_down"}},
                           {"lo 127.0.0.1", "kr0a 10.1.0.1", "kr0a 10.1.1.1", "kr2a 10.2.0.1"}};
    EXPECT_EQ(expected.links, host.picture.links);
    EXPECT_EQ(expected.addresses, host.picture.addresses);
    EXPECT_EQ(kernel_picture(), host.picture);
    // Each object once, every link before the first address.
    ASSERT_EQ(expected.links.size() + expected.addresses.size(), host.events.size());
    for (std::size_t i = 0; i < host.events.size(); ++i)
        EXPECT_EQ(i >= expected.links.size(), host.events[i].first == event_address_assigned) << i;

    // The notifications of the set-up are still queued, untouched.
    const std::size_t from_resync = host.events.size();
    EXPECT_TRUE(netlib_libevents_drain(&ctx, UINT_MAX));
    reference.read_all();
    EXPECT_GE(reference.seen().size(), 10u);
    EXPECT_EQ(reference.seen().size(), host.events.size() - from_resync);
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(EventsDrainResync, AfterAnOverrunDrainThenResyncRestoresThePicture)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    ReferenceSignatures reference;
    ASSERT_TRUE(reference.ok());
    ASSERT_TRUE(netlib_libevents_init(&ctx));
    // A small queue, so the storm overruns it for certain.
    const int small = 16 * 1024;
    ASSERT_EQ(0, setsockopt(ctx.events_state->nl_socket, SOL_SOCKET, SO_RCVBUF, &small, sizeof small));
    Host host;
    subscribe(update_picture, &host);

    // The host is busy: nothing is serviced during the storm.
    ASSERT_TRUE(run_ip_batch(veth_storm("ko", 500)));
    reference.read_until_quiet(std::chrono::milliseconds(1500), std::chrono::seconds(15));
    EXPECT_FALSE(reference.overflowed());

    int failures = 0;
    while (!netlib_libevents_drain(&ctx, UINT_MAX) && failures < 10)
        ++failures;
    EXPECT_EQ(1, failures);
    EXPECT_EQ((Lines{"3 netlib_libevents_drain: netlib: failed to receive an event"}), fake::host().log_texts());
    const Picture real = kernel_picture();
    ASSERT_EQ(1001u, real.links.size());
    ASSERT_EQ(501u, real.addresses.size());
    EXPECT_NE(real, host.picture);  // notifications were lost

    ASSERT_TRUE(netlib_libevents_resync(&ctx));
    EXPECT_TRUE(netlib_libevents_drain(&ctx, UINT_MAX));
    EXPECT_EQ(kernel_picture(), host.picture);
    EXPECT_EQ(real.links, host.picture.links);
    EXPECT_EQ(real.addresses, host.picture.addresses);
    EXPECT_EQ(1u, fake::host().logs.size());
}

}  // namespace
