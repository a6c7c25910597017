// IPv6 helpers shared by the interface and configuration units, and the
// interface's IPv6 addresses as a query of the interface module.
#define NETLIB_UNIT "netlib_ipv6.cpp"
#include "netlib_ipv6.h"

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "netlib_events_decode.h"
#include "netlib_events_socket.h"
#include "netlib_private.h"

namespace netlib
{
namespace ipv6
{

namespace
{

// Keeps the addresses of one interface from a dump of all of them.
class address_sink final : public nlsock::dump_socket::sink
{
public:
    address_sink(unsigned int index, std::vector<pelk::network::ipv6_address>& out) : index_(index), out_(out) {}
    void reset() override { out_.clear(); }
    int take(const unsigned char* msg) override
    {
        decode::address_message m;
        const nlmsghdr header = decode::load<nlmsghdr>(msg);
        if (header.nlmsg_type != RTM_NEWADDR || !decode::parse_address_message(msg, header.nlmsg_len, m))
            return 0;
        if (m.info.ifa_family != AF_INET6 || m.info.ifa_index != index_ || m.address_len < 16)
            return 0;
        out_.push_back({decode::format_ipv6_compressed(m.address), m.info.ifa_prefixlen,
                        decode::scope_name(m.info.ifa_scope), m.flags});
        return 0;
    }

private:
    unsigned int index_;
    std::vector<pelk::network::ipv6_address>& out_;
};

[[nodiscard]] bool hex_bytes(const char* text, in6_addr& out)
{
    for (std::size_t i = 0; i < 16; ++i) {
        unsigned int byte = 0;
        if (std::sscanf(text + 2 * i, "%2x", &byte) != 1)
            return false;
        out.s6_addr[i] = static_cast<unsigned char>(byte);
    }
    return true;
}

}  // namespace

bool parse_unicast(const std::string& text, in6_addr& out)
{
    if (text.find('\0') != std::string::npos || inet_pton(AF_INET6, text.c_str(), &out) != 1)
        return false;
    return !IN6_IS_ADDR_UNSPECIFIED(&out) && !IN6_IS_ADDR_MULTICAST(&out);
}

bool parse_with_prefix(const std::string& text, in6_addr& address, unsigned int& prefix)
{
    const std::string::size_type slash = text.find('/');
    if (slash == std::string::npos || !parse_unicast(text.substr(0, slash), address))
        return false;
    const std::string digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    prefix = static_cast<unsigned int>(std::stoul(digits));
    return prefix >= 1 && prefix <= 128;
}

bool is_link_local(const in6_addr& address)
{
    return IN6_IS_ADDR_LINKLOCAL(&address);
}

std::string compressed(const in6_addr& address)
{
    return decode::format_ipv6_compressed(address.s6_addr);
}

int read_addresses(unsigned int index, std::vector<pelk::network::ipv6_address>& addresses)
{
    nlsock::dump_socket sock;
    int error = sock.open();
    if (error != 0)
        return error;
    address_sink sink(index, addresses);
    return sock.dump(nlsock::kAddress6Dump, sink);
}

bool read_routes(std::vector<route>& routes)
{
    std::FILE* file = std::fopen("/proc/net/ipv6_route", "re");
    if (file == nullptr)
        return false;
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        char destination[33], name[IFNAMSIZ + 1];
        unsigned int prefix = 0, flags = 0;
        route r{};
        if (std::sscanf(line, "%32s %x %*s %*x %*s %*x %*x %*x %x %16s", destination, &prefix, &flags, name) == 4 &&
            hex_bytes(destination, r.destination)) {
            r.prefix = prefix;
            r.flags = flags;
            r.iface = name;
            routes.push_back(r);
        }
    }
    std::fclose(file);
    return true;
}

}  // namespace ipv6
}  // namespace netlib

namespace pelk
{
namespace network
{

bool netlib_iface_get_ipv6_addresses(void* ctx, const std::string& iface, std::vector<ipv6_address>& addresses)
try {
    if (!netlib::guard_passes(ctx, &netlib_context::iface_state, NETLIB_HERE))
        return false;
    if (!netlib::iface_name_fits(iface)) {
        NETLIB_ERROR("invalid network interface");
        return false;
    }
    const unsigned int index = if_nametoindex(iface.c_str());
    if (index == 0) {
        NETLIB_ERROR_ERRNO(errno, "No such network interface \"%s\"", iface.c_str());
        return false;
    }
    std::vector<ipv6_address> found;
    const int error = netlib::ipv6::read_addresses(index, found);
    if (error != 0) {
        NETLIB_ERROR_ERRNO(error, "netlib: failed to read IPv6 addresses");
        return false;
    }
    addresses.swap(found);
    return true;
}
NETLIB_CONTAIN(false)

}  // namespace network
}  // namespace pelk
