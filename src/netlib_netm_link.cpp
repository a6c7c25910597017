// netlib_netm, link and addresses: the unit's guard, bringing a link up or
// down, preparing it for IP configuration, and flushing and adding IPv4
// addresses with the ip program.
#define NETLIB_UNIT "netlib_netm_link.cpp"
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pelk/utils.h>

#include <cstring>
#include <string>
#include <vector>

#include "netlib_config.h"
#include "netlib_netm.h"

namespace
{

constexpr int kWantedLinkFlags = IFF_UP | IFF_RUNNING | IFF_ALLMULTI;  // 0x241
constexpr int kLinkMtu = 1500;
constexpr const char* kIpProgram = NETLIB_IP_PROGRAM;

[[nodiscard]] bool parse_ipv4(const std::string& text, in_addr& out)
{
    return text.find('\0') == std::string::npos && inet_pton(AF_INET, text.c_str(), &out) == 1;
}

bool same_ipv4(const sockaddr* sa, const in_addr& want)
{
    if (sa == nullptr || sa->sa_family != AF_INET)
        return false;
    sockaddr_in have;
    std::memcpy(&have, sa, sizeof(have));
    return have.sin_addr.s_addr == want.s_addr;
}

// An IPv4 address's entry is named by its label, "eth0" or an alias such as
// "eth0:1"; the part before ':' names the interface.
bool label_of_iface(const char* label, const std::string& iface)
{
    if (label == nullptr)
        return false;
    const std::size_t length = std::strcspn(label, ":");
    return length == iface.size() && iface.compare(0, length, label, length) == 0;
}

enum class held { no, as_asked, otherwise };

// Whether the interface already carries ip, under its own name or an alias
// label, and if so whether with netmask (empty: /32) and, when one was asked
// for, that broadcast address. Re-applying the same address (a DHCP
// renewal) is not a failure, but one held with another netmask or broadcast
// is not applied: the kernel would keep both.
held address_held(const std::string& iface, const std::string& ip, const std::string& netmask,
                  const std::string& broadcast)
{
    in_addr want_ip{}, want_mask{}, want_broadcast{};
    if (!parse_ipv4(ip, want_ip))
        return held::no;
    if (netmask.empty())
        want_mask.s_addr = INADDR_BROADCAST;
    else if (!parse_ipv4(netmask, want_mask))
        return held::no;
    // A broadcast text that is no address goes to ip as it is, and never counts as held.
    const bool broadcast_parsed = broadcast.empty() || parse_ipv4(broadcast, want_broadcast);

    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return held::no;
    held found = held::no;
    for (const ifaddrs* a = list; a != nullptr && found != held::as_asked; a = a->ifa_next) {
        if (!label_of_iface(a->ifa_name, iface) || !same_ipv4(a->ifa_addr, want_ip))
            continue;
        const bool as_asked = broadcast_parsed && same_ipv4(a->ifa_netmask, want_mask) &&
                              (broadcast.empty() || same_ipv4(a->ifa_broadaddr, want_broadcast));
        found = as_asked ? held::as_asked : held::otherwise;
    }
    freeifaddrs(list);
    return found;
}

std::vector<std::string> ip_addr_add_args(const std::string& iface, const std::string& ip, const std::string& netmask,
                                          const std::string& broadcast)
{
    return {"addr", "add", netmask.empty() ? ip : ip + "/" + netmask, "brd", broadcast.empty() ? "+" : broadcast,
            "dev",  iface};
}

}  // namespace

namespace netlib
{
namespace netm
{

bool address_texts_valid(const std::string& ip, const std::string& netmask)
{
    const call_site as_step{NETLIB_UNIT, "netlib_netm_configure_ip_addr", __LINE__};
    if (!pelk::utils::ipv4_address_valid(ip, false, true)) {
        NETLIB_ERROR_AT(as_step, "IP address is invalid or empty");
        return false;
    }
    if (!netmask.empty() && !pelk::utils::ipv4_netmask_valid(netmask, false)) {
        NETLIB_ERROR_AT(as_step, "subnet mask is invalid");
        return false;
    }
    return true;
}

bool check(void* ctx)
{
    return netlib::guard_passes(ctx, &netlib_context::iface_state, NETLIB_HERE);
}

bool guard_and_name(void* ctx, const std::string& iface, const call_site& site)
{
    if (!check(ctx))
        return false;
    if (iface.empty() || !netlib::iface_name_fits(iface)) {
        NETLIB_ERROR_AT(site, "invalid network interface");
        return false;
    }
    return true;
}

netlib_iface_state& state_of(void* ctx)
{
    return *static_cast<netlib_context*>(ctx)->iface_state;
}

}  // namespace netm
}  // namespace netlib

namespace pelk
{
namespace network
{

using netlib::netm::guard_and_name;

bool netlib_netm_connect(void* ctx, const std::string& iface)
{
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    return netlib_iface_set_up(ctx, iface, true);
}

bool netlib_netm_disconnect(void* ctx, const std::string& iface)
{
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    return netlib_iface_set_up(ctx, iface, false);
}

bool netlib_netm_configure_interface(void* ctx, const std::string& iface)
{
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    int flags = 0;
    if (!netlib_iface_get_flags(ctx, iface, flags)) {
        NETLIB_ERROR("Failed to get \"%s\" flags", iface.c_str());
        return false;
    }
    const int wanted = flags | kWantedLinkFlags;
    if (wanted != flags && !netlib_iface_set_flags(ctx, iface, wanted)) {
        NETLIB_ERROR("Failed to turn on \"%s\"", iface.c_str());
        return false;
    }
    if (!netlib_iface_set_mtu(ctx, iface, kLinkMtu)) {
        NETLIB_ERROR("Failed to set MTU (%d) for \"%s\"", kLinkMtu, iface.c_str());
        return false;
    }
    return true;
}

bool netlib_netm_flush_iface(void* ctx, const std::string& iface)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    if (pelk::utils::sysExecSimple(kIpProgram, {"addr", "flush", "dev", iface}) != 0) {
        NETLIB_ERROR("Failed to flush interface \"%s\"", iface.c_str());
        return false;
    }
    return true;
}
NETLIB_CONTAIN(false)

bool netlib_netm_configure_ip_addr(void* ctx, const std::string& iface, const std::string& ip,
                                   const std::string& netmask, const std::string& broadcast)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE) || !netlib::netm::address_texts_valid(ip, netmask))
        return false;
    // Judged before ip runs: it would print an error for an address held
    // already, and add a second entry for one held with another netmask.
    const held before = address_held(iface, ip, netmask, broadcast);
    if (before == held::as_asked)
        return true;
    if (before == held::no &&
        pelk::utils::sysExecSimple(kIpProgram, ip_addr_add_args(iface, ip, netmask, broadcast)) == 0)
        return true;
    NETLIB_ERROR("Failed to configure interface \"%s\"", iface.c_str());
    return false;
}
NETLIB_CONTAIN(false)

}  // namespace network
}  // namespace pelk
