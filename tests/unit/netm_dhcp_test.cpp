// DHCP client start, static fallback, the combined configuration entry
// points and the records they leave.
#include "netm_fixture.h"

using namespace pelk::network;
using netm_test::NetmTest;

namespace
{

std::vector<std::string> udhcpc_args(const std::string& host, const std::string& iface)
{
    return {"--retries", "9", "-b", "-x", "hostname:" + host, "-i", iface, "-S", "-s", "/bin/udhcpc_cb.sh"};
}

}  // namespace

TEST_F(NetmTest, DhcpStopsTheOldClientThenStartsUdhcpc)
{
    static_records()["eth0"] = true;
    fallback_records()["eth0"] = true;
    EXPECT_TRUE(netlib_netm_configure_dhcp(&ctx, "eth0"));
    EXPECT_TRUE(host().logs.empty());
    EXPECT_EQ(host().journal,
              (std::vector<std::string>{"kill udhcpc 15",
                                        "daemon /bin/udhcpc --retries 9 -b -x hostname:gateway-box -i eth0 -S -s "
                                        "/bin/udhcpc_cb.sh"}));
    ASSERT_EQ(host().daemons.size(), 1u);
    const fake::DaemonCall& d = host().daemons[0];
    EXPECT_TRUE(d.workdir_null);
    EXPECT_TRUE(d.mask_null);
    EXPECT_TRUE(d.pid_null);
    EXPECT_EQ(d.program, "/bin/udhcpc");
    EXPECT_EQ(d.count, 10);
    EXPECT_EQ(d.args, udhcpc_args("gateway-box", "eth0"));
    EXPECT_FALSE(is_static("eth0"));
    EXPECT_FALSE(is_fallback("eth0"));
    EXPECT_EQ(static_records().count("eth0"), 1u);

    // A second start stops the first client again.
    EXPECT_TRUE(netlib_netm_configure_dhcp(&ctx, "eth0"));
    EXPECT_EQ(host().kills.size(), 2u);
    EXPECT_EQ(host().daemons.size(), 2u);
}

TEST_F(NetmTest, DhcpHostNameLimits)
{
    hostname = std::string(64, 'h');  // the longest legal name must not fail
    EXPECT_TRUE(netlib_netm_configure_dhcp(&ctx, "eth0"));
    ASSERT_EQ(host().daemons.size(), 1u);
    EXPECT_EQ(host().daemons[0].args[4], "hostname:" + std::string(63, 'h'));

    host().reset();
    hostname = std::string(63, 'k');
    EXPECT_TRUE(netlib_netm_configure_dhcp(&ctx, "eth0"));
    EXPECT_EQ(host().daemons[0].args[4], "hostname:" + hostname);

    host().reset();
    shim::gethostname_hook = [](char* name, size_t len) {
        std::memset(name, 'x', len);  // no terminator at all
        return 0;
    };
    EXPECT_TRUE(netlib_netm_configure_dhcp(&ctx, "eth0"));
    EXPECT_EQ(host().daemons[0].args[4], "hostname:" + std::string(63, 'x'));
}

TEST_F(NetmTest, DhcpFailureRowsLeaveRecordsAlone)
{
    static_records()["eth0"] = true;
    shim::gethostname_hook = [](char*, size_t) {
        errno = EFAULT;
        return -1;
    };
    EXPECT_FALSE(netlib_netm_configure_dhcp(&ctx, "eth0"));
    expect_one_log("netlib_netm_configure_dhcp", "Failed to get hostname");
    EXPECT_EQ(host().journal.front(), "kill udhcpc 15");  // already stopped
    EXPECT_TRUE(host().daemons.empty());
    EXPECT_TRUE(is_static("eth0"));

    host().reset();
    shim::gethostname_hook = nullptr;
    host().daemon_result = 0;
    EXPECT_FALSE(netlib_netm_configure_dhcp(&ctx, "eth0"));
    expect_one_log("netlib_netm_configure_dhcp", "Failed to start udhcpc");
    EXPECT_EQ(host().kills.size(), 1u);
    EXPECT_TRUE(is_static("eth0"));
    EXPECT_EQ(fallback_records().count("eth0"), 0u);
}

TEST_F(NetmTest, StaticFallbackAssignsTheAddressAndRecordsIt)
{
    EXPECT_TRUE(netlib_netm_configure_dhcp(&ctx, "eth0"));
    host().reset();
    EXPECT_TRUE(netlib_netm_configure_static_fallback(&ctx, "eth0", "192.168.1.20", "255.255.255.0", ""));
    EXPECT_EQ(execs(), std::vector<std::string>{"/bin/ip addr add 192.168.1.20/255.255.255.0 brd + dev eth0"});
    EXPECT_TRUE(host().kills.empty());  // the client keeps running
    EXPECT_FALSE(is_static("eth0"));
    EXPECT_TRUE(is_fallback("eth0"));

    EXPECT_TRUE(netlib_netm_configure_dhcp(&ctx, "eth0"));
    EXPECT_FALSE(is_fallback("eth0"));

    // Refused address: records unchanged.
    EXPECT_TRUE(netlib_netm_configure_static_fallback(&ctx, "eth0", "10.0.0.2", "", "10.0.0.255"));
    host().reset();
    EXPECT_FALSE(netlib_netm_configure_static_fallback(&ctx, "eth0", "", "255.255.255.0", ""));
    expect_one_log("netlib_netm_configure_ip_addr", "IP address is invalid or empty");
    EXPECT_TRUE(is_fallback("eth0"));
    EXPECT_FALSE(is_static("eth0"));
}

TEST_F(NetmTest, QueriesInsertNothing)
{
    EXPECT_FALSE(is_static("eth7"));
    EXPECT_FALSE(is_fallback("eth7"));
    EXPECT_TRUE(host().logs.empty());
    EXPECT_TRUE(static_records().empty());
    EXPECT_TRUE(fallback_records().empty());
}

// ---- the combined entry points ----

namespace
{

const std::vector<std::string> NS{"10.0.0.53"};

}  // namespace

TEST_F(NetmTest, ConfigureStaticRunsAddressRoutesDnsInOrder)
{
    host().random_text = "RRRRRRRR";
    host().exec_results = {0, 1};  // address added; no default route to delete
    EXPECT_TRUE(netlib_netm_configure_static(&ctx, "eth0", "10.0.0.2", "255.0.0.0", "10.0.0.1", NS, "lan",
                                             "10.255.255.255", false));
    EXPECT_EQ(host().journal,
              (std::vector<std::string>{"exec /bin/ip addr add 10.0.0.2/255.0.0.0 brd 10.255.255.255 dev eth0",
                                        "exec /bin/route del default gw 0.0.0.0 dev eth0",
                                        "exec /bin/route add default gw 10.0.0.1 dev eth0",
                                        "file-init /tmp/resolv.conf." + std::to_string(getpid()) + ".RRRRRRRR",
                                        "file-write search lan\n", "file-write nameserver 10.0.0.53\n", "file-close"}));
    EXPECT_EQ(renames.size(), 1u);
    EXPECT_TRUE(is_static("eth0"));
    EXPECT_FALSE(is_fallback("eth0"));

    // The nine-argument DHCP form applies the same and records not static.
    host().reset();
    host().exec_results = {0, 1};
    EXPECT_TRUE(netlib_netm_configure_dhcp(&ctx, "eth0", "10.0.0.2", "255.0.0.0", "10.0.0.1", NS, "lan",
                                           "10.255.255.255", false));
    EXPECT_TRUE(host().daemons.empty());
    EXPECT_TRUE(host().kills.empty());
    EXPECT_FALSE(is_static("eth0"));
    EXPECT_FALSE(is_fallback("eth0"));
}

TEST_F(NetmTest, ConfigureStaticWithFallbackRunsTheSameCommands)
{
    host().exec_results = {0, 1};
    EXPECT_TRUE(netlib_netm_configure_static(&ctx, "eth0", "10.0.0.2", "", "", {}, "", "", true));
    EXPECT_EQ(execs(), (std::vector<std::string>{"/bin/ip addr add 10.0.0.2 brd + dev eth0",
                                                 "/bin/route del default gw 0.0.0.0 dev eth0",
                                                 "/bin/route add default dev eth0"}));
    EXPECT_TRUE(is_static("eth0"));
    EXPECT_FALSE(is_fallback("eth0"));  // the success write wins over the fallback step's
}

TEST_F(NetmTest, ConfigureRecordsAfterEachOutcome)
{
    struct Row {
        const char* name;
        bool is_static_form, fallback;
        std::function<void()> script;
        std::string ip;
        std::vector<std::string> ns;
        int want_static, want_fallback;  // -1: no entry
        size_t execs;
    };
    const Row rows[] = {
        {"address refused", true, false, [] {}, "10.0.0.0.1", NS, -1, -1, 0},
        {"fallback address refused", true, true, [] {}, "", NS, -1, -1, 0},
        {"address command fails", true, false, [] { fake::host().exec_results = {1}; }, "10.0.0.2", NS, -1, -1, 1},
        {"routes fail", true, false,
         [] {
             fake::host().exec_results = {0, 1, 1, 1};
         },
         "10.0.0.2", NS, -1, -1, 4},
        {"routes fail after fallback", true, true,
         [] {
             fake::host().exec_results = {0, 1, 1, 1};
         },
         "10.0.0.2", NS, 0, 1, 4},
        {"dns fails",
         true,
         false,
         [] {
             fake::host().exec_results = {0, 1};
         },
         "10.0.0.2",
         {"x"},
         -1,
         -1,
         3},
        {"dns fails after fallback",
         false,
         true,
         [] {
             fake::host().exec_results = {0, 1};
         },
         "10.0.0.2",
         {"x"},
         0,
         1,
         3},
        {"static success", true, false,
         [] {
             fake::host().exec_results = {0, 1};
         },
         "10.0.0.2", NS, 1, 0, 3},
        {"dhcp form success with fallback", false, true,
         [] {
             fake::host().exec_results = {0, 1};
         },
         "10.0.0.2", NS, 0, 0, 3},
    };
    for (const Row& row : rows) {
        host().reset();
        static_records().clear();
        fallback_records().clear();
        row.script();
        bool ok = row.is_static_form ? netlib_netm_configure_static(&ctx, "eth0", row.ip, "255.0.0.0", "10.0.0.1",
                                                                    row.ns, "", "", row.fallback)
                                     : netlib_netm_configure_dhcp(&ctx, "eth0", row.ip, "255.0.0.0", "10.0.0.1", row.ns,
                                                                  "", "", row.fallback);
        EXPECT_EQ(ok, row.want_static == 1 || (row.want_static == 0 && row.want_fallback == 0)) << row.name;
        EXPECT_EQ(host().execs.size(), row.execs) << row.name;
        auto entry = [](const std::map<std::string, bool>& m) {
            auto it = m.find("eth0");
            return it == m.end() ? -1 : static_cast<int>(it->second);
        };
        EXPECT_EQ(entry(static_records()), row.want_static) << row.name;
        EXPECT_EQ(entry(fallback_records()), row.want_fallback) << row.name;
        // Each failing step logs for itself; the worker adds nothing.
        if (!ok)
            EXPECT_EQ(host().logs.size(), 1u) << row.name << ::testing::PrintToString(logs());
        else
            EXPECT_TRUE(host().logs.empty()) << row.name;
    }
}

TEST_F(NetmTest, FailedStepKeepsEarlierRecords)
{
    EXPECT_TRUE(netlib_netm_configure_dhcp(&ctx, "eth0"));
    host().exec_results = {0, 1, 1, 1};
    EXPECT_FALSE(netlib_netm_configure_static(&ctx, "eth0", "10.0.0.2", "255.0.0.0", "10.0.0.1", NS, "", "", false));
    EXPECT_FALSE(is_static("eth0"));
    EXPECT_FALSE(is_fallback("eth0"));
    EXPECT_TRUE(renames.empty());  // the resolver file is not touched
}
