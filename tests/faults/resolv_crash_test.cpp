// Crash safety of the resolver file: in a device root (private mount
// namespace, one tmpfs holding etc/ and tmp/, chroot) a worker rewrites
// /etc/resolv.conf with numbered contents, and is killed with SIGKILL at
// random moments. After every kill the file is byte-identical to the last
// complete content or the one in flight, with mode 0644, and /tmp holds at
// most the one temporary file that was in flight.
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fault_test.h"

using namespace pelk::network;

namespace
{

const char kRoot[] = "/tmp";  // the device root's tmpfs, mounted in the private namespace
const long kMinUpdates = 500;
const int kMinKills = 1000;
const int kBudgetSeconds = 40;

// Progress of the worker, in memory shared with the supervisor: started is
// set before an update begins, done after it returned true.
struct Progress {
    std::atomic<long> started;
    std::atomic<long> done;
};

std::vector<std::string> nameservers_of(long n)
{
    std::vector<std::string> list;
    const long count = 1 + n % 3;  // contents of different lengths
    for (long k = 0; k < count; ++k)
        list.push_back("10." + std::to_string(n % 250) + "." + std::to_string(n / 250 % 250) + "." +
                       std::to_string(k + 1));
    return list;
}

std::string search_of(long n)
{
    return "gen" + std::to_string(n) + ".example";
}

// The file content the library writes for update n (n < 0: the first file).
std::string content_of(long n)
{
    if (n < 0)
        return "nameserver 192.0.2.1\n";
    std::string text = "search " + search_of(n) + "\n";
    for (const std::string& ns : nameservers_of(n))
        text += "nameserver " + ns + "\n";
    return text;
}

[[noreturn]] void run_worker(Progress* progress, long first)
{
    if (chroot(kRoot) != 0 || chdir("/") != 0)
        _exit(2);
    netlib_context ctx = fresh_context();
    if (!netlib_libiface_init(&ctx))
        _exit(3);
    for (long n = first;; ++n) {
        progress->started.store(n);
        if (!netlib_netm_configure_dns(&ctx, "eth0", nameservers_of(n), search_of(n)))
            _exit(4);
        progress->done.store(n);
    }
}

std::vector<std::string> temporary_files()
{
    std::vector<std::string> found;
    DIR* d = opendir((std::string(kRoot) + "/tmp").c_str());
    if (d == nullptr)
        return found;
    while (const dirent* e = readdir(d)) {
        if (std::strncmp(e->d_name, "resolv.conf.", 12) == 0)
            found.push_back(std::string(kRoot) + "/tmp/" + e->d_name);
    }
    closedir(d);
    return found;
}

struct Figures {
    int kills = 0;
    long updates = 0;
    int torn_temporaries = 0;  // killed between creating and renaming
    int killed_mid_update = 0;
    double seconds = 0;
};

// One kill: checks the resolver file and /tmp against the worker's progress.
void check_after_kill(faults::Checks& c, Progress& progress, Figures& figures)
{
    const long started = progress.started.load();
    const long done = progress.done.load();
    const std::string path = std::string(kRoot) + "/etc/resolv.conf";
    const std::string now = faults::read_file(path);
    const std::string previous = content_of(done);
    const std::string next = content_of(started);
    if (now != previous && now != next)
        c.expect(false, "after kill " + std::to_string(figures.kills) + " (started " + std::to_string(started) +
                            ", done " + std::to_string(done) + ") the resolver file holds:\n" + now);
    struct stat st {
    };
    c.expect(stat(path.c_str(), &st) == 0 && (st.st_mode & 07777) == 0644, "resolver file mode 0644");
    if (started != done)
        ++figures.killed_mid_update;
    // An update killed after its rename is complete: the next worker goes on
    // from it.
    if (now == next)
        progress.done.store(started);

    const std::vector<std::string> left = temporary_files();
    c.expect(left.size() <= 1, "at most the temporary file in flight is left, found " + std::to_string(left.size()));
    for (const std::string& t : left) {
        // What was written before the kill is a prefix of the update in flight.
        const std::string partial = faults::read_file(t);
        c.expect(next.compare(0, partial.size(), partial) == 0,
                 "temporary file holds a prefix of the update in flight");
        ++figures.torn_temporaries;
        unlink(t.c_str());  // as the device's /tmp would be emptied by the restart
    }
}

TEST(ResolverCrash, KilledUpdatesNeverLeaveATornResolverFile)
{
    EXPECT_CHILD_PASSES(
        [](faults::Checks& c) {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("devroot", kRoot, "tmpfs", 0, "size=4m,mode=0755") != 0)
                faults::skip(std::string("no device root: ") + std::strerror(errno));
            const std::string root(kRoot);
            c.expect(mkdir((root + "/etc").c_str(), 0755) == 0 && mkdir((root + "/tmp").c_str(), 01777) == 0,
                     "etc/ and tmp/ made");
            c.expect(faults::write_file(root + "/etc/resolv.conf", content_of(-1)), "first resolver file");

            void* shared = mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
            if (shared == MAP_FAILED)
                faults::skip("no shared memory");
            Progress* progress = new (shared) Progress();
            progress->started.store(-1);
            progress->done.store(-1);

            std::mt19937 random(12345);
            std::uniform_int_distribution<int> delay_us(0, 1000);
            Figures figures;
            const auto start = std::chrono::steady_clock::now();
            while ((figures.kills < kMinKills || progress->done.load() + 1 < kMinUpdates) &&
                   std::chrono::steady_clock::now() - start < std::chrono::seconds(kBudgetSeconds) &&
                   c.text().empty()) {
                const long first = progress->done.load() + 1;
                progress->started.store(first - 1);
                const pid_t pid = fork();
                if (pid == 0)
                    run_worker(progress, first);
                c.expect(pid > 0, "worker started");
                if (pid < 0)
                    break;
                std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
                kill(pid, SIGKILL);
                int status = 0;
                waitpid(pid, &status, 0);
                c.expect(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL,
                         "worker ran until killed (exit status " + std::to_string(status) + ")");
                ++figures.kills;
                check_after_kill(c, *progress, figures);
            }
            figures.updates = progress->done.load() + 1;
            figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            c.expect(figures.updates >= kMinUpdates, "at least 500 updates, got " + std::to_string(figures.updates));
            c.expect(figures.kills >= kMinKills || figures.updates >= kMinUpdates, "enough kills");
            std::fprintf(
                stderr, "resolver crash: %d kills (%d mid-update, %d left a temporary file), %ld updates, %.1f s\n",
                figures.kills, figures.killed_mid_update, figures.torn_temporaries, figures.updates, figures.seconds);
        },
        90);
}

}  // namespace
