// netlib_netm, start-up: the configuration worker behind the static and
// lease entry points, and the network brought up from a configuration tree.
#define NETLIB_UNIT "netlib_netm_startup.cpp"
#include <pelk/log.h>
#include <pelk/utils.h>
#include <pelk/variant.h>

#include <string>
#include <vector>

#include "netlib_netm.h"

namespace
{

struct proc_option {
    const char* path;
    const char* text;
};

constexpr proc_option kIpv4Options[] = {
    {"/proc/sys/net/ipv4/ip_forward", "1"},
    {"/proc/sys/net/ipv4/conf/all/forwarding", "1"},
    {"/proc/sys/net/ipv4/conf/all/arp_filter", "1"},
    {"/proc/sys/net/ipv4/tcp_ecn", "0"},
};

[[nodiscard]] bool configure_ipv4_opts()
{
    for (const proc_option& option : kIpv4Options) {
        if (!writeProc(option.path, option.text)) {
            NETLIB_ERROR("Failed to write /proc file");
            return false;
        }
    }
    return true;
}

long long read_integer(const pelk::variant::Variant& config, const char* key, long long fallback)
{
    const pelk::variant::Variant* v = config.GetKeyChain(pelk::variant::VT_INTEGER, key, true);
    return v != nullptr ? static_cast<long long>(*v) : fallback;
}

std::string read_text(const pelk::variant::Variant& config, const char* key, const char* fallback)
{
    const pelk::variant::Variant* v = config.GetKeyChain(pelk::variant::VT_STRING, key, true);
    return v != nullptr ? static_cast<const std::string&>(*v) : std::string(fallback);
}

// Only the low 32 bits of a name server's status count.
bool status_enabled(long long status)
{
    return (static_cast<unsigned long long>(status) & 0xFFFFFFFFull) != 0;
}

// An IPv4 configuration as the static and lease entry points take it; the
// tree's static settings leave search and broadcast empty.
struct static_settings {
    std::string ip, netmask, gateway;
    std::vector<std::string> nameservers;
    std::string search, broadcast;
    bool fallback = false;
};

// What the configuration worker records it as.
enum class config_origin { lease, static_config };

static_settings read_static_settings(const pelk::variant::Variant& config)
{
    static_settings s;
    s.ip = read_text(config, "statik/ip", "192.168.1.20");
    s.netmask = read_text(config, "statik/netmask", "255.255.255.0");
    s.gateway = read_text(config, "routes/gateway", "");
    const std::string ns1 = read_text(config, "dns/ns1/ip", "");
    const std::string ns2 = read_text(config, "dns/ns2/ip", "");
    const bool ns1_on = status_enabled(read_integer(config, "dns/ns1/status", 0));
    const bool ns2_on = status_enabled(read_integer(config, "dns/ns2/status", 0));

    if (ns1_on && pelk::utils::ipv4_address_valid(ns1, true, false))
        s.nameservers.push_back(ns1);
    if (ns2_on && pelk::utils::ipv4_address_valid(ns2, true, false))
        s.nameservers.push_back(ns2);

    if (pelk::utils::ipv4_address_valid(s.ip, true, false) && pelk::utils::ipv4_netmask_valid(s.netmask, true))
        return s;
    const std::string refused = s.ip + "' netmask '" + s.netmask;
    s.ip = read_text(config, "dhcp/fallbackIP", "192.168.1.20");
    s.netmask = read_text(config, "dhcp/fallbackNetmask", "255.255.255.0");
    s.fallback = true;
    // Said every time: a device on its fallback address is one somebody must find.
    NETLIB_NOTICE("Static address '%s' refused, using the fallback address %s netmask %s", refused.c_str(),
                  s.ip.c_str(), s.netmask.c_str());
    return s;
}

// The tree's IPv6 keys; without any of them IPv6 is left as it is.
struct ipv6_settings {
    bool given = false;
    std::string mode_text, address, gateway;
    pelk::network::ipv6_mode mode = pelk::network::ipv6_static;
};

[[nodiscard]] bool parse_mode(const std::string& text, pelk::network::ipv6_mode& mode)
{
    static const struct {
        const char* text;
        pelk::network::ipv6_mode mode;
    } kModes[] = {
        {"slaac", pelk::network::ipv6_slaac}, {"static", pelk::network::ipv6_static}, {"off", pelk::network::ipv6_off}};
    for (const auto& known : kModes) {
        if (text == known.text) {
            mode = known.mode;
            return true;
        }
    }
    return false;
}

ipv6_settings read_ipv6_settings(const pelk::variant::Variant& config)
{
    ipv6_settings s;
    s.given = config.GetKeyChain(pelk::variant::VT_STRING, "ipv6/mode", true) != nullptr ||
              config.GetKeyChain(pelk::variant::VT_STRING, "ipv6/address", true) != nullptr ||
              config.GetKeyChain(pelk::variant::VT_STRING, "ipv6/gateway", true) != nullptr;
    s.mode_text = read_text(config, "ipv6/mode", "");
    s.address = read_text(config, "ipv6/address", "");
    s.gateway = read_text(config, "ipv6/gateway", "");
    return s;
}

// Judged with the rest of the tree, before anything changes.
[[nodiscard]] bool ipv6_settings_valid(const std::string& iface, ipv6_settings& s)
{
    const bool mode_ok = s.mode_text.empty() || parse_mode(s.mode_text, s.mode);
    const bool off_alone = s.mode_text != "off" || (s.address.empty() && s.gateway.empty());
    if (!mode_ok || !off_alone) {
        NETLIB_ERROR("Invalid IPv6 mode '%s'", s.mode_text.c_str());
        return false;
    }
    return (s.address.empty() || netlib::netm::ipv6_address_text_valid(s.address)) &&
           netlib::netm::ipv6_gateway_text_valid(iface, s.gateway);
}

[[nodiscard]] bool apply_ipv6(void* ctx, const std::string& iface, const ipv6_settings& s)
{
    if (!s.mode_text.empty() && !netlib::netm::set_ipv6_mode(iface, s.mode, true, NETLIB_HERE))
        return false;
    if (!s.address.empty() && !pelk::network::netlib_netm_configure_ipv6_addr(ctx, iface, s.address))
        return false;
    return s.gateway.empty() || pelk::network::netlib_netm_configure_ipv6_routes(ctx, iface, s.gateway);
}

// Every text of a configuration judged before its first step runs, so that
// a typo applies nothing; a program that fails still ends the call where it
// fails, with nothing undone.
bool texts_valid(const std::string& iface, const static_settings& s)
{
    return netlib::netm::address_texts_valid(s.ip, s.netmask) && netlib::netm::gateway_text_valid(iface, s.gateway) &&
           netlib::netm::resolver_texts_valid(s.nameservers, s.search);
}

[[nodiscard]] bool netlib_netm_configure_intf(void* ctx, const std::string& iface, const static_settings& s,
                                              config_origin origin)
try {
    if (!netlib::netm::guard_and_name(ctx, iface, NETLIB_HERE) || !texts_valid(iface, s))
        return false;
    const bool address_set =
        s.fallback ? pelk::network::netlib_netm_configure_static_fallback(ctx, iface, s.ip, s.netmask, s.broadcast)
                   : pelk::network::netlib_netm_configure_ip_addr(ctx, iface, s.ip, s.netmask, s.broadcast);
    if (!address_set)
        return false;
    if (!pelk::network::netlib_netm_configure_routes(ctx, iface, s.gateway))
        return false;
    if (!pelk::network::netlib_netm_configure_dns(ctx, iface, s.nameservers, s.search))
        return false;
    netlib::netm::record(ctx, iface, origin == config_origin::static_config, false);
    return true;
}
NETLIB_CONTAIN(false)

}  // namespace

namespace pelk
{
namespace network
{

bool netlib_netm_configure_dhcp(void* ctx, const std::string& iface, const std::string& ip, const std::string& netmask,
                                const std::string& gateway, const std::vector<std::string>& nameservers,
                                const std::string& search, const std::string& broadcast, bool fallback)
{
    return netlib_netm_configure_intf(ctx, iface, {ip, netmask, gateway, nameservers, search, broadcast, fallback},
                                      config_origin::lease);
}

bool netlib_netm_configure_static(void* ctx, const std::string& iface, const std::string& ip,
                                  const std::string& netmask, const std::string& gateway,
                                  const std::vector<std::string>& nameservers, const std::string& search,
                                  const std::string& broadcast, bool fallback)
{
    return netlib_netm_configure_intf(ctx, iface, {ip, netmask, gateway, nameservers, search, broadcast, fallback},
                                      config_origin::static_config);
}

bool netlib_netm_init_network(void* ctx, const std::string& iface, const pelk::variant::Variant& config)
try {
    if (!netlib::netm::guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    // The tree is read and its texts judged before anything changes.
    const bool dhcp = read_integer(config, "dhcp/status", 1) == 1;
    const static_settings s = dhcp ? static_settings{} : read_static_settings(config);
    if (!dhcp && !texts_valid(iface, s))
        return false;
    ipv6_settings v6 = read_ipv6_settings(config);
    if (v6.given && !ipv6_settings_valid(iface, v6))
        return false;
    if (!configure_ipv4_opts())
        return false;
    if (!netlib_netm_configure_interface(ctx, iface))
        return false;
    netlib::netm::stop_dhcp_client();
    netlib_netm_flush_iface(ctx, iface);
    const bool ipv4 =
        dhcp ? netlib_netm_configure_dhcp(ctx, iface)
             : netlib_netm_configure_static(ctx, iface, s.ip, s.netmask, s.gateway, s.nameservers, "", "", s.fallback);
    return ipv4 && (!v6.given || apply_ipv6(ctx, iface, v6));
}
NETLIB_CONTAIN(false)

}  // namespace network
}  // namespace pelk
