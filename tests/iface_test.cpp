// Interface operations against the real kernel, in a private network namespace.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <list>

#include "support.h"

namespace
{

std::string sysfs(const std::string& iface, const char* file)
{
    return trimmed(read_file("/sys/class/net/" + iface + "/" + file));
}

struct Device {
    const char* name;
    const char* make;
    const char* address;
    const char* netmask;
};

const Device kDevices[] = {
    {"lo", "true", "127.0.0.1", "255.0.0.0"},
    {"va",
     "ip link add va type veth peer name vb && ip link set vb up && ip link set va up && "
     "ip addr add 10.1.0.1/24 dev va",
     "10.1.0.1", "255.255.255.0"},
    {"br0", "ip link add br0 type bridge && ip link set br0 up && ip addr add 10.2.0.1/16 dev br0", "10.2.0.1",
     "255.255.0.0"},
    {"tap0", "ip tuntap add tap0 mode tap && ip link set tap0 up && ip addr add 10.3.0.1/30 dev tap0", "10.3.0.1",
     "255.255.255.252"},
};

class Iface : public Isolated
{
protected:
    Ctx ctx;
    void SetUp() override
    {
        Isolated::SetUp();
        ASSERT_TRUE(net::netlib_libiface_init(ctx));
    }
};

TEST_F(Iface, EveryOperationAgreesWithTheKernelOnLoopbackVethBridgeAndTap)
{
    for (const Device& d : kDevices) {
        SCOPED_TRACE(d.name);
        sh(d.make);
        int flags = 0;
        ASSERT_TRUE(net::netlib_iface_get_flags(ctx, d.name, flags));
        const unsigned int kernel_flags = std::stoul(sysfs(d.name, "flags"), nullptr, 16);
        EXPECT_EQ(kernel_flags & 0xffff & ~IFF_RUNNING, flags & 0xffff & ~IFF_RUNNING);
        // The kernel settles a link's operational state a moment after it goes up: read it on both sides.
        std::string oper = sysfs(d.name, "operstate"), again;
        bool running = net::netlib_iface_is_running(ctx, d.name);
        while ((again = sysfs(d.name, "operstate")) != oper) {
            oper = again;
            running = net::netlib_iface_is_running(ctx, d.name);
        }
        EXPECT_EQ(oper == "up" || oper == "unknown", running);

        std::string text;
        unsigned int number = 0;
        ASSERT_TRUE(net::netlib_iface_get_address(ctx, d.name, text));
        ASSERT_TRUE(net::netlib_iface_get_address(ctx, d.name, number));
        EXPECT_EQ(d.address, text);
        EXPECT_EQ(inet_addr(d.address), number);
        ASSERT_TRUE(net::netlib_iface_get_netmask(ctx, d.name, text));
        EXPECT_EQ(d.netmask, text);

        // The kernel offers link settings where sysfs can show them.
        const std::string speed = sysfs(d.name, "speed"), duplex = sysfs(d.name, "duplex");
        int value = 12345;
        EXPECT_EQ(!speed.empty(), net::netlib_iface_get_link_speed(ctx, d.name, value));
        EXPECT_EQ(speed.empty() ? 12345 : std::stoi(speed), value);
        value = 12345;
        EXPECT_EQ(!duplex.empty(), net::netlib_iface_get_link_duplex(ctx, d.name, value));
        EXPECT_EQ(duplex.empty() ? 12345 : duplex == "full" ? 1 : duplex == "half" ? 0 : 255, value);

        ASSERT_TRUE(net::netlib_iface_set_mtu(ctx, d.name, 1280));
        EXPECT_EQ("1280", sysfs(d.name, "mtu"));
        ASSERT_TRUE(net::netlib_iface_set_flags(ctx, d.name, flags | IFF_PROMISC));
        EXPECT_NE(0u, std::stoul(sysfs(d.name, "flags"), nullptr, 16) & IFF_PROMISC);
        ASSERT_TRUE(net::netlib_iface_set_flags(ctx, d.name, flags));
        EXPECT_EQ(kernel_flags, std::stoul(sysfs(d.name, "flags"), nullptr, 16));

        ASSERT_TRUE(net::netlib_iface_set_up(ctx, d.name, false));
        EXPECT_EQ(0u, std::stoul(sysfs(d.name, "flags"), nullptr, 16) & IFF_UP);
        EXPECT_FALSE(net::netlib_iface_is_up(ctx, d.name));
        EXPECT_TRUE(net::netlib_iface_set_up(ctx, d.name, false));
        ASSERT_TRUE(net::netlib_iface_set_up(ctx, d.name, true));
        EXPECT_TRUE(net::netlib_iface_is_up(ctx, d.name));
    }
}

TEST_F(Iface, OutParametersKeepTheirValueWhenTheKernelRefuses)
{
    sh("ip link add nd type veth peer name nd1");  // no IPv4 address
    int flags = -7;
    std::string text = "before";
    unsigned int number = 7;
    EXPECT_FALSE(net::netlib_iface_get_flags(ctx, "nosuch0", flags));
    EXPECT_FALSE(net::netlib_iface_get_address(ctx, "nd", text));
    EXPECT_FALSE(net::netlib_iface_get_address(ctx, "nd", number));
    EXPECT_FALSE(net::netlib_iface_is_up(ctx, "nosuch0"));
    EXPECT_EQ(-7, flags);
    EXPECT_EQ("before", text);
    EXPECT_EQ(7u, number);
    EXPECT_EQ((std::vector<std::string>{"3 do_ioctl: netlib: ioctl(8913) failed: No such device",
                                        "3 do_ioctl: netlib: ioctl(8915) failed: Cannot assign requested address",
                                        "3 do_ioctl: netlib: ioctl(8915) failed: Cannot assign requested address",
                                        "3 do_ioctl: netlib: ioctl(8913) failed: No such device"}),
              Log::take());
}

TEST_F(Iface, NamesTheKernelWouldCutOrThatHoldANulAreRefused)
{
    sh("ip link add abcdefghijklmno type veth peer name p0");
    int flags = 0;
    EXPECT_TRUE(net::netlib_iface_get_flags(ctx, "abcdefghijklmno", flags));
    EXPECT_FALSE(net::netlib_iface_set_mtu(ctx, "abcdefghijklmnop", 1280));
    EXPECT_FALSE(net::netlib_iface_set_mtu(ctx, std::string("lo\0x", 4), 1280));
    EXPECT_FALSE(net::netlib_netm_connect(ctx, "abcdefghijklmnop"));
    EXPECT_EQ("1500", sysfs("abcdefghijklmno", "mtu"));
    EXPECT_EQ("65536", sysfs("lo", "mtu"));
    EXPECT_EQ((std::vector<std::string>{"3 netlib_iface_set_mtu: invalid network interface",
                                        "3 netlib_iface_set_mtu: invalid network interface",
                                        "3 netlib_netm_connect: invalid network interface"}),
              Log::take());
}

TEST_F(Iface, EnumerationListsEveryInterfaceOrThoseUpAndAppends)
{
    sh("ip link add ea type veth peer name eb && ip link set ea up");
    std::list<std::string> all, up;
    ASSERT_TRUE(net::netlib_get_ifaces(nullptr, all, false));
    ASSERT_TRUE(net::netlib_get_ifaces(nullptr, up, true));
    ASSERT_TRUE(net::netlib_get_ifaces(nullptr, up, true));
    all.sort();
    EXPECT_EQ((std::list<std::string>{"ea", "eb", "lo"}), all);
    EXPECT_EQ((std::list<std::string>{"lo", "ea", "lo", "ea"}), up);
}

TEST_F(Iface, TheMainInterfaceIsAp0ElseTheFirstRunningBroadcastOne)
{
    struct Row {
        const char* setup;
        const char* chosen;
        bool notice;
        bool tun = false;  // tun0 attached to this process: running, point-to-point, no broadcast
    } rows[] = {
        {"for i in eth1 ap0; do ip link add $i type ifb && ip link set $i up; done", "ap0", false},
        {"ip link add ap0 type veth peer name ap0p && ip link set ap0 up && "  // up, not running once settled
         "for i in $(seq 600); do ip link show ap0 | grep -q LOWERLAYERDOWN && break; sleep 0.1; done && "
         "for i in eth1 eth2; do ip link add $i type ifb && ip link set $i up; done",
         "eth1", true},
        {"ip link add eth1 type ifb && ip link set eth1 up", "eth1", false},
        {"ip link add eth1 type ifb", "", false},  // down, and loopback is never chosen
        {"ip link set tun0 up && for i in $(seq 600); do ip link show tun0 | grep -q 'UP,LOWER_UP' && break; "
         "sleep 0.1; done && ip link show tun0 | grep -q 'UP,LOWER_UP'",
         "", false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.setup);
        ASSERT_EQ(0, unshare(CLONE_NEWNET));
        ASSERT_TRUE(net::netlib_libiface_init(ctx));  // its socket answers for the namespace it was made in
        const int tun = row.tun ? open("/dev/net/tun", O_RDWR | O_CLOEXEC) : -1;
        ifreq req{};
        std::strcpy(req.ifr_name, "tun0");
        req.ifr_flags = IFF_TUN | IFF_NO_PI;
        ASSERT_TRUE(!row.tun || ioctl(tun, TUNSETIFF, &req) == 0) << std::strerror(errno);
        sh(std::string("ip link set lo up && ") + row.setup);
        std::string chosen = "old";
        EXPECT_EQ(*row.chosen != 0, net::netlib_iface_guess_default_iface(ctx, chosen));
        EXPECT_EQ(row.chosen, chosen);
        std::vector<std::string> notices;
        if (row.notice)
            notices.push_back(std::string("4 netlib_iface_guess_default_iface: More than 1 interface been found, "
                                          "choose: '") +
                              row.chosen + "'");
        EXPECT_EQ(notices, Log::take());
        if (tun >= 0)
            close(tun);
    }
}

TEST(Lifecycle, GuardsRefuseAndARepeatedInitReleasesTheEarlierSockets)
{
    Log log;
    netlib_context unmarked{};
    Ctx ctx;
    int flags = 0;
    EXPECT_FALSE(net::netlib_libiface_init(nullptr));
    EXPECT_FALSE(net::netlib_libevents_init(&unmarked));
    EXPECT_FALSE(net::netlib_iface_get_flags(ctx, "lo", flags));
    EXPECT_FALSE(net::netlib_libevents_service(ctx));
    EXPECT_TRUE(net::netlib_libiface_close(ctx));
    EXPECT_TRUE(net::netlib_libevents_close(ctx));
    EXPECT_EQ(nullptr, unmarked.events_state);
    EXPECT_EQ((std::vector<std::string>{"3 netlib_libiface_init: library context is null",
                                        "3 netlib_libevents_init: netlib: you may not call this function directly",
                                        "3 check: library context is null", "3 check: library context is null"}),
              Log::take());

    const int before = open_descriptors();
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(net::netlib_libiface_init(ctx));
        ASSERT_TRUE(net::netlib_libevents_init(ctx));
        EXPECT_EQ(before + 2, open_descriptors());
    }
    EXPECT_TRUE(net::netlib_libevents_close(ctx));
    EXPECT_TRUE(net::netlib_libiface_close(ctx));
    EXPECT_TRUE(net::netlib_libiface_close(ctx));
    EXPECT_EQ(before, open_descriptors());
    EXPECT_TRUE(Log::take().empty());
}

}  // namespace
