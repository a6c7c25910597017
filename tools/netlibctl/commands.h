// The commands of netlibctl: each file registers its own on the CLI11 app
// together with the function that runs it once the line is parsed.
#ifndef NETLIBCTL_COMMANDS_H
#define NETLIBCTL_COMMANDS_H

#include <CLI/CLI.hpp>
#include <functional>
#include <vector>

namespace netlibctl
{

struct Command {
    CLI::App* app;
    bool takes_json;                    // accepts --json
    std::function<int(bool json)> run;  // json: --json given before the command
};

using CommandList = std::vector<Command>;

// status (the default command), list, show, default
void add_interface_commands(CLI::App& app, CommandList& commands);
void add_monitor_command(CLI::App& app, CommandList& commands);
// up, down, prepare, flush, addr, routes, dns, ipv6, dhcp, static, lease, fallback, init
void add_config_commands(CLI::App& app, CommandList& commands);

}  // namespace netlibctl

#endif
