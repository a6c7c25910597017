// Network configuration I: the single configuration commands against the
// real kernel, /bin/ip and /bin/route inside the device.
#include <sys/stat.h>

#include <algorithm>

#include "system_fixture.h"

namespace systest
{
namespace
{

using Lines = std::vector<std::string>;

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class NetconfCommandsTest : public DeviceTest
{
protected:
    // eth0 up with 10.99.1.20/24, as the address and route tests need it.
    void configure_address()
    {
        CommandResult prepare = netlibctl({"prepare", "eth0"});
        ASSERT_EQ(prepare.status, 0) << prepare.describe();
        CommandResult addr = netlibctl({"addr", "eth0", "10.99.1.20", "--netmask", "255.255.255.0"});
        ASSERT_EQ(addr.status, 0) << addr.describe();
    }

    void set_routes(const Lines& gateways, int expected_status = 0)
    {
        Lines args = {"routes", "eth0"};
        args.insert(args.end(), gateways.begin(), gateways.end());
        CommandResult r = netlibctl(args);
        ASSERT_EQ(r.status, expected_status) << r.describe();
        last_stderr = r.err;
    }

    std::string last_stderr;
};

TEST_F(NetconfCommandsTest, PrepareBringsLinkUpWithAllMulticastAndMtu1500)
{
    ASSERT_EQ(device->run({"/bin/ip", "link", "set", "eth0", "mtu", "1400"}).status, 0);
    LinkState before = link();
    ASSERT_EQ(before.flags.count("UP"), 0u);
    ASSERT_EQ(before.mtu, 1400);

    CommandResult r = netlibctl({"prepare", "eth0"});
    ASSERT_EQ(r.status, 0) << r.describe();
    LinkState after = link();
    EXPECT_EQ(after.flags.count("UP"), 1u);
    EXPECT_EQ(after.flags.count("ALLMULTI"), 1u);
    EXPECT_EQ(after.flags.count("LOWER_UP"), 1u) << "the peer end is up, so the carrier must be there";
    EXPECT_EQ(after.mtu, 1500);
}

TEST_F(NetconfCommandsTest, PrepareOfMissingInterfaceFailsWithOneLine)
{
    CommandResult r = netlibctl({"prepare", "eth7"});
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_TRUE(contains(r.err, "Failed to get \"eth7\" flags")) << r.describe();
}

TEST_F(NetconfCommandsTest, AddrPutsAddressWithDerivedBroadcastOnInterface)
{
    configure_address();
    EXPECT_EQ(addresses(), Lines{"10.99.1.20/24"});
    std::string line = device_output({"/bin/ip", "-4", "-o", "addr", "show", "dev", "eth0"});
    EXPECT_TRUE(contains(line, "brd 10.99.1.255")) << line;
}

TEST_F(NetconfCommandsTest, AddrKeepsAddressesAlreadyPresent)
{
    configure_address();
    CommandResult second = netlibctl({"addr", "eth0", "10.99.1.21", "--netmask", "255.255.255.0"});
    ASSERT_EQ(second.status, 0) << second.describe();
    EXPECT_EQ(addresses(), (Lines{"10.99.1.20/24", "10.99.1.21/24"}));
}

TEST_F(NetconfCommandsTest, AddrOfAddressAlreadyPresentSucceedsAndKeepsItOnce)
{
    configure_address();
    CommandResult again = netlibctl({"addr", "eth0", "10.99.1.20", "--netmask", "255.255.255.0"});
    EXPECT_EQ(again.status, 0) << again.describe();
    EXPECT_EQ(addresses(), Lines{"10.99.1.20/24"});
}

TEST_F(NetconfCommandsTest, AddrRefusesBadNetmaskWithoutTouchingInterface)
{
    configure_address();
    CommandResult r = netlibctl({"addr", "eth0", "10.99.1.30", "--netmask", "255.0.255.0"});
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_TRUE(contains(r.err, "subnet mask is invalid")) << r.describe();
    EXPECT_EQ(addresses(), Lines{"10.99.1.20/24"});
}

TEST_F(NetconfCommandsTest, RoutesMakesDefaultRouteAndReplacesItOnNextCall)
{
    configure_address();
    set_routes({"10.99.1.1"});
    EXPECT_EQ(default_routes(), Lines{"default via 10.99.1.1 dev eth0"});

    set_routes({"10.99.1.2"});
    EXPECT_EQ(default_routes(), Lines{"default via 10.99.1.2 dev eth0"});

    // No gateway: one default route straight through the interface.
    set_routes({});
    EXPECT_EQ(default_routes(), Lines{"default dev eth0 scope link"});
}

TEST_F(NetconfCommandsTest, RoutesReachesOffSubnetGatewayThroughHostRoute)
{
    configure_address();
    set_routes({"10.99.1.1"});
    set_routes({"10.99.7.1"});
    EXPECT_EQ(default_routes(), Lines{"default via 10.99.7.1 dev eth0"});
    Lines all = routes();
    EXPECT_NE(std::find(all.begin(), all.end(), "10.99.7.1 dev eth0 scope link"), all.end())
        << "the host route to the gateway stays";
}

TEST_F(NetconfCommandsTest, RoutesWithRefusedGatewayFailsAndKeepsEarlierDefaultRoute)
{
    configure_address();
    set_routes({"10.99.1.2"});
    set_routes({"10.99.1.1", "10.99.1.300"}, 1);
    EXPECT_TRUE(contains(last_stderr, "Invalid gateway '10.99.1.300'")) << last_stderr;
    EXPECT_EQ(default_routes(), Lines{"default via 10.99.1.2 dev eth0"});
    for (const auto& line : routes())
        EXPECT_FALSE(contains(line, "10.99.1.300")) << line;
}

TEST_F(NetconfCommandsTest, DnsWritesExactFileWithMode0644UnderUmask077AndLeavesNoTemporary)
{
    const Lines tmp_before = device->list_dir("/tmp");
    ASSERT_TRUE(device->list_dir("/etc").empty());
    RunOptions strict;
    strict.umask = 077;
    CommandResult r = netlibctl({"dns", "eth0", "--nameserver", "10.99.1.53", "--search", "example.test"}, strict);
    ASSERT_EQ(r.status, 0) << r.describe();

    EXPECT_EQ(resolver_file(), "search example.test\nnameserver 10.99.1.53\n");
    mode_t mode = 0;
    ASSERT_TRUE(device->file_mode("/etc/resolv.conf", mode));
    EXPECT_TRUE(S_ISREG(mode));
    EXPECT_EQ(mode & 07777, 0644u);
    EXPECT_EQ(device->list_dir("/tmp"), tmp_before) << "no temporary file may be left behind";
    EXPECT_EQ(device->list_dir("/etc"), Lines{"resolv.conf"}) << "no temporary file may be left behind";
}

TEST_F(NetconfCommandsTest, DnsReplacesWholeFileOnEachCall)
{
    CommandResult first = netlibctl({"dns", "eth0", "--nameserver", "10.99.1.53", "--nameserver", "10.99.1.54"});
    ASSERT_EQ(first.status, 0) << first.describe();
    EXPECT_EQ(resolver_file(), "nameserver 10.99.1.53\nnameserver 10.99.1.54\n");
    CommandResult second = netlibctl({"dns", "eth0", "--search", "lab.test"});
    ASSERT_EQ(second.status, 0) << second.describe();
    EXPECT_EQ(resolver_file(), "search lab.test\n");
}

TEST_F(NetconfCommandsTest, DnsWithRefusedNameServerLeavesOldFileByteIdentical)
{
    const std::string old_content = "# written before the test\nnameserver 10.99.1.9\n";
    ASSERT_TRUE(device->write_file("/etc/resolv.conf", old_content, 0644));
    struct stat before;
    ASSERT_EQ(stat(device->path("/etc/resolv.conf").c_str(), &before), 0);
    const Lines tmp_before = device->list_dir("/tmp");

    CommandResult r = netlibctl({"dns", "eth0", "--nameserver", "10.99.1.53", "--nameserver", "10.99.1.300"});
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_TRUE(contains(r.err, "Invalid nameserver '10.99.1.300'")) << r.describe();

    EXPECT_EQ(resolver_file(), old_content);
    struct stat after;
    ASSERT_EQ(stat(device->path("/etc/resolv.conf").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the file must not have been replaced";
    EXPECT_EQ(device->list_dir("/tmp"), tmp_before);
    EXPECT_EQ(device->list_dir("/etc"), Lines{"resolv.conf"});
}

}  // namespace
}  // namespace systest
