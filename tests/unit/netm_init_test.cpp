// Start-up from a configuration tree: kernel options, link preparation, the
// DHCP or static path, the keys read (in order) and their defaults.
#include <pelk/variant.h>

#include "netm_fixture.h"

using namespace pelk::network;
using netm_test::NetmTest;
using pelk::variant::Variant;
using pelk::variant::VariantType;

// The suite is linked with --wrap for Variant::GetKeyChain, so every key the
// library looks up lands in the fake host's journal.
extern "C" const Variant* __real__ZNK4pelk7variant7Variant11GetKeyChainENS0_11VariantTypeEPKcb(const Variant* self,
                                                                                               VariantType type,
                                                                                               const char* key,
                                                                                               bool strict);

extern "C" const Variant* __wrap__ZNK4pelk7variant7Variant11GetKeyChainENS0_11VariantTypeEPKcb(const Variant* self,
                                                                                               VariantType type,
                                                                                               const char* key,
                                                                                               bool strict)
{
    char code[16];
    std::snprintf(code, sizeof(code), "%#x", static_cast<unsigned int>(type));
    fake::host().journal.push_back(std::string("key ") + key + " " + code + (strict ? " strict" : " loose"));
    return __real__ZNK4pelk7variant7Variant11GetKeyChainENS0_11VariantTypeEPKcb(self, type, key, strict);
}

namespace
{

const std::vector<std::string> OPTIONS{
    "proc /proc/sys/net/ipv4/ip_forward 1",
    "proc /proc/sys/net/ipv4/conf/all/forwarding 1",
    "proc /proc/sys/net/ipv4/conf/all/arp_filter 1",
    "proc /proc/sys/net/ipv4/tcp_ecn 0",
};

const std::vector<std::string> PREPARE{"kill udhcpc 15", "exec /bin/ip addr flush dev eth0",
                                       "key dhcp/status 0x4000 strict"};

const std::vector<std::string> STATIC_KEYS{
    "key statik/ip 0x100e strict",      "key statik/netmask 0x100e strict", "key routes/gateway 0x100e strict",
    "key dns/ns1/ip 0x100e strict",     "key dns/ns2/ip 0x100e strict",     "key dns/ns1/status 0x4000 strict",
    "key dns/ns2/status 0x4000 strict",
};

const std::vector<std::string> FALLBACK_KEYS{"key dhcp/fallbackIP 0x100e strict",
                                             "key dhcp/fallbackNetmask 0x100e strict"};

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<std::string> keys_only(const std::vector<std::string>& journal)
{
    std::vector<std::string> keys;
    for (const std::string& line : journal)
        if (line.rfind("key ", 0) == 0)
            keys.push_back(line);
    return keys;
}

}  // namespace

class NetmInitTest : public NetmTest
{
protected:
    void SetUp() override
    {
        NetmTest::SetUp();
        links["eth0"].flags = 0x1043;
        host().random_text = "RRRRRRRR";
    }

    std::string tmp_file() const { return "/tmp/resolv.conf." + std::to_string(getpid()) + ".RRRRRRRR"; }

    // The static path's commands and file operations for an address, with
    // no default route left to delete.
    std::vector<std::string> static_path(const std::string& address, const std::string& route,
                                         const std::vector<std::string>& ns_lines) const
    {
        std::vector<std::string> j{"exec /bin/ip addr add " + address + " brd + dev eth0",
                                   "exec /bin/route del default gw 0.0.0.0 dev eth0", "exec /bin/route " + route,
                                   "file-init " + tmp_file()};
        for (const std::string& l : ns_lines)
            j.push_back("file-write nameserver " + l + "\n");
        j.push_back("file-close");
        return j;
    }

    // Static start-up: the flush succeeds, the delete loop ends at once.
    void script_static()
    {
        host().exec_results = {0, 0, 1};
        host().random_text = "RRRRRRRR";
    }
};

TEST_F(NetmInitTest, EmptyTreeStartsTheDhcpClient)
{
    Variant config;
    EXPECT_TRUE(netlib_netm_init_network(&ctx, "eth0", config));
    EXPECT_EQ(host().journal,
              concat({OPTIONS,
                      PREPARE,
                      {"kill udhcpc 15",
                       "daemon /bin/udhcpc --retries 9 -b -x hostname:gateway-box -i eth0 -S -s /bin/udhcpc_cb.sh"}}));
    EXPECT_EQ(links["eth0"].flag_writes, std::vector<int>{0x1243});
    EXPECT_EQ(links["eth0"].mtu_writes, std::vector<int>{1500});
    EXPECT_FALSE(is_static("eth0"));
    EXPECT_FALSE(is_fallback("eth0"));
    EXPECT_EQ(static_records().count("eth0"), 1u);
    EXPECT_TRUE(host().logs.empty());
}

TEST_F(NetmInitTest, DhcpStatusOneAndWrongTypesSelectDhcp)
{
    Variant one;
    one["dhcp"]["status"] = 1;
    one["statik"]["ip"] = "10.0.0.2";
    EXPECT_TRUE(netlib_netm_init_network(&ctx, "eth0", one));
    EXPECT_EQ(keys_only(host().journal), std::vector<std::string>{"key dhcp/status 0x4000 strict"});
    EXPECT_EQ(host().daemons.size(), 1u);

    host().reset();
    Variant text;
    text["dhcp"]["status"] = "0";  // not an integer: the default applies
    EXPECT_TRUE(netlib_netm_init_network(&ctx, "eth0", text));
    EXPECT_EQ(host().daemons.size(), 1u);

    host().reset();
    Variant wide;
    wide["dhcp"]["status"] = 0x100000001LL;  // compared as 64 bits: not 1
    script_static();
    EXPECT_TRUE(netlib_netm_init_network(&ctx, "eth0", wide));
    EXPECT_TRUE(host().daemons.empty());
}

TEST_F(NetmInitTest, StatusZeroWithNoKeysUsesTheDefaults)
{
    for (int status : {0, 2, -1}) {
        host().reset();
        static_records().clear();
        Variant config;
        config["dhcp"]["status"] = status;
        script_static();
        EXPECT_TRUE(netlib_netm_init_network(&ctx, "eth0", config)) << status;
        EXPECT_EQ(host().journal, concat({OPTIONS, PREPARE, STATIC_KEYS,
                                          static_path("192.168.1.20/255.255.255.0", "add default dev eth0", {})}))
            << status;
        EXPECT_TRUE(host().daemons.empty());
        EXPECT_TRUE(is_static("eth0"));
        EXPECT_FALSE(is_fallback("eth0"));
        EXPECT_TRUE(host().logs.empty()) << ::testing::PrintToString(logs());
    }
}

TEST_F(NetmInitTest, ConfiguredStaticValuesAreUsed)
{
    Variant config;
    config["dhcp"]["status"] = 0;
    config["statik"]["ip"] = "10.1.2.3";
    config["statik"]["netmask"] = "255.255.0.0";
    config["routes"]["gateway"] = "10.1.0.1";
    config["dns"]["ns1"]["ip"] = "10.1.0.53";
    config["dns"]["ns1"]["status"] = 1;
    config["dns"]["ns2"]["ip"] = "10.1.0.54";
    config["dns"]["ns2"]["status"] = 7;
    script_static();
    EXPECT_TRUE(netlib_netm_init_network(&ctx, "eth0", config));
    EXPECT_EQ(
        host().journal,
        concat({OPTIONS, PREPARE, STATIC_KEYS,
                static_path("10.1.2.3/255.255.0.0", "add default gw 10.1.0.1 dev eth0", {"10.1.0.53", "10.1.0.54"})}));
    EXPECT_TRUE(is_static("eth0"));
}

TEST_F(NetmInitTest, NameServerStatusAndValidity)
{
    struct Row {
        long long status1;
        const char* ip1;
        long long status2;
        const char* ip2;
        std::vector<std::string> kept;
    };
    const Row rows[] = {
        {0, "10.0.0.53", 1, "10.0.0.54", {"10.0.0.54"}},
        {1, "10.0.0.53", 0, "10.0.0.54", {"10.0.0.53"}},
        {1, "not-an-ip", 1, "10.0.0.54", {"10.0.0.54"}},
        {1, "224.0.0.1", 1, "", {}},                                   // refused by the unicast check; empty refused
        {0x100000000LL, "10.0.0.53", -1, "10.0.0.54", {"10.0.0.54"}},  // only the low 32 bits count
    };
    for (const Row& row : rows) {
        host().reset();
        Variant config;
        config["dhcp"]["status"] = 0;
        config["dns"]["ns1"]["ip"] = row.ip1;
        config["dns"]["ns1"]["status"] = row.status1;
        config["dns"]["ns2"]["ip"] = row.ip2;
        config["dns"]["ns2"]["status"] = row.status2;
        script_static();
        EXPECT_TRUE(netlib_netm_init_network(&ctx, "eth0", config));
        std::vector<std::string> written;
        for (const fake::FileOp& op : host().file_ops)
            if (op.op == "write")
                written.push_back(op.text);
        std::vector<std::string> want;
        for (const std::string& ns : row.kept)
            want.push_back("nameserver " + ns + "\n");
        EXPECT_EQ(written, want) << row.ip1 << " " << row.ip2;
        EXPECT_TRUE(host().logs.empty()) << ::testing::PrintToString(logs());
    }
}

TEST_F(NetmInitTest, ValidationFlagsAndOrder)
{
    Variant config;
    config["dhcp"]["status"] = 0;
    config["dns"]["ns1"]["ip"] = "10.0.0.53";
    config["dns"]["ns1"]["status"] = 1;
    config["dns"]["ns2"]["ip"] = "10.0.0.54";
    config["dns"]["ns2"]["status"] = 1;
    script_static();
    EXPECT_TRUE(netlib_netm_init_network(&ctx, "eth0", config));
    // Start-up's own checks come first; the later ones are the configuration steps'.
    ASSERT_GE(host().validations.size(), 4u);
    const std::vector<std::string> first{"ipv4_address_valid 10.0.0.53 1 0", "ipv4_address_valid 10.0.0.54 1 0",
                                         "ipv4_address_valid 192.168.1.20 1 0", "ipv4_netmask_valid 255.255.255.0 1 0"};
    for (size_t i = 0; i < first.size(); ++i) {
        const fake::ValidateCall& v = host().validations[i];
        EXPECT_EQ(v.function + " " + v.text + " " + std::to_string(v.flag1) + " " + std::to_string(v.flag2), first[i]);
    }
}

TEST_F(NetmInitTest, InvalidStaticAddressOrNetmaskSelectsTheFallback)
{
    struct Row {
        const char *ip, *netmask, *fallback_ip, *fallback_mask, *address;
    };
    const Row rows[] = {
        {"999.1.1.1", nullptr, nullptr, nullptr, "192.168.1.20/255.255.255.0"},
        {"0.0.0.0", "255.255.255.0", "10.9.0.2", "255.255.0.0", "10.9.0.2/255.255.0.0"},
        {"10.0.0.2", "255.0.255.0", "10.9.0.2", nullptr, "10.9.0.2/255.255.255.0"},
        {"10.0.0.2", "0.0.0.0", nullptr, nullptr, "192.168.1.20/255.255.255.0"},
    };
    for (const Row& row : rows) {
        host().reset();
        static_records().clear();
        fallback_records().clear();
        Variant config;
        config["dhcp"]["status"] = 0;
        config["statik"]["ip"] = row.ip;
        if (row.netmask)
            config["statik"]["netmask"] = row.netmask;
        if (row.fallback_ip)
            config["dhcp"]["fallbackIP"] = row.fallback_ip;
        if (row.fallback_mask)
            config["dhcp"]["fallbackNetmask"] = row.fallback_mask;
        script_static();
        EXPECT_TRUE(netlib_netm_init_network(&ctx, "eth0", config)) << row.ip;
        EXPECT_EQ(host().journal, concat({OPTIONS, PREPARE, STATIC_KEYS, FALLBACK_KEYS,
                                          static_path(row.address, "add default dev eth0", {})}))
            << row.ip;
        // The fallback address step ran (fallback record written), then success overwrote it.
        EXPECT_TRUE(is_static("eth0"));
        EXPECT_FALSE(is_fallback("eth0"));
    }
}

TEST_F(NetmInitTest, FallbackThenFailureLeavesTheFallbackRecord)
{
    Variant config;
    config["dhcp"]["status"] = 0;
    config["statik"]["ip"] = "bad";
    config["routes"]["gateway"] = "10.0.0.1";
    host().exec_results = {0, 0, 1, 1, 1};  // flush, address, delete ends, gateway and host route fail
    EXPECT_FALSE(netlib_netm_init_network(&ctx, "eth0", config));
    EXPECT_EQ(logs(), std::vector<std::string>{
                          "3 netlib_netm_configure_routes: Failed to configure routes on interface \"eth0\""});
    EXPECT_FALSE(is_static("eth0"));
    EXPECT_TRUE(is_fallback("eth0"));
}

TEST_F(NetmInitTest, FirstFailingProcWriteStopsEverything)
{
    for (size_t failing = 0; failing < OPTIONS.size(); ++failing) {
        host().reset();
        shim::ioctl_requests.clear();
        size_t calls = 0;
        host().proc_hook = [&calls, failing](const fake::ProcWrite&) { return calls++ == failing ? 0 : 1; };
        EXPECT_FALSE(netlib_netm_init_network(&ctx, "eth0", Variant()));
        std::vector<std::string> want(OPTIONS.begin(), OPTIONS.begin() + static_cast<long>(failing) + 1);
        want.push_back("log 3 configure_ipv4_opts Failed to write /proc file");
        EXPECT_EQ(host().journal, want);
        expect_one_log("configure_ipv4_opts", "Failed to write /proc file");
        EXPECT_TRUE(shim::ioctl_requests.empty());
    }
}

TEST_F(NetmInitTest, LinkFailureStopsBeforeTheClientIsStopped)
{
    links["eth0"].fail_mtu = true;
    EXPECT_FALSE(netlib_netm_init_network(&ctx, "eth0", Variant()));
    EXPECT_EQ(host().proc_writes.size(), 4u);
    EXPECT_TRUE(host().kills.empty());
    EXPECT_TRUE(host().execs.empty());
    EXPECT_EQ(logs().back(), "3 netlib_netm_configure_interface: Failed to set MTU (1500) for \"eth0\"");
}

TEST_F(NetmInitTest, FlushFailureIsIgnoredAndPathResultsAreReturned)
{
    host().exec_results = {1};
    EXPECT_TRUE(netlib_netm_init_network(&ctx, "eth0", Variant()));
    EXPECT_EQ(logs(), std::vector<std::string>{"3 netlib_netm_flush_iface: Failed to flush interface \"eth0\""});
    EXPECT_EQ(host().daemons.size(), 1u);

    host().reset();
    host().daemon_result = 0;
    EXPECT_FALSE(netlib_netm_init_network(&ctx, "eth0", Variant()));
    EXPECT_EQ(logs(), std::vector<std::string>{"3 netlib_netm_configure_dhcp: Failed to start udhcpc"});

    host().reset();
    Variant config;
    config["dhcp"]["status"] = 0;
    config["dns"]["ns1"]["ip"] = "10.0.0.53";
    config["dns"]["ns1"]["status"] = 1;
    host().exec_results = {0, 0, 1};
    host().file_init_result = false;
    EXPECT_FALSE(netlib_netm_init_network(&ctx, "eth0", config));
    EXPECT_EQ(logs(),
              std::vector<std::string>{"3 netlib_netm_configure_dns: Failed to open config file \"/etc/resolv.conf\""});
    EXPECT_FALSE(is_static("eth0"));
}
