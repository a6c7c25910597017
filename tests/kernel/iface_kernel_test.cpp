// Interface operations, enumeration and the default choice on real devices
// (veth, bridge, tap, tun, loopback) in a private network namespace.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_host.h"
#include "netns.h"
#include "pelk_network_utils_core.h"
#include "syscall_shim.h"

using namespace pelk::network;
using testns::sh;

namespace
{

// Flag bits the kernel keeps in dev->flags, which sysfs shows as they are.
const int kStoredFlags = IFF_UP | IFF_BROADCAST | IFF_LOOPBACK | IFF_POINTOPOINT | IFF_NOARP | IFF_MULTICAST;

std::string sysfs(const std::string& iface, const std::string& attribute)
{
    std::ifstream in("/sys/class/net/" + iface + "/" + attribute);
    std::string value;
    std::getline(in, value);
    return value;
}

int sysfs_int(const std::string& iface, const std::string& attribute)
{
    return static_cast<int>(std::stol(sysfs(iface, attribute), nullptr, 0));
}

std::set<std::string> sysfs_interfaces(bool only_up)
{
    std::set<std::string> names;
    DIR* dir = opendir("/sys/class/net");
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name[0] == '.' || name == "bonding_masters")
            continue;
        if (!only_up || (sysfs_int(name, "flags") & IFF_UP) != 0)
            names.insert(name);
    }
    closedir(dir);
    return names;
}

// The kernel reports a carrier change to the operational state
// asynchronously; wait for it (bounded) before testing IFF_RUNNING.
bool wait_operstate(const std::string& iface, const std::string& wanted, const std::string& also = "")
{
    for (int i = 0; i < 250; ++i) {
        const std::string state = sysfs(iface, "operstate");
        if (state == wanted || (!also.empty() && state == also))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// "full" 1, "half" 0, anything else (unknown) 255: the ethtool byte values.
int sysfs_duplex(const std::string& iface)
{
    const std::string text = sysfs(iface, "duplex");
    if (text == "full")
        return 1;
    if (text == "half")
        return 0;
    return 255;
}

bool tun_available(std::string& why)
{
    if (access("/dev/net/tun", R_OK | W_OK) != 0) {
        why = "/dev/net/tun is missing or not accessible: tap and tun devices cannot be made";
        return false;
    }
    return true;
}

// Attaches this process to a tun/tap device made by `ip tuntap`, which gives
// it carrier. Returns the descriptor (closed by the caller) or -1.
int attach_tuntap(const std::string& name, short kind)
{
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ifreq req{};
    std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
    req.ifr_flags = static_cast<short>(kind | IFF_NO_PI);
    if (ioctl(fd, TUNSETIFF, &req) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// /sys/class/net shows the namespace of whoever mounted sysfs: give this
// process a private mount namespace with a sysfs of its own network namespace
// (what `ip netns exec` does), so the kernel's view can be compared.
bool mount_own_sysfs(std::string& why)
{
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why = std::string("cannot make a private mount namespace: ") + std::strerror(errno);
        return false;
    }
    umount2("/sys", MNT_DETACH);
    if (mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
        why = std::string("cannot mount sysfs for the private network namespace: ") + std::strerror(errno);
        return false;
    }
    return true;
}

class KernelIface : public ::testing::Test
{
protected:
    netlib_context ctx{};
    bool ready = false;
    std::vector<int> tun_fds;

    void SetUp() override
    {
        NETLIB_ENTER_NETNS_OR_SKIP();
        std::string why;
        if (!mount_own_sysfs(why))
            GTEST_SKIP() << why;
        fake::host().reset();
        shim::reset();
        ctx.front_end_marker = 1;
        // The control socket must belong to the private namespace, so it is
        // opened only after entering it.
        ASSERT_TRUE(netlib_libiface_init(&ctx));
        ready = true;
    }

    void TearDown() override
    {
        for (int fd : tun_fds)
            close(fd);
        if (ready)
            netlib_libiface_close(&ctx);
    }

    void make_veth(const std::string& a, const std::string& b)
    {
        ASSERT_EQ(0, sh("ip link add " + a + " type veth peer name " + b));
    }

    void make_tuntap(const std::string& name, const char* mode)
    {
        ASSERT_EQ(0, sh("ip tuntap add dev " + name + " mode " + mode));
        int fd = attach_tuntap(name, std::string(mode) == "tap" ? IFF_TAP : IFF_TUN);
        ASSERT_GE(fd, 0) << "cannot attach to " << name << ": " << std::strerror(errno);
        tun_fds.push_back(fd);
    }

    void up(const std::string& name) { ASSERT_EQ(0, sh("ip link set " + name + " up")); }

    void expect_flags_match_kernel(const std::string& name)
    {
        SCOPED_TRACE(name);
        int flags = 0;
        ASSERT_TRUE(netlib_iface_get_flags(&ctx, name, flags));
        EXPECT_EQ(flags & kStoredFlags, sysfs_int(name, "flags") & kStoredFlags);
        const std::string oper = sysfs(name, "operstate");
        EXPECT_EQ((flags & IFF_RUNNING) != 0, oper == "up" || oper == "unknown") << "operstate " << oper;
    }

    static std::vector<std::string> log_texts() { return fake::host().log_texts(); }

    // qemu-user 7.2 has no translation for SIOCETHTOOL and answers ENOSYS;
    // the failed call's log line carries that errno.
    static bool ethtool_refused_by_emulator(std::string& why)
    {
        const auto& logs = fake::host().logs;
        if (std::getenv("NETLIB_UNDER_EMULATOR") == nullptr || logs.empty() || logs.back().error_number != ENOSYS)
            return false;
        why = "qemu-user does not translate the SIOCETHTOOL ioctl (0x8946): it fails with ENOSYS";
        return true;
    }
};

TEST_F(KernelIface, LoopbackFlags)
{
    int flags = 0;
    ASSERT_TRUE(netlib_iface_get_flags(&ctx, "lo", flags));
    EXPECT_EQ(flags & (IFF_UP | IFF_LOOPBACK | IFF_RUNNING | IFF_BROADCAST), IFF_UP | IFF_LOOPBACK | IFF_RUNNING);
    EXPECT_TRUE(netlib_iface_is_up(&ctx, "lo"));
    EXPECT_TRUE(netlib_iface_is_running(&ctx, "lo"));
    expect_flags_match_kernel("lo");
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(KernelIface, FlagsOfVethAndBridgeMatchTheKernel)
{
    make_veth("kv0", "kv1");
    ASSERT_EQ(0, sh("ip link add kbr0 type bridge"));
    up("kv0");
    up("kv1");
    up("kbr0");
    ASSERT_TRUE(wait_operstate("kv0", "up"));
    for (const char* name : {"kv0", "kv1", "kbr0"})
        expect_flags_match_kernel(name);
    EXPECT_TRUE(netlib_iface_is_running(&ctx, "kv0"));
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(KernelIface, FlagsOfTapAndTunMatchTheKernel)
{
    std::string why;
    if (!tun_available(why))
        GTEST_SKIP() << why;
    make_tuntap("ktap0", "tap");
    make_tuntap("ktun0", "tun");
    up("ktap0");
    up("ktun0");
    ASSERT_TRUE(wait_operstate("ktun0", "up", "unknown"));
    expect_flags_match_kernel("ktap0");
    expect_flags_match_kernel("ktun0");
    int flags = 0;
    ASSERT_TRUE(netlib_iface_get_flags(&ctx, "ktun0", flags));
    EXPECT_EQ(flags & (IFF_POINTOPOINT | IFF_BROADCAST), IFF_POINTOPOINT);
    ASSERT_TRUE(netlib_iface_get_flags(&ctx, "ktap0", flags));
    EXPECT_EQ(flags & (IFF_POINTOPOINT | IFF_BROADCAST), IFF_BROADCAST);
}

TEST_F(KernelIface, SetUpBringsAnInterfaceUpAndDown)
{
    make_veth("kv0", "kv1");
    EXPECT_FALSE(netlib_iface_is_up(&ctx, "kv0"));
    const int down_flags = sysfs_int("kv0", "flags");

    EXPECT_TRUE(netlib_iface_set_up(&ctx, "kv0", true));
    EXPECT_EQ(sysfs_int("kv0", "flags"), down_flags | IFF_UP);
    EXPECT_TRUE(netlib_iface_is_up(&ctx, "kv0"));

    shim::ioctl_requests.clear();
    EXPECT_TRUE(netlib_iface_set_up(&ctx, "kv0", true));
    EXPECT_EQ(shim::ioctl_requests.size(), 1u);

    EXPECT_TRUE(netlib_iface_set_up(&ctx, "kv0", false));
    EXPECT_EQ(sysfs_int("kv0", "flags"), down_flags);
    EXPECT_FALSE(netlib_iface_is_up(&ctx, "kv0"));
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(KernelIface, RunningFollowsTheCarrier)
{
    make_veth("kv0", "kv1");
    up("kv0");
    EXPECT_TRUE(netlib_iface_is_up(&ctx, "kv0"));
    EXPECT_FALSE(netlib_iface_is_running(&ctx, "kv0"));
    up("kv1");
    ASSERT_TRUE(wait_operstate("kv0", "up"));
    EXPECT_TRUE(netlib_iface_is_running(&ctx, "kv0"));
}

TEST_F(KernelIface, BridgeGoesUpThroughSetFlags)
{
    ASSERT_EQ(0, sh("ip link add kbr0 type bridge"));
    int flags = 0;
    ASSERT_TRUE(netlib_iface_get_flags(&ctx, "kbr0", flags));
    ASSERT_EQ(flags & IFF_UP, 0);
    EXPECT_TRUE(netlib_iface_set_flags(&ctx, "kbr0", flags | IFF_UP));
    EXPECT_NE(sysfs_int("kbr0", "flags") & IFF_UP, 0);
}

TEST_F(KernelIface, MissingInterfaceFailsLikeADownOne)
{
    EXPECT_FALSE(netlib_iface_is_up(&ctx, "nosuch0"));
    const auto& logs = fake::host().logs;
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].function, "do_ioctl");
    EXPECT_EQ(logs[0].text, "netlib: ioctl(8913) failed");
    EXPECT_EQ(logs[0].error_number, ENODEV);
}

TEST_F(KernelIface, MtuIsSetAndBadValuesRefused)
{
    make_veth("kv0", "kv1");
    EXPECT_TRUE(netlib_iface_set_mtu(&ctx, "kv0", 1400));
    EXPECT_EQ(sysfs_int("kv0", "mtu"), 1400);

    EXPECT_FALSE(netlib_iface_set_mtu(&ctx, "kv0", 10));
    EXPECT_EQ(sysfs_int("kv0", "mtu"), 1400);
    EXPECT_EQ(log_texts(), std::vector<std::string>{"3 do_ioctl: netlib: ioctl(8922) failed"});
    EXPECT_EQ(fake::host().logs[0].error_number, EINVAL);
}

TEST_F(KernelIface, AddressAndNetmaskAfterIpAddrAdd)
{
    make_veth("kv0", "kv1");
    ASSERT_EQ(0, sh("ip addr add 10.20.30.40/20 dev kv0"));
    std::string text = "previous";
    unsigned int number = 0;
    std::string mask;
    ASSERT_TRUE(netlib_iface_get_address(&ctx, "kv0", text));
    ASSERT_TRUE(netlib_iface_get_address(&ctx, "kv0", number));
    ASSERT_TRUE(netlib_iface_get_netmask(&ctx, "kv0", mask));
    EXPECT_EQ(text, "10.20.30.40");
    const unsigned char expected[4] = {10, 20, 30, 40};
    EXPECT_EQ(std::memcmp(&number, expected, 4), 0);
    EXPECT_EQ(mask, "255.255.240.0");
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(KernelIface, NoAddressLeavesOutParametersAlone)
{
    make_veth("kv0", "kv1");
    std::string text = "previous";
    unsigned int number = 0x01020304;
    std::string mask = "previous";
    EXPECT_FALSE(netlib_iface_get_address(&ctx, "kv0", text));
    EXPECT_FALSE(netlib_iface_get_address(&ctx, "kv0", number));
    EXPECT_FALSE(netlib_iface_get_netmask(&ctx, "kv0", mask));
    EXPECT_EQ(text, "previous");
    EXPECT_EQ(number, 0x01020304u);
    EXPECT_EQ(mask, "previous");
    EXPECT_EQ(log_texts(), (std::vector<std::string>{"3 do_ioctl: netlib: ioctl(8915) failed",
                                                     "3 do_ioctl: netlib: ioctl(8915) failed",
                                                     "3 do_ioctl: netlib: ioctl(891B) failed"}));
    for (const auto& line : fake::host().logs)
        EXPECT_EQ(line.error_number, EADDRNOTAVAIL);
}

TEST_F(KernelIface, LinkSettingsOfVethMatchSysfs)
{
    make_veth("kv0", "kv1");
    up("kv0");
    up("kv1");
    ASSERT_TRUE(wait_operstate("kv0", "up"));
    int speed = -123;
    int duplex = -123;
    const bool got_speed = netlib_iface_get_link_speed(&ctx, "kv0", speed);
    std::string why;
    if (!got_speed && ethtool_refused_by_emulator(why))
        GTEST_SKIP() << why;
    ASSERT_TRUE(got_speed);
    ASSERT_TRUE(netlib_iface_get_link_duplex(&ctx, "kv0", duplex));
    EXPECT_EQ(speed, sysfs_int("kv0", "speed"));
    EXPECT_EQ(duplex, sysfs_duplex("kv0"));
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(KernelIface, LinkSettingsOfTapMatchSysfs)
{
    std::string why;
    if (!tun_available(why))
        GTEST_SKIP() << why;
    make_tuntap("ktap0", "tap");
    up("ktap0");
    int speed = -123;
    int duplex = -123;
    const bool got_speed = netlib_iface_get_link_speed(&ctx, "ktap0", speed);
    if (!got_speed && ethtool_refused_by_emulator(why))
        GTEST_SKIP() << why;
    ASSERT_TRUE(got_speed);
    ASSERT_TRUE(netlib_iface_get_link_duplex(&ctx, "ktap0", duplex));
    EXPECT_EQ(speed, sysfs_int("ktap0", "speed"));
    EXPECT_EQ(duplex, sysfs_duplex("ktap0"));
}

TEST_F(KernelIface, LoopbackHasNoLinkSettings)
{
    int speed = -123;
    int duplex = -123;
    EXPECT_FALSE(netlib_iface_get_link_speed(&ctx, "lo", speed));
    EXPECT_FALSE(netlib_iface_get_link_duplex(&ctx, "lo", duplex));
    EXPECT_EQ(speed, -123);
    EXPECT_EQ(duplex, -123);
    EXPECT_EQ(log_texts(), (std::vector<std::string>{"3 do_ioctl: netlib: ioctl(8946) failed",
                                                     "3 do_ioctl: netlib: ioctl(8946) failed"}));
    EXPECT_NE(fake::host().logs[0].error_number, 0);
}

TEST_F(KernelIface, EnumerationMatchesSysfs)
{
    make_veth("kv0", "kv1");
    ASSERT_EQ(0, sh("ip link add kbr0 type bridge"));
    up("kv0");
    ASSERT_EQ(0, sh("ip addr add 10.9.8.7/24 dev kv0"));
    ASSERT_EQ(0, sh("ip -6 addr add fd00::7/64 dev kv0 nodad"));

    for (bool only_up : {false, true}) {
        SCOPED_TRACE(only_up ? "only up" : "all");
        std::list<std::string> names;
        ASSERT_TRUE(netlib_get_ifaces(nullptr, names, only_up));  // no context needed
        const std::set<std::string> unique(names.begin(), names.end());
        EXPECT_EQ(unique.size(), names.size()) << "an interface was listed twice";
        EXPECT_EQ(unique, sysfs_interfaces(only_up));
    }
    EXPECT_TRUE(fake::host().logs.empty());
}

// Interfaces that qualify for the default choice, in kernel order: two
// candidates are reported with the one of lower index first.
std::string lower_index(const std::string& a, const std::string& b)
{
    return sysfs_int(a, "ifindex") < sysfs_int(b, "ifindex") ? a : b;
}

TEST_F(KernelIface, DefaultPrefersAp0WithCarrier)
{
    make_veth("ke0", "ke1");
    make_veth("kx0", "ap0p");
    ASSERT_EQ(0, sh("ip link set kx0 name ap0"));
    for (const char* name : {"ke0", "ke1", "ap0", "ap0p"})
        up(name);
    ASSERT_TRUE(wait_operstate("ap0", "up"));
    ASSERT_TRUE(wait_operstate("ke0", "up"));
    std::string iface;
    EXPECT_TRUE(netlib_iface_guess_default_iface(&ctx, iface));
    EXPECT_EQ(iface, "ap0");
    EXPECT_TRUE(fake::host().logs.empty()) << ::testing::PrintToString(log_texts());
}

TEST_F(KernelIface, DefaultPassesOverAp0WithoutCarrierAndNamesTheFirstOfTwo)
{
    make_veth("ke0", "ke1");
    make_veth("kx0", "ap0p");
    ASSERT_EQ(0, sh("ip link set kx0 name ap0"));
    up("ke0");
    up("ke1");
    up("ap0");  // its peer stays down: no carrier
    ASSERT_TRUE(wait_operstate("ke0", "up"));
    ASSERT_TRUE(wait_operstate("ke1", "up"));
    ASSERT_FALSE(netlib_iface_is_running(&ctx, "ap0"));

    std::string iface;
    EXPECT_TRUE(netlib_iface_guess_default_iface(&ctx, iface));
    const std::string first = lower_index("ke0", "ke1");
    EXPECT_EQ(iface, first);
    ASSERT_EQ(fake::host().logs.size(), 1u) << ::testing::PrintToString(log_texts());
    EXPECT_EQ(fake::host().logs[0].level, 4);
    EXPECT_EQ(fake::host().logs[0].function, "netlib_iface_guess_default_iface");
    EXPECT_EQ(fake::host().logs[0].text, "More than 1 interface been found, choose: '" + first + "'");
}

TEST_F(KernelIface, LoopbackAloneIsNeverChosen)
{
    make_veth("kv0", "kv1");  // both down
    std::string iface = "stale";
    EXPECT_FALSE(netlib_iface_guess_default_iface(&ctx, iface));
    EXPECT_EQ(iface, "");
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(KernelIface, PointToPointIsNeverChosen)
{
    std::string why;
    if (!tun_available(why))
        GTEST_SKIP() << why;
    make_tuntap("ktun0", "tun");
    up("ktun0");
    ASSERT_TRUE(wait_operstate("ktun0", "up", "unknown"));
    ASSERT_TRUE(netlib_iface_is_running(&ctx, "ktun0"));  // running, only the missing broadcast bit disqualifies it

    std::string iface = "stale";
    EXPECT_FALSE(netlib_iface_guess_default_iface(&ctx, iface));
    EXPECT_EQ(iface, "");
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(KernelIface, RunningTapIsASingleCandidate)
{
    std::string why;
    if (!tun_available(why))
        GTEST_SKIP() << why;
    make_tuntap("ktap0", "tap");
    up("ktap0");
    ASSERT_TRUE(wait_operstate("ktap0", "up", "unknown"));
    std::string iface;
    EXPECT_TRUE(netlib_iface_guess_default_iface(&ctx, iface));
    EXPECT_EQ(iface, "ktap0");
    EXPECT_TRUE(fake::host().logs.empty());
}

}  // namespace
