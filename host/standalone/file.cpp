// pelk::utils::File: a file written through a descriptor, flushed to
// storage when it is closed.
#include <errno.h>
#include <fcntl.h>
#include <pelk/utils.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io.h"

namespace pelk
{
namespace utils
{

namespace
{

constexpr mode_t kFileMode = 0644;

[[nodiscard]] bool open_flags(FILE_OPEN_MODE mode, int& flags)
{
    const int common = O_NOFOLLOW | O_CLOEXEC;
    switch (mode) {
        case FILE_OPEN_READ:
            flags = O_RDONLY | common;
            return true;
        case FILE_OPEN_APPEND:
            flags = O_WRONLY | O_CREAT | O_APPEND | common;
            return true;
        case FILE_OPEN_WRITE:
            flags = O_WRONLY | O_CREAT | O_TRUNC | common;
            return true;
    }
    return false;
}

}  // namespace

File::File() : fd_(-1) {}

File::~File()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int File::Initialize(const std::string& path, FILE_OPEN_MODE mode, unsigned int)
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    int flags = 0;
    if (!open_flags(mode, flags)) {
        HOST_ERR(0, "unknown open mode %d for \"%s\"", static_cast<int>(mode), path.c_str());
        return 0;
    }
    const int fd = standalone::retry_eintr([&] { return ::open(path.c_str(), flags, kFileMode); });
    if (fd < 0) {
        HOST_ERR(errno, "cannot open \"%s\"", path.c_str());
        return 0;
    }
    // The umask would narrow the mode; a file written whole (such as the
    // resolver file) must be readable by everyone.
    if (mode == FILE_OPEN_WRITE && ::fchmod(fd, kFileMode) != 0) {
        HOST_ERR(errno, "cannot set the mode of \"%s\"", path.c_str());
        ::close(fd);
        return 0;
    }
    fd_ = fd;
    return 1;
}

int File::WriteString(const std::string& text)
{
    if (fd_ < 0) {
        HOST_ERR(0, "no file is open");
        return 0;
    }
    const int error = standalone::write_all(fd_, text.data(), text.size());
    if (error != 0) {
        HOST_ERR(error, "cannot write %zu bytes", text.size());
        return 0;
    }
    return 1;
}

int File::Close()
{
    if (fd_ < 0) {
        HOST_ERR(0, "no file is open");
        return 0;
    }
    int fd = fd_;
    fd_ = -1;
    // Flushed before close, so that a rename over the real file that
    // follows cannot leave it empty after a power loss.
    bool synced = ::fsync(fd) == 0;
    if (!synced)
        HOST_ERR(errno, "cannot flush the file to storage");
    // Linux releases the descriptor even when close fails: never retried.
    if (::close(fd) != 0) {
        HOST_ERR(errno, "cannot close the file");
        return 0;
    }
    return synced ? 1 : 0;
}

}  // namespace utils
}  // namespace pelk
