// The standalone host's write-everything and read-everything helpers.
#include "io.h"

#include <unistd.h>

namespace pelk
{
namespace standalone
{

int write_all(int fd, const void* data, std::size_t size)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = retry_eintr([&] { return ::write(fd, next, size); });
        if (n < 0)
            return errno;
        next += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int read_all(int fd, void* data, std::size_t size)
{
    return read_all(data, size, [fd](void* buffer, std::size_t count) { return ::read(fd, buffer, count); });
}

}  // namespace standalone
}  // namespace pelk
