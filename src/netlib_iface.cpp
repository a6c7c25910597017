// netlib_iface: the interface module's lifecycle, the ioctl operations on one
// named interface, interface enumeration and the choice of the main interface.
#define NETLIB_UNIT "netlib_iface.cpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <new>
#include <string>

#include "netlib_private.h"

namespace
{

// Flags are masked with these bits to decide whether an interface may be the
// main one: running and broadcast-capable, not a loopback.
constexpr int kQualifyMask = IFF_RUNNING | IFF_LOOPBACK | IFF_BROADCAST;
constexpr int kQualifyValue = IFF_RUNNING | IFF_BROADCAST;

// Names that win the choice of the main interface whenever they qualify.
const char* const kPreferredNames[] = {"ap0"};

bool check(void* ctx)
{
    return netlib::guard_passes(ctx, &netlib_context::iface_state, NETLIB_HERE);
}

int dev_socket(void* ctx)
{
    return static_cast<netlib_context*>(ctx)->iface_state->dev_socket;
}

// Closes the socket and frees the state; the caller clears the slot.
void destroy_state(netlib_iface_state* state)
{
    if (state->dev_socket >= 0)
        close(state->dev_socket);
    delete state;
}

// 0, or the logged errno of the failed ioctl.
[[nodiscard]] int do_ioctl(int fd, unsigned long request, void* arg)
{
    if (ioctl(fd, request, arg) >= 0)
        return 0;
    const int error = errno;
    NETLIB_ERROR_ERRNO(error, "netlib: ioctl(%X) failed", static_cast<unsigned int>(request));
    return error;
}

// Common start of every direct operation: the guard, then the name test (a
// name the kernel would cut to 16 bytes could act on another interface), then
// a zeroed request block carrying the name. A refused name is logged under
// the operation's own name.
[[nodiscard]] bool prepare_request(void* ctx, const std::string& iface, const netlib::call_site& site, ifreq& req)
{
    if (!check(ctx))
        return false;
    if (!netlib::iface_name_fits(iface)) {
        NETLIB_ERROR_AT(site, "invalid network interface");
        return false;
    }
    std::memset(&req, 0, sizeof req);
    std::strncpy(req.ifr_name, iface.c_str(), IFNAMSIZ);
    return true;
}

in_addr sockaddr_to_in_addr(const sockaddr& sa)
{
    // Copied rather than cast: struct sockaddr is less strictly aligned.
    sockaddr_in sin;
    std::memcpy(&sin, &sa, sizeof sin);
    return sin.sin_addr;
}

// Replaces text with the dotted quad of addr; text is unchanged on failure,
// which is logged under the operation's name.
[[nodiscard]] bool store_dotted_quad(in_addr addr, std::string& text, const netlib::call_site& site)
{
    try {
        std::string fresh(inet_ntoa(addr));
        text.swap(fresh);
        return true;
    } catch (...) {
        netlib::log_exception(site);
        return false;
    }
}

[[nodiscard]] bool read_link_settings(void* ctx, const std::string& iface, const netlib::call_site& site,
                                      ethtool_cmd& cmd)
{
    ifreq req;
    if (!prepare_request(ctx, iface, site, req))
        return false;
    std::memset(&cmd, 0, sizeof cmd);
    cmd.cmd = ETHTOOL_GSET;
    req.ifr_data = reinterpret_cast<char*>(&cmd);
    return do_ioctl(dev_socket(ctx), SIOCETHTOOL, &req) == 0;
}

bool is_preferred(const std::string& name)
{
    for (const char* preferred : kPreferredNames) {
        if (name == preferred)
            return true;
    }
    return false;
}

bool qualifies(int flags)
{
    return (flags & kQualifyMask) == kQualifyValue;
}

struct ifaddrs_deleter {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

bool keep_entry(const ifaddrs& entry, bool only_up)
{
    if (entry.ifa_addr == nullptr || entry.ifa_addr->sa_family != AF_PACKET)
        return false;
    return !only_up || (entry.ifa_flags & IFF_UP) != 0;
}

}  // namespace

namespace pelk
{
namespace network
{

bool netlib_libiface_init(void* ctx)
{
    netlib_context* context = netlib::marked_context(ctx, NETLIB_HERE);
    if (context == nullptr)
        return false;
    // A repeated init must not strand the earlier state and its socket.
    if (context->iface_state != nullptr) {
        destroy_state(context->iface_state);
        context->iface_state = nullptr;
    }
    netlib_iface_state* state = new (std::nothrow) netlib_iface_state();
    if (state == nullptr) {
        NETLIB_ERROR("netlib: memory allocation error");
        return false;
    }
    context->iface_state = state;
    state->dev_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (state->dev_socket < 0) {
        NETLIB_ERROR("netlib: cannot open dev socket");
        delete state;
        context->iface_state = nullptr;
        return false;
    }
    state->initialized = true;
    return true;
}

bool netlib_libiface_close(void* ctx)
{
    netlib_context* context = netlib::marked_context(ctx, NETLIB_HERE);
    if (context == nullptr)
        return false;
    netlib_iface_state* state = context->iface_state;
    if (state == nullptr || !state->initialized)
        return true;
    destroy_state(state);
    context->iface_state = nullptr;
    return true;
}

bool netlib_iface_get_flags(void* ctx, const std::string& iface, int& flags)
{
    ifreq req;
    if (!prepare_request(ctx, iface, NETLIB_HERE, req))
        return false;
    if (do_ioctl(dev_socket(ctx), SIOCGIFFLAGS, &req) != 0)
        return false;
    flags = req.ifr_flags;  // short: negative when bit 15 is set
    return true;
}

bool netlib_iface_set_flags(void* ctx, const std::string& iface, int flags)
{
    ifreq req;
    if (!prepare_request(ctx, iface, NETLIB_HERE, req))
        return false;
    req.ifr_flags = static_cast<short>(static_cast<unsigned short>(flags & 0xFFFF));
    return do_ioctl(dev_socket(ctx), SIOCSIFFLAGS, &req) == 0;
}

bool netlib_iface_get_address(void* ctx, const std::string& iface, std::string& address)
{
    ifreq req;
    if (!prepare_request(ctx, iface, NETLIB_HERE, req))
        return false;
    if (do_ioctl(dev_socket(ctx), SIOCGIFADDR, &req) != 0)
        return false;
    return store_dotted_quad(sockaddr_to_in_addr(req.ifr_addr), address, NETLIB_HERE);
}

bool netlib_iface_get_address(void* ctx, const std::string& iface, unsigned int& address)
{
    ifreq req;
    if (!prepare_request(ctx, iface, NETLIB_HERE, req))
        return false;
    if (do_ioctl(dev_socket(ctx), SIOCGIFADDR, &req) != 0)
        return false;
    address = sockaddr_to_in_addr(req.ifr_addr).s_addr;
    return true;
}

bool netlib_iface_get_netmask(void* ctx, const std::string& iface, std::string& netmask)
{
    ifreq req;
    if (!prepare_request(ctx, iface, NETLIB_HERE, req))
        return false;
    if (do_ioctl(dev_socket(ctx), SIOCGIFNETMASK, &req) != 0)
        return false;
    return store_dotted_quad(sockaddr_to_in_addr(req.ifr_netmask), netmask, NETLIB_HERE);
}

bool netlib_iface_set_mtu(void* ctx, const std::string& iface, int mtu)
{
    ifreq req;
    if (!prepare_request(ctx, iface, NETLIB_HERE, req))
        return false;
    req.ifr_mtu = mtu;
    return do_ioctl(dev_socket(ctx), SIOCSIFMTU, &req) == 0;
}

bool netlib_iface_get_link_speed(void* ctx, const std::string& iface, int& speed)
{
    ethtool_cmd cmd;
    if (!read_link_settings(ctx, iface, NETLIB_HERE, cmd))
        return false;
    // Unsigned so that both halves at 0xFFFF (speed unknown) give all ones, i.e. -1.
    const std::uint32_t combined = (static_cast<std::uint32_t>(cmd.speed_hi) << 16) | cmd.speed;
    speed = static_cast<int>(combined);
    return true;
}

bool netlib_iface_get_link_duplex(void* ctx, const std::string& iface, int& duplex)
{
    ethtool_cmd cmd;
    if (!read_link_settings(ctx, iface, NETLIB_HERE, cmd))
        return false;
    duplex = cmd.duplex;
    return true;
}

bool netlib_iface_is_up(void* ctx, const std::string& iface)
{
    int flags = 0;
    return netlib_iface_get_flags(ctx, iface, flags) && (flags & IFF_UP) != 0;
}

bool netlib_iface_is_running(void* ctx, const std::string& iface)
{
    int flags = 0;
    return netlib_iface_get_flags(ctx, iface, flags) && (flags & IFF_RUNNING) != 0;
}

bool netlib_iface_set_up(void* ctx, const std::string& iface, bool up)
{
    int flags = 0;
    if (!netlib_iface_get_flags(ctx, iface, flags))
        return false;
    const bool is_up = (flags & IFF_UP) != 0;
    if (up == is_up)
        return true;
    return netlib_iface_set_flags(ctx, iface, up ? (flags | IFF_UP) : (flags & ~IFF_UP));
}

bool netlib_get_ifaces(void* /*ctx*/, std::list<std::string>& names, bool only_up)
{
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        const int error = errno;
        NETLIB_ERROR_ERRNO(error, "getifaddrs() failed");
        return false;
    }
    std::unique_ptr<ifaddrs, ifaddrs_deleter> entries(raw);
    // Collected apart and spliced in so that names is unchanged on failure.
    std::list<std::string> found;
    try {
        for (const ifaddrs* entry = entries.get(); entry != nullptr; entry = entry->ifa_next) {
            if (keep_entry(*entry, only_up))
                found.emplace_back(entry->ifa_name);
        }
    } catch (...) {
        netlib::log_exception(NETLIB_HERE);
        return false;
    }
    names.splice(names.end(), found);
    return true;
}

bool netlib_iface_guess_default_iface(void* ctx, std::string& iface)
try {
    iface.clear();
    std::list<std::string> up;
    if (!netlib_get_ifaces(ctx, up, true))
        return false;
    std::list<std::string> hits;
    std::list<std::string> candidates;
    for (const std::string& name : up) {
        int flags = 0;
        if (!netlib_iface_get_flags(ctx, name, flags)) {
            NETLIB_NOTICE("Failed to get flags for interface \"%s\"", name.c_str());
            continue;
        }
        if (!qualifies(flags))
            continue;
        if (is_preferred(name))
            hits.push_back(name);
        candidates.push_back(name);
    }
    if (!hits.empty()) {
        iface = hits.front();
        return true;
    }
    if (candidates.empty())
        return false;
    if (candidates.size() > 1)
        NETLIB_NOTICE("More than 1 interface been found, choose: '%s'", candidates.front().c_str());
    iface = candidates.front();
    return true;
} catch (...) {
    iface.clear();
    netlib::log_exception(NETLIB_HERE);
    return false;
}

}  // namespace network
}  // namespace pelk
