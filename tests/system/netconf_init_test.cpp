// Network configuration II: `netlibctl init` end to end. Kernel options,
// link, the DHCP client with the real hook and a real DHCP server, and the
// static configuration with its fallback address.
#include <arpa/inet.h>

#include <bitset>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "system_fixture.h"

namespace systest
{
namespace
{

using Lines = std::vector<std::string>;

struct KernelOption {
    const char* path;
    const char* wanted;  // what init writes
    const char* preset;  // the opposite, set before init so the check can fail
};

const KernelOption kKernelOptions[] = {
    {"/proc/sys/net/ipv4/ip_forward", "1", "0"},
    {"/proc/sys/net/ipv4/conf/all/forwarding", "1", "0"},
    {"/proc/sys/net/ipv4/conf/all/arp_filter", "1", "0"},
    {"/proc/sys/net/ipv4/tcp_ecn", "0", "2"},
};

const DhcpServerConfig kServer;  // offers 10.99.1.100/24, router .254, name server .53

std::string read_host_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

class NetconfInitTest : public DeviceTest
{
protected:
    void preset_kernel_options()
    {
        for (const auto& option : kKernelOptions) {
            ASSERT_TRUE(device->write_proc(option.path, option.preset)) << option.path;
            std::string value;
            ASSERT_TRUE(device->read_proc(option.path, value));
            ASSERT_EQ(value, std::string(option.preset) + "\n") << option.path;
        }
    }

    void expect_kernel_options_written()
    {
        for (const auto& option : kKernelOptions) {
            std::string value;
            ASSERT_TRUE(device->read_proc(option.path, value)) << option.path;
            EXPECT_EQ(value, std::string(option.wanted) + "\n") << option.path;
        }
    }

    std::string install_config(const std::string& name, const std::string& json)
    {
        const std::string path = "/etc/netlib/" + name;
        install(path, json);
        return path;
    }

    CommandResult init(const std::string& config_path) { return netlibctl({"init", "eth0", "--config", config_path}); }

    Lines expected_client_argv() const
    {
        return {
            "/bin/udhcpc", "--retries",        "9", "-b", "-x", "hostname:" + device->hostname(), "-i", "eth0", "-S",
            "-s",          "/bin/udhcpc_cb.sh"};
    }

    // A DHCP client left from before, as init finds one on the device.
    void start_stray_client()
    {
        CommandResult r = device->run({"/bin/sh", "-c", "/bin/udhcpc -f -i eth0 -s /usr/bin/true >/dev/null 2>&1 &"});
        ASSERT_EQ(r.status, 0) << r.describe();
        ASSERT_TRUE(wait_until([&] { return device->processes("udhcpc").size() == 1; }, std::chrono::seconds(5)));
    }

    bool lease_applied()
    {
        Lines addrs = addresses();
        return addrs == Lines{kServer.range_first + "/24"} &&
               default_routes() == Lines{"default via " + kServer.router + " dev eth0"} &&
               resolver_file() == "nameserver " + kServer.name_server + "\n";
    }

    std::string state_report()
    {
        std::string report = "addresses:";
        for (const auto& a : addresses())
            report += " " + a;
        report += "\nroutes:\n";
        for (const auto& r : routes())
            report += "  " + r + "\n";
        report += "resolver: " + resolver_file() + "\ndnsmasq log:\n" + device->dhcp_server_log();
        return report;
    }
};

TEST_F(NetconfInitTest, DhcpExampleWritesOptionsStartsClientAndAppliesLease)
{
    const std::string example = example_path("network-dhcp.json");
    const std::string text = read_host_file(example);
    const auto config = nlohmann::json::parse(text);
    ASSERT_EQ(config.value("/dhcp/status"_json_pointer, 1), 1) << example << " must select DHCP";
    start_dhcp_server(kServer);
    preset_kernel_options();

    CommandResult r = init(install_config("network-dhcp.json", text));
    ASSERT_EQ(r.status, 0) << r.describe();

    expect_kernel_options_written();
    LinkState eth0 = link();
    EXPECT_EQ(eth0.flags.count("UP"), 1u);
    EXPECT_EQ(eth0.mtu, 1500);
    // Between fork and exec of the hook a second "udhcpc" shows for a moment.
    wait_until([&] { return device->processes("udhcpc").size() == 1; }, std::chrono::seconds(5));
    std::vector<Process> clients = device->processes("udhcpc");
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_EQ(clients[0].argv, expected_client_argv());

    EXPECT_TRUE(wait_until([&] { return lease_applied(); }, std::chrono::seconds(20)))
        << "the hook did not apply the lease in time\n"
        << state_report();
}

TEST_F(NetconfInitTest, RunningInitTwiceLeavesExactlyOneClient)
{
    start_dhcp_server(kServer);
    const std::string path = install_config("dhcp.json", R"({"dhcp": {"status": 1}})");
    CommandResult first = init(path);
    ASSERT_EQ(first.status, 0) << first.describe();
    wait_until([&] { return device->processes("udhcpc").size() == 1; }, std::chrono::seconds(5));
    std::vector<Process> before = device->processes("udhcpc");
    ASSERT_EQ(before.size(), 1u);

    CommandResult second = init(path);
    ASSERT_EQ(second.status, 0) << second.describe();
    // The old client gets SIGTERM and may take a moment to go.
    wait_until([&] { return device->processes("udhcpc").size() == 1; }, std::chrono::seconds(5));
    std::vector<Process> after = device->processes("udhcpc");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0].pid, before[0].pid) << "init restarts the client";
    EXPECT_EQ(after[0].argv, expected_client_argv());
    EXPECT_TRUE(wait_until([&] { return lease_applied(); }, std::chrono::seconds(20))) << state_report();

    // The client and the server end with the device.
    std::vector<pid_t> pids = device->host_pids();
    device->teardown();
    for (pid_t pid : pids)
        EXPECT_TRUE(process_gone(pid)) << "process " << pid << " outlived the device";
}

// The values a static configuration file leaves on the device.
struct StaticCase {
    const char* name;
    const char* json;
    const char* address;        // the only address on eth0 afterwards
    const char* default_route;  // the only default route
    const char* resolver;       // the whole resolver file
};

const StaticCase kStaticCases[] = {
    {"StatusZero",
     R"({"dhcp": {"status": 0},
         "statik": {"ip": "10.99.1.30", "netmask": "255.255.255.0"},
         "routes": {"gateway": "10.99.1.1"},
         "dns": {"ns1": {"ip": "10.99.1.53", "status": 1}, "ns2": {"ip": "10.99.1.54", "status": 1}}})",
     "10.99.1.30/24", "default via 10.99.1.1 dev eth0", "nameserver 10.99.1.53\nnameserver 10.99.1.54\n"},
    {"StatusTwoWithOnlySecondNameServerOn",
     R"({"dhcp": {"status": 2},
         "statik": {"ip": "10.99.1.31", "netmask": "255.255.255.0"},
         "routes": {"gateway": "10.99.1.1"},
         "dns": {"ns1": {"ip": "10.99.1.53", "status": 0}, "ns2": {"ip": "10.99.1.54", "status": 1}}})",
     "10.99.1.31/24", "default via 10.99.1.1 dev eth0", "nameserver 10.99.1.54\n"},
    {"StatusOnlyUsesDefaults", R"({"dhcp": {"status": 0}})", "192.168.1.20/24", "default dev eth0 scope link", ""},
    {"RefusedIpUsesFallbackAddress",
     R"({"dhcp": {"status": 0, "fallbackIP": "10.99.2.77", "fallbackNetmask": "255.255.0.0"},
         "statik": {"ip": "10.99.1.300", "netmask": "255.255.255.0"},
         "routes": {"gateway": "10.99.1.1"},
         "dns": {"ns1": {"ip": "10.99.1", "status": 1}, "ns2": {"ip": "10.99.1.54", "status": 1}}})",
     "10.99.2.77/16", "default via 10.99.1.1 dev eth0", "nameserver 10.99.1.54\n"},
    {"RefusedNetmaskUsesDefaultFallback",
     R"({"dhcp": {"status": 0},
         "statik": {"ip": "10.99.1.30", "netmask": "255.0.255.0"},
         "dns": {"ns1": {"ip": "10.99.1.53", "status": 1}}})",
     "192.168.1.20/24", "default dev eth0 scope link", "nameserver 10.99.1.53\n"},
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const StaticCase& c, std::ostream* os)
{
    *os << c.name;
}

class NetconfInitStaticTest : public NetconfInitTest, public ::testing::WithParamInterface<StaticCase>
{
};

TEST_P(NetconfInitStaticTest, LeavesAddressDefaultRouteAndResolverFile)
{
    const StaticCase& c = GetParam();
    // Left from before init: an address to flush and a client to stop.
    ASSERT_EQ(device->run({"/bin/ip", "addr", "add", "10.99.1.99/24", "dev", "eth0"}).status, 0);
    start_stray_client();
    preset_kernel_options();

    CommandResult r = init(install_config("static.json", c.json));
    ASSERT_EQ(r.status, 0) << r.describe();

    expect_kernel_options_written();
    EXPECT_EQ(link().flags.count("UP"), 1u);
    EXPECT_EQ(addresses(), Lines{c.address});
    EXPECT_EQ(default_routes(), Lines{c.default_route});
    EXPECT_EQ(resolver_file(), c.resolver);
    EXPECT_TRUE(wait_until([&] { return device->processes("udhcpc").empty(); }, std::chrono::seconds(3)))
        << "the client found at start-up must be stopped, and none started";
}

INSTANTIATE_TEST_SUITE_P(Configs, NetconfInitStaticTest, ::testing::ValuesIn(kStaticCases),
                         [](const ::testing::TestParamInfo<StaticCase>& param_info) { return param_info.param.name; });

int prefix_length(const std::string& netmask)
{
    struct in_addr mask;
    if (inet_pton(AF_INET, netmask.c_str(), &mask) != 1)
        return -1;
    return static_cast<int>(std::bitset<32>(ntohl(mask.s_addr)).count());
}

bool plain_address(const std::string& text)
{
    struct in_addr addr;
    return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

// The shipped static example: its own values end up on the device.
TEST_F(NetconfInitTest, StaticExampleAppliesItsAddressGatewayAndNameServers)
{
    const std::string example = example_path("network-static.json");
    const std::string text = read_host_file(example);
    const auto config = nlohmann::json::parse(text);
    ASSERT_NE(config.value("/dhcp/status"_json_pointer, 1), 1) << example << " must select the static path";
    const std::string ip = config.value("/statik/ip"_json_pointer, std::string("192.168.1.20"));
    const std::string netmask = config.value("/statik/netmask"_json_pointer, std::string("255.255.255.0"));
    const std::string gateway = config.value("/routes/gateway"_json_pointer, std::string());
    ASSERT_TRUE(plain_address(ip) && prefix_length(netmask) > 0) << example << " must hold a valid address";
    ASSERT_TRUE(gateway.empty() || plain_address(gateway)) << example;
    std::string resolver;
    for (const char* ns : {"ns1", "ns2"}) {
        const std::string base = std::string("/dns/") + ns;
        const std::string server = config.value(nlohmann::json::json_pointer(base + "/ip"), std::string());
        if (config.value(nlohmann::json::json_pointer(base + "/status"), 0) != 0 && plain_address(server))
            resolver += "nameserver " + server + "\n";
    }
    preset_kernel_options();

    CommandResult r = init(install_config("network-static.json", text));
    ASSERT_EQ(r.status, 0) << r.describe();

    expect_kernel_options_written();
    EXPECT_EQ(addresses(), Lines{ip + "/" + std::to_string(prefix_length(netmask))});
    EXPECT_EQ(default_routes(),
              Lines{gateway.empty() ? "default dev eth0 scope link" : "default via " + gateway + " dev eth0"});
    EXPECT_EQ(resolver_file(), resolver);
    EXPECT_TRUE(device->processes("udhcpc").empty());
}

}  // namespace
}  // namespace systest
