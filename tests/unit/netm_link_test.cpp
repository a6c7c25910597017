// Guard, interface-name refusal and link bring-up of netlib_netm.
#include "netm_fixture.h"

using namespace pelk::network;
using netm_test::FakeLink;
using netm_test::NetmTest;

namespace
{

const int UP = 0x1, RUNNING = 0x40, ALLMULTI = 0x200, BROADCAST = 0x2;

// Every operation of the unit, called with one interface name.
struct NamedOp {
    const char* function;
    std::function<bool(void*, const std::string&)> call;
};

std::vector<NamedOp> all_operations()
{
    const std::vector<std::string> ns{"10.0.0.1"};
    pelk::variant::Variant empty;
    return {
        {"netlib_netm_connect", [](void* c, const std::string& i) { return netlib_netm_connect(c, i); }},
        {"netlib_netm_disconnect", [](void* c, const std::string& i) { return netlib_netm_disconnect(c, i); }},
        {"netlib_netm_configure_interface",
         [](void* c, const std::string& i) { return netlib_netm_configure_interface(c, i); }},
        {"netlib_netm_flush_iface", [](void* c, const std::string& i) { return netlib_netm_flush_iface(c, i); }},
        {"netlib_netm_configure_ip_addr",
         [](void* c, const std::string& i) { return netlib_netm_configure_ip_addr(c, i, "10.0.0.2", "", ""); }},
        {"netlib_netm_configure_routes",
         [](void* c, const std::string& i) { return netlib_netm_configure_routes(c, i, "10.0.0.1"); }},
        {"netlib_netm_configure_dns",
         [ns](void* c, const std::string& i) { return netlib_netm_configure_dns(c, i, ns, "lan"); }},
        {"netlib_netm_configure_dhcp", [](void* c, const std::string& i) { return netlib_netm_configure_dhcp(c, i); }},
        {"netlib_netm_configure_static_fallback",
         [](void* c, const std::string& i) {
             return netlib_netm_configure_static_fallback(c, i, "10.0.0.2", "255.0.0.0", "");
         }},
        {"netlib_netm_is_static_connection",
         [](void* c, const std::string& i) { return netlib_netm_is_static_connection(c, i); }},
        {"netlib_netm_is_static_fallback_connection",
         [](void* c, const std::string& i) { return netlib_netm_is_static_fallback_connection(c, i); }},
        {"netlib_netm_configure_intf",
         [ns](void* c, const std::string& i) {
             return netlib_netm_configure_static(c, i, "10.0.0.2", "255.0.0.0", "10.0.0.1", ns, "", "", false);
         }},
        {"netlib_netm_configure_intf",
         [ns](void* c, const std::string& i) {
             return netlib_netm_configure_dhcp(c, i, "10.0.0.2", "255.0.0.0", "10.0.0.1", ns, "", "", true);
         }},
        {"netlib_netm_init_network",
         [empty](void* c, const std::string& i) { return netlib_netm_init_network(c, i, empty); }},
    };
}

}  // namespace

TEST_F(NetmTest, UnusableNamesAreRefusedByEveryOperationBeforeAnyEffect)
{
    const std::vector<std::string> bad_names{"", "abcdefghijklmnop", "averyveryverylongname0",
                                             std::string("eth0\0x", 6)};
    // Interfaces the kernel would reach by cutting the names must not be reached.
    links["abcdefghijklmno"] = {};
    links["averyveryverylo"] = {};
    links["eth0"] = {};
    for (const std::string& name : bad_names) {
        for (const NamedOp& op : all_operations()) {
            host().reset();
            shim::ioctl_requests.clear();
            EXPECT_FALSE(op.call(&ctx, name)) << op.function << " '" << name << "'";
            expect_one_log(op.function, "invalid network interface");
            EXPECT_TRUE(host().execs.empty());
            EXPECT_TRUE(host().daemons.empty());
            EXPECT_TRUE(host().kills.empty());
            EXPECT_TRUE(host().proc_writes.empty());
            EXPECT_TRUE(host().validations.empty());
            EXPECT_TRUE(host().file_ops.empty());
            EXPECT_TRUE(shim::ioctl_requests.empty());
        }
    }
    EXPECT_TRUE(renames.empty());
    EXPECT_TRUE(static_records().empty());
    EXPECT_TRUE(fallback_records().empty());
}

TEST_F(NetmTest, FifteenByteNameIsAccepted)
{
    links["abcdefghijklmno"] = {};
    EXPECT_TRUE(netlib_netm_configure_interface(&ctx, "abcdefghijklmno"));
    EXPECT_TRUE(host().logs.empty()) << ::testing::PrintToString(logs());
}

TEST_F(NetmTest, GuardRefusesMissingOrUninitialisedState)
{
    for (const NamedOp& op : all_operations()) {
        host().reset();
        EXPECT_FALSE(op.call(nullptr, "eth0"));
        expect_one_log("check", "library context is null");
    }

    netlib_context never{};
    never.front_end_marker = 1;
    for (const NamedOp& op : all_operations()) {
        host().reset();
        EXPECT_FALSE(op.call(&never, "eth0"));
        expect_one_log("check", "library context is null");
    }

    ctx.iface_state->initialized = false;
    for (const NamedOp& op : all_operations()) {
        host().reset();
        EXPECT_FALSE(op.call(&ctx, "eth0"));
        expect_one_log("check", "library is not initialized");
        EXPECT_TRUE(host().execs.empty());
        EXPECT_TRUE(host().proc_writes.empty());
    }
    ctx.iface_state->initialized = true;
}

TEST_F(NetmTest, ConfigureInterfaceWritesMissingFlagsAndAlwaysTheMtu)
{
    struct Row {
        int before;
        bool written;
    };
    const Row rows[] = {
        {0, true},
        {UP | ALLMULTI, true},  // running bit clear: written on every call
        {UP | RUNNING | ALLMULTI, false},
        {UP | RUNNING | ALLMULTI | BROADCAST | 0x1000, false},
        {BROADCAST | 0x1000, true},  // other bits kept
        {static_cast<int>(0x8000) | BROADCAST, true},
    };
    for (const Row& row : rows) {
        links.clear();
        links["eth0"].flags = row.before;
        EXPECT_TRUE(netlib_netm_configure_interface(&ctx, "eth0")) << row.before;
        const FakeLink& link = links["eth0"];
        if (row.written) {
            ASSERT_EQ(link.flag_writes.size(), 1u) << row.before;
            EXPECT_EQ(link.flag_writes[0], (row.before | 0x241) & 0xFFFF);
        } else {
            EXPECT_TRUE(link.flag_writes.empty()) << row.before;
        }
        EXPECT_EQ(link.mtu_writes, std::vector<int>{1500});
    }
    EXPECT_TRUE(host().logs.empty()) << ::testing::PrintToString(logs());
}

TEST_F(NetmTest, ConfigureInterfaceRewritesWhileNotRunning)
{
    links["eth0"].flags = UP | ALLMULTI;
    shim::ioctl_hook = [this](int, unsigned long request, void* arg) {
        int r = fake_ioctl(request, arg);
        if (request == SIOCSIFFLAGS)
            links["eth0"].flags &= ~RUNNING;  // no carrier: the kernel keeps it clear
        return r;
    };
    EXPECT_TRUE(netlib_netm_configure_interface(&ctx, "eth0"));
    EXPECT_TRUE(netlib_netm_configure_interface(&ctx, "eth0"));
    EXPECT_EQ(links["eth0"].flag_writes, (std::vector<int>{0x241, 0x241}));
    EXPECT_EQ(links["eth0"].mtu_writes, (std::vector<int>{1500, 1500}));
}

TEST_F(NetmTest, ConfigureInterfaceFailureRows)
{
    // Missing interface: fails at the read, nothing written.
    EXPECT_FALSE(netlib_netm_configure_interface(&ctx, "eth9"));
    EXPECT_EQ(logs(), (std::vector<std::string>{"3 do_ioctl: netlib: ioctl(8913) failed",
                                                "3 netlib_netm_configure_interface: Failed to get \"eth9\" flags"}));
    EXPECT_EQ(shim::ioctl_requests, (std::vector<unsigned long>{SIOCGIFFLAGS}));

    host().reset();
    shim::ioctl_requests.clear();
    links["eth0"].fail_set_flags = true;
    EXPECT_FALSE(netlib_netm_configure_interface(&ctx, "eth0"));
    EXPECT_EQ(logs().back(), "3 netlib_netm_configure_interface: Failed to turn on \"eth0\"");
    EXPECT_TRUE(links["eth0"].mtu_writes.empty());

    host().reset();
    links["eth0"] = {};
    links["eth0"].fail_mtu = true;
    EXPECT_FALSE(netlib_netm_configure_interface(&ctx, "eth0"));
    EXPECT_EQ(logs(),
              (std::vector<std::string>{"3 do_ioctl: netlib: ioctl(8922) failed",
                                        "3 netlib_netm_configure_interface: Failed to set MTU (1500) for \"eth0\""}));
    EXPECT_EQ(links["eth0"].flags, 0x241);  // the flag write is not undone
    ASSERT_EQ(host().logs.size(), 2u);
    EXPECT_EQ(host().logs[1].file, "netlib_netm.cpp");
    EXPECT_EQ(host().logs[1].error_number, 0);
}

TEST_F(NetmTest, ConnectAndDisconnectChangeOnlyTheUpBit)
{
    links["eth0"].flags = BROADCAST;
    EXPECT_TRUE(netlib_netm_connect(&ctx, "eth0"));
    EXPECT_EQ(links["eth0"].flag_writes, std::vector<int>{BROADCAST | UP});
    EXPECT_TRUE(netlib_netm_connect(&ctx, "eth0"));  // already up: no write
    EXPECT_EQ(links["eth0"].flag_writes.size(), 1u);

    EXPECT_TRUE(netlib_netm_disconnect(&ctx, "eth0"));
    EXPECT_EQ(links["eth0"].flag_writes.back(), BROADCAST);
    EXPECT_TRUE(netlib_netm_disconnect(&ctx, "eth0"));
    EXPECT_EQ(links["eth0"].flag_writes.size(), 2u);
    EXPECT_TRUE(host().logs.empty());

    // A failure inside the ioctl layer is reported there alone.
    EXPECT_FALSE(netlib_netm_connect(&ctx, "eth9"));
    EXPECT_EQ(logs(), std::vector<std::string>{"3 do_ioctl: netlib: ioctl(8913) failed"});
    host().reset();
    links["eth0"].fail_set_flags = true;
    EXPECT_FALSE(netlib_netm_connect(&ctx, "eth0"));
    EXPECT_EQ(logs(), std::vector<std::string>{"3 do_ioctl: netlib: ioctl(8914) failed"});
}
