// Decoding and delivering kernel notifications: the library's decoder
// against a libmnl peer building the same payload, and the service call
// against a bare recv of the same datagrams.
#include <dirent.h>
#include <fcntl.h>
#include <pelk_network_utils_core.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "context.h"
#include "corpus.h"
#include "harness.h"
#include "mnl_peer.h"

namespace
{

using namespace bench;
using pelk::network::event_list;

const char* const kDecodeFigure = "nl_event_callback / libmnl walk + std::map payload (recorded messages)";
const char* const kServiceFigure = "netlib_libevents_service per datagram (AF_UNIX replay) / bare recv";

std::string payload_text(const pelk::variant::Variant& payload, const char* key)
{
    const pelk::variant::Variant* v = payload.Find(key);
    return v ? v->AsString() : "<missing>";
}

// The library and the peer must agree before their costs are compared.
bool same_results(std::vector<Message>& messages, std::string& why)
{
    event_list lib;
    PeerList peer;
    for (Message& m : messages) {
        nl_event_callback(m.header(), lib);
        peer_decode(m.header(), peer);
    }
    if (lib.size() != peer.size()) {
        why = fmt("library made %zu events, peer %zu", lib.size(), peer.size());
        return false;
    }
    auto p = peer.begin();
    for (const auto& e : lib) {
        for (const char* key : {"ifname", "eventName", "ifaddr"}) {
            auto found = p->second.find(key);
            const std::string theirs = found == p->second.end() ? "<missing>" : std::get<std::string>(found->second);
            if (static_cast<int>(e.first) != p->first ||
                (found != p->second.end() && payload_text(e.second, key) != theirs)) {
                why = fmt("payloads differ at key %s: \"%s\" vs \"%s\"", key, payload_text(e.second, key).c_str(),
                          theirs.c_str());
                return false;
            }
        }
        ++p;
    }
    return true;
}

Row decode_row(const std::string& id, const std::string& figure, double goal, std::vector<Message>& messages,
               const Options& opt)
{
    if (messages.empty())
        return error_row(id, figure, goal, "no such messages in the corpus");
    std::string why;
    if (!same_results(messages, why))
        return error_row(id, figure, goal, why);
    event_list lib;
    PeerList peer;
    // One call is one pass over the messages, the list emptied after it on
    // both sides (the payloads' destruction is part of their cost).
    auto lib_pass = [&] {
        for (Message& m : messages)
            nl_event_callback(m.header(), lib);
        lib.clear();
    };
    auto peer_pass = [&] {
        for (Message& m : messages)
            peer_decode(m.header(), peer);
        peer.clear();
    };
    const int batch = opt.scale(std::max(20, 4000 / static_cast<int>(messages.size())), 5);
    Paired p = paired(lib_pass, peer_pass, batch, opt.scale(61, 3));
    for (std::vector<double>* v : {&p.lib_ns, &p.bare_ns})
        for (double& x : *v)
            x /= static_cast<double>(messages.size());
    Row row = ratio_row(id, figure, goal, p);
    row.note = fmt("%zu messages; per message: ", messages.size()) + row.note;
    return row;
}

void measure_decode(Corpus& corpus, const Options& opt)
{
    std::vector<Message> links, addresses;
    for (const Message& m : corpus.messages)
        (m.is_link() ? links : addresses).push_back(m);
    emit(decode_row("nl_event_callback", kDecodeFigure, 1.25, corpus.messages, opt), opt);
    emit(decode_row("nl_event_callback_link", "  of which link messages only", NAN, links, opt), opt);
    emit(decode_row("nl_event_callback_addr", "  of which address messages only (if_indextoname)", NAN, addresses, opt),
         opt);
}

std::set<int> open_fds()
{
    std::set<int> fds;
    if (DIR* d = opendir("/proc/self/fd")) {
        const int own = dirfd(d);
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.' && std::atoi(e->d_name) != own)
                fds.insert(std::atoi(e->d_name));
        closedir(d);
    }
    return fds;
}

// The netlink socket that netlib_libevents_init opened: the one new
// AF_NETLINK descriptor.
int find_netlink_fd(const std::set<int>& before)
{
    int found = -1;
    for (int fd : open_fds()) {
        if (before.count(fd))
            continue;
        int domain = 0;
        socklen_t len = sizeof domain;
        if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == AF_NETLINK) {
            if (found >= 0)
                return -1;
            found = fd;
        }
    }
    return found;
}

struct Counter {
    unsigned long events = 0;
};

void count_event(pelk::network::event_type, const pelk::variant::Variant& payload, void* user)
{
    benchmark::DoNotOptimize(&payload);
    ++static_cast<Counter*>(user)->events;
}

void set_buffer(int fd, int force_option, int option, int bytes)
{
    if (setsockopt(fd, SOL_SOCKET, force_option, &bytes, sizeof bytes) != 0)
        setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes);
}

enum class Kinds { All, Link, Address };

bool datagram_is(const Datagram& d, Kinds kinds)
{
    if (kinds == Kinds::All)
        return true;
    const bool link = d.name.find("link") != std::string::npos;
    const bool address = d.name.find("addr") != std::string::npos;
    return kinds == Kinds::Link ? link && !address : address && !link;
}

void measure_service(Corpus& corpus, const Options& opt, Kinds kinds, const std::string& id, const std::string& figure,
                     double goal)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) {
        emit(error_row(id, figure, goal, "socketpair failed"), opt);
        return;
    }
    set_buffer(pair[0], SO_SNDBUFFORCE, SO_SNDBUF, 16 << 20);
    set_buffer(pair[1], SO_RCVBUFFORCE, SO_RCVBUF, 16 << 20);
    OpenContext ctx;
    const std::set<int> before = open_fds();
    Counter counter;
    unsigned int subscription = 0;
    int nl_fd = -1;
    if (ctx.open_events())
        nl_fd = find_netlink_fd(before);
    // The module's socket number now reads the replayed datagrams: the
    // library's own receive, decode and dispatch path, fed from a file.
    const char* failed = nullptr;
    if (nl_fd < 0)
        failed = "cannot find the events module's netlink socket";
    else if (dup3(pair[1], nl_fd, O_CLOEXEC) < 0)
        failed = "cannot put the replay socket in its place";
    else if (!pelk::network::netlib_libevents_subscribe(ctx.get(), count_event, subscription, &counter))
        failed = "cannot subscribe";
    if (failed) {
        emit(error_row(id, figure, goal, failed), opt);
        return;
    }
    // Only datagrams the library takes whole are replayed.
    std::vector<const Datagram*> replay;
    std::vector<unsigned long> events_of;
    std::string refused;
    for (const Datagram& d : corpus.datagrams) {
        if (!datagram_is(d, kinds))
            continue;
        const unsigned long before_count = counter.events;
        send(pair[0], d.bytes.data(), d.bytes.size(), 0);
        if (pelk::network::netlib_libevents_service(ctx.get()) && counter.events > before_count) {
            replay.push_back(&d);
            events_of.push_back(counter.events - before_count);
        } else {
            refused += (refused.empty() ? "" : ", ") + d.name;
        }
    }
    if (replay.empty()) {
        emit(error_row(id, figure, goal, "no datagram was delivered"), opt);
        return;
    }
    unsigned long events_per_pass = 0;
    for (unsigned long n : events_of)
        events_per_pass += n;
    const int passes = opt.scale(4, 1);
    const int batch = static_cast<int>(replay.size()) * passes;
    auto refill = [&] {
        for (int p = 0; p < passes; ++p)
            for (const Datagram* d : replay)
                send(pair[0], d->bytes.data(), d->bytes.size(), 0);
    };
    auto lib = [&] {
        bool ok = pelk::network::netlib_libevents_service(ctx.get());
        benchmark::DoNotOptimize(ok);
    };
    int bare_fd = pair[1];
    auto bare = [&] {
        alignas(8) unsigned char buf[8192];
        ssize_t n = recv(bare_fd, buf, sizeof buf, MSG_DONTWAIT);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
    };
    counter.events = 0;
    const int rounds = opt.scale(61, 3);
    const Paired p = paired(lib, bare, refill, batch, rounds);
    const unsigned long expected = events_per_pass * static_cast<unsigned long>(passes) * (rounds + 2);
    Row row = ratio_row(id, figure, goal, p);
    row.note = fmt("%zu datagrams replayed", replay.size()) + (refused.empty() ? "" : " (not taken: " + refused + ")") +
               "; " + row.note;
    if (counter.events != expected) {
        row.ok = false;
        row.note = fmt("subscriber saw %lu events, expected %lu", counter.events, expected);
    }
    if (kinds == Kinds::All) {
        // What reading each datagram twice (peek for its size, then read)
        // costs against one plain read.
        auto peek_then_recv = [&] {
            alignas(8) unsigned char buf[8192];
            ssize_t n = recv(bare_fd, buf, sizeof buf, MSG_DONTWAIT | MSG_PEEK | MSG_TRUNC);
            n = recv(bare_fd, buf, sizeof buf, MSG_DONTWAIT);
            benchmark::DoNotOptimize(n);
            benchmark::DoNotOptimize(buf);
        };
        const Paired peek = paired(peek_then_recv, bare, refill, batch, opt.scale(21, 3));
        row.note += fmt("; bare peek + recv / recv %.2f", summarize(peek.ratio).median);
    }
    emit(row, opt);
    if (kinds != Kinds::All)
        return;

    // Events a host can take when it calls service in a tight loop.
    Row rate;
    rate.id = "events_per_second";
    rate.figure = "events per second through netlib_libevents_service";
    std::vector<double> per_second;
    for (double ns : p.lib_ns)
        per_second.push_back(static_cast<double>(events_per_pass) / (ns * replay.size()) * 1e9);
    rate.value = summarize(per_second);
    rate.unit = "ev/s";
    rate.note = fmt("%.2f events per datagram, one subscriber", static_cast<double>(events_per_pass) / replay.size());
    emit(rate, opt);

    // The same datagrams queued as a burst and taken by one drain call.
    Row drained;
    drained.id = "events_per_second_drain";
    drained.figure = "events per second through netlib_libevents_drain";
    std::vector<double> drain_rate;
    const unsigned long queued_events = events_per_pass * static_cast<unsigned long>(passes);
    for (int r = 0; r < rounds; ++r) {
        refill();
        const unsigned long before_drain = counter.events;
        const auto start = std::chrono::steady_clock::now();
        const bool ok = pelk::network::netlib_libevents_drain(ctx.get(), UINT_MAX);
        const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        if (!ok || counter.events - before_drain != queued_events) {
            drained.ok = false;
            drained.note =
                fmt("drain delivered %lu events, expected %lu", counter.events - before_drain, queued_events);
            break;
        }
        drain_rate.push_back(static_cast<double>(queued_events) / ns * 1e9);
    }
    if (!drain_rate.empty()) {
        drained.value = summarize(drain_rate);
        if (drained.note.empty())
            drained.note = fmt("%lu events in %d datagrams per call, one subscriber", queued_events, batch);
    }
    drained.unit = "ev/s";
    emit(drained, opt);
    close(pair[0]);
}

}  // namespace

int main(int argc, char** argv)
{
    const Options opt = Options::parse(argc, argv);
    // In a private network namespace only lo exists, so the decoder's name
    // lookup for a recorded interface index behaves the same on every run.
    const bool private_net = unshare(CLONE_NEWNET) == 0;
    Corpus corpus;
    const std::string dir = default_corpus_dir();
    if (!corpus.load(dir)) {
        emit(error_row("nl_event_callback", kDecodeFigure, 1.25, "no recorded messages in " + dir), opt);
        emit(error_row("libevents_service", kServiceFigure, 2.0, "no recorded messages in " + dir), opt);
        return 0;
    }
    if (!private_net)
        std::fprintf(stderr, "netlib_bench_events: no private network namespace; interface names vary\n");
    measure_decode(corpus, opt);
    measure_service(corpus, opt, Kinds::All, "libevents_service", kServiceFigure, 2.0);
    measure_service(corpus, opt, Kinds::Link, "libevents_service_link", "  of which link datagrams only", NAN);
    measure_service(corpus, opt, Kinds::Address, "libevents_service_addr", "  of which address datagrams only", NAN);
    return 0;
}
