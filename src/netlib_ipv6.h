// IPv6 helpers shared by the interface and configuration units: texts,
// the interface's addresses through a routing-netlink dump, and the
// kernel's IPv6 route table. Not installed.
#ifndef NETLIB_IPV6_H
#define NETLIB_IPV6_H

#include <netinet/in.h>

#include <string>
#include <vector>

#include "pelk_network_utils_core.h"

namespace netlib
{
namespace ipv6
{

// An address neither unspecified nor multicast, in any form inet_pton reads.
[[nodiscard]] bool parse_unicast(const std::string& text, in6_addr& out);
// "ADDRESS/N", ADDRESS as parse_unicast takes it, N 1 to 128 in decimal.
[[nodiscard]] bool parse_with_prefix(const std::string& text, in6_addr& address, unsigned int& prefix);
bool is_link_local(const in6_addr& address);
std::string compressed(const in6_addr& address);

// The IPv6 addresses of interface index, in the kernel's order. 0 or errno.
int read_addresses(unsigned int index, std::vector<pelk::network::ipv6_address>& addresses);

// One route of /proc/net/ipv6_route.
struct route {
    in6_addr destination;
    unsigned int prefix;
    unsigned int flags;  // RTF_*
    std::string iface;
};
// False when the table cannot be read.
[[nodiscard]] bool read_routes(std::vector<route>& routes);

}  // namespace ipv6
}  // namespace netlib

#endif
