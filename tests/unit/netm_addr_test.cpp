// Address flush and add through /bin/ip.
#include "netm_fixture.h"

using namespace pelk::network;
using netm_test::NetmTest;

TEST_F(NetmTest, FlushRunsIpAddrFlush)
{
    EXPECT_TRUE(netlib_netm_flush_iface(&ctx, "eth0"));
    ASSERT_EQ(host().execs.size(), 1u);
    EXPECT_EQ(host().execs[0].program, "/bin/ip");
    EXPECT_EQ(host().execs[0].args, (std::vector<std::string>{"addr", "flush", "dev", "eth0"}));
    EXPECT_TRUE(host().logs.empty());

    host().reset();
    host().exec_results = {2};
    EXPECT_FALSE(netlib_netm_flush_iface(&ctx, "eth0"));
    expect_one_log("netlib_netm_flush_iface", "Failed to flush interface \"eth0\"");
}

TEST_F(NetmTest, AddAddressCommandLines)
{
    struct Row {
        const char *ip, *netmask, *broadcast, *third, *fifth;
    };
    const Row rows[] = {
        {"192.168.1.20", "255.255.255.0", "192.168.1.255", "192.168.1.20/255.255.255.0", "192.168.1.255"},
        {"192.168.1.20", "", "", "192.168.1.20", "+"},
        {"10.1.2.3", "255.0.0.0", "", "10.1.2.3/255.0.0.0", "+"},
        {"10.1.2.3", "", "not an address", "10.1.2.3", "not an address"},
    };
    for (const Row& row : rows) {
        host().reset();
        EXPECT_TRUE(netlib_netm_configure_ip_addr(&ctx, "eth1", row.ip, row.netmask, row.broadcast));
        ASSERT_EQ(host().execs.size(), 1u);
        EXPECT_EQ(host().execs[0].program, "/bin/ip");
        EXPECT_EQ(host().execs[0].args,
                  (std::vector<std::string>{"addr", "add", row.third, "brd", row.fifth, "dev", "eth1"}));
        EXPECT_TRUE(host().logs.empty());
    }
}

TEST_F(NetmTest, AddAddressValidatesWithTheFixedFlags)
{
    EXPECT_TRUE(netlib_netm_configure_ip_addr(&ctx, "eth0", "10.0.0.2", "255.255.0.0", ""));
    ASSERT_EQ(host().validations.size(), 2u);
    EXPECT_EQ(host().validations[0].function, "ipv4_address_valid");
    EXPECT_EQ(host().validations[0].text, "10.0.0.2");
    EXPECT_FALSE(host().validations[0].flag1);
    EXPECT_TRUE(host().validations[0].flag2);
    EXPECT_EQ(host().validations[1].function, "ipv4_netmask_valid");
    EXPECT_FALSE(host().validations[1].flag1);

    host().reset();
    EXPECT_TRUE(netlib_netm_configure_ip_addr(&ctx, "eth0", "10.0.0.2", "", ""));
    EXPECT_EQ(host().validations.size(), 1u);  // an empty netmask is not validated
}

TEST_F(NetmTest, AddAddressFailureRows)
{
    struct Row {
        const char *ip, *netmask, *message;
    };
    const Row rows[] = {
        {"", "255.255.255.0", "IP address is invalid or empty"},
        {"0.0.0.0", "", "IP address is invalid or empty"},
        {"10.0.0.256", "", "IP address is invalid or empty"},
        {"10.0.0.2", "255.0.255.0", "subnet mask is invalid"},
        {"10.0.0.2", "24", "subnet mask is invalid"},
    };
    for (const Row& row : rows) {
        host().reset();
        EXPECT_FALSE(netlib_netm_configure_ip_addr(&ctx, "eth0", row.ip, row.netmask, "")) << row.ip;
        expect_one_log("netlib_netm_configure_ip_addr", row.message);
        EXPECT_TRUE(host().execs.empty());
    }

    host().reset();
    host().exec_results = {1};
    EXPECT_FALSE(netlib_netm_configure_ip_addr(&ctx, "eth0", "10.0.0.2", "255.0.0.0", ""));
    expect_one_log("netlib_netm_configure_ip_addr", "Failed to configure interface \"eth0\"");
    EXPECT_EQ(host().execs.size(), 1u);  // nothing retried
}

TEST_F(NetmTest, ReapplyingAnAddressTheInterfaceHoldsSucceeds)
{
    addresses = {{"eth1", "10.0.0.2", "255.0.0.0"},
                 {"eth0", "10.0.0.9", "255.0.0.0"},
                 {"eth0", "10.0.0.2", "255.0.0.0"},
                 {"eth0", "10.0.0.3", "255.255.255.255"}};
    host().exec_default = 2;  // "ip addr add" reports that the address exists

    EXPECT_TRUE(netlib_netm_configure_ip_addr(&ctx, "eth0", "10.0.0.2", "255.0.0.0", ""));
    EXPECT_TRUE(host().logs.empty());
    EXPECT_EQ(execs(), std::vector<std::string>{"/bin/ip addr add 10.0.0.2/255.0.0.0 brd + dev eth0"});

    host().reset();
    host().exec_default = 2;
    EXPECT_TRUE(netlib_netm_configure_ip_addr(&ctx, "eth0", "10.0.0.3", "", ""));  // empty netmask: /32
    EXPECT_TRUE(host().logs.empty());

    struct Row {
        const char *iface, *ip, *netmask;
    };
    const Row differ[] = {
        {"eth0", "10.0.0.2", "255.255.0.0"},  // other netmask
        {"eth0", "10.0.0.2", ""},             // /32 wanted, /8 held
        {"eth0", "10.0.0.4", "255.0.0.0"},    // other address
        {"eth2", "10.0.0.2", "255.0.0.0"},    // held by another interface only
        {"eth0", "10.0.0.3", "255.255.255.0"},
    };
    for (const Row& row : differ) {
        host().reset();
        host().exec_default = 2;
        EXPECT_FALSE(netlib_netm_configure_ip_addr(&ctx, row.iface, row.ip, row.netmask, "")) << row.ip;
        expect_one_log("netlib_netm_configure_ip_addr",
                       std::string("Failed to configure interface \"") + row.iface + "\"");
    }

    host().reset();
    host().exec_default = 2;
    shim::getifaddrs_hook = [](ifaddrs**) {
        errno = ENOMEM;
        return -1;
    };
    EXPECT_FALSE(netlib_netm_configure_ip_addr(&ctx, "eth0", "10.0.0.2", "255.0.0.0", ""));
    expect_one_log("netlib_netm_configure_ip_addr", "Failed to configure interface \"eth0\"");
}

TEST_F(NetmTest, AddingNeverFlushes)
{
    addresses = {{"eth0", "10.9.9.9", "255.0.0.0"}};
    EXPECT_TRUE(netlib_netm_configure_ip_addr(&ctx, "eth0", "10.0.0.2", "255.0.0.0", ""));
    EXPECT_EQ(execs(), std::vector<std::string>{"/bin/ip addr add 10.0.0.2/255.0.0.0 brd + dev eth0"});
}
