// Running /bin/true through the host's sysExecSimple: against a bare
// posix_spawn and waitpid, and from a parent with 4 GiB resident against
// the same from a parent of 10 MiB.
#include <errno.h>
#include <pelk/utils.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>

#include "bench.h"

extern char** environ;

namespace bench
{

pid_t spawn(const std::vector<const char*>& argv, int out_fd)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv.data()), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int wait_for(pid_t pid)
{
    int status = 0;
    while (pid >= 0 && waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return pid >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace
{

double resident_mib()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

void exec_true(benchmark::State& state)
{
    const std::vector<std::string> no_args;
    bool ok = true;
    for (auto _ : state)
        ok = pelk::utils::sysExecSimple("/bin/true", no_args) == 0 && ok;
    if (!ok)
        state.SkipWithError("sysExecSimple(/bin/true) did not return 0");
}

void spawn_true(benchmark::State& state)
{
    const std::vector<const char*> argv{"/bin/true", nullptr};
    bool ok = true;
    for (auto _ : state)
        ok = wait_for(spawn(argv)) == 0 && ok;
    if (!ok)
        state.SkipWithError("posix_spawn(/bin/true) did not return 0");
}

// The parent grows to about `mib` resident (every page written) before and
// shrinks after each repetition, untimed.
void exec_true_from(benchmark::State& state, double mib)
{
    const std::size_t bytes = static_cast<std::size_t>(std::max(0.0, mib - resident_mib()) * (1 << 20));
    const std::unique_ptr<char[]> grown(new (std::nothrow) char[bytes]);
    if (!grown)
        state.SkipWithError("cannot make the parent that big");
    else
        std::memset(grown.get(), 1, bytes);
    benchmark::DoNotOptimize(grown.get());
    benchmark::ClobberMemory();
    exec_true(state);
    state.counters["resident_mib"] = resident_mib();
}

}  // namespace

void register_exec(const Settings& settings)
{
    // The device's own /bin holds only the network tools.
    if (access("/bin/true", X_OK) != 0)
        symlink("/usr/bin/true", "/bin/true");
    for (auto body : {exec_true, spawn_true})
        add("exec_vs_spawn", body == exec_true ? "lib" : "ref", body)
            ->Iterations(settings.iterations(10))
            ->Repetitions(settings.repetitions(61));
    for (const double mib : {settings.smoke ? 64.0 : 4096.0, 10.0})
        add("exec_parent_size", mib > 10 ? "lib" : "ref",
            [mib](benchmark::State& state) { exec_true_from(state, mib); })
            ->Iterations(settings.iterations(40))
            ->Repetitions(settings.repetitions(15));
}

}  // namespace bench
