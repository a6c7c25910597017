// Configuration commands: each is exactly one library call on a fresh
// context, so that the command line maps one to one onto the library.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "json_convert.h"
#include "session.h"

namespace netlibctl
{
namespace
{

namespace net = pelk::network;

// The options of every configuration command; each command binds the ones
// it takes.
struct ConfigOptions {
    std::string iface;
    std::string ip;
    std::string netmask;
    std::string broadcast;
    std::string gateway;
    std::vector<std::string> gateways;
    std::vector<std::string> nameservers;
    std::string search;
    bool fallback = false;
    std::string config_path;
};

using LibraryCall = std::function<bool(void* ctx, const ConfigOptions& o)>;
using Runner = std::function<int(const ConfigOptions& o)>;

int run_on_fresh_context(const LibraryCall& call, const ConfigOptions& o)
{
    Session session;
    if (!session.open())
        return exit_failure;
    return call(session.ctx(), o) ? exit_ok : exit_failure;
}

Runner library_call(const LibraryCall& call)
{
    return [call](const ConfigOptions& o) { return run_on_fresh_context(call, o); };
}

struct ConfigCommand {
    CLI::App* app;
    ConfigOptions& options;
};

// A command on IFACE; the caller adds the further options it takes.
ConfigCommand add_command(CLI::App& app, CommandList& commands, const char* name, const char* help, const Runner& run)
{
    auto options = std::make_shared<ConfigOptions>();
    CLI::App* command = app.add_subcommand(name, help);
    command->add_option("IFACE", options->iface, "Interface name")->required();
    commands.push_back({command, false, [options, run](bool) { return run(*options); }});
    return {command, *options};
}

void add_iface_command(CLI::App& app, CommandList& commands, const char* name, const char* help,
                       bool (*call)(void*, const std::string&))
{
    add_command(app, commands, name, help,
                library_call([call](void* ctx, const ConfigOptions& o) { return call(ctx, o.iface); }));
}

void add_address_options(ConfigCommand& c, bool netmask_required)
{
    c.app->add_option("--netmask", c.options.netmask, "Netmask")->required(netmask_required);
    c.app->add_option("--broadcast", c.options.broadcast, "Broadcast address (default: derived from the netmask)");
}

void add_resolver_options(ConfigCommand& c)
{
    c.app->add_option("--nameserver", c.options.nameservers, "Name server (repeatable)")->allow_extra_args(false);
    c.app->add_option("--search", c.options.search, "Search domain");
}

std::string join_with_spaces(const std::vector<std::string>& words)
{
    std::string text;
    for (const auto& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

// static and lease: the same options, a different record in the library.
using FullConfigCall = bool (*)(void*, const std::string&, const std::string&, const std::string&, const std::string&,
                                const std::vector<std::string>&, const std::string&, const std::string&, bool);

void add_full_config_command(CLI::App& app, CommandList& commands, const char* name, const char* help,
                             FullConfigCall call)
{
    ConfigCommand c = add_command(app, commands, name, help, library_call([call](void* ctx, const ConfigOptions& o) {
                                      return call(ctx, o.iface, o.ip, o.netmask, o.gateway, o.nameservers, o.search,
                                                  o.broadcast, o.fallback);
                                  }));
    c.app->add_option("--ip", c.options.ip, "IPv4 address")->required();
    add_address_options(c, true);
    c.app->add_option("--gateway", c.options.gateway, "Gateway (several separated by spaces)");
    add_resolver_options(c);
    c.app->add_flag("--fallback", c.options.fallback, "Assign the address as the static fallback");
}

// The two overloads of netlib_netm_configure_dhcp, as plain functions.
bool start_dhcp_client(void* ctx, const std::string& iface)
{
    return net::netlib_netm_configure_dhcp(ctx, iface);
}

bool apply_lease(void* ctx, const std::string& iface, const std::string& ip, const std::string& netmask,
                 const std::string& gateway, const std::vector<std::string>& nameservers, const std::string& search,
                 const std::string& broadcast, bool fallback)
{
    return net::netlib_netm_configure_dhcp(ctx, iface, ip, netmask, gateway, nameservers, search, broadcast, fallback);
}

void add_addr_command(CLI::App& app, CommandList& commands)
{
    ConfigCommand c = add_command(
        app, commands, "addr", "Add an IPv4 address to IFACE", library_call([](void* ctx, const ConfigOptions& o) {
            return net::netlib_netm_configure_ip_addr(ctx, o.iface, o.ip, o.netmask, o.broadcast);
        }));
    c.app->add_option("IP", c.options.ip, "IPv4 address")->required();
    add_address_options(c, false);
}

void add_fallback_command(CLI::App& app, CommandList& commands)
{
    ConfigCommand c =
        add_command(app, commands, "fallback", "Assign IFACE its static fallback address",
                    library_call([](void* ctx, const ConfigOptions& o) {
                        return net::netlib_netm_configure_static_fallback(ctx, o.iface, o.ip, o.netmask, o.broadcast);
                    }));
    c.app->add_option("--ip", c.options.ip, "IPv4 address")->required();
    add_address_options(c, false);
}

void add_routes_command(CLI::App& app, CommandList& commands)
{
    ConfigCommand c =
        add_command(app, commands, "routes", "Replace the default routes of IFACE",
                    library_call([](void* ctx, const ConfigOptions& o) {
                        return net::netlib_netm_configure_routes(ctx, o.iface, join_with_spaces(o.gateways));
                    }));
    c.app->add_option("GATEWAY", c.options.gateways, "Gateways (none: a default route straight through IFACE)");
}

void add_dns_command(CLI::App& app, CommandList& commands)
{
    ConfigCommand c = add_command(app, commands, "dns", "Rewrite the resolver file",
                                  library_call([](void* ctx, const ConfigOptions& o) {
                                      return net::netlib_netm_configure_dns(ctx, o.iface, o.nameservers, o.search);
                                  }));
    add_resolver_options(c);
}

// The file is read before the library is called, so that a bad file
// changes nothing.
int run_init(const ConfigOptions& o)
{
    pelk::variant::Variant config;
    std::string why;
    if (!read_config(o.config_path, config, why)) {
        complain("cannot read config " + o.config_path + ": " + why);
        return exit_usage;
    }
    return run_on_fresh_context(
        [&config](void* ctx, const ConfigOptions& opts) {
            return net::netlib_netm_init_network(ctx, opts.iface, config);
        },
        o);
}

void add_init_command(CLI::App& app, CommandList& commands)
{
    ConfigCommand c =
        add_command(app, commands, "init", "Bring the network up from a JSON configuration file", run_init);
    c.app
        ->add_option("--config", c.options.config_path,
                     "JSON configuration file (at most " + std::to_string(kConfigMaxBytes) +
                         " bytes, objects nested at most " + std::to_string(kConfigMaxDepth) + " levels deep)")
        ->required();
}

}  // namespace

void add_config_commands(CLI::App& app, CommandList& commands)
{
    add_iface_command(app, commands, "up", "Bring IFACE up", net::netlib_netm_connect);
    add_iface_command(app, commands, "down", "Bring IFACE down", net::netlib_netm_disconnect);
    add_iface_command(app, commands, "prepare", "Prepare IFACE for IP configuration (up, all-multicast, MTU 1500)",
                      net::netlib_netm_configure_interface);
    add_iface_command(app, commands, "flush", "Remove every address of IFACE", net::netlib_netm_flush_iface);
    add_addr_command(app, commands);
    add_routes_command(app, commands);
    add_dns_command(app, commands);
    add_iface_command(app, commands, "dhcp", "Start the DHCP client on IFACE", start_dhcp_client);
    add_full_config_command(app, commands, "static", "Apply a static configuration to IFACE",
                            net::netlib_netm_configure_static);
    add_full_config_command(app, commands, "lease", "Apply a DHCP lease to IFACE (the DHCP client's hook)",
                            apply_lease);
    add_fallback_command(app, commands);
    add_init_command(app, commands);
}

}  // namespace netlibctl
