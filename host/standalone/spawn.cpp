// What sysExecSimple and runDaemon share.
#include "spawn.h"

#include <sys/wait.h>

#include "io.h"

namespace pelk
{
namespace standalone
{

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

SpawnAttr::SpawnAttr()
{
    ok_ = posix_spawnattr_init(&attr_) == 0;
}

SpawnAttr::~SpawnAttr()
{
    if (ok_)
        posix_spawnattr_destroy(&attr_);
}

int SpawnAttr::setup(const sigset_t* mask, short extra_flags)
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
        rc = posix_spawnattr_setflags(&attr_,
                                      static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | extra_flags));
    return rc;
}

SignalsBlocked::SignalsBlocked()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved_);
}

SignalsBlocked::~SignalsBlocked()
{
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

pid_t wait_for(pid_t pid, int* status, int options)
{
    return retry_eintr([&] { return ::waitpid(pid, status, options); });
}

}  // namespace standalone
}  // namespace pelk
