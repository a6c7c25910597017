// Read-only interface commands: status, list, show, default.
#include <net/if.h>

#include <cstdio>
#include <list>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.h"
#include "json_convert.h"
#include "session.h"

namespace netlibctl
{
namespace
{

using Json = nlohmann::ordered_json;
namespace net = pelk::network;

enum { duplex_half = 0, duplex_full = 1, duplex_unknown = 255 };

// What the library could tell about one interface; each part is optional
// because an interface may have no address or no link settings.
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

// The driver reports -1 when it does not know the speed.
std::string speed_text(int speed)
{
    return speed > 0 ? std::to_string(speed) + "Mb/s" : "unknown";
}

std::string flags_text(const IfaceReport& report)
{
    if (!report.have_flags)
        return "-";
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

void print_report(const IfaceReport& report)
{
    std::string inet = report.have_address ? report.address + "/" + report.netmask : "-";
    std::string link = report.have_link ? speed_text(report.speed) + " " + duplex_text(report.duplex) : "-";
    std::printf("%s: %s inet %s link %s\n", report.name.c_str(), flags_text(report).c_str(), inet.c_str(),
                link.c_str());
}

Json report_json(const IfaceReport& report)
{
    Json j;
    j["name"] = report.name;
    if (report.have_flags) {
        j["flags"] = report.flags;
        j["up"] = (report.flags & IFF_UP) != 0;
        j["running"] = (report.flags & IFF_RUNNING) != 0;
        j["broadcast"] = (report.flags & IFF_BROADCAST) != 0;
        j["loopback"] = (report.flags & IFF_LOOPBACK) != 0;
    } else {
        for (const char* key : {"flags", "up", "running", "broadcast", "loopback"})
            j[key] = nullptr;
    }
    j["address"] = report.have_address ? Json(report.address) : Json(nullptr);
    j["netmask"] = report.have_address ? Json(report.netmask) : Json(nullptr);
    j["speed"] = report.have_link ? Json(report.speed) : Json(nullptr);
    j["duplex"] = report.have_link ? Json(duplex_text(report.duplex)) : Json(nullptr);
    return j;
}

void print_json(const Json& j)
{
    std::printf("%s\n", json_text(j).c_str());
}

// An empty choice is not logged by the library, so it is no failure here.
std::string main_iface(void* ctx)
{
    std::string name;
    net::netlib_iface_guess_default_iface(ctx, name);
    return name;
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
        IfaceReport report = query_iface(session.ctx(), name);
        if (json)
            all.push_back(report_json(report));
        else
            print_report(report);
    }
    std::string chosen = main_iface(session.ctx());
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

int run_show(const std::string& name, bool json)
{
    Session session;
    if (!session.open())
        return exit_failure;
    IfaceReport report = query_iface(session.ctx(), name);
    if (!report.have_flags) {
        complain(if_nametoindex(name.c_str()) == 0 ? "no interface \"" + name + "\""
                                                   : "cannot read the flags of \"" + name + "\"");
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
    std::string chosen = main_iface(session.ctx());
    if (json)
        print_json(Json{{"main_interface", chosen.empty() ? Json(nullptr) : Json(chosen)}});
    else if (!chosen.empty())
        std::printf("%s\n", chosen.c_str());
    if (chosen.empty()) {
        complain("no interface qualifies as the main interface (up, running, broadcast, not loopback)");
        return exit_failure;
    }
    return exit_ok;
}

}  // namespace

void add_interface_commands(CLI::App& app, CommandList& commands)
{
    auto status_json = std::make_shared<bool>(false);
    CLI::App* status = app.add_subcommand("status", "Every interface and the main interface (the default command)");
    status->add_flag("--json", *status_json, "JSON output");
    commands.push_back({status, true, [status_json](bool json) { return run_status(json || *status_json); }});

    struct ListOptions {
        bool all = false;
        bool json = false;
    };
    auto list_options = std::make_shared<ListOptions>();
    CLI::App* list = app.add_subcommand("list", "Names of the interfaces that are up");
    list->add_flag("--all", list_options->all, "Interfaces that are down as well");
    list->add_flag("--json", list_options->json, "JSON output");
    commands.push_back(
        {list, true, [list_options](bool json) { return run_list(list_options->all, json || list_options->json); }});

    struct ShowOptions {
        std::string iface;
        bool json = false;
    };
    auto show_options = std::make_shared<ShowOptions>();
    CLI::App* show = app.add_subcommand("show", "One interface, as in status");
    show->add_option("IFACE", show_options->iface, "Interface name")->required();
    show->add_flag("--json", show_options->json, "JSON output");
    commands.push_back(
        {show, true, [show_options](bool json) { return run_show(show_options->iface, json || show_options->json); }});

    auto default_json = std::make_shared<bool>(false);
    CLI::App* main = app.add_subcommand("default", "The main interface the library chooses");
    main->add_flag("--json", *default_json, "JSON output");
    commands.push_back({main, true, [default_json](bool json) { return run_default(json || *default_json); }});
}

}  // namespace netlibctl
