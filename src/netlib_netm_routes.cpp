// netlib_netm, routes: an interface's default routes replaced with the route
// program, with a host route to a gateway the interface cannot reach yet.
#define NETLIB_UNIT "netlib_netm_routes.cpp"
#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <pelk/utils.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "netlib_config.h"
#include "netlib_netm.h"

namespace
{

constexpr const char* kRouteProgram = NETLIB_ROUTE_PROGRAM;

// A command runner that keeps reporting success would otherwise keep the
// delete loop going for ever.
constexpr int kMaxRouteDeletes = 256;

// All gateways are checked before any route is deleted, so a typo does not
// cost the interface its default routes. A refusal reads as add_route's own.
bool gateways_valid(const std::vector<std::string>& tokens)
{
    for (const std::string& token : tokens) {
        if (!pelk::utils::ipv4_address_valid(token, false, true)) {
            const netlib::call_site as_add_route{NETLIB_UNIT, "add_route", __LINE__};
            NETLIB_ERROR_AT(as_add_route, "Invalid gateway '%s'", token.c_str());
            return false;
        }
    }
    return true;
}

[[nodiscard]] int run_route(const std::vector<std::string>& args)
{
    return pelk::utils::sysExecSimple(kRouteProgram, args);
}

// One route of the kernel's main IPv4 table; addresses as the kernel keeps
// them (network order), so they compare with inet_pton's directly.
struct kernel_route {
    std::string iface;
    std::uint32_t destination, gateway, mask;
    unsigned int flags;
};

// The table as /proc/net/route lists it, so that the route program runs
// only where it is expected to succeed: an expected refusal would still
// print its error. False when the table cannot be read.
[[nodiscard]] bool read_routes(std::vector<kernel_route>& routes)
{
    std::FILE* file = std::fopen("/proc/net/route", "re");
    if (file == nullptr)
        return false;
    char line[256];
    bool header = true;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        char name[IFNAMSIZ + 1];
        unsigned int destination, gateway, flags, mask;
        if (!header &&
            std::sscanf(line, "%16s %x %x %x %*d %*d %*d %x", name, &destination, &gateway, &flags, &mask) == 5)
            routes.push_back({name, destination, gateway, mask, flags});
        header = false;
    }
    std::fclose(file);
    return true;
}

bool is_default_of(const kernel_route& route, const std::string& iface)
{
    return route.iface == iface && route.destination == 0 && route.mask == 0;
}

// Whether the interface reaches the gateway directly (a route of its own
// without a gateway covers it); if not, the host route comes first.
bool on_link(const std::vector<kernel_route>& routes, const std::string& iface, const std::string& gateway)
{
    in_addr address{};
    if (inet_pton(AF_INET, gateway.c_str(), &address) != 1)
        return true;
    return std::any_of(routes.begin(), routes.end(), [&](const kernel_route& r) {
        return r.iface == iface && (r.flags & RTF_GATEWAY) == 0 && (address.s_addr & r.mask) == r.destination;
    });
}

// Deletes the interface's default routes, one per run: as many as the
// kernel lists, or, where the table cannot be read, until the program
// refuses.
void delete_default_routes(const std::string& iface)
{
    const std::vector<std::string> args{"del", "default", "gw", "0.0.0.0", "dev", iface};
    std::vector<kernel_route> routes;
    const long listed = read_routes(routes)
                            ? std::count_if(routes.begin(), routes.end(),
                                            [&](const kernel_route& r) { return is_default_of(r, iface); })
                            : kMaxRouteDeletes;
    for (long i = 0; i < listed && i < kMaxRouteDeletes; ++i) {
        if (run_route(args) != 0)
            return;
    }
}

[[nodiscard]] bool add_route(const std::string& iface, const std::string& gateway)
{
    if (!pelk::utils::ipv4_address_valid(gateway, false, true)) {
        NETLIB_ERROR("Invalid gateway '%s'", gateway.c_str());
        return false;
    }
    return run_route({"add", "default", "gw", gateway, "dev", iface}) == 0;
}

[[nodiscard]] bool add_host_route(const std::string& iface, const std::string& gateway)
{
    return run_route({"add", "-host", gateway, "dev", iface}) == 0;
}

}  // namespace

namespace netlib
{
namespace netm
{

// The non-blank gateway tokens, trimmed, in order, each once: a second
// route through the same gateway would only be refused as existing.
std::vector<std::string> gateway_tokens(const std::string& gateway)
{
    std::vector<std::string> tokens;
    pelk::utils::split(gateway, " ", tokens);
    std::vector<std::string> usable;
    for (std::string& token : tokens) {
        if (token.empty())
            continue;
        if (pelk::utils::trim(token).empty())
            continue;
        if (std::find(usable.begin(), usable.end(), token) == usable.end())
            usable.push_back(token);
    }
    return usable;
}

bool gateway_text_valid(const std::string& iface, const std::string& gateway)
{
    if (gateways_valid(gateway_tokens(gateway)))
        return true;
    const call_site as_step{NETLIB_UNIT, "netlib_netm_configure_routes", __LINE__};
    NETLIB_ERROR_AT(as_step, "Failed to configure routes on interface \"%s\"", iface.c_str());
    return false;
}

}  // namespace netm
}  // namespace netlib

namespace pelk
{
namespace network
{

bool netlib_netm_configure_routes(void* ctx, const std::string& iface, const std::string& gateway)
try {
    if (!netlib::netm::guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    if (!netlib::netm::gateway_text_valid(iface, gateway))
        return false;
    const std::vector<std::string> tokens = netlib::netm::gateway_tokens(gateway);
    delete_default_routes(iface);
    if (gateway.empty())
        return run_route({"add", "default", "dev", iface}) == 0;
    std::vector<kernel_route> routes;
    const bool listed = read_routes(routes);
    for (const std::string& token : tokens) {
        if (listed && !on_link(routes, iface, token) && !add_host_route(iface, token)) {
            NETLIB_ERROR("Failed to configure routes on interface \"%s\"", iface.c_str());
            return false;
        }
        if (add_route(iface, token))
            continue;
        if (!add_host_route(iface, token) || !add_route(iface, token)) {
            NETLIB_ERROR("Failed to configure routes on interface \"%s\"", iface.c_str());
            return false;
        }
    }
    return true;
}
NETLIB_CONTAIN(false)

}  // namespace network
}  // namespace pelk
