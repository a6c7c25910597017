// sysExecSimple: runs a program without a shell and waits for it.
#include <errno.h>
#include <pelk/utils.h>
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

int sysExecSimple(const char* program, const std::vector<std::string>& args)
{
    if (!program || !*program) {
        HOST_ERR(0, "no program given");
        return -1;
    }
    const std::string path(program);
    std::vector<char*> argv = host_impl::make_argv(path, args);
    host_impl::SpawnAttr attr;
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
    if (host_impl::wait_for(pid, status) < 0) {
        HOST_ERR(errno, "cannot wait for \"%s\" (pid %d)", program, static_cast<int>(pid));
        return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        HOST_ERR(0, "\"%s\" killed by signal %d", program, WTERMSIG(status));
    return -1;
}

}  // namespace utils
}  // namespace pelk
