// sysExecSimple, runDaemon and kill_process_by_name against real processes.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pelk/utils.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace
{

class TempDir
{
public:
    TempDir()
    {
        char tmpl[] = "/tmp/pelk_host_test.XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        path_ = made ? made : "";
    }
    ~TempDir()
    {
        if (path_.empty())
            return;
        std::vector<std::string> rm{"-rf", path_};
        pelk::utils::sysExecSimple("/bin/rm", rm);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A field ("SigBlk:", "PPid:") of /proc/PID/status.
std::string status_field(int pid, const std::string& field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, field.size(), field) == 0)
            return line.substr(line.find_first_not_of(" \t", field.size()));
    return "";
}

// Field number n (1-based, as in proc(5)) of /proc/PID/stat.
long stat_field(int pid, int n)
{
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    std::string::size_type close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(stat.substr(close + 2));
    std::string value;
    for (int i = 3; i <= n; ++i)
        rest >> value;
    return std::strtol(value.c_str(), nullptr, 10);
}

std::vector<int> open_descriptors(int pid)
{
    std::vector<int> fds;
    DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d)
        return fds;
    while (struct dirent* e = ::readdir(d))
        if (e->d_name[0] != '.')
            fds.push_back(std::atoi(e->d_name));
    ::closedir(d);
    std::sort(fds.begin(), fds.end());
    return fds;
}

std::string link_target(const std::string& path)
{
    char buf[4096];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
}

// A daemon this test started is not our child: kill it and wait until it is gone.
void stop_daemon(int pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    for (int i = 0; i < 200 && ::kill(pid, 0) == 0 && status_field(pid, "State:").compare(0, 1, "Z") != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// qemu-user runs glibc's vfork-style posix_spawn child as a plain fork, so a
// failed exec in the child never reaches the parent's result.
bool exec_failure_hidden_by_emulator(std::string& why)
{
    if (std::getenv("NETLIB_UNDER_EMULATOR") == nullptr)
        return false;
    why =
        "under qemu-user glibc's vfork-style posix_spawn child runs as a plain fork, "
        "so a failed exec never reaches the parent";
    return true;
}

bool has_children()
{
    int status;
    return ::waitpid(-1, &status, WNOHANG) != -1 || errno != ECHILD;
}

TEST(HostExec, ArgumentsArriveLiterallyWithoutAShell)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string out = dir.path() + "/out";
    const std::string marker = dir.path() + "/marker";
    const std::vector<std::string> literal = {
        "with space", "$(touch " + marker + ")", "`touch " + marker + "`", "; touch " + marker, "*", "'\"", "",
    };
    std::vector<std::string> args = {"-c", "printf '%s\\n' \"$@\" > \"$0\"", out};
    args.insert(args.end(), literal.begin(), literal.end());

    ASSERT_EQ(pelk::utils::sysExecSimple("/bin/sh", args), 0);
    std::string expected;
    for (const auto& a : literal)
        expected += a + "\n";
    EXPECT_EQ(read_text(out), expected);
    EXPECT_NE(::access(marker.c_str(), F_OK), 0) << "an argument was run by a shell";
}

TEST(HostExec, ResultReflectsHowTheProgramEnded)
{
    EXPECT_EQ(pelk::utils::sysExecSimple("/bin/true", {}), 0);
    EXPECT_EQ(pelk::utils::sysExecSimple("/bin/sh", {"-c", "exit 3"}), 3);
    EXPECT_EQ(pelk::utils::sysExecSimple("/bin/sh", {"-c", "exit 255"}), 255);
    EXPECT_EQ(pelk::utils::sysExecSimple("/bin/sh", {"-c", "kill -KILL $$"}), -1);
    EXPECT_EQ(pelk::utils::sysExecSimple(nullptr, {}), -1);
    EXPECT_EQ(pelk::utils::sysExecSimple("", {}), -1);
    EXPECT_FALSE(has_children());
}

TEST(HostExec, ProgramThatCannotBeExecutedIsAFailure)
{
    std::string why;
    if (exec_failure_hidden_by_emulator(why))
        GTEST_SKIP() << why;
    EXPECT_EQ(pelk::utils::sysExecSimple("/nonexistent/program", {}), -1);
    EXPECT_EQ(pelk::utils::sysExecSimple("/etc", {}), -1) << "not executable";
    EXPECT_FALSE(has_children());
}

TEST(HostExec, ChildDoesNotInheritBlockedOrIgnoredSignals)
{
    sigset_t term, saved;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &saved), 0);
    struct sigaction ignore = {}, old_term = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTERM, &ignore, &old_term);

    int r = pelk::utils::sysExecSimple("/bin/sh", {"-c", "kill -TERM $$; exit 0"});

    sigaction(SIGTERM, &old_term, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    EXPECT_EQ(r, -1) << "SIGTERM should have killed the child";
}

class HostDaemon : public ::testing::Test
{
protected:
    void TearDown() override
    {
        for (int pid : pids)
            stop_daemon(pid);
    }
    // Starts /bin/sleep with an argument unique to this test.
    int start_sleep(const std::string* workdir, const sigset_t* mask)
    {
        int pid = -7;
        int r = pelk::utils::runDaemon(workdir, mask, &pid, "/bin/sleep", 1, "29.5");
        if (!r)
            return 0;
        pids.push_back(pid);
        wait_for_exec(pid, "/bin/sleep");
        return pid;
    }
    // The spawner may go on before the daemon's exec has finished (close-on-
    // exec descriptors still open, the spawner's mask and dispositions still
    // in place): briefly after a vfork-style clone, far longer when an
    // emulator turns that clone into a fork. Every /proc read waits until
    // cmdline names the program; it reads empty, or the spawner's, before.
    static void wait_for_exec(int pid, const std::string& program)
    {
        const std::string cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
        const std::string head = program + '\0';
        for (int i = 0; i < 1000 && read_text(cmdline).compare(0, head.size(), head) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::vector<int> pids;
};

TEST_F(HostDaemon, StartsDetachedWithoutLeavingAZombie)
{
    int pid = start_sleep(nullptr, nullptr);
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(has_children()) << "the intermediate process was not reaped, or the daemon is our child";
    EXPECT_EQ(read_text("/proc/" + std::to_string(pid) + "/cmdline"), std::string("/bin/sleep\0"
                                                                                  "29.5\0",
                                                                                  16))
        << "the pid out-pointer names another process";
    EXPECT_EQ(stat_field(pid, 6), pid) << "the daemon leads a session of its own";
    EXPECT_NE(stat_field(pid, 6), stat_field(::getpid(), 6));
    EXPECT_NE(stat_field(pid, 4), ::getpid()) << "parent";
    EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/cwd"), "/");
    EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/fd/0"), "/dev/null");
}

TEST_F(HostDaemon, ClosesInheritedDescriptors)
{
    // Deliberately without CLOEXEC: the daemon must close it anyway.
    int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);
    int high = ::fcntl(leaked, F_DUPFD, 100);
    int pid = start_sleep(nullptr, nullptr);
    ::close(leaked);
    ::close(high);
    ASSERT_GT(pid, 0);
    for (int fd : open_descriptors(pid))
        EXPECT_LE(fd, 2) << "descriptor " << fd << " reached the daemon";
}

TEST_F(HostDaemon, AppliesTheMaskAndDefaultDispositions)
{
    sigset_t caller, saved;
    sigemptyset(&caller);
    sigaddset(&caller, SIGUSR2);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &caller, &saved), 0);
    struct sigaction ignore = {}, old_usr1 = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGUSR1, &ignore, &old_usr1);

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGHUP);   // bit 0
    sigaddset(&mask, SIGTERM);  // bit 14
    int with_mask = start_sleep(nullptr, &mask);
    int without = start_sleep(nullptr, nullptr);

    sigaction(SIGUSR1, &old_usr1, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    ASSERT_GT(with_mask, 0);
    ASSERT_GT(without, 0);
    EXPECT_EQ(std::strtoull(status_field(with_mask, "SigBlk:").c_str(), nullptr, 16), 0x4001ull);
    EXPECT_EQ(std::strtoull(status_field(without, "SigBlk:").c_str(), nullptr, 16), 0ull)
        << "a null mask means an empty mask, not the caller's";
    // glibc's posix_spawn leaves its own reserved signals (32, 33) ignored;
    // signals 1-31 must all be back at their defaults.
    EXPECT_EQ(std::strtoull(status_field(without, "SigIgn:").c_str(), nullptr, 16) & 0x7FFFFFFFull, 0ull)
        << "an ignored signal of the caller stayed ignored";
}

TEST_F(HostDaemon, RunsInTheGivenDirectory)
{
    TempDir dir;
    const std::string workdir = dir.path();
    int pid = start_sleep(&workdir, nullptr);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/cwd"), workdir);
}

TEST_F(HostDaemon, FailuresReportZeroAndLeaveThePidAlone)
{
    int pid = -7;
    const std::string missing_dir = "/nonexistent/dir";
    EXPECT_EQ(pelk::utils::runDaemon(&missing_dir, nullptr, &pid, "/bin/sleep", 1, "1"), 0);
    EXPECT_EQ(pid, -7);
    EXPECT_EQ(pelk::utils::runDaemon(nullptr, nullptr, &pid, "/bin/sleep", 1, static_cast<const char*>(nullptr)), 0);
    EXPECT_EQ(pelk::utils::runDaemon(nullptr, nullptr, &pid, "", 0), 0);
    EXPECT_EQ(pid, -7);
    EXPECT_FALSE(has_children());
}

TEST_F(HostDaemon, ProgramThatCannotBeExecutedReportsZeroAndLeavesThePidAlone)
{
    std::string why;
    if (exec_failure_hidden_by_emulator(why))
        GTEST_SKIP() << why;
    int pid = -7;
    const int r = pelk::utils::runDaemon(nullptr, nullptr, &pid, "/nonexistent/daemon", 0);
    if (r != 0)
        pids.push_back(pid);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(pid, -7);
    EXPECT_FALSE(has_children());
}

TEST_F(HostDaemon, PassesEveryArgument)
{
    TempDir dir;
    const std::string out = dir.path() + "/args";
    int pid = 0;
    ASSERT_NE(pelk::utils::runDaemon(nullptr, nullptr, &pid, "/bin/sh", 5, "-c", "printf '%s|' \"$@\" > \"$0\"",
                                     out.c_str(), "a b", "$(x)"),
              0);
    pids.push_back(pid);
    std::string got;
    for (int i = 0; i < 400 && (got = read_text(out)) != "a b|$(x)|"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(got, "a b|$(x)|");
}

// Copies of /bin/sleep under chosen names, run as our own children.
class HostKill : public ::testing::Test
{
protected:
    void TearDown() override
    {
        for (pid_t pid : children) {
            ::kill(pid, SIGKILL);
            int status;
            ::waitpid(pid, &status, 0);
        }
    }
    pid_t start_as(const std::string& name)
    {
        const std::string path = dir.path() + "/" + name;
        if (pelk::utils::sysExecSimple("/bin/cp", {"/bin/sleep", path}) != 0)
            return -1;
        char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("30"), nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0)
            return -1;
        children.push_back(pid);
        // comm changes at exec; wait until the kernel shows the new name.
        const std::string comm = name.substr(0, 15) + "\n";
        for (int i = 0; i < 400 && read_text("/proc/" + std::to_string(pid) + "/comm") != comm; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return pid;
    }
    // True when pid was our child and died of signal.
    bool died_of(pid_t pid, int signal)
    {
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid)
            return false;
        children.erase(std::find(children.begin(), children.end(), pid));
        return WIFSIGNALED(status) && WTERMSIG(status) == signal;
    }
    bool alive(pid_t pid)
    {
        int status = 0;
        return ::waitpid(pid, &status, WNOHANG) == 0;
    }
    TempDir dir;
    std::vector<pid_t> children;
};

TEST_F(HostKill, SignalsOnlyTheExactName)
{
    const std::string name = "pk" + std::to_string(::getpid());
    pid_t exact = start_as(name);
    pid_t longer = start_as(name + "x");
    pid_t shorter = start_as(name.substr(0, name.size() - 1));
    ASSERT_GT(exact, 0);
    ASSERT_GT(longer, 0);
    ASSERT_GT(shorter, 0);

    EXPECT_EQ(pelk::utils::kill_process_by_name(name, SIGTERM), 1);
    EXPECT_TRUE(died_of(exact, SIGTERM));
    EXPECT_TRUE(alive(longer));
    EXPECT_TRUE(alive(shorter));
    EXPECT_EQ(pelk::utils::kill_process_by_name(name, SIGTERM), 0);
}

TEST_F(HostKill, LongNamesMatchOnTheKernelsFifteenCharacters)
{
    const std::string name = "pelklongname" + std::to_string(::getpid()) + "abcdef";
    ASSERT_GT(name.size(), 15u);
    pid_t a = start_as(name);
    pid_t b = start_as(name + "-other");  // same first 15 characters: the kernel cannot tell them apart
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(pelk::utils::kill_process_by_name(name, SIGUSR1), 2);
    EXPECT_TRUE(died_of(a, SIGUSR1));
    EXPECT_TRUE(died_of(b, SIGUSR1));
}

TEST(HostKillSelf, NeverSignalsTheCallingProcess)
{
    char old_name[17] = "";
    ASSERT_EQ(prctl(PR_GET_NAME, old_name), 0);
    const std::string name = "ps" + std::to_string(::getpid());
    ASSERT_EQ(prctl(PR_SET_NAME, name.c_str()), 0);
    // SIGKILL: if we were signalled, the test binary would die outright.
    int n = pelk::utils::kill_process_by_name(name, SIGKILL);
    prctl(PR_SET_NAME, old_name);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(pelk::utils::kill_process_by_name("", SIGTERM), 0);
}

}  // namespace
