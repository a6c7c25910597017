// netlib_netm_configure_static on the device of tests/device-root.sh (eth0,
// its peer 10.99.0.1) against a bare spawner running the same command lines
// and writing the same resolver file: what the library adds on top of the
// outside programs.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "bench.h"

namespace bench
{

namespace
{

const std::string kResolver = "search bench.example\nnameserver 10.99.0.53\n";
Context g_context;

bool lib_configure()
{
    static const std::vector<std::string> nameservers{"10.99.0.53"};
    return pelk::network::netlib_netm_configure_static(&g_context.block, "eth0", "10.99.0.2", "255.255.255.0",
                                                       "10.99.0.1", nameservers, "bench.example", "", false);
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
    if (run({"/bin/ip", "addr", "add", "10.99.0.2/255.255.255.0", "brd", "+", "dev", "eth0", nullptr}) != 0)
        return false;
    for (int i = 0; i < 256 && run({"/bin/route", "del", "default", "gw", "0.0.0.0", "dev", "eth0", nullptr}) == 0;
         ++i) {
    }
    return run({"/bin/route", "add", "default", "gw", "10.99.0.1", "dev", "eth0", nullptr}) == 0 && write_resolver();
}

// Removing the address drops the routes through it: every call starts from
// the same state.
bool fresh_device()
{
    std::remove("/etc/resolv.conf");
    return run({"/bin/ip", "addr", "flush", "dev", "eth0", nullptr}) == 0;
}

// Configures once from a fresh device and checks the resolver file it left.
bool configures(bool (*configure)())
{
    if (!fresh_device() || !configure())
        return false;
    std::ifstream in("/etc/resolv.conf");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) == kResolver;
}

}  // namespace

void register_netm()
{
    if (!pelk::network::netlib_libiface_init(&g_context.block) ||
        run({"/bin/ip", "link", "set", "eth0", "up", nullptr}) != 0 || !configures(lib_configure) ||
        !configures(bare_configure)) {
        g_failed["netm_configure_static"] = "the library or the bare spawner cannot configure eth0 on the device";
        return;
    }
    add_pair("netm_configure_static", timed("a configuration failed", lib_configure, fresh_device),
             timed("a configuration failed", bare_configure, fresh_device), Shape::fixed(10, 41));
}

}  // namespace bench
