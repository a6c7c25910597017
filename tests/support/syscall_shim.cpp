#include "syscall_shim.h"

#include <cstdarg>
#include <mutex>

namespace shim
{

std::function<int(int, unsigned long, void*)> ioctl_hook;
std::function<int(int, int, int)> socket_hook;
std::function<int(int, const struct sockaddr*, socklen_t)> bind_hook;
std::function<ssize_t(int, void*, size_t, int)> recv_hook;
std::function<int(struct ifaddrs**)> getifaddrs_hook;
std::function<int(char*, size_t)> gethostname_hook;
std::function<int(const char*, const char*)> rename_hook;
std::function<int(int, struct sockaddr*, socklen_t*)> getsockname_hook;
std::vector<unsigned long> ioctl_requests;

void reset()
{
    ioctl_hook = nullptr;
    socket_hook = nullptr;
    bind_hook = nullptr;
    recv_hook = nullptr;
    getifaddrs_hook = nullptr;
    gethostname_hook = nullptr;
    rename_hook = nullptr;
    getsockname_hook = nullptr;
    ioctl_requests.clear();
}

}  // namespace shim

extern "C" {

int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    {
        // Threads of the concurrency test issue ioctls at the same time.
        static std::mutex requests_mutex;
        std::lock_guard<std::mutex> lock(requests_mutex);
        shim::ioctl_requests.push_back(request);
    }
    if (shim::ioctl_hook)
        return shim::ioctl_hook(fd, request, arg);
    return __real_ioctl(fd, request, arg);
}

int __wrap_socket(int domain, int type, int protocol)
{
    return shim::socket_hook ? shim::socket_hook(domain, type, protocol) : __real_socket(domain, type, protocol);
}

int __wrap_bind(int fd, const struct sockaddr* addr, socklen_t len)
{
    return shim::bind_hook ? shim::bind_hook(fd, addr, len) : __real_bind(fd, addr, len);
}

ssize_t __wrap_recv(int fd, void* buf, size_t len, int flags)
{
    return shim::recv_hook ? shim::recv_hook(fd, buf, len, flags) : __real_recv(fd, buf, len, flags);
}

int __wrap_getifaddrs(struct ifaddrs** out)
{
    return shim::getifaddrs_hook ? shim::getifaddrs_hook(out) : __real_getifaddrs(out);
}

int __wrap_gethostname(char* name, size_t len)
{
    return shim::gethostname_hook ? shim::gethostname_hook(name, len) : __real_gethostname(name, len);
}

int __wrap_rename(const char* from, const char* to)
{
    return shim::rename_hook ? shim::rename_hook(from, to) : __real_rename(from, to);
}

int __wrap_getsockname(int fd, struct sockaddr* addr, socklen_t* len)
{
    return shim::getsockname_hook ? shim::getsockname_hook(fd, addr, len) : __real_getsockname(fd, addr, len);
}
}
