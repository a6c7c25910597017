// Read-only interface commands: status, list, show, default.
#include <net/if.h>

#include <cstdio>
#include <list>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

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
// have no address or no link settings.
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

std::string flags_text(const IfaceReport& report)
{
    static const struct {
        int bit;
        const char* name;
    } shown[] = {{IFF_UP, "UP"}, {IFF_RUNNING, "RUNNING"}, {IFF_BROADCAST, "BROADCAST"}, {IFF_LOOPBACK, "LOOPBACK"}};
    std::string text;
    for (const auto& flag : shown) {
        if (report.flags & flag.bit)
            text += (text.empty() ? "" : ",") + std::string(flag.name);
    }
    return "<" + text + ">";
}

std::string or_dash(const std::string& text)
{
    return text.empty() ? "-" : text;
}

void print_report(const IfaceReport& report)
{
    std::string line = report.name + ": " + flags_text(report);
    if (report.have_info) {
        const LinkInfo& i = report.info;
        line += " index " + std::to_string(i.index) + " state " + i.state + " mtu " + std::to_string(i.mtu) + " mac " +
                or_dash(i.mac);
    }
    std::string inet;
    for (const std::string& a : report.info.addresses)
        inet += " " + a;
    line += " inet" + (inet.empty() ? " -" : inet);
    line +=
        " link " + (report.have_link ? (speed_known(report.speed) ? std::to_string(report.speed) + "Mb/s" : "unknown") +
                                           " " + duplex_text(report.duplex)
                                     : "-");
    std::printf("%s\n", line.c_str());
}

Json report_json(const IfaceReport& report)
{
    const LinkInfo& i = report.info;
    Json j;
    j["name"] = report.name;
    j["index"] = report.have_info ? Json(i.index) : Json(nullptr);
    j["flags"] = report.flags;
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
    j["speed"] = report.have_link && speed_known(report.speed) ? Json(report.speed) : Json(nullptr);
    j["duplex"] = report.have_link ? Json(duplex_text(report.duplex)) : Json(nullptr);
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

    Json all = Json::array();
    for (const auto& name : names) {
        const IfaceReport report = query_iface(session.ctx(), name);
        if (!report.have_flags)
            continue;  // gone since the listing; the library said so
        if (json)
            all.push_back(report_json(report));
        else
            print_report(report);
    }
    std::string chosen;
    main_iface(session.ctx(), chosen);
    if (json)
        print_json(Json{{"interfaces", all}, {"main_interface", chosen.empty() ? Json(nullptr) : Json(chosen)}});
    else
        std::printf("main interface: %s\n", chosen.empty() ? "none" : chosen.c_str());
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
    CLI::App* status = app.add_subcommand("status", "Every interface and the main interface (the default command)");
    commands.push_back({status, true, run_status});

    auto all = std::make_shared<bool>(false);
    CLI::App* list = app.add_subcommand("list", "Names of the interfaces that are up");
    list->add_flag("--all", *all, "Interfaces that are down as well");
    commands.push_back({list, true, [all](bool json) { return run_list(*all, json); }});

    auto iface = std::make_shared<std::string>();
    CLI::App* show = app.add_subcommand("show", "One interface, as in status");
    show->add_option("IFACE", *iface, "Interface name")->required();
    commands.push_back({show, true, [iface](bool json) { return run_show(*iface, json); }});

    CLI::App* main = app.add_subcommand("default", "The main interface the library chooses");
    commands.push_back({main, true, run_default});
}

}  // namespace netlibctl
