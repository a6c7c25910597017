// runDaemon: starts a program detached, in a session of its own, without
// leaving a zombie in the caller, also when the daemon comes back to the
// caller because it is PID 1 or a child subreaper.
#include <errno.h>
#include <fcntl.h>
#include <pelk/utils.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include "io.h"
#include "spawn.h"

extern char** environ;

namespace pelk
{
namespace standalone
{

namespace
{

// A daemon that came back to this process: a pidfd where the kernel has
// them, so that a process of the same number started later (after someone
// else reaped the daemon) is never reaped by mistake; else the number alone.
struct ReturnedDaemon {
    pid_t pid;
    int pidfd;
};

std::mutex returned_mutex;
std::vector<ReturnedDaemon> returned;
// Descriptors held for returned daemons at most; those beyond are known by
// number alone, so that many daemons cannot exhaust the host's descriptors.
constexpr int kMaxPidfds = 8;
int pidfds_held = 0;

int open_pidfd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));  // close-on-exec by the kernel
#else
    (void)pid;
    return -1;
#endif
}

// True once the daemon is gone: reaped here, or by someone else.
[[nodiscard]] bool ended(const ReturnedDaemon& d)
{
    siginfo_t info{};
    const int rc = retry_eintr([&] {
        return d.pidfd >= 0
                   ? ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(d.pidfd), &info, WEXITED | WNOHANG)
                   : ::waitid(P_PID, static_cast<id_t>(d.pid), &info, WEXITED | WNOHANG);
    });
    return rc < 0 || info.si_pid != 0;
}

// Right after the intermediate process ended, the daemon has been
// re-parented: to this process only when it is PID 1 or a subreaper.
void remember_if_returned(pid_t pid)
{
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return;  // not a child of ours: init or another subreaper reaps it
    const std::lock_guard<std::mutex> lock(returned_mutex);
    const int pidfd = pidfds_held < kMaxPidfds ? open_pidfd(pid) : -1;
    pidfds_held += pidfd >= 0;
    returned.push_back({pid, pidfd});
}

}  // namespace

void reap_returned_daemons()
{
    const std::lock_guard<std::mutex> lock(returned_mutex);
    for (auto it = returned.begin(); it != returned.end();) {
        if (!ended(*it)) {
            ++it;
            continue;
        }
        if (it->pidfd >= 0) {
            ::close(it->pidfd);
            --pidfds_held;
        }
        it = returned.erase(it);
    }
}

}  // namespace standalone

namespace utils
{

namespace
{

// What the intermediate process reports back to the caller.
struct DaemonReport {
    int error;  // 0, or the errno of the step that failed
    pid_t pid;
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

    // A daemon holds no stream of its caller's: a reader of the caller's
    // output (a pipe, a supervisor) would wait for the daemon to end.
    [[nodiscard]] int standard_streams_from_dev_null()
    {
        if (!ok_)
            return ENOMEM;
        int rc = posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
            if (rc == 0)
                rc = posix_spawn_file_actions_addopen(&actions_, fd, "/dev/null", O_WRONLY, 0);
        }
        return rc;
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
    bool ok_;
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
    const DaemonReport r{error, pid};
    (void)standalone::write_all(fd, &r, sizeof r);  // a lost report reaches the caller as no word
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

[[nodiscard]] bool collect_arguments(const std::string& program, int count, va_list ap, std::vector<std::string>& args)
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

[[nodiscard]] int start_daemon(const std::string* workdir, const sigset_t* mask, int* pid_out,
                               const std::string& program, const std::vector<std::string>& args)
{
    std::vector<char*> argv = standalone::make_argv(program, args);
    const char* dir = workdir ? workdir->c_str() : "/";
    // Everything that allocates is prepared here: after fork only system
    // calls and posix_spawn run.
    standalone::SpawnAttr attr;
    FileActions actions;
    int rc = attr.setup(mask, POSIX_SPAWN_SETSID);
    if (rc == 0)
        rc = actions.standard_streams_from_dev_null();
    if (rc != 0) {
        HOST_ERR(rc, "cannot prepare to start \"%s\"", program.c_str());
        return 0;
    }
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        HOST_ERR(errno, "cannot make a pipe to start \"%s\"", program.c_str());
        return 0;
    }
    pid_t middle = -1;
    int fork_errno = 0;
    {
        // Blocked across fork only: no handler of the host runs in the
        // intermediate process; the daemon gets its own mask from attr.
        const standalone::SignalsBlocked blocked;
        middle = ::fork();
        fork_errno = errno;
        if (middle == 0) {
            ::close(report[0]);
            run_intermediate(report[1], dir, actions.get(), attr.get(), argv.data());
        }
    }
    ::close(report[1]);
    if (middle < 0) {
        HOST_ERR(fork_errno, "cannot fork to start \"%s\"", program.c_str());
        ::close(report[0]);
        return 0;
    }
    DaemonReport r{EPIPE, -1};
    const bool reported = standalone::read_all(report[0], &r, sizeof r) == 0;
    ::close(report[0]);
    // Reaped at once. ECHILD when SIGCHLD is ignored: then the kernel reaps
    // the daemon too, wherever it ends up.
    const bool middle_reaped = standalone::wait_for(middle, nullptr) == middle;
    if (!reported) {
        HOST_ERR(0, "no word from the process starting \"%s\"", program.c_str());
        return 0;
    }
    if (r.error != 0) {
        HOST_ERR(r.error, "cannot start \"%s\" in \"%s\"", program.c_str(), dir);
        return 0;
    }
    if (middle_reaped)
        standalone::remember_if_returned(r.pid);
    if (pid_out)
        *pid_out = static_cast<int>(r.pid);
    return 1;
}

}  // namespace

int runDaemon(const std::string* workdir, const sigset_t* mask, int* pid, const std::string& program, int count, ...)
{
    standalone::reap_returned_daemons();
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

}  // namespace utils
}  // namespace pelk
