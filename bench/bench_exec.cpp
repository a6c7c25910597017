// Running an outside program through the host's sysExecSimple: against a
// bare posix_spawn and wait, and from a small parent against a parent with
// gigabytes resident (fork+exec shown for orientation: it copies the page
// tables, so its cost grows with the parent).
#include <pelk/utils.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "spawner.h"

namespace
{

using namespace bench;

constexpr const char* kTrue = "/bin/true";

int fork_exec_true()
{
    pid_t pid = fork();
    if (pid == 0) {
        execl(kTrue, kTrue, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double resident_mib()
{
    long pages_total = 0, pages_resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2)
            pages_resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(pages_resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// Anonymous memory, every page written so that it is resident.
class Resident
{
public:
    explicit Resident(std::size_t bytes) : bytes_(bytes)
    {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (p == MAP_FAILED)
            return;
        p_ = static_cast<unsigned char*>(p);
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        for (std::size_t off = 0; off < bytes; off += page)
            p_[off] = 1;
    }
    ~Resident()
    {
        if (p_)
            munmap(p_, bytes_);
    }
    Resident(const Resident&) = delete;
    Resident& operator=(const Resident&) = delete;
    bool ok() const { return p_ != nullptr; }

private:
    std::size_t bytes_;
    unsigned char* p_ = nullptr;
};

const std::vector<std::string> kNoArgs;

void measure_against_posix_spawn(const Options& opt)
{
    const char* figure = "sysExecSimple(/bin/true) / bare posix_spawn + waitpid";
    if (pelk::utils::sysExecSimple(kTrue, kNoArgs) != 0) {
        emit(error_row("exec_vs_spawn", figure, 1.1, "sysExecSimple(/bin/true) did not return 0"), opt);
        return;
    }
    char* argv[] = {const_cast<char*>(kTrue), nullptr};
    auto lib = [] {
        int rc = pelk::utils::sysExecSimple(kTrue, kNoArgs);
        benchmark::DoNotOptimize(rc);
    };
    auto bare = [&] {
        int rc = spawn_wait(kTrue, argv);
        benchmark::DoNotOptimize(rc);
    };
    emit(ratio_row("exec_vs_spawn", figure, 1.1,
                   paired(
                       lib, bare, [] {}, opt.scale(11, 3), opt.scale(41, 3), 2, true)),
         opt);
}

struct SizeSample {
    double exec_ns;
    double fork_ns;
};

SizeSample sample(int exec_batch, int fork_batch)
{
    auto lib = [] {
        int rc = pelk::utils::sysExecSimple(kTrue, kNoArgs);
        benchmark::DoNotOptimize(rc);
    };
    auto forked = [] {
        int rc = fork_exec_true();
        benchmark::DoNotOptimize(rc);
    };
    lib();
    return SizeSample{median_call_ns(lib, exec_batch), median_call_ns(forked, fork_batch)};
}

void measure_parent_size(const Options& opt)
{
    const std::size_t big_mib = opt.smoke ? 256 : 4096;
    const std::string figure = fmt("sysExecSimple(/bin/true) from %zu MiB resident / from 10 MiB", big_mib);
    Resident base(10u << 20);
    if (!base.ok()) {
        emit(error_row("exec_parent_size", figure, 1.2, "cannot make the parent 10 MiB"), opt);
        return;
    }
    const int rounds = opt.scale(9, 1);
    const int exec_batch = opt.scale(31, 3);
    const int fork_batch = opt.scale(3, 1);
    std::vector<double> ratio, small_exec, big_exec, small_fork, big_fork;
    double small_rss = 0, big_rss = 0;
    for (int r = 0; r < rounds; ++r) {
        SizeSample small{}, big{};
        auto measure_big = [&]() -> bool {
            Resident grown(big_mib << 20);
            if (!grown.ok())
                return false;
            big_rss = resident_mib();
            big = sample(exec_batch, fork_batch);
            return true;
        };
        bool grown = true;
        if (r % 2 == 0) {
            small_rss = resident_mib();
            small = sample(exec_batch, fork_batch);
            grown = measure_big();
        } else {
            grown = measure_big();
            small_rss = resident_mib();
            small = sample(exec_batch, fork_batch);
        }
        if (!grown) {
            emit(error_row("exec_parent_size", figure, 1.2, fmt("cannot make %zu MiB resident", big_mib)), opt);
            return;
        }
        ratio.push_back(big.exec_ns / small.exec_ns);
        small_exec.push_back(small.exec_ns);
        big_exec.push_back(big.exec_ns);
        small_fork.push_back(small.fork_ns);
        big_fork.push_back(big.fork_ns);
    }
    Row row;
    row.id = "exec_parent_size";
    row.figure = figure;
    row.goal = 1.2;
    row.value = summarize(ratio);
    row.unit = "x";
    row.note =
        fmt("sysExecSimple %s vs %s (RSS %.0f vs %.0f MiB); fork+exec %s vs %s; %d rounds",
            duration_text(summarize(big_exec).median).c_str(), duration_text(summarize(small_exec).median).c_str(),
            big_rss, small_rss, duration_text(summarize(big_fork).median).c_str(),
            duration_text(summarize(small_fork).median).c_str(), rounds);
    emit(row, opt);
}

}  // namespace

int main(int argc, char** argv)
{
    const Options opt = Options::parse(argc, argv);
    measure_against_posix_spawn(opt);
    measure_parent_size(opt);
    return 0;
}
