// What netlibctl shows of a link beyond the library's queries: index, MTU,
// MAC address, operational state and every IPv4 address, read from the
// kernel of the network namespace netlibctl runs in.
#ifndef NETLIBCTL_LINK_INFO_H
#define NETLIBCTL_LINK_INFO_H

#include <string>
#include <vector>

namespace netlibctl
{

struct LinkInfo {
    unsigned int index = 0;
    unsigned int mtu = 0;
    std::string mac;                     // "aa:bb:cc:dd:ee:ff"; empty when the link has none
    std::string state;                   // as the kernel names it: "up", "down", "unknown", ...
    std::vector<std::string> addresses;  // "10.20.0.5/24", in the kernel's order, aliases included
};

// False when there is no such link or the kernel did not answer.
bool read_link_info(const std::string& name, LinkInfo& info);

}  // namespace netlibctl

#endif
