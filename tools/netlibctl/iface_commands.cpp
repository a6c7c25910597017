// Read-only interface commands: status, list, show, default.
#include <linux/if_addr.h>
#include <net/if.h>

#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "json_convert.h"
#include "link_info.h"
#include "session.h"

namespace netlibctl
{
namespace
{

using Json = nlohmann::ordered_json;
namespace net = pelk::network;

enum { duplex_half = 0, duplex_full = 1, duplex_unknown = 255 };

// What the library could tell about one interface, and what netlibctl
// read of its link itself; each part is optional because an interface may
// have no address or no link settings. The DHCP client only status shows.
struct IfaceReport {
    std::string name;
    bool have_flags = false;
    int flags = 0;
    bool have_address = false;
    std::string address;
    std::string netmask;
    bool have_link = false;
    int speed = 0;
    int duplex = 0;
    bool have_info = false;
    LinkInfo info;
    std::vector<net::ipv6_address> ipv6;  // empty too where the kernel has no IPv6
    bool with_dhcp = false;
    long dhcp_pid = 0;  // 0: no udhcpc runs for it
};

IfaceReport query_iface(void* ctx, const std::string& name)
{
    IfaceReport report;
    report.name = name;
    report.have_flags = net::netlib_iface_get_flags(ctx, name, report.flags);
    if (!report.have_flags)
        return report;

    ExpectedFailures quiet;
    report.have_address = net::netlib_iface_get_address(ctx, name, report.address) &&
                          net::netlib_iface_get_netmask(ctx, name, report.netmask);
    report.have_link = net::netlib_iface_get_link_speed(ctx, name, report.speed) &&
                       net::netlib_iface_get_link_duplex(ctx, name, report.duplex);
    report.have_info = read_link_info(name, report.info);
    if (!net::netlib_iface_get_ipv6_addresses(ctx, name, report.ipv6))
        report.ipv6.clear();
    return report;
}

std::string duplex_text(int duplex)
{
    switch (duplex) {
        case duplex_half:
            return "half";
        case duplex_full:
            return "full";
        case duplex_unknown:
            return "unknown";
        default:
            return std::to_string(duplex);
    }
}

// Drivers report -1 (all ones) or 0 when they do not know the speed.
bool speed_known(int speed)
{
    return speed > 0;
}

// The library's ioctl gives the low 16 bits of the flags; these come only
// with the kernel's link message.
constexpr unsigned int kLowerUp = 1u << 16, kDormant = 1u << 17, kEcho = 1u << 18;

// In the order and spelling of `ip link`, with RUNNING (which ip leaves
// out) after UP.
std::vector<std::string> flag_names(const IfaceReport& report)
{
    static const struct {
        unsigned int bit;
        const char* name;
    } kNamed[] = {{IFF_LOOPBACK, "LOOPBACK"},
                  {IFF_BROADCAST, "BROADCAST"},
                  {IFF_POINTOPOINT, "POINTOPOINT"},
                  {IFF_MULTICAST, "MULTICAST"},
                  {IFF_NOARP, "NOARP"},
                  {IFF_ALLMULTI, "ALLMULTI"},
                  {IFF_PROMISC, "PROMISC"},
                  {IFF_MASTER, "MASTER"},
                  {IFF_SLAVE, "SLAVE"},
                  {IFF_DEBUG, "DEBUG"},
                  {IFF_DYNAMIC, "DYNAMIC"},
                  {IFF_AUTOMEDIA, "AUTOMEDIA"},
                  {IFF_PORTSEL, "PORTSEL"},
                  {IFF_NOTRAILERS, "NOTRAILERS"},
                  {IFF_UP, "UP"},
                  {IFF_RUNNING, "RUNNING"},
                  {kLowerUp, "LOWER_UP"},
                  {kDormant, "DORMANT"},
                  {kEcho, "ECHO"}};
    const unsigned int flags =
        (static_cast<unsigned int>(report.flags) & 0xFFFFu) | (report.have_info ? report.info.flags & ~0xFFFFu : 0);
    std::vector<std::string> names;
    for (const auto& flag : kNamed) {
        if (flags & flag.bit)
            names.emplace_back(flag.name);
    }
    return names;
}

std::string joined(const std::vector<std::string>& words, const char* separator)
{
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : separator) + word;
    return text;
}

std::string or_dash(const std::string& text)
{
    return text.empty() ? "-" : text;
}

std::string cidr(const net::ipv6_address& a)
{
    return a.address + "/" + std::to_string(a.prefix_length);
}

// The address flags ip prints that tell whether an address can be used
// yet, in ip's order and spelling.
constexpr struct {
    unsigned int bit;
    const char* name;
} kIpv6States[] = {{IFA_F_DADFAILED, "dadfailed"}, {IFA_F_DEPRECATED, "deprecated"}, {IFA_F_TENTATIVE, "tentative"}};

// "2001:db8::5/64 scope global tentative", as ip addr prints it.
std::string ipv6_text(const net::ipv6_address& a)
{
    std::string text = cidr(a) + " scope " + a.scope;
    for (const auto& state : kIpv6States) {
        if (a.flags & state.bit)
            text += std::string(" ") + state.name;
    }
    return text;
}

Json ipv6_json(const net::ipv6_address& a)
{
    Json j{{"address", cidr(a)}, {"scope", a.scope}};
    for (const auto& state : kIpv6States)
        j[state.name] = (a.flags & state.bit) != 0;
    return j;
}

void print_report(const IfaceReport& report)
{
    std::string line = report.name + ": <" + joined(flag_names(report), ",") + ">";
    if (report.have_info) {
        const LinkInfo& i = report.info;
        line += " index " + std::to_string(i.index) + " state " + i.state + " mtu " + std::to_string(i.mtu) + " mac " +
                or_dash(i.mac);
    }
    std::string inet;
    for (const std::string& a : report.info.addresses)
        inet += " " + a;
    line += " inet" + (inet.empty() ? " -" : inet);
    std::string inet6;
    for (const net::ipv6_address& a : report.ipv6)
        inet6 += " " + ipv6_text(a);
    line += " inet6" + (inet6.empty() ? " -" : inet6);
    line +=
        " link " + (report.have_link ? (speed_known(report.speed) ? std::to_string(report.speed) + "Mb/s" : "unknown") +
                                           " " + duplex_text(report.duplex)
                                     : "-");
    line += " gw " + or_dash(joined(report.info.gateways, " "));
    if (report.with_dhcp)
        line += " dhcp " + (report.dhcp_pid != 0 ? std::to_string(report.dhcp_pid) : "-");
    std::printf("%s\n", line.c_str());
}

Json report_json(const IfaceReport& report)
{
    const LinkInfo& i = report.info;
    Json j;
    j["name"] = report.name;
    j["index"] = report.have_info ? Json(i.index) : Json(nullptr);
    j["flags"] = report.flags;
    j["flag_names"] = flag_names(report);
    j["up"] = (report.flags & IFF_UP) != 0;
    j["running"] = (report.flags & IFF_RUNNING) != 0;
    j["broadcast"] = (report.flags & IFF_BROADCAST) != 0;
    j["loopback"] = (report.flags & IFF_LOOPBACK) != 0;
    j["state"] = report.have_info ? Json(i.state) : Json(nullptr);
    j["mtu"] = report.have_info ? Json(i.mtu) : Json(nullptr);
    j["mac"] = i.mac.empty() ? Json(nullptr) : Json(i.mac);
    j["addresses"] = i.addresses;
    j["address"] = report.have_address ? Json(report.address) : Json(nullptr);
    j["netmask"] = report.have_address ? Json(report.netmask) : Json(nullptr);
    j["ipv6_addresses"] = Json::array();
    for (const net::ipv6_address& a : report.ipv6)
        j["ipv6_addresses"].push_back(ipv6_json(a));
    j["speed"] = report.have_link && speed_known(report.speed) ? Json(report.speed) : Json(nullptr);
    j["duplex"] = report.have_link ? Json(duplex_text(report.duplex)) : Json(nullptr);
    j["gateways"] = i.gateways;
    if (report.with_dhcp)
        j["dhcp_pid"] = report.dhcp_pid != 0 ? Json(report.dhcp_pid) : Json(nullptr);
    return j;
}

void print_json(const Json& j)
{
    std::printf("%s\n", json_text(j).c_str());
}

// The library logs a failed enumeration ("getifaddrs() failed") but not an
// empty choice; asking for the interfaces first tells the two apart.
enum class MainIface { chosen, none_qualifies, not_listed };

MainIface main_iface(void* ctx, std::string& name)
{
    std::list<std::string> up;
    if (!net::netlib_get_ifaces(ctx, up, true))
        return MainIface::not_listed;
    return net::netlib_iface_guess_default_iface(ctx, name) ? MainIface::chosen : MainIface::none_qualifies;
}

int run_status(bool json)
{
    Session session;
    if (!session.open())
        return exit_failure;
    std::list<std::string> names;
    if (!net::netlib_get_ifaces(session.ctx(), names, false))
        return exit_failure;

    const std::map<std::string, long> clients = dhcp_clients();
    Json all = Json::array();
    for (const auto& name : names) {
        IfaceReport report = query_iface(session.ctx(), name);
        if (!report.have_flags)
            continue;  // gone since the listing; the library said so
        report.with_dhcp = true;
        const auto client = clients.find(name);
        report.dhcp_pid = client != clients.end() ? client->second : 0;
        if (json)
            all.push_back(report_json(report));
        else
            print_report(report);
    }
    std::string chosen;
    main_iface(session.ctx(), chosen);
    const ResolverInfo dns = read_resolver();
    if (json) {
        print_json(Json{{"interfaces", all},
                        {"main_interface", chosen.empty() ? Json(nullptr) : Json(chosen)},
                        {"dns", {{"nameservers", dns.nameservers}, {"search", dns.search}}}});
    } else {
        std::printf("main interface: %s\n", chosen.empty() ? "none" : chosen.c_str());
        std::printf("dns: nameservers %s search %s\n", or_dash(joined(dns.nameservers, " ")).c_str(),
                    or_dash(joined(dns.search, " ")).c_str());
    }
    return exit_ok;
}

int run_list(bool all, bool json)
{
    // Enumeration needs no context.
    std::list<std::string> names;
    if (!net::netlib_get_ifaces(nullptr, names, !all))
        return exit_failure;
    if (json) {
        print_json(Json(names));
        return exit_ok;
    }
    for (const auto& name : names)
        std::printf("%s\n", name.c_str());
    return exit_ok;
}

// A missing interface: the library's line, then one naming it.
int run_show(const std::string& name, bool json)
{
    Session session;
    if (!session.open())
        return exit_failure;
    const IfaceReport report = query_iface(session.ctx(), name);
    if (!report.have_flags) {
        name_missing_interface(name);
        return exit_failure;
    }
    if (json)
        print_json(report_json(report));
    else
        print_report(report);
    return exit_ok;
}

int run_default(bool json)
{
    Session session;
    if (!session.open())
        return exit_failure;
    std::string chosen;
    const MainIface outcome = main_iface(session.ctx(), chosen);
    if (outcome == MainIface::not_listed)
        return exit_failure;
    if (json)
        print_json(Json{{"main_interface", chosen.empty() ? Json(nullptr) : Json(chosen)}});
    else if (!chosen.empty())
        std::printf("%s\n", chosen.c_str());
    if (outcome == MainIface::none_qualifies) {
        complain("no interface qualifies as the main interface (up, running, broadcast, not loopback)");
        return exit_failure;
    }
    return exit_ok;
}

}  // namespace

// --json is the global option: it falls through from every command.
void add_interface_commands(CLI::App& app, CommandList& commands)
{
    CLI::App* status = app.add_subcommand(
        "status",
        "Every interface (flags, addresses, link, default gateways, DHCP client), the main interface and "
        "the resolver's name servers and search domains (the default command)");
    commands.push_back({status, true, run_status});

    auto all = std::make_shared<bool>(false);
    CLI::App* list = app.add_subcommand("list", "Names of the interfaces that are up");
    list->add_flag("--all", *all, "Interfaces that are down as well");
    commands.push_back({list, true, [all](bool json) { return run_list(*all, json); }});

    auto iface = std::make_shared<std::string>();
    CLI::App* show = app.add_subcommand("show", "One interface, as in status without its DHCP client");
    show->add_option("IFACE", *iface, "Interface name")->required();
    commands.push_back({show, true, [iface](bool json) { return run_show(*iface, json); }});

    CLI::App* main = app.add_subcommand("default", "The main interface the library chooses");
    commands.push_back({main, true, run_default});
}

}  // namespace netlibctl
