// netlib_netm, DHCP: starting the DHCP client, the static fallback address,
// and the records of how each interface was last configured.
#define NETLIB_UNIT "netlib_netm_dhcp.cpp"
#include <net/if.h>
#include <pelk/utils.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>

#include "netlib_config.h"
#include "netlib_netm.h"

namespace
{

constexpr const char* kDhcpProgram = NETLIB_DHCP_PROGRAM;
constexpr const char* kDhcpProcess = "udhcpc";
constexpr const char* kDhcpHook = NETLIB_DHCP_HOOK;
constexpr int kStopSignal = SIGTERM;

// The DHCP client's host-name buffer holds at most 63 characters and NUL.
constexpr size_t kHostnameBytes = 64;

// Reads the host name into buffer (kHostnameBytes bytes), cut to fit with
// its terminator: a legal 64-character name must not fail the DHCP start.
[[nodiscard]] bool read_hostname(char* buffer)
{
    char whole[HOST_NAME_MAX + 2] = {};
    if (gethostname(whole, sizeof(whole) - 1) != 0)
        return false;
    const size_t length = strnlen(whole, kHostnameBytes - 1);
    std::memcpy(buffer, whole, length);
    buffer[length] = '\0';
    return true;
}

// Starts program as a daemon with args, their count taken from the call.
template <typename... Args>
[[nodiscard]] int start_daemon(const char* program, Args... args)
{
    static_assert((std::is_same_v<Args, const char*> && ...), "runDaemon reads every argument as const char*");
    return pelk::utils::runDaemon(nullptr, nullptr, nullptr, program, static_cast<int>(sizeof...(Args)), args...);
}

bool recorded(const std::map<std::string, bool>& records, const std::string& iface)
{
    auto it = records.find(iface);
    return it != records.end() && it->second;
}

}  // namespace

namespace netlib
{
namespace netm
{

void stop_dhcp_client()
{
    pelk::utils::kill_process_by_name(kDhcpProcess, kStopSignal);
}

void record(void* ctx, const std::string& iface, bool is_static, bool fallback)
{
    netlib_iface_state& s = state_of(ctx);
    s.static_fallback_connections[iface] = fallback;
    s.static_connections[iface] = is_static;
}

}  // namespace netm
}  // namespace netlib

namespace pelk
{
namespace network
{

using netlib::netm::guard_and_name;
using netlib::netm::record;
using netlib::netm::state_of;

bool netlib_netm_configure_dhcp(void* ctx, const std::string& iface)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    // A mistyped name must not cost the device its running client.
    if (if_nametoindex(iface.c_str()) == 0) {
        NETLIB_ERROR_ERRNO(errno, "No such network interface \"%s\"", iface.c_str());
        return false;
    }
    netlib::netm::stop_dhcp_client();
    char hostname[kHostnameBytes] = {};
    if (!read_hostname(hostname)) {
        NETLIB_ERROR("Failed to get hostname");
        return false;
    }
    const std::string hostname_option = std::string("hostname:") + hostname;
    const int started = start_daemon(kDhcpProgram, "--retries", "9", "-b", "-x", hostname_option.c_str(), "-i",
                                     iface.c_str(), "-S", "-s", kDhcpHook);
    if (started == 0) {
        NETLIB_ERROR("Failed to start udhcpc");
        return false;
    }
    record(ctx, iface, false, false);
    return true;
}
NETLIB_CONTAIN(false)

bool netlib_netm_configure_static_fallback(void* ctx, const std::string& iface, const std::string& ip,
                                           const std::string& netmask, const std::string& broadcast)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    if (!netlib_netm_configure_ip_addr(ctx, iface, ip, netmask, broadcast))
        return false;
    record(ctx, iface, false, true);
    return true;
}
NETLIB_CONTAIN(false)

bool netlib_netm_is_static_connection(void* ctx, const std::string& iface)
{
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    return recorded(state_of(ctx).static_connections, iface);
}

bool netlib_netm_is_static_fallback_connection(void* ctx, const std::string& iface)
{
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    return recorded(state_of(ctx).static_fallback_connections, iface);
}

}  // namespace network
}  // namespace pelk
