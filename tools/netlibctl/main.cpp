// netlibctl: a command-line host of libpelk_network_utils_core. Parses the
// line, sets the host's log threshold and runs the one command chosen.
#include <dlfcn.h>
#include <pelk/host.h>
#include <pelk/log.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "commands.h"
#include "netlib_config.h"
#include "session.h"

namespace
{

struct GlobalOptions {
    int log_level = PELK_LOG_NOTICE;
    bool quiet = false;
    bool json = false;
};

void add_global_options(CLI::App& app, GlobalOptions& global)
{
    CLI::Option* level =
        app.add_option("--log-level", global.log_level, "Host log threshold: 3 failures, 4 failures and notices")
            ->check(CLI::Range(0, 7))
            ->capture_default_str();
    app.add_flag("-q,--quiet", global.quiet, "Failures only (log level 3)")->excludes(level);
    app.add_flag("--json", global.json, "JSON output (without a command: status as JSON)");
}

// The file the dynamic loader took the library from, links resolved: its
// name carries the full version of what actually runs.
std::string loaded_library()
{
    Dl_info info{};
    const auto symbol = reinterpret_cast<void*>(&pelk::network::netlib_libiface_init);
    if (dladdr(symbol, &info) == 0 || info.dli_fname == nullptr)
        return "(unknown)";
    char resolved[PATH_MAX];
    return realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
}

// One "what: value" line each, so that scripts can pick a line.
std::string version_text()
{
    return std::string("netlibctl " NETLIB_VERSION
                       "\n"
                       "library: " NETLIB_SONAME " " NETLIB_VERSION ", loaded from ") +
           loaded_library() +
           "\n"
           "ip program: " NETLIB_IP_PROGRAM
           "\n"
           "route program: " NETLIB_ROUTE_PROGRAM
           "\n"
           "DHCP client: " NETLIB_DHCP_PROGRAM
           "\n"
           "DHCP hook: " NETLIB_DHCP_HOOK;
}

// The parsed command; status when the line names none.
const netlibctl::Command* chosen_command(const netlibctl::CommandList& commands)
{
    for (const auto& command : commands) {
        if (command.app->parsed())
            return &command;
    }
    for (const auto& command : commands) {
        if (command.app->get_name() == "status")
            return &command;
    }
    return nullptr;
}

// After words the line did not expect: when it chose no command, the first
// word that is not an option was meant as one. False when that is not it.
bool named_unknown_command(const CLI::App& app, const netlibctl::CommandList& commands)
{
    std::vector<std::string> names;
    for (const auto& command : commands) {
        if (command.app->parsed())
            return false;
        names.push_back(command.app->get_name());
    }
    for (const std::string& word : app.remaining()) {
        if (word.compare(0, 1, "-") == 0)
            continue;
        std::string hint;
        for (const std::string& name : netlibctl::nearest(word, names))
            hint += (hint.empty() ? " (did you mean " : " or ") + name;
        netlibctl::complain("unknown command \"" + word + "\"" + (hint.empty() ? "" : hint + "?)"));
        return true;
    }
    return false;
}

int run(int argc, char** argv)
{
    CLI::App app{"Query and configure the device's IPv4 and IPv6 networking through libpelk_network_utils_core.",
                 "netlibctl"};
    // Global options are accepted after the command too.
    app.fallthrough();
    app.require_subcommand(0, 1);
    app.set_version_flag("--version", version_text, "Versions, the library loaded and the programs it runs");

    GlobalOptions global;
    add_global_options(app, global);
    netlibctl::CommandList commands;
    netlibctl::add_interface_commands(app, commands);
    netlibctl::add_monitor_command(app, commands);
    netlibctl::add_config_commands(app, commands);
    // The commands that print something show --json in their own help; it sets the global flag.
    for (const auto& command : commands) {
        if (command.takes_json)
            command.app->add_flag("--json", global.json, "JSON output");
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ExtrasError& e) {
        if (!named_unknown_command(app, commands))
            app.exit(e);
        return netlibctl::exit_usage;
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? netlibctl::exit_ok : netlibctl::exit_usage;
    }

    const netlibctl::Command* command = chosen_command(commands);
    if (!command)
        return netlibctl::exit_usage;
    if (global.json && !command->takes_json) {
        netlibctl::complain("--json is not an option of " + command->app->get_name());
        return netlibctl::exit_usage;
    }
    pelk::host::set_log_level(global.quiet ? PELK_LOG_ERR : global.log_level);
    return command->run(global.json);
}

}  // namespace

int main(int argc, char** argv)
{
    int code = netlibctl::exit_failure;
    try {
        code = run(argc, argv);
    } catch (const std::exception& e) {
        netlibctl::complain(std::string("unexpected failure: ") + e.what());
    }
    // Output that never arrived is a failure, whatever the command did.
    if (!netlibctl::flush_output()) {
        netlibctl::complain(std::string("cannot write the output: ") + std::strerror(netlibctl::output_error()));
        return netlibctl::exit_failure;
    }
    return code;
}
