// kill_process_by_name: signals every process of one name, found in /proc.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pelk/utils.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "io.h"
#include "spawn.h"

namespace pelk
{
namespace utils
{

namespace
{

// The kernel keeps the first 15 bytes of a process name in comm.
constexpr std::size_t kCommLength = 15;

[[nodiscard]] bool read_comm(const char* pid_text, std::string& comm)
{
    const std::string path = std::string("/proc/") + pid_text + "/comm";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;  // the process is gone already
    char buffer[64];
    const ssize_t n = standalone::retry_eintr([&] { return ::read(fd, buffer, sizeof buffer); });
    ::close(fd);
    if (n <= 0)
        return false;
    comm.assign(buffer, static_cast<std::size_t>(n));  // n > 0: never empty
    if (comm.back() == '\n')
        comm.pop_back();
    return true;
}

[[nodiscard]] bool parse_pid(const char* text, pid_t& pid)
{
    if (*text < '1' || *text > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value <= 0 || value > INT_MAX)
        return false;
    pid = static_cast<pid_t>(value);
    return true;
}

}  // namespace

int kill_process_by_name(const std::string& name, int signal)
{
    standalone::reap_returned_daemons();
    if (name.empty()) {
        HOST_ERR(0, "no process name given");
        return 0;
    }
    const std::string wanted = name.substr(0, kCommLength);
    DIR* proc = ::opendir("/proc");
    if (!proc) {
        HOST_ERR(errno, "cannot list /proc");
        return 0;
    }
    const pid_t self = ::getpid();
    int signalled = 0;
    std::string comm;
    while (struct dirent* entry = ::readdir(proc)) {
        pid_t pid = 0;
        if (!parse_pid(entry->d_name, pid) || pid == self)
            continue;
        if (!read_comm(entry->d_name, comm) || comm != wanted)
            continue;
        if (::kill(pid, signal) == 0)
            ++signalled;
        else if (errno != ESRCH)
            HOST_ERR(errno, "cannot signal \"%s\" (pid %d)", name.c_str(), static_cast<int>(pid));
    }
    ::closedir(proc);
    return signalled;
}

}  // namespace utils
}  // namespace pelk
