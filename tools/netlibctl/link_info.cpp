// A link's index, MTU, MAC address, flags and operational state from one
// RTM_GETLINK request, its IPv4 addresses from getifaddrs, its default
// gateways from /proc/net/route; the resolver file and udhcpc's command
// lines read as they are.
#include "link_info.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace netlibctl
{
namespace
{

// RFC 2863 states, as sysfs and ip name them.
const char* operstate_name(unsigned int state)
{
    static const char* const kNames[] = {"unknown", "notpresent", "down", "lowerlayerdown", "testing", "dormant", "up"};
    return state < sizeof kNames / sizeof kNames[0] ? kNames[state] : "unknown";
}

std::string mac_text(const unsigned char* bytes, std::size_t length)
{
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        char octet[4];
        std::snprintf(octet, sizeof octet, i == 0 ? "%02x" : ":%02x", bytes[i]);
        text += octet;
    }
    return text;
}

// The attributes of one RTM_NEWLINK reply into info.
bool take_link(const nlmsghdr* reply, std::size_t size, LinkInfo& info)
{
    if (!NLMSG_OK(reply, size) || reply->nlmsg_type != RTM_NEWLINK ||
        reply->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return false;
    const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(reply));
    info.flags = link->ifi_flags;
    int remaining = static_cast<int>(IFLA_PAYLOAD(reply));
    for (const rtattr* a = IFLA_RTA(link); RTA_OK(a, remaining); a = RTA_NEXT(a, remaining)) {
        const auto* payload = static_cast<const unsigned char*>(RTA_DATA(a));
        const std::size_t length = RTA_PAYLOAD(a);
        if (a->rta_type == IFLA_MTU && length >= sizeof(std::uint32_t))
            std::memcpy(&info.mtu, payload, sizeof(std::uint32_t));
        else if (a->rta_type == IFLA_ADDRESS)
            info.mac = mac_text(payload, length);
        else if (a->rta_type == IFLA_OPERSTATE && length >= 1)
            info.state = operstate_name(payload[0]);
    }
    return true;
}

bool query_link(unsigned int index, LinkInfo& info)
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return false;
    const timeval bound{5, 0};  // the kernel answers at once; this only bounds a broken one
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    struct {
        nlmsghdr header;
        ifinfomsg link;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.link.ifi_family = AF_UNSPEC;
    request.link.ifi_index = static_cast<int>(index);
    alignas(nlmsghdr) static unsigned char reply[32768];
    bool ok = send(fd, &request, sizeof request, 0) == static_cast<ssize_t>(sizeof request);
    ssize_t got = -1;
    if (ok) {
        do
            got = recv(fd, reply, sizeof reply, 0);
        while (got < 0 && errno == EINTR);
    }
    close(fd);
    info.state = "unknown";
    return got > 0 && take_link(reinterpret_cast<const nlmsghdr*>(reply), static_cast<std::size_t>(got), info);
}

// The address's entry is named by its label: the link's name, or an alias "name:1".
bool labels_link(const char* label, const std::string& name)
{
    if (label == nullptr)
        return false;
    const std::size_t length = std::strcspn(label, ":");
    return length == name.size() && name.compare(0, length, label, length) == 0;
}

int prefix_length(const sockaddr* netmask)
{
    if (netmask == nullptr || netmask->sa_family != AF_INET)
        return 32;
    sockaddr_in in;
    std::memcpy(&in, netmask, sizeof in);
    return __builtin_popcount(in.sin_addr.s_addr);
}

std::vector<std::string> ipv4_addresses(const std::string& name)
{
    std::vector<std::string> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || !labels_link(a->ifa_name, name))
            continue;
        sockaddr_in in;
        std::memcpy(&in, a->ifa_addr, sizeof in);
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        found.push_back(std::string(text) + "/" + std::to_string(prefix_length(a->ifa_netmask)));
    }
    freeifaddrs(list);
    return found;
}

// The kernel prints a route's address as its four bytes read as one
// host-order number: stored back as they are, they are the address.
std::string route_address(unsigned long value)
{
    in_addr address{};
    address.s_addr = static_cast<in_addr_t>(value);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::vector<std::string> default_gateways(const std::string& name)
{
    std::vector<std::string> found;
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);  // the header
    while (std::getline(routes, line)) {
        char iface[IFNAMSIZ + 1] = "";
        unsigned long destination = 0, gateway = 0, flags = 0, mask = 0;
        if (std::sscanf(line.c_str(), "%16s %lx %lx %lx %*s %*s %*s %lx", iface, &destination, &gateway, &flags,
                        &mask) == 5 &&
            name == iface && destination == 0 && mask == 0)
            found.push_back((flags & RTF_GATEWAY) != 0 ? route_address(gateway) : "dev");
    }
    return found;
}

std::string read_text(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The interfaces a udhcpc command line names, in the forms its options take.
std::vector<std::string> named_interfaces(const std::string& cmdline)
{
    std::vector<std::string> args, names;
    for (std::size_t start = 0; start < cmdline.size();) {
        const std::size_t end = std::min(cmdline.find('\0', start), cmdline.size());
        args.push_back(cmdline.substr(start, end - start));
        start = end + 1;
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((a == "-i" || a == "--interface") && i + 1 < args.size())
            names.push_back(args[++i]);
        else if (a.compare(0, 12, "--interface=") == 0)
            names.push_back(a.substr(12));
        else if (a.size() > 2 && a.compare(0, 2, "-i") == 0)
            names.push_back(a.substr(2));
    }
    return names;
}

}  // namespace

ResolverInfo read_resolver()
{
    ResolverInfo resolver;
    std::ifstream file("/etc/resolv.conf");
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string keyword, word;
        words >> keyword;
        if (keyword == "nameserver" && words >> word) {
            resolver.nameservers.push_back(word);
        } else if (keyword == "search" || keyword == "domain") {
            resolver.search.clear();
            while (words >> word)
                resolver.search.push_back(word);
        }
    }
    return resolver;
}

std::map<std::string, long> dhcp_clients()
{
    std::map<std::string, long> clients;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return clients;
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        const std::string dir = std::string("/proc/") + entry->d_name;
        if (pid <= 0 || *end != '\0' || read_text(dir + "/comm") != "udhcpc\n")
            continue;
        for (const std::string& name : named_interfaces(read_text(dir + "/cmdline"))) {
            const auto known = clients.emplace(name, pid);
            if (!known.second && pid < known.first->second)
                known.first->second = pid;
        }
    }
    closedir(proc);
    return clients;
}

bool read_link_info(const std::string& name, LinkInfo& info)
{
    info = LinkInfo();
    info.index = if_nametoindex(name.c_str());
    if (info.index == 0 || !query_link(info.index, info))
        return false;
    info.addresses = ipv4_addresses(name);
    info.gateways = default_gateways(name);
    return true;
}

}  // namespace netlibctl
