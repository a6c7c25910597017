// What the files of the configuration unit (netlib_netm_*.cpp) share: the
// unit's guard, the name test and the configuration records. Not installed.
#ifndef NETLIB_NETM_H
#define NETLIB_NETM_H

#include <string>
#include <vector>

#include "netlib_private.h"

namespace netlib
{
namespace netm
{

// The unit's guard: the interface module's state must be there and
// initialised; a refusal is logged under "check".
[[nodiscard]] bool check(void* ctx);

// The guard, then the interface name: empty names, names the kernel would
// cut and names holding a NUL byte are refused with "invalid network
// interface", logged where site says (the operation's own name).
[[nodiscard]] bool guard_and_name(void* ctx, const std::string& iface, const call_site& site);

netlib_iface_state& state_of(void* ctx);

// The texts each configuration step would refuse, judged before a
// configuration runs its first program so that a typo applies nothing.
// Each refusal is logged as the step that stands for it would log it.
bool address_texts_valid(const std::string& ip, const std::string& netmask);
bool gateway_text_valid(const std::string& iface, const std::string& gateway);
// dual: IPv6 name servers are taken too.
bool resolver_texts_valid(const std::vector<std::string>& nameservers, const std::string& search, bool dual = false);

// The non-blank tokens of a gateway text, trimmed, in order, each once.
std::vector<std::string> gateway_tokens(const std::string& gateway);

// IPv6: the texts judged as configure_ipv6_addr and configure_ipv6_routes
// judge them, with their lines.
bool ipv6_address_text_valid(const std::string& address);
bool ipv6_gateway_text_valid(const std::string& iface, const std::string& gateways);
// Sets the IPv6 mode; with restart, IPv6 is switched off and on first (a
// fresh link-local address, routers asked at once). Logged under site.
[[nodiscard]] bool set_ipv6_mode(const std::string& iface, pelk::network::ipv6_mode mode, bool restart,
                                 const call_site& site);

// Asks every running DHCP client (by process name) to stop.
void stop_dhcp_client();

// How iface was last configured: static_fallback_connections is written
// first, then static_connections.
void record(void* ctx, const std::string& iface, bool is_static, bool fallback);

}  // namespace netm
}  // namespace netlib

#endif
