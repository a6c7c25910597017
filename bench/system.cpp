// The library against the bare system calls and programs it wraps: queries
// on lo against the ioctl; sysExecSimple against posix_spawn and waitpid,
// and from a 4 GiB parent against a 10 MiB one; configuring the device's
// eth0 (peer 10.99.0.1) against a spawner running the same commands.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <pelk/utils.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "bench.h"
#include "netlib_config.h"

extern char** environ;

namespace bench
{
int run(const std::vector<const char*>& argv)
{
    pid_t pid = -1;
    int status = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv.data()), environ) != 0)
        return -1;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace
{
using namespace pelk::network;

Context g_context;  // the interface module open
int g_fd = -1;
const std::string kLo = "lo";

// The request is filled on every call, as any caller must.
bool bare_ioctl(unsigned long request, ifreq& req)
{
    std::memset(&req, 0, sizeof req);
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    return ioctl(g_fd, request, &req) == 0;
}

bool bare_address()
{
    ifreq req;
    sockaddr_in in{};
    const bool ok = bare_ioctl(SIOCGIFADDR, req);
    std::memcpy(&in, &req.ifr_addr, sizeof in);
    benchmark::DoNotOptimize(inet_ntoa(in.sin_addr));
    return ok;
}

const Body kExecTrue = timed("sysExecSimple(/bin/true) did not return 0", [no_args = std::vector<std::string>()] {
    return pelk::utils::sysExecSimple("/bin/true", no_args) == 0;
});

// The parent grows to about `mib` resident (every page written) before and
// shrinks after each repetition, untimed.
Body exec_true_from(double mib)
{
    return [mib](benchmark::State& state) {
        long pages = 0, resident = 0;
        std::ifstream("/proc/self/statm") >> pages >> resident;
        const double missing = mib * (1 << 20) - static_cast<double>(resident * sysconf(_SC_PAGESIZE));
        const std::size_t bytes = static_cast<std::size_t>(std::max(0.0, missing));
        const std::unique_ptr<char[]> grown(new (std::nothrow) char[bytes]);
        if (!grown)
            state.SkipWithError("cannot make the parent that big");
        else
            std::memset(grown.get(), 1, bytes);
        benchmark::DoNotOptimize(grown.get());
        benchmark::ClobberMemory();
        kExecTrue(state);
    };
}

const std::string kResolver = "search bench.example\nnameserver 10.99.0.53\n";

bool lib_configure()
{
    static const std::vector<std::string> nameservers{"10.99.0.53"};
    return netlib_netm_configure_static(&g_context.block, "eth0", "10.99.0.2", "255.255.255.0", "10.99.0.1",
                                        nameservers, "bench.example", "", false);
}

// The resolver file as the library writes it: beside the target, durable,
// renamed over it, the rename made durable.
bool write_resolver()
{
    static unsigned int serial = 0;
    char path[64];
    std::snprintf(path, sizeof path, "/tmp/resolv.conf.%d.%08u", static_cast<int>(getpid()), ++serial);
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write(fd, kResolver.data(), kResolver.size()) == static_cast<ssize_t>(kResolver.size());
    ok = fd >= 0 && fsync(fd) == 0 && ok;
    ok = fd >= 0 && close(fd) == 0 && ok && rename(path, "/etc/resolv.conf") == 0;
    const int dir = open("/etc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = dir >= 0 && fsync(dir) == 0 && ok;
    return (dir < 0 || close(dir) == 0) && ok;
}

bool bare_configure()
{
    if (run({NETLIB_IP_PROGRAM, "addr", "add", "10.99.0.2/255.255.255.0", "brd", "+", "dev", "eth0", nullptr}) != 0)
        return false;
    for (int i = 0;
         i < 256 && run({NETLIB_ROUTE_PROGRAM, "del", "default", "gw", "0.0.0.0", "dev", "eth0", nullptr}) == 0; ++i) {
    }
    return run({NETLIB_ROUTE_PROGRAM, "add", "default", "gw", "10.99.0.1", "dev", "eth0", nullptr}) == 0 &&
           write_resolver();
}

// Removing the address drops the routes through it: every call starts from
// the same state.
bool fresh_device()
{
    std::remove("/etc/resolv.conf");
    return run({NETLIB_IP_PROGRAM, "addr", "flush", "dev", "eth0", nullptr}) == 0;
}

// The library, from a fresh device, leaves the resolver file the bare side writes.
bool same_resolver()
{
    if (!fresh_device() || !lib_configure())
        return false;
    std::ifstream in("/etc/resolv.conf");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) == kResolver;
}

}  // namespace

void register_system()
{
    std::string address;
    g_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool iface = netlib_libiface_init(&g_context.block);
    if (g_fd < 0 || !iface || !netlib_iface_get_address(&g_context.block, kLo, address) || address != "127.0.0.1") {
        g_failed["iface_get_flags"] = g_failed["iface_get_address"] = "no socket, or lo is not up with 127.0.0.1";
    } else {
        const char* failure = "a query on lo failed";
        auto lib_flags = [flags = 0]() mutable { return netlib_iface_get_flags(&g_context.block, kLo, flags); };
        auto lib_address = [text = std::string()]() mutable {
            return netlib_iface_get_address(&g_context.block, kLo, text);
        };
        auto bare_flags = [req = ifreq()]() mutable { return bare_ioctl(SIOCGIFFLAGS, req); };
        add_pair("iface_get_flags", timed(failure, lib_flags), timed(failure, bare_flags), Shape::micro());
        add_pair("iface_get_address", timed(failure, lib_address), timed(failure, bare_address), Shape::micro());
    }

    // The device's own /bin holds only the network tools.
    if (access("/bin/true", X_OK) != 0)
        symlink("/usr/bin/true", "/bin/true");
    auto spawn_true = [argv = std::vector<const char*>{"/bin/true", nullptr}] { return run(argv) == 0; };
    add_pair("exec_vs_spawn", kExecTrue, timed("posix_spawn(/bin/true) did not return 0", spawn_true),
             Shape::fixed(10, 61));
    add_pair("exec_parent_size", exec_true_from(g_smoke ? 64 : 4096), exec_true_from(10), Shape::fixed(40, 15));

    if (!iface || run({NETLIB_IP_PROGRAM, "link", "set", "eth0", "up", nullptr}) != 0 || !same_resolver()) {
        g_failed["netm_configure_static"] = "the library cannot configure eth0 on the device as the spawner does";
        return;
    }
    add_pair("netm_configure_static", timed("a configuration failed", lib_configure, fresh_device),
             timed("a configuration failed", bare_configure, fresh_device), Shape::fixed(10, 41));
}

}  // namespace bench
