// sysExecSimple: runs a program without a shell and waits for it.
//
// A program ends as a child that signals SIGCHLD: exec makes it one whatever
// it was cloned as. A host's handler that reaps every child (waitpid(-1)),
// SIG_IGN or SA_NOCLDWAIT would then take its status first. For such a host
// the program is the child of an intermediate process that signals nothing
// when it ends (a "clone" child, which only a wait with __WALL or __WCLONE
// takes): the intermediate waits for the program and leaves its status in
// memory it shares with the caller. Everything is cloned with vfork
// semantics, so the cost does not grow with the caller's memory.
#include <errno.h>
#include <pelk/utils.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "spawn.h"

extern char** environ;

namespace pelk
{
namespace utils
{

namespace
{

// Each of the two clones' stacks: they only make system calls.
constexpr std::size_t kCloneStack = std::size_t{32} * 1024;
// The kernel's sigset_t, as rt_sigaction and rt_sigprocmask take it.
constexpr std::size_t kKernelSigsetSize = 8;
constexpr int kKernelSignals = 64;

// Shared by the caller, the intermediate and the program until its execve.
struct Run {
    const char* program;
    char* const* argv;
    char* program_stack;  // its top
    int error;            // the errno of the step that failed, or 0
    bool started;
    int status;
};

// All zero is SIG_DFL with no flags and an empty mask in every layout of the
// kernel's struct sigaction.
const unsigned long kDefaultAction[8] = {};

// The clones run in the caller's memory with every signal blocked: raw
// system calls only, nothing the sanitizers intercept or instrument.
__attribute__((no_sanitize("address", "undefined"))) int start_program(void* data)
{
    auto* run = static_cast<Run*>(data);
    // Every handler is gone before signals are unblocked, so none of the
    // host's runs here.
    for (int sig = 1; sig <= kKernelSignals; ++sig)
        syscall(SYS_rt_sigaction, sig, kDefaultAction, nullptr, kKernelSigsetSize);
    const unsigned long empty_mask[2] = {};
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, empty_mask, nullptr, kKernelSigsetSize);
    syscall(SYS_execve, run->program, run->argv, environ);
    run->error = errno;
    syscall(SYS_exit, 127);
    return 127;
}

__attribute__((no_sanitize("address", "undefined"))) int intermediate(void* data)
{
    auto* run = static_cast<Run*>(data);
    // Its own copy of the host's dispositions: with SIGCHLD ignored the
    // kernel would reap the program, status and all.
    syscall(SYS_rt_sigaction, SIGCHLD, kDefaultAction, nullptr, kKernelSigsetSize);
    const long pid = clone(start_program, run->program_stack, CLONE_VM | CLONE_VFORK | SIGCHLD, run);
    if (pid < 0) {
        run->error = errno;
    } else if (run->error == 0) {
        run->started = true;
        // Not interrupted: every signal is blocked here.
        if (syscall(SYS_wait4, pid, &run->status, 0, nullptr) < 0)
            run->error = errno;
    } else {
        syscall(SYS_wait4, pid, nullptr, 0, nullptr);  // the failed exec's 127
    }
    syscall(SYS_exit, 0);
    return 0;
}

// How a run ended: the step that failed (with its errno), or the wait status.
struct RunReport {
    enum Step { done, start, wait } failed;
    int error;
    int status;
};

// With SIGCHLD at its default nothing but this call waits for the program,
// and it runs as a plain child; a handler (which may reap every child),
// SIG_IGN or SA_NOCLDWAIT puts its status at risk, and the intermediate
// takes it instead, at the cost of one more process.
bool status_at_risk()
{
    struct sigaction current {
    };
    return sigaction(SIGCHLD, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
           (current.sa_flags & SA_NOCLDWAIT) != 0;
}

// posix_spawn clones with vfork semantics, so the cost does not grow with
// the caller's memory, and it reports a failed exec as its result.
[[nodiscard]] RunReport spawn_and_wait(const char* program, char* const* argv)
{
    standalone::SpawnAttr attr;
    int rc = attr.setup(nullptr, 0);
    pid_t pid = -1;
    if (rc == 0)
        rc = posix_spawn(&pid, program, nullptr, attr.get(), argv, environ);
    if (rc != 0)
        return {RunReport::start, rc, 0};
    int status = 0;
    if (standalone::wait_for(pid, &status) < 0)
        return {RunReport::wait, errno, 0};
    return {RunReport::done, 0, status};
}

[[nodiscard]] RunReport run_through_intermediate(const char* program, char* const* argv)
{
    void* stacks =
        mmap(nullptr, 2 * kCloneStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stacks == MAP_FAILED)
        return {RunReport::start, errno, 0};
    char* base = static_cast<char*>(stacks);
    Run run{program, argv, base + kCloneStack, 0, false, 0};
    {
        // The clones run in this memory, where no handler of the host may
        // run; the program unblocks its signals once their handlers are reset.
        const standalone::SignalsBlocked blocked;
        // CLONE_VFORK: back here once the intermediate has ended, the program
        // with it. Exit signal 0: see the top of the file.
        const pid_t middle = clone(intermediate, base + 2 * kCloneStack, CLONE_VM | CLONE_VFORK, &run);
        if (middle < 0)
            run.error = errno;
        else  // its report is in run already: only the reaping is left
            (void)standalone::wait_for(middle, nullptr, __WALL);  // __WALL: it has no exit signal
    }
    munmap(stacks, 2 * kCloneStack);
    if (run.error != 0)
        return {run.started ? RunReport::wait : RunReport::start, run.error, 0};
    return {RunReport::done, 0, run.status};
}

}  // namespace

int sysExecSimple(const char* program, const std::vector<std::string>& args)
{
    if (!program || !*program) {
        HOST_ERR(0, "no program given");
        return -1;
    }
    const std::string path(program);
    std::vector<char*> argv = standalone::make_argv(path, args);
    const RunReport r =
        status_at_risk() ? run_through_intermediate(program, argv.data()) : spawn_and_wait(program, argv.data());
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
