// The read-only interface commands on a private network namespace holding
// lo and, where a case makes one, the veth pair vcli0/vcli1.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "netns.h"
#include "tool_runner.h"

namespace
{

using clitest::lines_of;
using clitest::run_tool;
using Json = nlohmann::json;

void make_veth_pair()
{
    ASSERT_EQ(testns::sh("ip link add vcli0 type veth peer name vcli1"), 0);
}

// The kernel reports a carrier (IFF_RUNNING) only once its link watch has
// run, which may be a moment after both ends are up.
bool wait_until_running(const std::string& iface)
{
    for (int i = 0; i < 300; ++i) {
        if (testns::sh("ip -o link show " + iface + " | grep -q 'state UP'") == 0)
            return true;
        usleep(10 * 1000);
    }
    return false;
}

std::vector<std::string> names_listed(const std::vector<std::string>& args)
{
    clitest::Result r = run_tool(args);
    EXPECT_EQ(r.status, 0) << r.err;
    Json names = Json::parse(r.out, nullptr, false);
    EXPECT_TRUE(names.is_array()) << r.out;
    return names.is_array() ? names.get<std::vector<std::string>>() : std::vector<std::string>{};
}

TEST(CliIface, ListJsonNamesTheInterfacesThatAreUpOrAllWithAll)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    EXPECT_EQ(names_listed({"list", "--json"}), std::vector<std::string>{"lo"});

    make_veth_pair();
    EXPECT_EQ(names_listed({"list", "--json"}), std::vector<std::string>{"lo"});
    std::vector<std::string> all = names_listed({"list", "--all", "--json"});
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (std::vector<std::string>{"lo", "vcli0", "vcli1"}));
}

TEST(CliIface, StatusShowsEveryInterfaceWithoutExpectedFailureLines)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    make_veth_pair();
    clitest::Result r = run_tool({"status"});
    EXPECT_EQ(r.status, 0);
    // Neither a missing address (veth) nor missing link settings (lo) is a
    // failure worth a line.
    EXPECT_EQ(r.err, "");
    std::vector<std::string> out = lines_of(r.out);
    ASSERT_EQ(out.size(), 4u) << r.out;
    EXPECT_EQ(out[0], "lo: <UP,RUNNING,LOOPBACK> inet 127.0.0.1/255.0.0.0 link -");
    EXPECT_NE(std::find(out.begin(), out.end(), "vcli0: <BROADCAST> inet - link 10000Mb/s full"), out.end()) << r.out;
    EXPECT_EQ(out[3], "main interface: none");
}

TEST(CliIface, ShowJsonReportsAddressAndLinkSettings)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    make_veth_pair();
    ASSERT_EQ(testns::sh("ip addr add 10.9.9.1/24 dev vcli0"), 0);

    clitest::Result r = run_tool({"show", "vcli0", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    Json j = Json::parse(r.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << r.out;
    EXPECT_EQ(j["name"], "vcli0");
    EXPECT_EQ(j["up"], false);
    EXPECT_EQ(j["broadcast"], true);
    EXPECT_EQ(j["loopback"], false);
    EXPECT_EQ(j["address"], "10.9.9.1");
    EXPECT_EQ(j["netmask"], "255.255.255.0");
    EXPECT_EQ(j["speed"], 10000);
    EXPECT_EQ(j["duplex"], "full");

    clitest::Result lo = run_tool({"show", "lo", "--json"});
    Json l = Json::parse(lo.out, nullptr, false);
    ASSERT_TRUE(l.is_object()) << lo.out;
    EXPECT_EQ(l["loopback"], true);
    EXPECT_TRUE(l["speed"].is_null());
    EXPECT_TRUE(l["duplex"].is_null());
}

TEST(CliIface, DefaultNamesARunningBroadcastInterfaceOrExitsOne)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    clitest::Result none = run_tool({"default", "--json"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "{\"main_interface\":null}\n");
    EXPECT_EQ(none.err, "netlibctl: no main interface\n");

    make_veth_pair();
    ASSERT_EQ(testns::sh("ip link set vcli0 up && ip link set vcli1 up"), 0);
    ASSERT_TRUE(wait_until_running("vcli0") && wait_until_running("vcli1"));
    clitest::Result r = run_tool({"default"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == "vcli0\n" || r.out == "vcli1\n") << r.out;
    // Two candidates: the library's notice names its choice.
    EXPECT_NE(r.err.find(r.out.substr(0, 5)), std::string::npos) << r.err;
}

}  // namespace
