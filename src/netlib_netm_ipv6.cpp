// netlib_netm, IPv6: addresses and default routes with the ip program, and
// the interface's IPv6 mode through its /proc/sys/net/ipv6/conf files.
#define NETLIB_UNIT "netlib_netm_ipv6.cpp"
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <pelk/utils.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "netlib_config.h"
#include "netlib_ipv6.h"
#include "netlib_netm.h"

namespace
{

constexpr const char* kIpProgram = NETLIB_IP_PROGRAM;
// The kernel's own metric for IPv6 routes added without one.
constexpr unsigned int kFirstMetric = 1024;
// As the IPv4 routes: a runner that keeps reporting success must not keep
// the delete loop going for ever.
constexpr long kMaxRouteDeletes = 256;

// The words are built into strings here, once, rather than at every call:
// the device's library stays small.
[[gnu::noinline]] int run_ip(std::initializer_list<const char*> words)
{
    std::vector<std::string> args{"-6"};
    args.insert(args.end(), words.begin(), words.end());
    return pelk::utils::sysExecSimple(kIpProgram, args);
}

// The interface must exist before anything runs: a typo is refused by name.
[[nodiscard]] bool iface_exists(const std::string& iface, const netlib::call_site& site)
{
    if (if_nametoindex(iface.c_str()) != 0)
        return true;
    NETLIB_LOG_AT(site, PELK_LOG_ERR, errno, "No such network interface \"%s\"", iface.c_str());
    return false;
}

enum class held { no, as_asked, otherwise };

held address_held(const std::vector<pelk::network::ipv6_address>& addresses, const in6_addr& address,
                  unsigned int prefix)
{
    const std::string text = netlib::ipv6::compressed(address);
    for (const pelk::network::ipv6_address& a : addresses) {
        if (a.address == text)
            return a.prefix_length == prefix ? held::as_asked : held::otherwise;
    }
    return held::no;
}

bool covers(const netlib::ipv6::route& r, const in6_addr& address)
{
    if (r.prefix == 0 || r.prefix > 128)
        return false;
    const unsigned int whole = r.prefix / 8, rest = r.prefix % 8;
    if (std::memcmp(r.destination.s6_addr, address.s6_addr, whole) != 0)
        return false;
    const unsigned char mask = static_cast<unsigned char>(0xff00 >> rest);
    return rest == 0 || ((r.destination.s6_addr[whole] ^ address.s6_addr[whole]) & mask) == 0;
}

// Whether the interface reaches the gateway directly: a link-local one
// always (the interface is its scope), another when a route of the
// interface without a gateway covers it.
bool on_link(const std::vector<netlib::ipv6::route>& routes, const std::string& iface, const in6_addr& gateway)
{
    if (netlib::ipv6::is_link_local(gateway))
        return true;
    return std::any_of(routes.begin(), routes.end(), [&](const netlib::ipv6::route& r) {
        return r.iface == iface && (r.flags & RTF_GATEWAY) == 0 && covers(r, gateway);
    });
}

bool is_default_of(const netlib::ipv6::route& r, const std::string& iface)
{
    return r.iface == iface && r.prefix == 0 && IN6_IS_ADDR_UNSPECIFIED(&r.destination) && (r.flags & RTF_REJECT) == 0;
}

void delete_default_routes(const std::string& iface, const std::vector<netlib::ipv6::route>& routes, bool listed)
{
    const long count = listed ? std::count_if(routes.begin(), routes.end(),
                                              [&](const netlib::ipv6::route& r) { return is_default_of(r, iface); })
                              : kMaxRouteDeletes;
    for (long i = 0; i < count && i < kMaxRouteDeletes; ++i) {
        if (run_ip({"route", "del", "default", "dev", iface.c_str()}) != 0)
            return;
    }
}

// One file of /proc/sys/net/ipv6/conf/IFACE/ and the value it gets.
struct mode_setting {
    const char* name;
    const char* value;
};

std::vector<mode_setting> settings_of(pelk::network::ipv6_mode mode, bool restart)
{
    std::vector<mode_setting> settings;
    if (mode == pelk::network::ipv6_off)
        return {{"disable_ipv6", "1"}};
    if (restart)
        settings.push_back({"disable_ipv6", "1"});
    const bool slaac = mode == pelk::network::ipv6_slaac;
    // 2: advertisements are taken also while the device forwards.
    settings.push_back({"accept_ra", slaac ? "2" : "0"});
    settings.push_back({"autoconf", slaac ? "1" : "0"});
    settings.push_back({"disable_ipv6", "0"});
    return settings;
}

[[nodiscard]] int read_setting(const std::string& path, std::string& value)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    char buffer[32];
    const ssize_t got = read(fd, buffer, sizeof buffer - 1);
    const int error = got < 0 ? errno : 0;
    close(fd);
    if (error != 0)
        return error;
    value.assign(buffer, static_cast<std::size_t>(got));
    value.erase(value.find_last_not_of('\n') + 1);
    return 0;
}

[[nodiscard]] int write_setting(const std::string& path, const std::string& value)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const ssize_t put = write(fd, value.data(), value.size());
    const int error = put < 0 ? errno : (static_cast<std::size_t>(put) != value.size() ? EIO : 0);
    const int closed = close(fd) != 0 ? errno : 0;
    return error != 0 ? error : closed;
}

}  // namespace

namespace netlib
{
namespace netm
{

bool ipv6_address_text_valid(const std::string& address)
{
    in6_addr parsed{};
    unsigned int prefix = 0;
    if (ipv6::parse_with_prefix(address, parsed, prefix))
        return true;
    const call_site as_step{NETLIB_UNIT, "netlib_netm_configure_ipv6_addr", __LINE__};
    NETLIB_ERROR_AT(as_step, "Invalid IPv6 address '%s'", address.c_str());
    return false;
}

bool ipv6_gateway_text_valid(const std::string& iface, const std::string& gateways)
{
    for (const std::string& token : gateway_tokens(gateways)) {
        in6_addr parsed{};
        if (ipv6::parse_unicast(token, parsed))
            continue;
        const call_site as_add_route{NETLIB_UNIT, "add_route", __LINE__};
        NETLIB_ERROR_AT(as_add_route, "Invalid gateway '%s'", token.c_str());
        const call_site as_step{NETLIB_UNIT, "netlib_netm_configure_ipv6_routes", __LINE__};
        NETLIB_ERROR_AT(as_step, "Failed to configure routes on interface \"%s\"", iface.c_str());
        return false;
    }
    return true;
}

bool set_ipv6_mode(const std::string& iface, pelk::network::ipv6_mode mode, bool restart, const call_site& site)
{
    if (mode != pelk::network::ipv6_slaac && mode != pelk::network::ipv6_static && mode != pelk::network::ipv6_off) {
        NETLIB_ERROR_AT(site, "Invalid IPv6 mode %d", static_cast<int>(mode));
        return false;
    }
    if (!iface_exists(iface, site))
        return false;
    const std::string directory = "/proc/sys/net/ipv6/conf/" + iface + "/";
    const std::vector<mode_setting> settings = settings_of(mode, restart);
    // Every file read first: what was there is what a failure sets back.
    std::vector<std::string> before(settings.size());
    int error = 0;
    for (std::size_t i = 0; i < settings.size() && error == 0; ++i)
        error = read_setting(directory + settings[i].name, before[i]);
    std::size_t written = 0;
    for (; written < settings.size() && error == 0; ++written)
        error = write_setting(directory + settings[written].name, settings[written].value);
    if (error == 0)
        return true;
    while (written-- > 0)
        (void)write_setting(directory + settings[written].name, before[written]);  // best effort: the error is told
    NETLIB_LOG_AT(site, PELK_LOG_ERR, error, "Failed to set IPv6 mode on \"%s\"", iface.c_str());
    return false;
}

}  // namespace netm
}  // namespace netlib

namespace pelk
{
namespace network
{

using netlib::netm::guard_and_name;

bool netlib_netm_configure_ipv6_addr(void* ctx, const std::string& iface, const std::string& address)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE) || !netlib::netm::ipv6_address_text_valid(address) ||
        !iface_exists(iface, NETLIB_HERE))
        return false;
    in6_addr parsed{};
    unsigned int prefix = 0;
    (void)netlib::ipv6::parse_with_prefix(address, parsed, prefix);  // cannot fail: judged valid above
    std::vector<ipv6_address> addresses;
    const unsigned int index = if_nametoindex(iface.c_str());
    // Judged before ip runs: it would print an error for an address held
    // already, whatever its prefix length.
    if (index != 0 && netlib::ipv6::read_addresses(index, addresses) == 0) {
        const held before = address_held(addresses, parsed, prefix);
        if (before == held::as_asked)
            return true;
        if (before == held::no && run_ip({"addr", "add", address.c_str(), "dev", iface.c_str()}) == 0)
            return true;
    }
    NETLIB_ERROR("Failed to configure interface \"%s\"", iface.c_str());
    return false;
}
NETLIB_CONTAIN(false)

bool netlib_netm_configure_ipv6_routes(void* ctx, const std::string& iface, const std::string& gateways)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE) || !netlib::netm::ipv6_gateway_text_valid(iface, gateways) ||
        !iface_exists(iface, NETLIB_HERE))
        return false;
    std::vector<netlib::ipv6::route> routes;
    delete_default_routes(iface, routes, netlib::ipv6::read_routes(routes));
    routes.clear();
    const bool listed = netlib::ipv6::read_routes(routes);
    unsigned int metric = kFirstMetric;
    for (const std::string& token : netlib::netm::gateway_tokens(gateways)) {
        in6_addr gateway{};
        (void)netlib::ipv6::parse_unicast(token, gateway);  // cannot fail: judged valid above
        const bool direct = !listed || on_link(routes, iface, gateway);
        const std::string host = token + "/128", metric_text = std::to_string(metric++);
        if ((!direct && run_ip({"route", "add", host.c_str(), "dev", iface.c_str()}) != 0) ||
            run_ip({"route", "add", "default", "via", token.c_str(), "dev", iface.c_str(), "metric",
                    metric_text.c_str()}) != 0) {
            NETLIB_ERROR("Failed to configure routes on interface \"%s\"", iface.c_str());
            return false;
        }
    }
    return true;
}
NETLIB_CONTAIN(false)

bool netlib_netm_configure_ipv6_mode(void* ctx, const std::string& iface, ipv6_mode mode)
try {
    return guard_and_name(ctx, iface, NETLIB_HERE) && netlib::netm::set_ipv6_mode(iface, mode, false, NETLIB_HERE);
}
NETLIB_CONTAIN(false)

}  // namespace network
}  // namespace pelk
