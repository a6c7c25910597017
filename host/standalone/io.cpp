// The standalone host's write-everything and read-everything helpers.
#include "io.h"

#include <errno.h>
#include <unistd.h>

namespace pelk
{
namespace standalone
{

int write_all(int fd, const void* data, std::size_t size)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, next, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        next += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int read_all(int fd, void* data, std::size_t size)
{
    char* next = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, next, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EPIPE;
        next += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace standalone
}  // namespace pelk
