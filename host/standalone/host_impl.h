// The standalone host's shared internals: the plain implementations that
// libpelk_host.so exports as pelk::utils and the tests' recording fake host
// delegates to, the error-reporting macro and the write-everything helper.
#ifndef PELK_HOST_IMPL_H
#define PELK_HOST_IMPL_H

#include <pelk/log.h>

#include <cstdarg>
#include <cstddef>
#include <string>
#include <vector>

// Helpers internal to libpelk_host.so: hidden, so that they add nothing to
// its exports.
#define PELK_HOST_INTERNAL __attribute__((visibility("hidden")))

namespace pelk
{
namespace host_impl
{

bool ipv4_address_valid(const std::string& text, bool unicast_only, bool nonzero);
bool ipv4_netmask_valid(const std::string& text, bool nonzero);
// Parses strict dotted decimal into host-order bits; false when malformed.
bool parse_dotted_quad(const std::string& text, unsigned int& value);
void split(const std::string& text, const std::string& separator, std::vector<std::string>& out);
std::string& trim(std::string& text);
std::string vformat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Writes all size bytes, retrying after EINTR and short writes. 0, or the
// errno of the write that failed. Only system calls: safe after fork.
PELK_HOST_INTERNAL int write_all(int fd, const void* data, std::size_t size);
// Reads exactly size bytes, retrying after EINTR and short reads. 0, the
// errno of the read that failed, or EPIPE at an end of file before size.
PELK_HOST_INTERNAL int read_all(int fd, void* data, std::size_t size);

// Reaps, without waiting, the daemons runDaemon started that came back to
// this process as its children (it is PID 1 or a child subreaper) and have
// ended since.
PELK_HOST_INTERNAL void reap_returned_daemons();

// The file name of a source path: log lines name the unit, not the build tree.
constexpr const char* base_name(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/')
            name = p + 1;
    }
    return name;
}

}  // namespace host_impl
}  // namespace pelk

// A failure of the host itself, logged at level 3 under the module
// "pelk_host", the source file and the function.
#define HOST_ERR(errnum, ...)                                                                                   \
    logInternal("pelk_host", pelk::host_impl::base_name(__FILE__), __func__, __LINE__, PELK_LOG_ERR, errnum, 0, \
                __VA_ARGS__)

#endif
