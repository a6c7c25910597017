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

int run(const std::vector<const char*>& argv)
{
    pid_t pid = -1;
    int status = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv.data()), environ) != 0)
        return -1;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace
{

const Body kExecTrue = timed("sysExecSimple(/bin/true) did not return 0", [no_args = std::vector<std::string>()] {
    return pelk::utils::sysExecSimple("/bin/true", no_args) == 0;
});

// The parent grows to about `mib` resident (every page written) before and
// shrinks after each repetition, untimed.
Body exec_true_from(double mib)
{
    return [mib](benchmark::State& state) {
        long pages = 0, resident = 0;
        std::ifstream("/proc/self/statm") >> pages >> resident;
        const double missing = mib * (1 << 20) - static_cast<double>(resident * sysconf(_SC_PAGESIZE));
        const std::size_t bytes = static_cast<std::size_t>(std::max(0.0, missing));
        const std::unique_ptr<char[]> grown(new (std::nothrow) char[bytes]);
        if (!grown)
            state.SkipWithError("cannot make the parent that big");
        else
            std::memset(grown.get(), 1, bytes);
        benchmark::DoNotOptimize(grown.get());
        benchmark::ClobberMemory();
        kExecTrue(state);
    };
}

}  // namespace

void register_exec()
{
    // The device's own /bin holds only the network tools.
    if (access("/bin/true", X_OK) != 0)
        symlink("/usr/bin/true", "/bin/true");
    const auto spawn_true = [argv = std::vector<const char*>{"/bin/true", nullptr}] { return run(argv) == 0; };
    add_pair("exec_vs_spawn", kExecTrue, timed("posix_spawn(/bin/true) did not return 0", spawn_true),
             Shape::fixed(10, 61));
    add_pair("exec_parent_size", exec_true_from(g_smoke ? 64 : 4096), exec_true_from(10), Shape::fixed(40, 15));
}

}  // namespace bench
