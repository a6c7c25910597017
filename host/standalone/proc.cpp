// writeProc: writes a value into an existing file such as a /proc entry.
#include <errno.h>
#include <fcntl.h>
#include <pelk/log.h>
#include <unistd.h>

#include "io.h"

int writeProc(const std::string& path, const std::string& text)
{
    // No O_CREAT: a missing /proc entry means a missing kernel feature, and
    // creating a plain file in its place would hide that.
    const int fd = pelk::standalone::retry_eintr([&] { return ::open(path.c_str(), O_WRONLY | O_CLOEXEC); });
    if (fd < 0) {
        HOST_ERR(errno, "cannot open \"%s\"", path.c_str());
        return 0;
    }
    const int write_error = pelk::standalone::write_all(fd, text.data(), text.size());
    // close can report a deferred write error.
    bool closed = ::close(fd) == 0;
    if (write_error != 0) {
        HOST_ERR(write_error, "cannot write \"%s\" to \"%s\"", text.c_str(), path.c_str());
        return 0;
    }
    if (!closed) {
        HOST_ERR(errno, "cannot close \"%s\"", path.c_str());
        return 0;
    }
    return 1;
}
