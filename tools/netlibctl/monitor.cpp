// monitor: prints every link and address event (IPv4 and IPv6) and every
// name server and search domain a router advertises as it arrives, with a
// timestamp, like `ip -ts monitor`. It drives the library the way a host's
// event loop does: it sleeps on the events module's descriptor until the
// kernel has something, drains the queue, and when notifications were lost
// reads what is still queued and resynchronises from the kernel's state, so
// what it shows is complete again. A link event for a link that is gone by
// the time it is printed is marked deleted: the library reports a deletion
// as the link's last state. An IPv6 address event also gets the address
// as status shows it: the payload spells it out in full, which is not the
// form anyone searches a log for.
#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

volatile sig_atomic_t stop_requested = 0;

void request_stop(int)
{
    stop_requested = 1;
}

// SIGINT and SIGTERM stay blocked except inside the wait, so a stop request
// can never slip in between the check and the wait. Returns the mask to
// wait with.
sigset_t catch_stop_signals()
{
    sigset_t stop, waiting;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, &waiting);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGTERM);
    struct sigaction action {
    };
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return waiting;
}

// "2026-12-06T19:21:00.123456+0100": local time, as a log next to it has.
std::string timestamp()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char date[32], zone[8];
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    strftime(zone, sizeof zone, "%z", &local);
    char text[64];
    std::snprintf(text, sizeof text, "%s.%06ld%s", date, now.tv_nsec / 1000, zone);
    return text;
}

struct MonitorOptions {
    unsigned long count = 0;  // 0: no limit
    double timeout = 0;       // seconds; 0: no limit
    bool snapshot = false;    // start with the current links and addresses
};

struct Monitor {
    bool json = false;
    unsigned long limit = 0;
    unsigned long printed = 0;
    bool output_failed = false;  // its reader is gone, or the disk full

    bool done() const { return output_failed || (limit != 0 && printed >= limit); }
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

bool link_deleted(net::event_type type, const pelk::variant::Variant& payload)
{
    if (type != net::event_if_down && type != net::event_if_up && type != net::event_lower_up)
        return false;
    const pelk::variant::Variant* index = payload.Find("ifindex");
    char name[IF_NAMESIZE];
    return index != nullptr && index->IsInteger() && index->AsInt64() > 0 && index->AsInt64() <= UINT_MAX &&
           if_indextoname(static_cast<unsigned int>(index->AsInt64()), name) == nullptr && errno == ENXIO;
}

// "2001:db8::5/64" from an IPv6 address event's "ifaddr" and "prefixlen";
// empty for any other event.
std::string compressed_address(net::event_type type, const pelk::variant::Variant& payload)
{
    if (type != net::event_ipv6_address_assigned && type != net::event_ipv6_address_removed)
        return "";
    const pelk::variant::Variant* address = payload.Find("ifaddr");
    const pelk::variant::Variant* prefix = payload.Find("prefixlen");
    in6_addr parsed{};
    char text[INET6_ADDRSTRLEN] = "";
    if (address == nullptr || !address->IsString() || prefix == nullptr || !prefix->IsInteger() ||
        inet_pton(AF_INET6, address->AsString().c_str(), &parsed) != 1 ||
        inet_ntop(AF_INET6, &parsed, text, sizeof text) == nullptr)
        return "";
    return std::string(text) + "/" + std::to_string(prefix->AsUInt64());
}

std::string event_line(net::event_type type, const pelk::variant::Variant& payload, bool json)
{
    const bool deleted = link_deleted(type, payload);
    const std::string address = compressed_address(type, payload);
    if (json) {
        Json line{{"time", timestamp()}, {"event", event_to_string(type)}, {"payload", variant_to_json(payload)}};
        if (deleted)
            line["deleted"] = true;
        if (!address.empty())
            line["address"] = address;
        return json_text(line);
    }
    std::string line = "[" + timestamp() + "] " + event_to_string(type);
    for (std::size_t i = 0; i < payload.Size(); ++i)
        line += " " + payload.KeyAt(i) + "=" + value_text(payload.ValueAt(i));
    if (!address.empty())
        line += " address " + address;
    return deleted ? line + " deleted" : line;
}

void print_event(net::event_type type, const pelk::variant::Variant& payload, void* user_data)
{
    auto* monitor = static_cast<Monitor*>(user_data);
    if (monitor->done())
        return;
    std::string line = event_line(type, payload, monitor->json) + "\n";
    std::fputs(line.c_str(), stdout);
    monitor->output_failed = !flush_output();
    ++monitor->printed;
}

bool should_stop(const Monitor& monitor, const Clock::time_point* deadline)
{
    return stop_requested || monitor.done() || (deadline && Clock::now() >= *deadline);
}

// Datagrams read per tick: bounded so that a stop request or the deadline
// is noticed during a long burst.
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

// Sleeps until the kernel queues a notification, a stop signal arrives or
// the deadline passes: no wake-up while nothing happens.
void wait_for_events(int fd, const Clock::time_point* deadline, const sigset_t& mask)
{
    pollfd events{fd, POLLIN, 0};
    timespec left{};
    if (deadline) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - Clock::now()).count();
        if (ns <= 0)
            return;
        left.tv_sec = static_cast<time_t>(ns / 1000000000);
        left.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    ppoll(&events, 1, deadline ? &left : nullptr, &mask);
}

int run_monitor(const MonitorOptions& options, bool json)
{
    Monitor monitor;
    monitor.json = json;
    monitor.limit = options.count;
    Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeout));
    const Clock::time_point* until = options.timeout > 0 ? &deadline : nullptr;

    const sigset_t wait_mask = catch_stop_signals();
    Session session;
    if (!session.open() || !session.open_events())
        return exit_failure;
    unsigned int id = 0;
    if (!net::netlib_libevents_subscribe(session.ctx(), print_event, id, &monitor) ||
        !net::netlib_libevents_opt_in(session.ctx(), net::events_ipv6_addresses | net::events_router_dns))
        return exit_failure;

    if (options.snapshot && !net::netlib_libevents_resync(session.ctx()))
        return exit_failure;
    const int fd = net::netlib_libevents_fd(session.ctx());
    while (!should_stop(monitor, until)) {
        tick(session.ctx());
        if (!should_stop(monitor, until))
            wait_for_events(fd, until, wait_mask);
    }
    return exit_ok;  // the session closes the module, subscription and all
}

}  // namespace

// Plain messages: CLI11's own ranges print the limits of a double in full.
const CLI::Validator kEventCount(
    [](std::string& text) -> std::string {
        const bool whole =
            !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
        return whole && std::stoul(text) > 0 ? "" : "a whole number of events, 1 to 999999999";
    },
    "N");

// Bounded so that the deadline stays within the clock's range.
const CLI::Validator kSeconds(
    [](std::string& text) -> std::string {
        char* end = nullptr;
        const double seconds = std::strtod(text.c_str(), &end);
        const bool number = !text.empty() && end != nullptr && *end == '\0' && std::isfinite(seconds);
        return number && seconds >= 0.001 && seconds <= 1.0e9 ? "" : "seconds, from 0.001 to 1000000000";
    },
    "SECONDS");

void add_monitor_command(CLI::App& app, CommandList& commands)
{
    auto options = std::make_shared<MonitorOptions>();
    CLI::App* monitor = app.add_subcommand("monitor",
                                           "Print link and address events (IPv4 and IPv6) and the name servers and "
                                           "search domains routers advertise as they arrive; a link event for a link "
                                           "that no longer exists is marked deleted");
    monitor->add_option("--count", options->count, "Stop after N events")->check(kEventCount);
    monitor->add_option("--timeout", options->timeout, "Stop after SECONDS")->check(kSeconds);
    monitor->add_flag("--snapshot", options->snapshot, "Start with every current link and address (IPv4, then IPv6)");
    commands.push_back({monitor, true, [options](bool json) { return run_monitor(*options, json); }});
}

}  // namespace netlibctl
