// System-call helpers: calls retried after EINTR, whole reads and writes.
#ifndef PELK_HOST_IO_H
#define PELK_HOST_IO_H

#include <errno.h>
#include <sys/types.h>

#include <cstddef>

#include "internal.h"

namespace pelk
{
namespace standalone
{

// call() again for as long as it fails with EINTR; its last result. Adds
// nothing but the loop: safe after fork when call is.
template <typename Call>
[[nodiscard]] auto retry_eintr(Call call) -> decltype(call())
{
    decltype(call()) result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

// Fills size bytes at data from read(buffer, count), a call that behaves
// like read(2), retrying after EINTR and short reads. 0, the errno of the
// call that failed, or EPIPE at an end before size.
template <typename Read>
[[nodiscard]] int read_all(void* data, std::size_t size, Read read)
{
    char* next = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = retry_eintr([&] { return read(next, size); });
        if (n < 0)
            return errno;
        if (n == 0)
            return EPIPE;
        next += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Reads exactly size bytes from fd, as above.
[[nodiscard]] PELK_HOST_INTERNAL int read_all(int fd, void* data, std::size_t size);
// Writes all size bytes, retrying after EINTR and short writes. 0, or the
// errno of the write that failed. Only system calls: safe after fork.
[[nodiscard]] PELK_HOST_INTERNAL int write_all(int fd, const void* data, std::size_t size);

}  // namespace standalone
}  // namespace pelk

#endif
