// Starting outside programs from the benchmarks without the library: a bare
// posix_spawn and wait, the peer the library's command runs are judged by.
#ifndef NETLIB_BENCH_SPAWNER_H
#define NETLIB_BENCH_SPAWNER_H

#include <errno.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace bench
{

// Exit status of program run with args (args[0] is the program name), or -1.
inline int spawn_wait(const char* program, char* const* argv)
{
    pid_t pid;
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0)
        return -1;
    int status = 0;
    pid_t r;
    do
        r = waitpid(pid, &status, 0);
    while (r < 0 && errno == EINTR);
    if (r < 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// A command line held ready to spawn: building it is not part of the cost.
class CommandLine
{
public:
    CommandLine(std::string program, std::vector<std::string> args)
        : program_(std::move(program)), args_(std::move(args))
    {
        argv_.push_back(const_cast<char*>(program_.c_str()));
        for (auto& a : args_)
            argv_.push_back(const_cast<char*>(a.c_str()));
        argv_.push_back(nullptr);
    }
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    int run() const { return spawn_wait(program_.c_str(), argv_.data()); }

private:
    std::string program_;
    std::vector<std::string> args_;
    std::vector<char*> argv_;
};

// The first of the usual places that holds an executable `name`.
inline std::string find_program(const std::string& name)
{
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        const std::string path = dir + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return "";
}

}  // namespace bench

#endif
