// The read-only interface commands on a private network namespace holding
// lo and, where a case makes one, the veth pair vcli0/vcli1.
#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// qemu-user 7.2 has no translation for SIOCETHTOOL and answers ENOSYS, so
// an emulated netlibctl cannot read link settings. Asks the same way the
// library does, from this (equally emulated) process.
bool link_settings_readable(const std::string& iface, std::string& why)
{
    if (std::getenv("NETLIB_UNDER_EMULATOR") == nullptr)
        return true;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true;
    ethtool_cmd cmd{};
    cmd.cmd = ETHTOOL_GSET;
    ifreq req{};
    std::strncpy(req.ifr_name, iface.c_str(), IFNAMSIZ - 1);
    req.ifr_data = reinterpret_cast<char*>(&cmd);
    const int rc = ioctl(fd, SIOCETHTOOL, &req);
    const int err = errno;
    close(fd);
    if (rc == 0 || err != ENOSYS)
        return true;
    why = "qemu-user does not translate the SIOCETHTOOL ioctl (0x8946): it fails with ENOSYS";
    return false;
}

bool starts_with(const std::string& text, const std::string& head)
{
    return text.compare(0, head.size(), head) == 0;
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
    for (const char* veth : {"vcli0", "vcli1"}) {
        const std::string head = std::string(veth) + ": <BROADCAST> inet - link ";
        EXPECT_EQ(
            std::count_if(out.begin(), out.end(), [&head](const std::string& line) { return starts_with(line, head); }),
            1)
            << r.out;
    }
    EXPECT_EQ(out[3], "main interface: none");
}

TEST(CliIface, StatusShowsTheLinkSettingsOfAVeth)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    make_veth_pair();
    std::string why;
    if (!link_settings_readable("vcli0", why))
        GTEST_SKIP() << why;
    clitest::Result r = run_tool({"status"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> out = lines_of(r.out);
    EXPECT_NE(std::find(out.begin(), out.end(), "vcli0: <BROADCAST> inet - link 10000Mb/s full"), out.end()) << r.out;
}

TEST(CliIface, ShowJsonReportsFlagsAndAddress)
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

    clitest::Result lo = run_tool({"show", "lo", "--json"});
    Json l = Json::parse(lo.out, nullptr, false);
    ASSERT_TRUE(l.is_object()) << lo.out;
    EXPECT_EQ(l["loopback"], true);
    EXPECT_EQ(l["address"], "127.0.0.1");
}

TEST(CliIface, ShowJsonReportsLinkSettingsOrNullWithoutThem)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    make_veth_pair();
    std::string why;
    if (!link_settings_readable("vcli0", why))
        GTEST_SKIP() << why;

    clitest::Result r = run_tool({"show", "vcli0", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    Json j = Json::parse(r.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << r.out;
    EXPECT_EQ(j["speed"], 10000);
    EXPECT_EQ(j["duplex"], "full");

    clitest::Result lo = run_tool({"show", "lo", "--json"});
    Json l = Json::parse(lo.out, nullptr, false);
    ASSERT_TRUE(l.is_object()) << lo.out;
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
