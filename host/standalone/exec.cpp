#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pelk/log.h>
#include <pelk/utils.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

#define HOST_ERR(errnum, ...) \
    logInternal("pelk_host", "exec.cpp", __func__, __LINE__, PELK_LOG_ERR, errnum, 0, __VA_ARGS__)

namespace pelk
{
namespace utils
{

namespace
{

// posix_spawn wants char* const[]; the texts themselves are never written.
std::vector<char*> make_argv(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Spawn attributes shared by both ways of starting a program: the child
// starts with the given (or an empty) signal mask and every signal at its
// default action, whatever the host had blocked or ignored.
class SpawnAttr
{
public:
    SpawnAttr() { ok_ = posix_spawnattr_init(&attr_) == 0; }
    ~SpawnAttr()
    {
        if (ok_)
            posix_spawnattr_destroy(&attr_);
    }
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;

    int setup(const sigset_t* mask, short extra_flags)
    {
        if (!ok_)
            return ENOMEM;
        sigset_t empty, all;
        sigemptyset(&empty);
        sigfillset(&all);
        int rc = posix_spawnattr_setsigmask(&attr_, mask ? mask : &empty);
        if (rc == 0)
            rc = posix_spawnattr_setsigdefault(&attr_, &all);
        if (rc == 0)
            rc = posix_spawnattr_setflags(
                &attr_, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | extra_flags));
        return rc;
    }
    const posix_spawnattr_t* get() const { return &attr_; }

private:
    posix_spawnattr_t attr_;
    bool ok_;
};

class FileActions
{
public:
    FileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~FileActions()
    {
        if (ok_)
            posix_spawn_file_actions_destroy(&actions_);
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;

    int stdin_from_dev_null()
    {
        if (!ok_)
            return ENOMEM;
        return posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
    bool ok_;
};

pid_t wait_for(pid_t pid, int& status)
{
    pid_t r;
    do
        r = ::waitpid(pid, &status, 0);
    while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace

int sysExecSimple(const char* program, const std::vector<std::string>& args)
{
    if (!program || !*program) {
        HOST_ERR(0, "no program given");
        return -1;
    }
    const std::string path(program);
    std::vector<char*> argv = make_argv(path, args);
    SpawnAttr attr;
    int rc = attr.setup(nullptr, 0);
    if (rc != 0) {
        HOST_ERR(rc, "cannot prepare to start \"%s\"", program);
        return -1;
    }
    // posix_spawn clones with vfork semantics, so the cost does not grow
    // with the host's memory, and it reports a failed exec as its result.
    pid_t pid = -1;
    rc = posix_spawn(&pid, program, nullptr, attr.get(), argv.data(), environ);
    if (rc != 0) {
        HOST_ERR(rc, "cannot start \"%s\"", program);
        return -1;
    }
    int status = 0;
    if (wait_for(pid, status) < 0) {
        HOST_ERR(errno, "cannot wait for \"%s\" (pid %d)", program, static_cast<int>(pid));
        return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        HOST_ERR(0, "\"%s\" killed by signal %d", program, WTERMSIG(status));
    return -1;
}

namespace
{

// What the intermediate process reports back to the caller.
struct DaemonReport {
    int error;  // 0, or the errno of the step that failed
    pid_t pid;
};

// Closes every descriptor above 2 except keep. Runs in the forked
// intermediate process, so it uses system calls only.
void close_inherited(int keep)
{
    // keep may be below 3 when the host runs with its standard streams closed.
    unsigned int first = 3;
    bool done = true;
#ifdef SYS_close_range
    if (keep >= 3) {
        if (keep > 3)
            done = syscall(SYS_close_range, 3u, static_cast<unsigned int>(keep - 1), 0u) == 0;
        first = static_cast<unsigned int>(keep) + 1;
    }
    if (done && syscall(SYS_close_range, first, ~0u, 0u) == 0)
        return;
#else
    (void)first;
    (void)done;
#endif
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > 65536)
        limit = 65536;
    for (int fd = 3; fd < limit; ++fd)
        if (fd != keep)
            ::close(fd);
}

[[noreturn]] void report_and_exit(int fd, int error, pid_t pid)
{
    DaemonReport r{error, pid};
    ssize_t n;
    do
        n = ::write(fd, &r, sizeof r);
    while (n < 0 && errno == EINTR);
    _exit(0);
}

// The intermediate process: it starts the daemon in a session of its own
// and exits at once, so the daemon is adopted by init and never becomes
// the caller's zombie.
[[noreturn]] void run_intermediate(int report_fd, const char* workdir, const posix_spawn_file_actions_t* actions,
                                   const posix_spawnattr_t* attr, char* const* argv)
{
    close_inherited(report_fd);
    if (::chdir(workdir) != 0)
        report_and_exit(report_fd, errno, -1);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], actions, attr, argv, environ);
    report_and_exit(report_fd, rc, pid);
}

bool read_report(int fd, DaemonReport& report)
{
    ssize_t n;
    do
        n = ::read(fd, &report, sizeof report);
    while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof report);
}

bool collect_arguments(const std::string& program, int count, va_list ap, std::vector<std::string>& args)
{
    if (count < 0) {
        HOST_ERR(0, "negative argument count %d for \"%s\"", count, program.c_str());
        return false;
    }
    args.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        // The caller started ap with va_start; the analyzer cannot see across the call.
        const char* a = va_arg(ap, const char*);  // NOLINT(clang-analyzer-valist.Uninitialized)
        if (!a) {
            HOST_ERR(0, "argument %d of \"%s\" is null", i + 1, program.c_str());
            return false;
        }
        args.emplace_back(a);
    }
    return true;
}

int start_daemon(const std::string* workdir, const sigset_t* mask, int* pid_out, const std::string& program,
                 const std::vector<std::string>& args)
{
    std::vector<char*> argv = make_argv(program, args);
    const char* dir = workdir ? workdir->c_str() : "/";
    // Everything that allocates is prepared here: after fork only system
    // calls and posix_spawn run.
    SpawnAttr attr;
    FileActions actions;
    int rc = attr.setup(mask, POSIX_SPAWN_SETSID);
    if (rc == 0)
        rc = actions.stdin_from_dev_null();
    if (rc != 0) {
        HOST_ERR(rc, "cannot prepare to start \"%s\"", program.c_str());
        return 0;
    }
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        HOST_ERR(errno, "cannot make a pipe to start \"%s\"", program.c_str());
        return 0;
    }
    // With every signal blocked across fork, no handler of the host runs in
    // the intermediate process; the daemon gets its own mask from attr.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    pid_t middle = ::fork();
    int fork_errno = errno;
    if (middle == 0) {
        ::close(report[0]);
        run_intermediate(report[1], dir, actions.get(), attr.get(), argv.data());
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    ::close(report[1]);
    if (middle < 0) {
        HOST_ERR(fork_errno, "cannot fork to start \"%s\"", program.c_str());
        ::close(report[0]);
        return 0;
    }
    DaemonReport r{EPIPE, -1};
    bool reported = read_report(report[0], r);
    ::close(report[0]);
    int status = 0;
    wait_for(middle, status);  // reaped at once; ECHILD when SIGCHLD is ignored is fine
    if (!reported) {
        HOST_ERR(0, "no word from the process starting \"%s\"", program.c_str());
        return 0;
    }
    if (r.error != 0) {
        HOST_ERR(r.error, "cannot start \"%s\" in \"%s\"", program.c_str(), dir);
        return 0;
    }
    if (pid_out)
        *pid_out = static_cast<int>(r.pid);
    return 1;
}

}  // namespace

int runDaemon(const std::string* workdir, const sigset_t* mask, int* pid, const std::string& program, int count, ...)
{
    std::vector<std::string> args;
    va_list ap;
    va_start(ap, count);
    bool collected = collect_arguments(program, count, ap, args);
    va_end(ap);
    if (!collected)
        return 0;
    if (program.empty()) {
        HOST_ERR(0, "no program given");
        return 0;
    }
    return start_daemon(workdir, mask, pid, program, args);
}

namespace
{

// The kernel keeps the first 15 bytes of a process name in comm.
constexpr std::size_t kCommLength = 15;

bool read_comm(const char* pid_text, std::string& comm)
{
    const std::string path = std::string("/proc/") + pid_text + "/comm";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;  // the process is gone already
    char buffer[64];
    ssize_t n;
    do
        n = ::read(fd, buffer, sizeof buffer);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0)
        return false;
    comm.assign(buffer, static_cast<std::size_t>(n));
    if (!comm.empty() && comm.back() == '\n')
        comm.pop_back();
    return true;
}

bool parse_pid(const char* text, pid_t& pid)
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
