// The start-up configuration file judged before the library is called.
#ifndef NETLIBCTL_CONFIG_CHECK_H
#define NETLIBCTL_CONFIG_CHECK_H

#include <pelk/variant.h>

#include <string>
#include <vector>

namespace netlibctl
{

// False, with why naming the key path (and for an unknown key the nearest
// known one), when the tree holds a key the library does not read where it
// reads keys, a known key of another type than the library reads, or an
// IPv6 mode the library does not know (or "off" beside an address or a
// gateway), or a text the library would refuse before changing anything
// (a gateway, an IPv6 address, a fallback address when the static one is
// refused).
bool check_config(const pelk::variant::Variant& config, std::string& why);

// The IPv6 modes, as the ipv6 command and the key ipv6/mode name them.
extern const std::vector<std::string> kIpv6Modes;

// One line: what netlib_netm_init_network would configure on iface.
std::string planned_configuration(const pelk::variant::Variant& config, const std::string& iface);

}  // namespace netlibctl

#endif
