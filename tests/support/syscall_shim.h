// Link-time seam for the unit tests: the test binary is linked with
// -Wl,--wrap for the system calls below, so the library's calls land here.
// Each hook, when set, replaces the real call; when unset the real call runs.
#ifndef NETLIB_SYSCALL_SHIM_H
#define NETLIB_SYSCALL_SHIM_H

#include <ifaddrs.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <functional>
#include <vector>

namespace shim
{

extern std::function<int(int fd, unsigned long request, void* arg)> ioctl_hook;
extern std::function<int(int domain, int type, int protocol)> socket_hook;
extern std::function<int(int fd, const struct sockaddr* addr, socklen_t len)> bind_hook;
extern std::function<ssize_t(int fd, void* buf, size_t len, int flags)> recv_hook;
extern std::function<int(struct ifaddrs** out)> getifaddrs_hook;
extern std::function<int(char* name, size_t len)> gethostname_hook;
extern std::function<int(const char* from, const char* to)> rename_hook;
extern std::function<int(int fd, struct sockaddr* addr, socklen_t* len)> getsockname_hook;

// Every ioctl request number seen, in order (hooked or not).
extern std::vector<unsigned long> ioctl_requests;

void reset();

}  // namespace shim

extern "C" {
int __real_ioctl(int fd, unsigned long request, ...);
int __real_socket(int domain, int type, int protocol);
int __real_bind(int fd, const struct sockaddr* addr, socklen_t len);
ssize_t __real_recv(int fd, void* buf, size_t len, int flags);
int __real_getifaddrs(struct ifaddrs** out);
int __real_gethostname(char* name, size_t len);
int __real_rename(const char* from, const char* to);
int __real_getsockname(int fd, struct sockaddr* addr, socklen_t* len);
}

#endif
