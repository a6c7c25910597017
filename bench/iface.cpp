// Interface queries on lo: the library's calls against the bare ioctl on an
// open socket.
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>

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

bool bare_address()
{
    ifreq req;
    sockaddr_in in{};
    const bool ok = bare_ioctl(SIOCGIFADDR, req);
    std::memcpy(&in, &req.ifr_addr, sizeof in);
    benchmark::DoNotOptimize(inet_ntoa(in.sin_addr));
    return ok;
}

}  // namespace

void register_iface()
{
    using namespace pelk::network;
    g_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::string address;
    if (g_fd < 0 || !netlib_libiface_init(&g_context.block) ||
        !netlib_iface_get_address(&g_context.block, kLo, address) || address != "127.0.0.1") {
        g_failed["iface_get_flags"] = g_failed["iface_get_address"] = "no socket, or lo is not up with 127.0.0.1";
        return;
    }
    const char* failure = "a query on lo failed";
    add_pair("iface_get_flags",
             timed(failure, [flags = 0]() mutable { return netlib_iface_get_flags(&g_context.block, kLo, flags); }),
             timed(failure, [req = ifreq()]() mutable { return bare_ioctl(SIOCGIFFLAGS, req); }), Shape::micro());
    add_pair("iface_get_address",
             timed(failure,
                   [text = std::string()]() mutable { return netlib_iface_get_address(&g_context.block, kLo, text); }),
             timed(failure, bare_address), Shape::micro());
}

}  // namespace bench
