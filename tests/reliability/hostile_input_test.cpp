// Every exported function that takes text, fed what an attacker or a broken
// configuration would send: odd interface names, malformed addresses,
// gateways, name servers and search domains, and configuration trees with
// wrong types, huge integers and deep nesting. Against the recording fake
// host: nothing real runs, the ioctl seam plays the kernel and the rename
// seam keeps /etc/resolv.conf out of reach. Each case checks the documented
// refusal, and command_invariants.h checks that nothing refused reached a
// command, an ioctl or a file.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "command_invariants.h"
#include "fake_host.h"
#include "netlib_private.h"
#include "pelk_network_utils_core.h"
#include "syscall_shim.h"

using namespace pelk::network;
using pelk::variant::Variant;

namespace
{

using Strings = std::vector<std::string>;

std::string bytes(const char* data, std::size_t size)
{
    return std::string(data, size);
}

// Interface names: the refused ones are 16 bytes or longer, or hold a NUL.
const Strings kNames = {
    "",
    "abcdefghijklmno",    // 15: the longest the kernel takes
    "abcdefghijklmnop",   // 16
    "abcdefghijklmnopq",  // 17
    std::string(255, 'e'),
    bytes("eth\0", 4),
    bytes("e\0th0", 5),
    "/",
    "..",
    "../../etc",
    " ",
    "eth 0",
    "-rf",
    "--help",
    ";",
    "eth0;reboot",
    "$(reboot)",
    "`reboot`",
    "eth0|id",
    "\xff\xfe\x80",
    "eth0\n",
    "\r\n",
};

bool refused_name(const std::string& name)
{
    return name.size() >= 16 || name.find('\0') != std::string::npos;
}

class Hostile : public ::testing::Test
{
protected:
    netlib_context ctx{};
    std::set<std::string> links;  // interfaces the fake kernel knows
    std::vector<std::string> ioctl_names;
    std::vector<std::pair<std::string, std::string>> renames;
    std::string hostname = "box";

    void SetUp() override
    {
        fake::host().reset();
        shim::reset();
        ctx.front_end_marker = 1;
        ASSERT_TRUE(netlib_libiface_init(&ctx));
        shim::ioctl_hook = [this](int, unsigned long request, void* arg) { return fake_ioctl(request, arg); };
        shim::getifaddrs_hook = [](ifaddrs** out) {
            *out = nullptr;
            return 0;
        };
        shim::gethostname_hook = [this](char* name, size_t len) {
            if (hostname.size() >= len) {
                errno = ENAMETOOLONG;
                return -1;
            }
            std::memcpy(name, hostname.c_str(), hostname.size() + 1);
            return 0;
        };
        shim::rename_hook = [this](const char* from, const char* to) {
            renames.emplace_back(from, to);
            return 0;
        };
        // Route deletions end at once: no default route is left.
        fake::host().exec_hook = [](const fake::ExecCall& c) { return c.args.at(0) == "del" ? 1 : 0; };
    }

    void TearDown() override
    {
        netlib_libiface_close(&ctx);
        shim::reset();
        fake::host().reset();
    }

    int fake_ioctl(unsigned long request, void* arg)
    {
        const ifreq* req = static_cast<const ifreq*>(arg);
        const std::string name(req->ifr_name, strnlen(req->ifr_name, IFNAMSIZ));
        ioctl_names.push_back(name);
        if (!links.count(name)) {
            errno = ENODEV;
            return -1;
        }
        if (request == SIOCGIFFLAGS)
            static_cast<ifreq*>(arg)->ifr_flags = IFF_UP | IFF_RUNNING | IFF_ALLMULTI;
        return 0;
    }

    // A fresh recording for the next call of a table row.
    void clear()
    {
        auto hook = fake::host().exec_hook;
        fake::host().reset();
        fake::host().exec_hook = hook;
        ioctl_names.clear();
        renames.clear();
    }

    fake::Host& host() { return fake::host(); }

    void expect_invariants(const std::string& iface, const std::string& what)
    {
        for (const std::string& p : invariants::check_all(host(), iface, renames, ioctl_names))
            ADD_FAILURE() << what << ": " << p;
    }

    // Nothing reached a command, an ioctl, /proc or a file.
    void expect_nothing_done(const std::string& what)
    {
        EXPECT_TRUE(host().execs.empty()) << what << ": " << ::testing::PrintToString(host().exec_lines());
        EXPECT_TRUE(host().daemons.empty()) << what;
        EXPECT_TRUE(host().kills.empty()) << what;
        EXPECT_TRUE(host().proc_writes.empty()) << what;
        EXPECT_TRUE(host().file_ops.empty()) << what;
        EXPECT_TRUE(renames.empty()) << what;
        EXPECT_TRUE(ioctl_names.empty()) << what;
    }

    void expect_only_log(const std::string& function, const std::string& text, const std::string& what)
    {
        ASSERT_EQ(host().logs.size(), 1u) << what << ": " << ::testing::PrintToString(host().log_texts());
        EXPECT_EQ(host().logs[0].function, function) << what;
        EXPECT_EQ(host().logs[0].text, text) << what;
        EXPECT_EQ(host().logs[0].level, 3) << what;
    }

    bool logged(const std::string& text) const
    {
        for (const auto& l : fake::host().logs) {
            if (l.text == text)
                return true;
        }
        return false;
    }
};

std::string label(const std::string& text)
{
    return "\"" + invariants::printable(text) + "\"";
}

// ---- interface names ----

struct NamedCall {
    const char* function;
    std::function<bool(void*, const std::string&)> call;
};

const std::vector<NamedCall> kIfaceCalls = {
    {"netlib_iface_get_flags",
     [](void* c, const std::string& n) {
         int f = 7;
         return netlib_iface_get_flags(c, n, f) || f != 7;
     }},
    {"netlib_iface_set_flags", [](void* c, const std::string& n) { return netlib_iface_set_flags(c, n, 0x1); }},
    {"netlib_iface_get_address",
     [](void* c, const std::string& n) {
         std::string a = "kept";
         return netlib_iface_get_address(c, n, a) || a != "kept";
     }},
    {"netlib_iface_get_address",
     [](void* c, const std::string& n) {
         unsigned int a = 9;
         return netlib_iface_get_address(c, n, a) || a != 9;
     }},
    {"netlib_iface_get_netmask",
     [](void* c, const std::string& n) {
         std::string m = "kept";
         return netlib_iface_get_netmask(c, n, m) || m != "kept";
     }},
    {"netlib_iface_set_mtu", [](void* c, const std::string& n) { return netlib_iface_set_mtu(c, n, 1500); }},
    {"netlib_iface_get_link_speed",
     [](void* c, const std::string& n) {
         int s = 5;
         return netlib_iface_get_link_speed(c, n, s) || s != 5;
     }},
    {"netlib_iface_get_link_duplex",
     [](void* c, const std::string& n) {
         int d = 5;
         return netlib_iface_get_link_duplex(c, n, d) || d != 5;
     }},
    {"netlib_iface_get_flags", [](void* c, const std::string& n) { return netlib_iface_is_up(c, n); }},
    {"netlib_iface_get_flags", [](void* c, const std::string& n) { return netlib_iface_is_running(c, n); }},
    {"netlib_iface_get_flags", [](void* c, const std::string& n) { return netlib_iface_set_up(c, n, true); }},
};

TEST_F(Hostile, InterfaceOperationsRefuseLongNamesAndPassOthersWhole)
{
    for (const NamedCall& op : kIfaceCalls) {
        for (const std::string& name : kNames) {
            const std::string what = std::string(op.function) + " " + label(name);
            clear();
            // Unknown to the fake kernel: every call fails, out values stay.
            EXPECT_FALSE(op.call(&ctx, name)) << what;
            if (refused_name(name)) {
                expect_only_log(op.function, "invalid network interface", what);
                EXPECT_TRUE(ioctl_names.empty()) << what;
                continue;
            }
            ASSERT_EQ(ioctl_names.size(), 1u) << what;
            EXPECT_EQ(ioctl_names[0], name) << what;
            ASSERT_EQ(host().logs.size(), 1u) << what;
            EXPECT_EQ(host().logs[0].text.compare(0, 14, "netlib: ioctl("), 0) << what << host().logs[0].text;
            EXPECT_EQ(host().logs[0].error_number, ENODEV) << what;
        }
    }
}

struct NetmCall {
    const char* function;  // the name refusals are logged under
    std::function<bool(void*, const std::string&)> call;
};

const Strings kDns = {"192.168.7.1"};

const std::vector<NetmCall> kNetmCalls = {
    {"netlib_netm_connect", [](void* c, const std::string& n) { return netlib_netm_connect(c, n); }},
    {"netlib_netm_disconnect", [](void* c, const std::string& n) { return netlib_netm_disconnect(c, n); }},
    {"netlib_netm_configure_interface",
     [](void* c, const std::string& n) { return netlib_netm_configure_interface(c, n); }},
    {"netlib_netm_flush_iface", [](void* c, const std::string& n) { return netlib_netm_flush_iface(c, n); }},
    {"netlib_netm_configure_ip_addr",
     [](void* c, const std::string& n) {
         return netlib_netm_configure_ip_addr(c, n, "192.168.7.20", "255.255.255.0", "");
     }},
    {"netlib_netm_configure_routes",
     [](void* c, const std::string& n) { return netlib_netm_configure_routes(c, n, "192.168.7.1"); }},
    {"netlib_netm_configure_dns",
     [](void* c, const std::string& n) { return netlib_netm_configure_dns(c, n, kDns, "lan"); }},
    {"netlib_netm_configure_dhcp", [](void* c, const std::string& n) { return netlib_netm_configure_dhcp(c, n); }},
    {"netlib_netm_configure_static_fallback",
     [](void* c, const std::string& n) {
         return netlib_netm_configure_static_fallback(c, n, "192.168.7.20", "255.255.255.0", "");
     }},
    {"netlib_netm_configure_intf",
     [](void* c, const std::string& n) {
         return netlib_netm_configure_static(c, n, "192.168.7.20", "255.255.255.0", "192.168.7.1", kDns, "lan", "",
                                             false);
     }},
    {"netlib_netm_configure_intf",
     [](void* c, const std::string& n) {
         return netlib_netm_configure_dhcp(c, n, "192.168.7.20", "255.255.255.0", "", kDns, "", "192.168.7.255", true);
     }},
    {"netlib_netm_init_network",
     [](void* c, const std::string& n) { return netlib_netm_init_network(c, n, Variant()); }},
};

TEST_F(Hostile, ConfigurationRefusesUnusableNamesBeforeAnyEffect)
{
    for (const NetmCall& op : kNetmCalls) {
        for (const std::string& name : kNames) {
            if (!name.empty() && !refused_name(name))
                continue;
            const std::string what = std::string(op.function) + " " + label(name);
            clear();
            EXPECT_FALSE(op.call(&ctx, name)) << what;
            expect_only_log(op.function, "invalid network interface", what);
            expect_nothing_done(what);
        }
    }
    // The queries refuse the same names and insert no record for them.
    for (const std::string& name : kNames) {
        if (!name.empty() && !refused_name(name))
            continue;
        clear();
        EXPECT_FALSE(netlib_netm_is_static_connection(&ctx, name));
        EXPECT_FALSE(netlib_netm_is_static_fallback_connection(&ctx, name));
        EXPECT_EQ(host().logs.size(), 2u) << label(name);
    }
    EXPECT_TRUE(ctx.iface_state->static_connections.empty());
    EXPECT_TRUE(ctx.iface_state->static_fallback_connections.empty());
}

TEST_F(Hostile, ShellTextInANameArrivesAsOneLiteralArgument)
{
    for (const std::string& name : kNames) {
        if (name.empty() || refused_name(name))
            continue;
        links.insert(name);
        for (const NetmCall& op : kNetmCalls) {
            const std::string what = std::string(op.function) + " " + label(name);
            clear();
            EXPECT_TRUE(op.call(&ctx, name)) << what << ::testing::PrintToString(host().log_texts());
            expect_invariants(name, what);
        }
        clear();
        ASSERT_TRUE(netlib_netm_flush_iface(&ctx, name));
        ASSERT_EQ(host().execs.size(), 1u);
        EXPECT_EQ(host().execs[0].args, (Strings{"addr", "flush", "dev", name}));
        clear();
        ASSERT_TRUE(netlib_netm_configure_dhcp(&ctx, name));
        ASSERT_EQ(host().daemons.size(), 1u);
        EXPECT_EQ(host().daemons[0].args.at(6), name);
    }
}

// ---- addresses ----

const Strings kBadAddresses = {
    "",
    "01.2.3.4",
    "10.02.3.4",
    "010.0.0.1",
    "0x0a.0.0.1",
    "0x0a000001",
    "167772161",
    "012345",
    " 10.0.0.1",
    "10.0.0.1 ",
    "10 .0.0.1",
    "10.0.0.256",
    "256.0.0.1",
    "10.0.0.1.5",
    "10.0.0",
    "10..0.1",
    "10.0.0.1\n",
    "10.0.0.1\r",
    "10.0.0.1\r\n",
    "\n10.0.0.1",
    bytes("10.0.0.1\0", 9),
    "10.0.0.1;reboot",
    "$(reboot)",
    "`reboot`",
    "-1.0.0.0",
    "+10.0.0.1",
    "10.0.0.1/24",
    "\xff.0.0.1",
    "0.0.0.0",
    "localhost",
};

const Strings kBadNetmasks = {
    "255.255.255.1",
    "255.0.255.0",
    "0255.255.255.0",
    "0xffffff00",
    "24",
    "/24",
    "255.255.255.0\n",
    " 255.255.255.0",
    "255.255.255.0.0",
    "256.255.255.0",
    "255.255.255",
    "$(reboot)",
    bytes("255.255.255.0\0", 14),
};

TEST_F(Hostile, AddressStepRefusesMalformedAddressesAndNetmasks)
{
    links.insert("eth0");
    for (const std::string& ip : kBadAddresses) {
        clear();
        EXPECT_FALSE(netlib_netm_configure_ip_addr(&ctx, "eth0", ip, "255.255.255.0", "")) << label(ip);
        expect_only_log("netlib_netm_configure_ip_addr", "IP address is invalid or empty", label(ip));
        expect_nothing_done(label(ip));
        clear();
        EXPECT_FALSE(netlib_netm_configure_static_fallback(&ctx, "eth0", ip, "", "")) << label(ip);
        expect_nothing_done(label(ip));
    }
    for (const std::string& mask : kBadNetmasks) {
        clear();
        EXPECT_FALSE(netlib_netm_configure_ip_addr(&ctx, "eth0", "10.0.0.1", mask, "")) << label(mask);
        expect_only_log("netlib_netm_configure_ip_addr", "subnet mask is invalid", label(mask));
        expect_nothing_done(label(mask));
    }
    EXPECT_FALSE(netlib_netm_is_static_fallback_connection(&ctx, "eth0"));
}

TEST_F(Hostile, BroadcastTextIsPassedOnAsOneArgument)
{
    // The broadcast address is not validated: whatever it holds reaches
    // /bin/ip as one argument, never split or interpreted.
    for (const std::string& brd : {std::string("$(reboot)"), std::string("1.2.3.4\nbrd 5.6.7.8"),
                                   std::string("-x `id`"), std::string("\xff\xfe")}) {
        clear();
        ASSERT_TRUE(netlib_netm_configure_ip_addr(&ctx, "eth0", "10.0.0.1", "", brd));
        ASSERT_EQ(host().execs.size(), 1u);
        EXPECT_EQ(host().execs[0].args, (Strings{"addr", "add", "10.0.0.1", "brd", brd, "dev", "eth0"}));
    }
}

// ---- gateways ----

TEST_F(Hostile, RoutesRefuseEveryMalformedGatewayBeforeTouchingARoute)
{
    Strings gateways = kBadAddresses;
    gateways.insert(gateways.end(), {"10.0.0.1\r\n10.0.0.2", "10.0.0.1\t10.0.0.2", "10.0.0.1 bad", "bad 10.0.0.1",
                                     "10.0.0.1 0.0.0.0", "-net"});
    for (const std::string& gateway : gateways) {
        // Blank and whitespace-edged texts are trimmed into valid or empty tokens.
        std::string trimmed = gateway;
        pelk::host_impl::trim(trimmed);
        if (trimmed.empty() || pelk::host_impl::ipv4_address_valid(trimmed, false, true))
            continue;
        clear();
        EXPECT_FALSE(netlib_netm_configure_routes(&ctx, "eth0", gateway)) << label(gateway);
        EXPECT_TRUE(host().execs.empty()) << label(gateway) << ::testing::PrintToString(host().exec_lines());
        ASSERT_EQ(host().logs.size(), 2u) << label(gateway);
        EXPECT_EQ(host().logs[0].text.compare(0, 17, "Invalid gateway '"), 0) << host().logs[0].text;
        EXPECT_EQ(host().logs[1].text, "Failed to configure routes on interface \"eth0\"");
    }
}

TEST_F(Hostile, GatewayTokensAreUsedTrimmed)
{
    ASSERT_TRUE(netlib_netm_configure_routes(&ctx, "eth0", " 10.0.0.1\n  10.0.0.2\r"));
    expect_invariants("eth0", "trimmed gateways");
    EXPECT_EQ(host().exec_lines(),
              (Strings{"/bin/route del default gw 0.0.0.0 dev eth0", "/bin/route add default gw 10.0.0.1 dev eth0",
                       "/bin/route add default gw 10.0.0.2 dev eth0"}));
}

// ---- resolver ----

TEST_F(Hostile, ResolverRefusesMalformedNameServersAndLineBreaks)
{
    Strings servers = {"8.8.8.8\nnameserver 6.6.6.6",
                       "8.8.8.8\r",
                       bytes("8.8.8.8\0", 8),
                       "08.8.8.8",
                       "8.8.8.8;reboot",
                       "$(reboot)",
                       "0x08080808",
                       "8.8.8",
                       "8.8.8.8.8",
                       "\xff",
                       "-p"};
    for (const std::string& server : servers) {
        clear();
        EXPECT_FALSE(netlib_netm_configure_dns(&ctx, "eth0", {"9.9.9.9", server}, "lan")) << label(server);
        ASSERT_EQ(host().logs.size(), 1u) << label(server);
        EXPECT_EQ(host().logs[0].text.compare(0, 19, "Invalid nameserver "), 0) << host().logs[0].text;
        expect_nothing_done(label(server));
    }
    for (const std::string& search :
         {std::string("lan\nnameserver 6.6.6.6"), std::string("lan\r"), bytes("lan\0x", 5)}) {
        clear();
        EXPECT_FALSE(netlib_netm_configure_dns(&ctx, "eth0", {"9.9.9.9"}, search)) << label(search);
        ASSERT_EQ(host().logs.size(), 1u) << label(search);
        EXPECT_EQ(host().logs[0].text.compare(0, 22, "Invalid search domain "), 0) << host().logs[0].text;
        expect_nothing_done(label(search));
    }
}

TEST_F(Hostile, ResolverWritesOddButHarmlessTextLiterallyInItsPlace)
{
    ASSERT_TRUE(netlib_netm_configure_dns(&ctx, "eth0", {" 9.9.9.9 "}, "$(reboot);`id` \xff"));
    expect_invariants("eth0", "resolver");
    Strings writes;
    for (const auto& op : host().file_ops) {
        if (op.op == "write")
            writes.push_back(op.text);
    }
    EXPECT_EQ(writes, (Strings{"search $(reboot);`id` \xff\n", "nameserver  9.9.9.9 \n"}));
    ASSERT_EQ(renames.size(), 1u);
    EXPECT_EQ(renames[0].second, "/etc/resolv.conf");
}

// ---- host name ----

TEST_F(Hostile, HostNameReachesTheDhcpClientAsOneArgument)
{
    hostname = "box;reboot $(id)";
    ASSERT_TRUE(netlib_netm_configure_dhcp(&ctx, "eth0"));
    ASSERT_EQ(host().daemons.size(), 1u);
    EXPECT_EQ(host().daemons[0].args.at(4), "hostname:box;reboot $(id)");
    clear();
    hostname.assign(64, 'h');
    ASSERT_TRUE(netlib_netm_configure_dhcp(&ctx, "eth0"));
    EXPECT_EQ(host().daemons.at(0).args.at(4), "hostname:" + std::string(63, 'h'));
    expect_invariants("eth0", "host name");
}

// ---- configuration trees ----

struct TreeCase {
    const char* label;
    std::function<Variant()> tree;
    bool dhcp;                  // the DHCP client is started
    bool result;                // what init returns
    std::string ip_arg;         // the address argument of /bin/ip addr add, or "" for none
    const char* log = nullptr;  // a message that must have been logged
};

Variant status_tree(Variant status)
{
    Variant v;
    v["dhcp"]["status"] = std::move(status);
    return v;
}

Variant static_tree(const char* path1, Variant value1)
{
    Variant v;
    v["dhcp"]["status"] = 0;
    v["statik"]["ip"] = "192.168.7.20";
    v["statik"]["netmask"] = "255.255.255.0";
    v["routes"]["gateway"] = "192.168.7.1";
    v["dns"]["ns1"]["ip"] = "192.168.7.1";
    v["dns"]["ns1"]["status"] = 1;
    Variant* node = &v;
    std::string path = path1;
    std::size_t start = 0;
    for (std::size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1)
        node = &(*node)[path.substr(start, slash - start)];
    (*node)[path.substr(start)] = std::move(value1);
    return v;
}

Variant nested(int levels)
{
    Variant v;
    v = 0;
    for (int i = 0; i < levels; ++i) {
        Variant outer;
        outer["dhcp"] = std::move(v);
        v = std::move(outer);
    }
    return v;
}

Variant text(const std::string& s)
{
    Variant v;
    v = s;
    return v;
}

template <typename T>
Variant number(T n)
{
    Variant v;
    v = n;
    return v;
}

const std::vector<TreeCase> kTrees = {
    {"status as text", [] { return status_tree(text("0")); }, true, true, ""},
    {"status uint64 max", [] { return status_tree(number(~0ull)); }, false, true, "192.168.1.20/255.255.255.0"},
    {"status 2^32+1", [] { return status_tree(number((1ll << 32) + 1)); }, false, true, "192.168.1.20/255.255.255.0"},
    {"status -1", [] { return status_tree(number(-1)); }, false, true, "192.168.1.20/255.255.255.0"},
    {"status uint8 1", [] { return status_tree(number(static_cast<unsigned char>(1))); }, true, true, ""},
    {"status under a slash key",
     [] {
         Variant v;
         v["dhcp/status"] = 0;
         return v;
     },
     true, true, ""},
    {"tree is a text", [] { return text("dhcp/status=0"); }, true, true, ""},
    {"10000 levels deep", [] { return nested(10000); }, true, true, ""},
    {"ip as integer", [] { return static_tree("statik/ip", number(0xC0A80714u)); }, false, true,
     "192.168.1.20/255.255.255.0"},
    {"ip with shell text", [] { return static_tree("statik/ip", text("192.168.7.20;reboot")); }, false, true,
     "192.168.1.20/255.255.255.0"},
    {"ip with CR LF", [] { return static_tree("statik/ip", text("192.168.7.20\r\n")); }, false, true,
     "192.168.1.20/255.255.255.0"},
    {"ip with leading zero", [] { return static_tree("statik/ip", text("192.168.007.20")); }, false, true,
     "192.168.1.20/255.255.255.0"},
    {"netmask with holes", [] { return static_tree("statik/netmask", text("255.0.255.0")); }, false, true,
     "192.168.1.20/255.255.255.0"},
    {"hostile fallback address",
     [] {
         Variant v = static_tree("statik/ip", text("$(reboot)"));
         v["dhcp"]["fallbackIP"] = "10.0.0.1 `reboot`";
         return v;
     },
     false, false, "", "IP address is invalid or empty"},
    {"hostile fallback netmask",
     [] {
         Variant v = static_tree("statik/ip", text("1.2.3.4.5"));
         v["dhcp"]["fallbackNetmask"] = "255.255.255.0\n";
         return v;
     },
     false, false, "", "subnet mask is invalid"},
    {"gateway with shell text", [] { return static_tree("routes/gateway", text("192.168.7.1;reboot")); }, false, false,
     "192.168.7.20/255.255.255.0", "Invalid gateway '192.168.7.1;reboot'"},
    {"gateway as integer", [] { return static_tree("routes/gateway", number(7)); }, false, true,
     "192.168.7.20/255.255.255.0"},
    {"name server with a second line", [] { return static_tree("dns/ns1/ip", text("8.8.8.8\nnameserver 6.6.6.6")); },
     false, true, "192.168.7.20/255.255.255.0"},
    {"name server status 2^32", [] { return static_tree("dns/ns1/status", number(1ll << 32)); }, false, true,
     "192.168.7.20/255.255.255.0"},
    {"non-UTF-8 address", [] { return static_tree("statik/ip", text("\xc0\xa8\x07\x14")); }, false, true,
     "192.168.1.20/255.255.255.0"},
};

TEST_F(Hostile, ConfigurationTreesWithWrongTypesHugeNumbersAndDeepNesting)
{
    links.insert("eth0");
    for (const TreeCase& c : kTrees) {
        clear();
        const Variant tree = c.tree();
        EXPECT_EQ(netlib_netm_init_network(&ctx, "eth0", tree), c.result)
            << c.label << ::testing::PrintToString(host().log_texts());
        expect_invariants("eth0", c.label);
        EXPECT_EQ(host().daemons.size(), c.dhcp ? 1u : 0u) << c.label;
        std::string ip_arg;
        for (const auto& e : host().execs) {
            if (e.program == "/bin/ip" && e.args.at(1) == "add")
                ip_arg = e.args.at(2);
        }
        EXPECT_EQ(ip_arg, c.ip_arg) << c.label;
        if (c.log) {
            EXPECT_TRUE(logged(c.log)) << c.label << ::testing::PrintToString(host().log_texts());
        }
    }
}

TEST_F(Hostile, DroppedNameServersLeaveNoLineInTheResolverFile)
{
    links.insert("eth0");
    Variant tree = static_tree("dns/ns1/ip", text("8.8.8.8\nnameserver 6.6.6.6"));
    tree["dns"]["ns2"]["ip"] = "9.9.9.9";
    tree["dns"]["ns2"]["status"] = 1;
    ASSERT_TRUE(netlib_netm_init_network(&ctx, "eth0", tree));
    Strings writes;
    for (const auto& op : host().file_ops) {
        if (op.op == "write")
            writes.push_back(op.text);
    }
    EXPECT_EQ(writes, Strings{"nameserver 9.9.9.9\n"});
}

// ---- contexts and event names ----

TEST_F(Hostile, EveryTextOperationOnANullContextReportsIt)
{
    for (const NetmCall& op : kNetmCalls) {
        clear();
        EXPECT_FALSE(op.call(nullptr, "eth0")) << op.function;
        expect_only_log("check", "library context is null", op.function);
        expect_nothing_done(op.function);
    }
    for (const NamedCall& op : kIfaceCalls) {
        clear();
        EXPECT_FALSE(op.call(nullptr, "eth0")) << op.function;
        expect_only_log("check", "library context is null", op.function);
    }
}

TEST(HostileEvents, EventNamesOfValuesOutsideTheEnumerationAreNotAvailable)
{
    for (int value : {0, 6, -1, 255, 0x7fffffff, -0x7fffffff - 1})
        EXPECT_EQ(event_to_string(static_cast<event_type>(value)), "n/a") << value;
}

}  // namespace
