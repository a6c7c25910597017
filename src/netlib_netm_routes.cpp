// netlib_netm, routes: an interface's default routes replaced with the route
// program, with a host route to a gateway the interface cannot reach yet.
#define NETLIB_UNIT "netlib_netm_routes.cpp"
#include <pelk/utils.h>

#include <algorithm>
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

int run_route(const std::vector<std::string>& args)
{
    return pelk::utils::sysExecSimple(kRouteProgram, args);
}

void delete_default_routes(const std::string& iface)
{
    const std::vector<std::string> args{"del", "default", "gw", "0.0.0.0", "dev", iface};
    for (int i = 0; i < kMaxRouteDeletes; ++i) {
        if (run_route(args) != 0)
            return;
    }
}

bool add_route(const std::string& iface, const std::string& gateway)
{
    if (!pelk::utils::ipv4_address_valid(gateway, false, true)) {
        NETLIB_ERROR("Invalid gateway '%s'", gateway.c_str());
        return false;
    }
    return run_route({"add", "default", "gw", gateway, "dev", iface}) == 0;
}

bool add_host_route(const std::string& iface, const std::string& gateway)
{
    return run_route({"add", "-host", gateway, "dev", iface}) == 0;
}

}  // namespace

namespace pelk
{
namespace network
{

bool netlib_netm_configure_routes(void* ctx, const std::string& iface, const std::string& gateway)
try {
    if (!netlib::netm::guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    const std::vector<std::string> tokens = gateway_tokens(gateway);
    if (!gateways_valid(tokens)) {
        NETLIB_ERROR("Failed to configure routes on interface \"%s\"", iface.c_str());
        return false;
    }
    delete_default_routes(iface);
    if (gateway.empty())
        return run_route({"add", "default", "dev", iface}) == 0;
    for (const std::string& token : tokens) {
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
