// sysExecSimple: runs a program without a shell and waits for it.
#include <errno.h>
#include <fcntl.h>
#include <pelk/utils.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "host_impl.h"
#include "spawn.h"

extern char** environ;

namespace pelk
{
namespace utils
{

namespace
{

// How a run ended: the step that failed (with its errno), or the wait status.
struct RunReport {
    enum Step { done, start, wait } failed;
    int error;
    int status;
};

// posix_spawn clones with vfork semantics, so the cost does not grow with
// the caller's memory, and it reports a failed exec as its result.
RunReport spawn_and_wait(const char* program, const posix_spawnattr_t* attr, char* const* argv)
{
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program, nullptr, attr, argv, environ);
    if (rc != 0)
        return {RunReport::start, rc, 0};
    int status = 0;
    if (host_impl::wait_for(pid, status) < 0)
        return {RunReport::wait, errno, 0};
    return {RunReport::done, 0, status};
}

// A process that ignores SIGCHLD, or set SA_NOCLDWAIT, has its children
// reaped by the kernel, exit status and all.
bool kernel_reaps_children()
{
    struct sigaction current {
    };
    return sigaction(SIGCHLD, nullptr, &current) == 0 &&
           (current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0);
}

// Then an intermediate process, whose own SIGCHLD is at its default, runs
// the program, waits for it and reports through a pipe: the caller's
// disposition stays as its other threads expect it. After fork only system
// calls and posix_spawn run.
RunReport run_through_intermediate(const char* program, const posix_spawnattr_t* attr, char* const* argv)
{
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
        return {RunReport::start, errno, 0};
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    const pid_t middle = ::fork();
    const int fork_errno = errno;
    if (middle == 0) {
        ::close(pipe_fds[0]);
        struct sigaction dfl {
        };
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGCHLD, &dfl, nullptr);
        const RunReport r = spawn_and_wait(program, attr, argv);
        host_impl::write_all(pipe_fds[1], &r, sizeof r);
        _exit(0);
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    ::close(pipe_fds[1]);
    RunReport r{RunReport::start, fork_errno, 0};
    if (middle > 0) {
        if (host_impl::read_all(pipe_fds[0], &r, sizeof r) != 0)
            r = {RunReport::wait, EPIPE, 0};  // the intermediate died before it could tell
        // Returns once the intermediate is gone (ECHILD, the kernel reaped it), so none is left
        // to become a zombie should the host restore the default disposition meanwhile.
        int ignored = 0;
        host_impl::wait_for(middle, ignored);
    }
    ::close(pipe_fds[0]);
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
    std::vector<char*> argv = host_impl::make_argv(path, args);
    host_impl::SpawnAttr attr;
    const int rc = attr.setup(nullptr, 0);
    if (rc != 0) {
        HOST_ERR(rc, "cannot prepare to start \"%s\"", program);
        return -1;
    }
    const RunReport r = kernel_reaps_children() ? run_through_intermediate(program, attr.get(), argv.data())
                                                : spawn_and_wait(program, attr.get(), argv.data());
    if (r.failed == RunReport::start) {
        HOST_ERR(r.error, "cannot start \"%s\"", program);
        return -1;
    }
    if (r.failed == RunReport::wait) {
        HOST_ERR(r.error, "cannot wait for \"%s\"", program);
        return -1;
    }
    if (WIFEXITED(r.status))
        return WEXITSTATUS(r.status);
    if (WIFSIGNALED(r.status))
        HOST_ERR(0, "\"%s\" killed by signal %d", program, WTERMSIG(r.status));
    return -1;
}

}  // namespace utils
}  // namespace pelk
