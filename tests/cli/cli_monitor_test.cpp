// netlibctl monitor against real kernel events in a private network
// namespace.
#include <gtest/gtest.h>
#include <net/if.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "netns.h"
#include "tool_runner.h"

namespace
{

using clitest::lines_of;
using clitest::Tool;
using Json = nlohmann::ordered_json;

// True once a routing-netlink socket bound to the link and IPv4-address
// groups (0x11) exists in this namespace: the monitor is listening and no
// event made after this can be missed.
bool monitor_listening()
{
    std::ifstream table("/proc/net/netlink");
    std::string line;
    std::getline(table, line);  // header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string sk, protocol, port, groups;
        fields >> sk >> protocol >> port >> groups;
        if (protocol == "0" && groups == "00000011")
            return true;
    }
    return false;
}

bool wait_for_monitor()
{
    for (int i = 0; i < 500; ++i) {
        if (monitor_listening())
            return true;
        usleep(10 * 1000);
    }
    return false;
}

std::vector<std::string> keys_of(const Json& object)
{
    std::vector<std::string> keys;
    for (const auto& item : object.items())
        keys.push_back(item.key());
    return keys;
}

TEST(CliMonitor, NewVethPairGivesOneJsonLinePerLink)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    Tool monitor({"monitor", "--count", "2", "--json", "--timeout", "10"});
    ASSERT_TRUE(wait_for_monitor());
    ASSERT_EQ(testns::sh("ip link add vcli0 type veth peer name vcli1"), 0);

    clitest::Result r = monitor.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    std::set<std::string> names;
    for (const auto& line : lines) {
        SCOPED_TRACE(line);
        Json event = Json::parse(line, nullptr, false);
        ASSERT_TRUE(event.is_object());
        EXPECT_EQ(keys_of(event), (std::vector<std::string>{"event", "payload"}));
        EXPECT_EQ(event["event"], "if_down");  // a new link is down
        const Json& payload = event["payload"];
        EXPECT_EQ(keys_of(payload), (std::vector<std::string>{"flags", "ifindex", "ifname", "type", "eventName"}));
        EXPECT_TRUE(payload["flags"].is_number_integer());
        EXPECT_EQ(payload["type"], 1);  // ARPHRD_ETHER
        EXPECT_EQ(payload["eventName"], "if_down");
        std::string name = payload["ifname"];
        EXPECT_EQ(payload["ifindex"], if_nametoindex(name.c_str()));
        names.insert(name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"vcli0", "vcli1"}));
}

TEST(CliMonitor, AddressEventShowsTheWholePayloadAsText)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    ASSERT_EQ(testns::sh("ip link add vcli0 type veth peer name vcli1"), 0);
    Tool monitor({"monitor", "--count", "1", "--timeout", "10"});
    ASSERT_TRUE(wait_for_monitor());
    ASSERT_EQ(testns::sh("ip addr add 10.9.9.1/24 dev vcli0"), 0);

    clitest::Result r = monitor.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // The address flags are the kernel's business; every other value is known.
    const std::string head = "address_assigned family=AF_INET flags=";
    const std::string tail = " ifaddr=10.9.9.1 ifindex=" + std::to_string(if_nametoindex("vcli0")) +
                             " ifname=vcli0 eventName=address_assigned\n";
    ASSERT_GT(r.out.size(), head.size() + tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    std::string flags = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
    EXPECT_EQ(flags.find_first_not_of("0123456789"), std::string::npos) << r.out;
}

TEST(CliMonitor, StopSignalEndsTheMonitorCleanly)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        Tool monitor({"monitor"});
        ASSERT_TRUE(wait_for_monitor());
        ASSERT_EQ(kill(monitor.pid(), signal), 0);
        clitest::Result r = monitor.finish(std::chrono::seconds(5));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

TEST(CliMonitor, TimeoutEndsAQuietMonitor)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    clitest::Result r = Tool({"monitor", "--timeout", "0.2", "--json"}).finish(std::chrono::seconds(5));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

}  // namespace
