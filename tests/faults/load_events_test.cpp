// Events under a burst: in a private network namespace, ip -batch creates
// 500 veth pairs, brings both ends up, gives each an address and deletes
// it, while the host drains the events socket every 100 ms. A reference
// listener with a very large queue, subscribed to the same groups, records
// what the kernel sent; the host must have got every notification once, in
// order. A host that stops servicing during the storm overflows its queue:
// the loss is reported and the module goes on.
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fault_test.h"
#include "reference_listener.h"

using namespace pelk::network;
using pelk::variant::Variant;

namespace
{

const int kPairs = 500;
const char kReceiveFailed[] = " netlib_libevents_service: netlib: failed to receive an event";

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void collect(event_type type, const Variant& payload, void* user_data)
{
    static_cast<event_list*>(user_data)->emplace_back(type, payload);
}

// The storm's command file: every phase runs over all pairs, so each phase
// is one long burst of one kind of notification.
std::string write_batch()
{
    char path[] = "/tmp/netlib-storm-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return std::string();
    close(fd);
    std::string text;
    for (int i = 0; i < kPairs; ++i)
        text += "link add lsA" + std::to_string(i) + " type veth peer name lsB" + std::to_string(i) + "\n";
    for (int i = 0; i < kPairs; ++i)
        text += "link set lsA" + std::to_string(i) + " up\nlink set lsB" + std::to_string(i) + " up\n";
    for (int i = 0; i < kPairs; ++i)
        text += "addr add 10." + std::to_string(i / 64) + "." + std::to_string(i % 64 * 4) + ".1/30 dev lsA" +
                std::to_string(i) + "\n";
    for (int i = 0; i < kPairs; ++i)
        text += "link del lsA" + std::to_string(i) + "\n";
    if (!faults::write_file(path, text))
        return std::string();
    return path;
}

pid_t start_storm(const std::string& batch)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0)
            dup2(null, STDOUT_FILENO);
        execlp("ip", "ip", "-batch", batch.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// true once the storm has ended; its exit status in status.
bool storm_over(pid_t pid, int& status)
{
    return waitpid(pid, &status, WNOHANG) == pid;
}

// Decodes everything queued on the reference listener; false when the
// reference itself lost notifications (it must never lose any).
bool read_reference(ReferenceListener& listener, event_list& events)
{
    const bool read = listener.read_all([&events](const nlmsghdr* msg) {
        nl_event_callback(const_cast<nlmsghdr*>(msg), events);  // the decoder only reads the message
    });
    return read && !listener.overflowed();
}

// Services until a call delivers nothing; counts failed calls.
int drain(netlib_context& ctx, event_list& delivered, std::size_t& calls)
{
    int failures = 0;
    for (;;) {
        const std::size_t had = delivered.size();
        ++calls;
        if (!netlib_libevents_service(&ctx)) {
            ++failures;
            continue;
        }
        if (delivered.size() == had)
            return failures;
    }
}

std::string member(const Variant& payload, const char* key)
{
    const Variant* v = payload.Find(key);
    if (v == nullptr)
        return "<none>";
    return v->IsString() ? v->AsString() : std::to_string(v->AsInt64());
}

// Link events are compared whole. An address event's "ifname" is looked up
// when it is decoded, and the reference decodes after the interfaces are
// gone, so address events are compared on the message's own fields.
bool same_event(const event_list::value_type& a, const event_list::value_type& b)
{
    if (a.first != b.first)
        return false;
    if (a.first != event_address_assigned && a.first != event_address_removed)
        return a.second == b.second;
    for (const char* key : {"family", "flags", "ifaddr", "ifindex"}) {
        if (member(a.second, key) != member(b.second, key))
            return false;
    }
    return true;
}

std::string describe(const event_list::value_type& e)
{
    return event_to_string(e.first) + " ifindex=" + member(e.second, "ifindex") +
           " ifname=" + member(e.second, "ifname") + " ifaddr=" + member(e.second, "ifaddr");
}

class EventsLoad : public FaultTest
{
protected:
    netlib_context ctx = fresh_context();
    event_list delivered;
    event_list reference;
    std::unique_ptr<ReferenceListener> listener;
    int fds_before = -1;
    std::string batch;

    void SetUp() override
    {
        FaultTest::SetUp();
        if (IsSkipped())
            return;
        NETLIB_ENTER_NETNS_OR_SKIP();
        fds_before = faults::fd_count();
        batch = write_batch();
        ASSERT_FALSE(batch.empty());
        // A queue deep enough for the whole storm.
        listener.reset(new ReferenceListener(256 * 1024 * 1024));
        ASSERT_TRUE(listener->ok()) << "reference listener";
        ASSERT_TRUE(netlib_libevents_init(&ctx));
        unsigned int id = 0;
        ASSERT_TRUE(netlib_libevents_subscribe(&ctx, collect, id, &delivered));
    }

    void TearDown() override
    {
        if (fds_before < 0)
            return;
        EXPECT_TRUE(netlib_libevents_close(&ctx));
        listener.reset();
        if (!batch.empty())
            unlink(batch.c_str());
        EXPECT_EQ(faults::fd_count(), fds_before) << "descriptors after the storm";
    }

    // Runs the storm; with a drain interval, the host drains every interval
    // while it runs. Returns the storm's seconds.
    double run_storm(bool service_during_storm, int& failures, std::size_t& calls, std::size_t& drains)
    {
        const Clock::time_point start = Clock::now();
        const pid_t pid = start_storm(batch);
        int status = 0;
        while (!storm_over(pid, status)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (service_during_storm) {
                failures += drain(ctx, delivered, calls);
                ++drains;
            }
        }
        const double took = seconds_since(start);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ip -batch failed";
        return took;
    }
};

TEST_F(EventsLoad, EveryNotificationOfABurstIsDeliveredOnceInOrder)
{
    int failures = 0;
    std::size_t calls = 0;
    std::size_t drains = 0;
    const double storm = run_storm(true, failures, calls, drains);
    failures += drain(ctx, delivered, calls);

    ASSERT_TRUE(read_reference(*listener, reference)) << "reference listener lost notifications";
    EXPECT_EQ(failures, 0) << faults::log_dump();
    EXPECT_GT(reference.size(), static_cast<std::size_t>(kPairs * 8));
    ASSERT_EQ(delivered.size(), reference.size());
    std::size_t index = 0;
    auto d = delivered.begin();
    for (auto r = reference.begin(); r != reference.end(); ++r, ++d, ++index)
        ASSERT_TRUE(same_event(*d, *r)) << "event " << index << ": delivered " << describe(*d) << ", kernel sent "
                                        << describe(*r);
    std::fprintf(stderr, "storm: %zu notifications in %.2f s; %zu drains, %zu service calls, %d failures\n",
                 reference.size(), storm, drains, calls, failures);
}

TEST_F(EventsLoad, HostThatStopsServicingLosesEventsAndCarriesOn)
{
    int failures = 0;
    std::size_t calls = 0;
    std::size_t drains = 0;
    const double storm = run_storm(false, failures, calls, drains);
    failures += drain(ctx, delivered, calls);
    ASSERT_TRUE(read_reference(*listener, reference)) << "reference listener lost notifications";

    EXPECT_GE(failures, 1) << "the storm did not overflow the queue (" << reference.size() << " notifications)";
    EXPECT_EQ(faults::log_count({kReceiveFailed}), failures) << faults::log_dump();
    EXPECT_EQ(faults::log_lines().size(), static_cast<std::size_t>(failures)) << faults::log_dump();
    EXPECT_LT(delivered.size(), reference.size());
    std::fprintf(stderr, "overflow: %zu of %zu notifications delivered after %.2f s unserviced; %d failed calls\n",
                 delivered.size(), reference.size(), storm, failures);

    // The next notifications arrive as usual.
    delivered.clear();
    ASSERT_EQ(testns::sh("ip link add lsC0 type veth peer name lsD0 && ip addr add 10.99.0.1/24 dev lsC0"), 0);
    EXPECT_EQ(drain(ctx, delivered, calls), 0) << faults::log_dump();
    bool link_seen = false;
    bool address_seen = false;
    for (const auto& e : delivered) {
        link_seen = link_seen || member(e.second, "ifname") == "lsC0";
        address_seen = address_seen || (e.first == event_address_assigned && member(e.second, "ifaddr") == "10.99.0.1");
    }
    EXPECT_TRUE(link_seen);
    EXPECT_TRUE(address_seen);
}

}  // namespace
