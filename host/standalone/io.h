// Descriptor helpers: whole reads and writes, retried after EINTR and short
// transfers.
#ifndef PELK_HOST_IO_H
#define PELK_HOST_IO_H

#include <cstddef>

#include "internal.h"

namespace pelk
{
namespace standalone
{

// Writes all size bytes, retrying after EINTR and short writes. 0, or the
// errno of the write that failed. Only system calls: safe after fork.
PELK_HOST_INTERNAL int write_all(int fd, const void* data, std::size_t size);
// Reads exactly size bytes, retrying after EINTR and short reads. 0, the
// errno of the read that failed, or EPIPE at an end of file before size.
PELK_HOST_INTERNAL int read_all(int fd, void* data, std::size_t size);

}  // namespace standalone
}  // namespace pelk

#endif
