#include <errno.h>
#include <fcntl.h>
#include <pelk/log.h>
#include <unistd.h>

#define HOST_ERR(errnum, ...) \
    logInternal("pelk_host", "proc.cpp", __func__, __LINE__, PELK_LOG_ERR, errnum, 0, __VA_ARGS__)

namespace
{

bool write_whole(int fd, const std::string& text)
{
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int writeProc(const std::string& path, const std::string& text)
{
    // No O_CREAT: a missing /proc entry means a missing kernel feature, and
    // creating a plain file in its place would hide that.
    int fd;
    do
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        HOST_ERR(errno, "cannot open \"%s\"", path.c_str());
        return 0;
    }
    bool written = write_whole(fd, text);
    int write_errno = errno;
    // close can report a deferred write error.
    bool closed = ::close(fd) == 0;
    if (!written) {
        HOST_ERR(write_errno, "cannot write \"%s\" to \"%s\"", text.c_str(), path.c_str());
        return 0;
    }
    if (!closed) {
        HOST_ERR(errno, "cannot close \"%s\"", path.c_str());
        return 0;
    }
    return 1;
}
