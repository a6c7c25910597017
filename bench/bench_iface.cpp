// Interface operations against the bare system calls they wrap, and the
// cost of choosing the main interface as the number of interfaces grows.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pelk_network_utils_core.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "context.h"
#include "harness.h"
#include "spawner.h"

namespace
{

using namespace bench;

class BareSocket
{
public:
    BareSocket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~BareSocket()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    BareSocket(const BareSocket&) = delete;
    BareSocket& operator=(const BareSocket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

void measure_ioctls(const Options& opt)
{
    const char* flags_figure = "netlib_iface_get_flags(lo) / bare ioctl(SIOCGIFFLAGS)";
    const char* addr_figure = "netlib_iface_get_address(lo, text) / bare ioctl(SIOCGIFADDR) + inet_ntoa";
    OpenContext ctx;
    BareSocket bare;
    if (!ctx.open_iface() || bare.fd() < 0) {
        emit(error_row("iface_get_flags", flags_figure, 1.10, "cannot open the interface module or a socket"), opt);
        emit(error_row("iface_get_address", addr_figure, 1.15, "cannot open the interface module or a socket"), opt);
        return;
    }
    const std::string lo = "lo";
    const int batch = opt.scale(2000, 200);
    const int rounds = opt.scale(61, 5);

    int flags = 0;
    auto lib_flags = [&] {
        bool ok = pelk::network::netlib_iface_get_flags(ctx.get(), lo, flags);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(flags);
    };
    auto bare_flags = [&] {
        ifreq req;
        std::strncpy(req.ifr_name, lo.c_str(), IFNAMSIZ);
        int rc = ioctl(bare.fd(), SIOCGIFFLAGS, &req);
        benchmark::DoNotOptimize(rc);
        benchmark::DoNotOptimize(req.ifr_flags);
    };
    lib_flags();
    if (!pelk::network::netlib_iface_get_flags(ctx.get(), lo, flags) || !(flags & IFF_LOOPBACK)) {
        emit(error_row("iface_get_flags", flags_figure, 1.10, "netlib_iface_get_flags(lo) failed"), opt);
    } else {
        emit(ratio_row("iface_get_flags", flags_figure, 1.10, paired(lib_flags, bare_flags, batch, rounds)), opt);
    }

    std::string text;
    auto lib_addr = [&] {
        bool ok = pelk::network::netlib_iface_get_address(ctx.get(), lo, text);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(text.data());
    };
    auto bare_addr = [&] {
        ifreq req;
        std::strncpy(req.ifr_name, lo.c_str(), IFNAMSIZ);
        int rc = ioctl(bare.fd(), SIOCGIFADDR, &req);
        benchmark::DoNotOptimize(rc);
        const char* s = inet_ntoa(reinterpret_cast<sockaddr_in*>(&req.ifr_addr)->sin_addr);
        benchmark::DoNotOptimize(s);
    };
    if (!pelk::network::netlib_iface_get_address(ctx.get(), lo, text) || text != "127.0.0.1") {
        emit(error_row("iface_get_address", addr_figure, 1.15, "lo does not answer 127.0.0.1: " + text), opt);
    } else {
        emit(ratio_row("iface_get_address", addr_figure, 1.15, paired(lib_addr, bare_addr, batch, rounds)), opt);
    }
}

// Adds veth pairs in the current (private) namespace until `count`
// interfaces exist, all up; the first is named ap0, the preferred name, so
// the choice logs nothing however many candidates there are.
bool grow_interfaces(const std::string& ip, int& made, int count)
{
    std::string batch;
    for (; made < count; made += 2) {
        const int pair = made / 2;
        const std::string a = pair == 0 ? "ap0" : "bnA" + std::to_string(pair);
        const std::string b = "bnB" + std::to_string(pair);
        batch += "link add " + a + " type veth peer name " + b + "\n";
        batch += "link set " + a + " up\nlink set " + b + " up\n";
    }
    char path[] = "/tmp/netlib-bench-ipbatch.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return false;
    bool written = write(fd, batch.data(), batch.size()) == static_cast<ssize_t>(batch.size());
    close(fd);
    CommandLine cmd(ip, {"-batch", path});
    bool ok = written && cmd.run() == 0;
    unlink(path);
    return ok;
}

// What the choice costs without the library: the same enumeration and one
// flags query per interface that is up.
bool bare_choice(int fd)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (const ifaddrs* e = list; e; e = e->ifa_next) {
        if (!e->ifa_addr || e->ifa_addr->sa_family != AF_PACKET || !(e->ifa_flags & IFF_UP))
            continue;
        ifreq req;
        std::strncpy(req.ifr_name, e->ifa_name, IFNAMSIZ);
        if (ioctl(fd, SIOCGIFFLAGS, &req) == 0 && (req.ifr_flags & 0x4A) == 0x42)
            found = true;
    }
    freeifaddrs(list);
    return found;
}

void measure_default_choice(const Options& opt)
{
    const int sizes[] = {2, 20, 200};
    const std::string ip = find_program("ip");
    if (unshare(CLONE_NEWNET) != 0 || ip.empty()) {
        for (int n : sizes)
            emit(error_row(fmt("guess_default_%d", n), fmt("netlib_iface_guess_default_iface, %d interfaces", n), NAN,
                           "needs root (a private network namespace) and iproute2"),
                 opt);
        return;
    }
    // The sockets must belong to the new namespace.
    OpenContext ctx;
    BareSocket bare;
    if (!ctx.open_iface() || bare.fd() < 0)
        return;
    int made = 0;
    double lib_ns[3] = {NAN, NAN, NAN};
    double bare_ns[3] = {NAN, NAN, NAN};
    for (int i = 0; i < 3; ++i) {
        const int n = sizes[i];
        const std::string id = fmt("guess_default_%d", n);
        const std::string figure = fmt("netlib_iface_guess_default_iface, %d interfaces", n);
        if (!grow_interfaces(ip, made, n)) {
            emit(error_row(id, figure, NAN, "could not create the veth interfaces"), opt);
            return;
        }
        usleep(opt.scale(300000, 10000));  // let the new links settle
        std::string chosen;
        auto guess = [&] {
            bool ok = pelk::network::netlib_iface_guess_default_iface(ctx.get(), chosen);
            benchmark::DoNotOptimize(ok);
        };
        auto bare_guess = [&] {
            bool ok = bare_choice(bare.fd());
            benchmark::DoNotOptimize(ok);
        };
        const Paired p = paired(guess, bare_guess, opt.scale(std::max(2, 2000 / n), 1), opt.scale(21, 3), 1);
        Row row;
        row.id = id;
        row.figure = figure;
        row.value = summarize(p.lib_ns);
        row.unit = "us";
        lib_ns[i] = row.value.median;
        bare_ns[i] = summarize(p.bare_ns).median;
        row.value.median /= 1e3;
        row.value.q1 /= 1e3;
        row.value.q3 /= 1e3;
        row.note = fmt("chose \"%s\"; %.0f ns per interface; bare getifaddrs + %d ioctls %s (lib/bare %.2f)",
                       chosen.c_str(), lib_ns[i] / n, n, duration_text(bare_ns[i]).c_str(), summarize(p.ratio).median);
        if (chosen != "ap0") {
            row.ok = false;
            row.note = "expected ap0, chose \"" + chosen + "\"";
        }
        emit(row, opt);
    }
    // Linear growth makes the 200-interface call at most ten times the
    // 20-interface one; the bare peer shows how much of the growth is the
    // platform's enumeration rather than the library.
    Row growth;
    growth.id = "guess_default_growth";
    growth.figure = "guess_default_iface growth 20 -> 200 interfaces (linear <= 10x)";
    growth.value.median = growth.value.q1 = growth.value.q3 = lib_ns[2] / lib_ns[1];
    growth.unit = "x";
    growth.note = fmt("bare getifaddrs + ioctls grows %.1fx; 2 -> 20 interfaces: lib %.1fx, bare %.1fx",
                      bare_ns[2] / bare_ns[1], lib_ns[1] / lib_ns[0], bare_ns[1] / bare_ns[0]);
    emit(growth, opt);
}

}  // namespace

int main(int argc, char** argv)
{
    const Options opt = Options::parse(argc, argv);
    // "--only ioctl" or "--only guess" runs one part, e.g. under perf.
    const std::string only = opt.rest.size() == 2 && opt.rest[0] == "--only" ? opt.rest[1] : "";
    if (only.empty() || only == "ioctl")
        measure_ioctls(opt);
    if (only.empty() || only == "guess")
        measure_default_choice(opt);
    return 0;
}
