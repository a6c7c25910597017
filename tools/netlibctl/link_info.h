// What netlibctl shows of a link beyond the library's queries: index, MTU,
// MAC address, operational state, every flag, every IPv4 address and the
// default gateways, read from the kernel of the network namespace netlibctl
// runs in; and around the links, the resolver file and the DHCP clients.
#ifndef NETLIBCTL_LINK_INFO_H
#define NETLIBCTL_LINK_INFO_H

#include <map>
#include <string>
#include <vector>

namespace netlibctl
{

struct LinkInfo {
    unsigned int index = 0;
    unsigned int mtu = 0;
    unsigned int flags = 0;              // all 32 bits (ifi_flags), LOWER_UP included
    std::string mac;                     // "aa:bb:cc:dd:ee:ff"; empty when the link has none
    std::string state;                   // as the kernel names it: "up", "down", "unknown", ...
    std::vector<std::string> addresses;  // "10.20.0.5/24", in the kernel's order, aliases included
    std::vector<std::string> gateways;   // of its IPv4 default routes: "10.20.0.1", or "dev" for one without
};

// False when there is no such link or the kernel did not answer.
bool read_link_info(const std::string& name, LinkInfo& info);

// The resolver file's name servers and search domains (the last "search"
// or "domain" line, as the resolver takes it); both empty without a file.
struct ResolverInfo {
    std::vector<std::string> nameservers;
    std::vector<std::string> search;
};
ResolverInfo read_resolver();

// Interface name to the pid of the udhcpc running for it ("-i IFACE" or
// "--interface IFACE" on its command line), the lowest pid when several do.
std::map<std::string, long> dhcp_clients();

}  // namespace netlibctl

#endif
