// monitor: prints every link and address event as it arrives, like
// `ip monitor`. It drives the library the way a host's main loop does:
// drain the queue on every tick, then sleep a little; when notifications
// were lost, read what is still queued and resynchronise from the kernel's
// state, so what it shows is complete again.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "json_convert.h"
#include "session.h"

namespace netlibctl
{
namespace
{

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
namespace net = pelk::network;

constexpr long kIdleSleepNs = 20L * 1000 * 1000;

volatile sig_atomic_t stop_requested = 0;

void request_stop(int)
{
    stop_requested = 1;
}

// Without SA_RESTART, so that the idle sleep ends at once.
void catch_stop_signals()
{
    struct sigaction action {
    };
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

struct MonitorOptions {
    unsigned long count = 0;  // 0: no limit
    double timeout = 0;       // seconds; 0: no limit
    bool json = false;
    bool snapshot = false;  // start with the current links and addresses
};

struct Monitor {
    bool json = false;
    unsigned long limit = 0;
    unsigned long printed = 0;

    bool done() const { return limit != 0 && printed >= limit; }
};

// Plain values as they are; texts that would not read as one word quoted.
std::string value_text(const pelk::variant::Variant& value)
{
    if (value.IsString()) {
        const std::string& text = value.AsString();
        if (!text.empty() && text.find_first_of(" \t\n\"=\\") == std::string::npos)
            return text;
    }
    return json_text(variant_to_json(value));
}

std::string event_line(net::event_type type, const pelk::variant::Variant& payload, bool json)
{
    if (json)
        return json_text(Json{{"event", event_to_string(type)}, {"payload", variant_to_json(payload)}});
    std::string line = event_to_string(type);
    for (std::size_t i = 0; i < payload.Size(); ++i)
        line += " " + payload.KeyAt(i) + "=" + value_text(payload.ValueAt(i));
    return line;
}

void print_event(net::event_type type, const pelk::variant::Variant& payload, void* user_data)
{
    auto* monitor = static_cast<Monitor*>(user_data);
    if (monitor->done())
        return;
    std::string line = event_line(type, payload, monitor->json) + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    ++monitor->printed;
}

bool should_stop(const Monitor& monitor, const Clock::time_point* deadline)
{
    return stop_requested || monitor.done() || (deadline && Clock::now() >= *deadline);
}

// Datagrams read per tick: bounded so that a stop request or the deadline
// is noticed during a long burst (256 every 20 ms is over 10000 a second).
constexpr unsigned int kDrainBatch = 256;
// Drain calls that may fail in a row while recovering from an overflow.
constexpr int kRecoveryAttempts = 8;

// Lost notifications: read what is still queued (older than the state the
// resync reports), then report every link and address as it is now.
void recover(void* ctx)
{
    std::fputs("netlibctl: event queue overflowed, notifications were lost; resynchronising\n", stderr);
    for (int i = 0; i < kRecoveryAttempts && !net::netlib_libevents_drain(ctx, UINT_MAX); ++i) {
    }
    net::netlib_libevents_resync(ctx);  // a failure has logged its line; the next overflow tries again
}

void tick(void* ctx)
{
    if (!net::netlib_libevents_drain(ctx, kDrainBatch))
        recover(ctx);
}

void idle()
{
    struct timespec pause = {0, kIdleSleepNs};
    nanosleep(&pause, nullptr);
}

int run_monitor(const MonitorOptions& options, bool json)
{
    Monitor monitor;
    monitor.json = json || options.json;
    monitor.limit = options.count;
    Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeout));
    const Clock::time_point* until = options.timeout > 0 ? &deadline : nullptr;

    catch_stop_signals();
    Session session;
    if (!session.open() || !session.open_events())
        return exit_failure;
    unsigned int id = 0;
    if (!net::netlib_libevents_subscribe(session.ctx(), print_event, id, &monitor))
        return exit_failure;

    if (options.snapshot && !net::netlib_libevents_resync(session.ctx()))
        return exit_failure;
    while (!should_stop(monitor, until)) {
        tick(session.ctx());
        if (!should_stop(monitor, until))
            idle();
    }
    net::netlib_libevents_unsubscribe(session.ctx(), id);
    return exit_ok;
}

}  // namespace

void add_monitor_command(CLI::App& app, CommandList& commands)
{
    auto options = std::make_shared<MonitorOptions>();
    CLI::App* monitor = app.add_subcommand("monitor", "Print link and address events as they arrive");
    monitor->add_option("--count", options->count, "Stop after N events")->check(CLI::PositiveNumber);
    // Bounded so that the deadline stays within the clock's range.
    monitor->add_option("--timeout", options->timeout, "Stop after SECONDS")->check(CLI::Range(0.001, 1.0e9));
    monitor->add_flag("--json", options->json, "One JSON object per line");
    monitor->add_flag("--snapshot", options->snapshot, "Start with every current link and IPv4 address");
    commands.push_back({monitor, true, [options](bool json) { return run_monitor(*options, json); }});
}

}  // namespace netlibctl
