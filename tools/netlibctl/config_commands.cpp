// Configuration commands: each is one library call on a fresh context
// (routes with gateways of both families: one per family), so that the
// command line maps one to one onto the library.
#include <pelk/utils.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "config_check.h"
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
    std::string mode;    // ipv6: slaac, static or off
    bool check = false;  // init: judge the file and say what would be done
    bool clear = false;  // dns: an empty resolver file, on purpose
    bool show = false;   // dns: print the resolver file
};

using LibraryCall = std::function<bool(void* ctx, const ConfigOptions& o)>;
using Runner = std::function<int(const ConfigOptions& o)>;

const char* yes_no(bool value)
{
    return value ? "yes" : "no";
}

// The context goes away with this process, and the records of how the
// interface is configured with it: the commands that write them show them.
void print_records(void* ctx, const std::string& iface)
{
    ExpectedFailures quiet;  // an empty or refused name was reported by the call itself
    std::printf("%s: static=%s fallback=%s\n", iface.c_str(), yes_no(net::netlib_netm_is_static_connection(ctx, iface)),
                yes_no(net::netlib_netm_is_static_fallback_connection(ctx, iface)));
}

int run_on_fresh_context(const LibraryCall& call, const ConfigOptions& o, bool show_records = false)
{
    Session session;
    if (!session.open())
        return exit_failure;
    const bool done = call(session.ctx(), o);
    if (show_records && !o.iface.empty())
        print_records(session.ctx(), o.iface);
    if (!done)
        name_missing_interface(o.iface);
    return done ? exit_ok : exit_failure;
}

Runner library_call(const LibraryCall& call, bool show_records = false)
{
    return [call, show_records](const ConfigOptions& o) { return run_on_fresh_context(call, o, show_records); };
}

// "10.20.0.6/24": the address, and the netmask the prefix length stands for.
bool split_cidr(ConfigOptions& o, std::string& why)
{
    const std::string::size_type slash = o.ip.find('/');
    if (slash == std::string::npos)
        return true;
    const std::string prefix = o.ip.substr(slash + 1);
    if (prefix.empty() || prefix.size() > 2 || prefix.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(prefix) > 32) {
        why = "the prefix length after '/' is a number from 0 to 32";
        return false;
    }
    if (!o.netmask.empty()) {
        why = "give the netmask either as a prefix length or with --netmask, not both";
        return false;
    }
    const unsigned int bits = static_cast<unsigned int>(std::stoi(prefix));
    const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    o.netmask = std::to_string(mask >> 24) + "." + std::to_string((mask >> 16) & 0xff) + "." +
                std::to_string((mask >> 8) & 0xff) + "." + std::to_string(mask & 0xff);
    o.ip.erase(slash);
    return true;
}

// The address may carry its netmask as a prefix length wherever one is
// asked for (A/N); a command whose netmask is required refuses neither.
Runner with_cidr(const Runner& run, bool netmask_required)
{
    return [run, netmask_required](const ConfigOptions& given) {
        ConfigOptions o = given;
        std::string why;
        if (!split_cidr(o, why)) {
            complain(why);
            return static_cast<int>(exit_usage);
        }
        if (netmask_required && o.netmask.empty()) {
            complain("--netmask is required, or a prefix length with the address (--ip 10.20.0.6/24)");
            return static_cast<int>(exit_usage);
        }
        return run(o);
    };
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
                       bool (*call)(void*, const std::string&), bool show_records = false)
{
    add_command(app, commands, name, help,
                library_call([call](void* ctx, const ConfigOptions& o) { return call(ctx, o.iface); }, show_records));
}

constexpr const char* kAddressHelp = "IPv4 address, optionally with a prefix length (10.20.0.6/24)";

void add_address_options(ConfigCommand& c, const char* netmask_help = "Netmask (default: /32, the address alone)")
{
    c.app->add_option("--netmask", c.options.netmask, netmask_help);
    c.app->add_option("--broadcast", c.options.broadcast, "Broadcast address (default: derived from the netmask)");
}

void add_resolver_options(ConfigCommand& c)
{
    c.app
        ->add_option("--nameserver", c.options.nameservers,
                     "Name server, IPv4 or IPv6 (fe80::1%eth0 for a link-local one; repeatable)")
        ->allow_extra_args(false);
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
    ConfigCommand c = add_command(app, commands, name, help,
                                  with_cidr(library_call(
                                                [call](void* ctx, const ConfigOptions& o) {
                                                    return call(ctx, o.iface, o.ip, o.netmask, o.gateway, o.nameservers,
                                                                o.search, o.broadcast, o.fallback);
                                                },
                                                true),
                                            true));
    c.app->add_option("--ip", c.options.ip, kAddressHelp)->required();
    add_address_options(c, "Netmask (required unless --ip has a prefix length)");
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

bool is_ipv6(const std::string& text)
{
    return text.find(':') != std::string::npos;
}

// An IPv6 address carries its prefix length; without one it stands alone
// (/128), as with ip.
int run_ipv6_addr(const ConfigOptions& o)
{
    if (!o.netmask.empty() || !o.broadcast.empty()) {
        complain(
            "--netmask and --broadcast are for IPv4 addresses; an IPv6 address takes its prefix length "
            "(2001:db8::5/64)");
        return exit_usage;
    }
    const std::string address = o.ip.find('/') == std::string::npos ? o.ip + "/128" : o.ip;
    return run_on_fresh_context(
        [&address](void* ctx, const ConfigOptions& opts) {
            return net::netlib_netm_configure_ipv6_addr(ctx, opts.iface, address);
        },
        o);
}

void add_addr_command(CLI::App& app, CommandList& commands)
{
    const Runner ipv4 =
        with_cidr(library_call([](void* ctx, const ConfigOptions& o) {
                      return net::netlib_netm_configure_ip_addr(ctx, o.iface, o.ip, o.netmask, o.broadcast);
                  }),
                  false);
    ConfigCommand c =
        add_command(app, commands, "addr", "Add an IPv4 or IPv6 address to IFACE",
                    [ipv4](const ConfigOptions& o) { return is_ipv6(o.ip) ? run_ipv6_addr(o) : ipv4(o); });
    c.app
        ->add_option("IP", c.options.ip,
                     "IPv4 address, optionally with a prefix length (10.20.0.6/24), or IPv6 address with one "
                     "(2001:db8::5/64)")
        ->required();
    add_address_options(c);
}

void add_fallback_command(CLI::App& app, CommandList& commands)
{
    ConfigCommand c = add_command(app, commands, "fallback", "Assign IFACE its static fallback address",
                                  with_cidr(library_call(
                                                [](void* ctx, const ConfigOptions& o) {
                                                    return net::netlib_netm_configure_static_fallback(
                                                        ctx, o.iface, o.ip, o.netmask, o.broadcast);
                                                },
                                                true),
                                            false));
    c.app->add_option("--ip", c.options.ip, kAddressHelp)->required();
    add_address_options(c);
}

// The gateways of each family replace that family's default routes only.
// The IPv4 ones are judged here as the library judges them: the family
// holding a refused gateway is then called first, and refuses with its own
// lines before anything changes. Otherwise IPv6 goes first, since it also
// refuses an interface that does not exist before deleting anything.
bool configure_both_families(void* ctx, const ConfigOptions& o)
{
    std::vector<std::string> ipv4, ipv6;
    for (const std::string& word : o.gateways) {
        std::istringstream tokens(word);  // a word may hold several, as the library's text does
        for (std::string token; tokens >> token;)
            (is_ipv6(token) ? ipv6 : ipv4).push_back(token);
    }
    if (ipv6.empty())  // as before IPv6: the text whole, blank or empty
        return net::netlib_netm_configure_routes(ctx, o.iface, join_with_spaces(o.gateways));
    const bool ipv4_refused = std::any_of(ipv4.begin(), ipv4.end(), [](const std::string& gateway) {
        return !pelk::utils::ipv4_address_valid(gateway, false, true);
    });
    if (ipv4_refused)
        return net::netlib_netm_configure_routes(ctx, o.iface, join_with_spaces(ipv4));
    return net::netlib_netm_configure_ipv6_routes(ctx, o.iface, join_with_spaces(ipv6)) &&
           (ipv4.empty() || net::netlib_netm_configure_routes(ctx, o.iface, join_with_spaces(ipv4)));
}

void add_routes_command(CLI::App& app, CommandList& commands)
{
    ConfigCommand c = add_command(app, commands, "routes", "Replace the default routes of IFACE, of each family given",
                                  library_call(configure_both_families));
    c.app->add_option("GATEWAY", c.options.gateways,
                      "Gateways, IPv4 or IPv6 (none: an IPv4 default route straight through IFACE)");
}

constexpr const char* kResolverFile = "/etc/resolv.conf";

int show_resolver_file()
{
    std::FILE* file = std::fopen(kResolverFile, "re");
    if (file == nullptr) {
        complain(std::string("cannot read ") + kResolverFile + ": " + std::strerror(errno));
        return exit_failure;
    }
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        std::fwrite(buffer, 1, n, stdout);
    std::fclose(file);
    return exit_ok;
}

// Emptying the resolver file takes --clear: a bare "dns IFACE" is far more
// likely a slip than a wish to switch name resolution off.
int run_dns(const ConfigOptions& o)
{
    if (o.show)
        return show_resolver_file();
    if (o.iface.empty()) {
        complain("dns: IFACE is required (or --show)");
        return exit_usage;
    }
    if (!o.clear && o.nameservers.empty() && o.search.empty()) {
        complain("dns: give --nameserver or --search, or --clear to empty the resolver file");
        return exit_usage;
    }
    return run_on_fresh_context(
        [](void* ctx, const ConfigOptions& opts) {
            // An IPv4 list goes where it always went, with the same lines.
            if (std::any_of(opts.nameservers.begin(), opts.nameservers.end(), is_ipv6))
                return net::netlib_netm_configure_dns_dual(ctx, opts.iface, opts.nameservers, opts.search);
            return net::netlib_netm_configure_dns(ctx, opts.iface, opts.nameservers, opts.search);
        },
        o);
}

void add_dns_command(CLI::App& app, CommandList& commands)
{
    auto options = std::make_shared<ConfigOptions>();
    CLI::App* dns = app.add_subcommand("dns", "Rewrite the resolver file, empty it, or show it");
    dns->add_option("IFACE", options->iface, "Interface name (required unless --show)");
    commands.push_back({dns, false, [options](bool) { return run_dns(*options); }});
    ConfigCommand c{dns, *options};
    add_resolver_options(c);
    CLI::Option* clear = dns->add_flag("--clear", options->clear, "Replace the resolver file with an empty one");
    CLI::Option* show = dns->add_flag("--show", options->show, "Print the resolver file");
    clear->excludes("--nameserver", "--search", show);
    show->excludes("--nameserver", "--search", "IFACE");
}

// A mode that is not one is a usage error naming the three.
const CLI::Validator kIpv6Mode(
    [](std::string& text) -> std::string {
        if (std::find(kIpv6Modes.begin(), kIpv6Modes.end(), text) != kIpv6Modes.end())
            return "";
        const std::vector<std::string> near = nearest(text, kIpv6Modes);
        return "unknown mode \"" + text + "\"" + (near.empty() ? "" : " (did you mean " + near.front() + "?)") +
               "; the modes are slaac, static and off";
    },
    "MODE");

void add_ipv6_command(CLI::App& app, CommandList& commands)
{
    ConfigCommand c = add_command(app, commands, "ipv6", "Set how IFACE takes part in IPv6: slaac, static or off",
                                  library_call([](void* ctx, const ConfigOptions& o) {
                                      const net::ipv6_mode mode = o.mode == "slaac"    ? net::ipv6_slaac
                                                                  : o.mode == "static" ? net::ipv6_static
                                                                                       : net::ipv6_off;
                                      return net::netlib_netm_configure_ipv6_mode(ctx, o.iface, mode);
                                  }));
    c.app
        ->add_option("MODE", c.options.mode,
                     "slaac (addresses from router advertisements), static (only as configured) or off")
        ->required()
        ->check(kIpv6Mode);
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
    if (!check_config(config, why)) {
        complain("config " + o.config_path + ": " + why);
        return exit_usage;
    }
    if (o.check) {
        std::printf("%s\n", planned_configuration(config, o.iface).c_str());
        return exit_ok;
    }
    return run_on_fresh_context(
        [&config](void* ctx, const ConfigOptions& opts) {
            return net::netlib_netm_init_network(ctx, opts.iface, config);
        },
        o, true);
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
    c.app->add_flag("--check", c.options.check, "Judge the file and print what would be done; change nothing");
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
    add_ipv6_command(app, commands);
    add_iface_command(app, commands, "dhcp", "Start the DHCP client on IFACE", start_dhcp_client, true);
    add_full_config_command(app, commands, "static", "Apply a static configuration to IFACE",
                            net::netlib_netm_configure_static);
    add_full_config_command(app, commands, "lease", "Apply a DHCP lease to IFACE (the DHCP client's hook)",
                            apply_lease);
    add_fallback_command(app, commands);
    add_init_command(app, commands);
}

}  // namespace netlibctl
