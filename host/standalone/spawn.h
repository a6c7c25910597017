// What running a program and starting a daemon share: the argument vector,
// the spawn attributes that reset the child's signals, the intermediate
// process, and the reaping of daemons that come back.
// sysExecSimple (SIGCHLD not at its default) and runDaemon both create their
// intermediate with every signal blocked (SignalsBlocked), take its report
// and reap it (wait_for). The rest stays apart, for reasons: sysExecSimple's
// is a clone in the caller's memory (no exit signal, raw system calls only,
// a cost that does not grow with the host's memory), so signals stay blocked
// until it is reaped and its report is in memory; runDaemon's runs
// posix_spawn, which needs a forked copy, so signals are blocked across fork
// only and the report comes through a pipe, which ends even when someone
// else took the intermediate's status.
#ifndef PELK_HOST_SPAWN_H
#define PELK_HOST_SPAWN_H

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "internal.h"

namespace pelk
{
namespace standalone
{

// program, then args, then the terminating null, as posix_spawn wants them;
// the texts themselves are never written.
PELK_HOST_INTERNAL std::vector<char*> make_argv(const std::string& program, const std::vector<std::string>& args);

// The child starts with the given (or an empty) signal mask and every signal
// at its default action, whatever the host had blocked or ignored.
class PELK_HOST_INTERNAL SpawnAttr
{
public:
    SpawnAttr();
    ~SpawnAttr();
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;

    // 0 or a positive errno value.
    [[nodiscard]] int setup(const sigset_t* mask, short extra_flags);
    const posix_spawnattr_t* get() const { return &attr_; }

private:
    posix_spawnattr_t attr_;
    bool ok_;
};

// Every signal of the calling thread blocked for the object's life, the
// mask before restored at its end. A process forked or cloned meanwhile
// starts with them all blocked, so no handler of the host runs in it.
class PELK_HOST_INTERNAL SignalsBlocked
{
public:
    SignalsBlocked();
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t saved_;
};

// waitpid, retried after EINTR.
[[nodiscard]] PELK_HOST_INTERNAL pid_t wait_for(pid_t pid, int* status, int options = 0);

// Reaps, without waiting, the daemons runDaemon started that came back to
// this process as its children (it is PID 1 or a child subreaper) and have
// ended since: runDaemon and kill_process_by_name call it first.
PELK_HOST_INTERNAL void reap_returned_daemons();

}  // namespace standalone
}  // namespace pelk

#endif
