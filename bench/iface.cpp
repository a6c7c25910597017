// Interface queries on lo: the library's calls against the bare ioctl on an
// open socket.
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "bench.h"

namespace bench
{

namespace
{

Context g_context;
int g_fd = -1;
const std::string kLo = "lo";

// The request is filled on every call, as any caller must.
bool bare_ioctl(unsigned long request, ifreq& req)
{
    std::memset(&req, 0, sizeof req);
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    return ioctl(g_fd, request, &req) == 0;
}

void lib_flags(benchmark::State& state)
{
    int flags = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(pelk::network::netlib_iface_get_flags(&g_context.block, kLo, flags));
}

void bare_flags(benchmark::State& state)
{
    ifreq req;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bare_ioctl(SIOCGIFFLAGS, req));
        benchmark::DoNotOptimize(req.ifr_flags);
    }
}

void lib_address(benchmark::State& state)
{
    std::string text;
    for (auto _ : state)
        benchmark::DoNotOptimize(pelk::network::netlib_iface_get_address(&g_context.block, kLo, text));
}

void bare_address(benchmark::State& state)
{
    ifreq req;
    for (auto _ : state) {
        sockaddr_in in{};
        if (bare_ioctl(SIOCGIFADDR, req))
            std::memcpy(&in, &req.ifr_addr, sizeof in);
        benchmark::DoNotOptimize(inet_ntoa(in.sin_addr));
    }
}

}  // namespace

void register_iface(const Settings& settings)
{
    g_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::string address;
    if (g_fd < 0 || !pelk::network::netlib_libiface_init(&g_context.block) ||
        !pelk::network::netlib_iface_get_address(&g_context.block, kLo, address) || address != "127.0.0.1") {
        g_failed["iface_get_flags"] = g_failed["iface_get_address"] = "no socket, or lo is not up with 127.0.0.1";
        return;
    }
    settings.micro(add("iface_get_flags", "lib", lib_flags));
    settings.micro(add("iface_get_flags", "ref", bare_flags));
    settings.micro(add("iface_get_address", "lib", lib_address));
    settings.micro(add("iface_get_address", "ref", bare_address));
}

}  // namespace bench
