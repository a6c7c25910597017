#include "fault_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pelk/host.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace faults
{

namespace
{

std::vector<std::string> g_lines;
int g_report_fd = -1;

void sink(int, const char* line, std::size_t length)
{
    std::string text(line, length);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    g_lines.push_back(text);
}

bool contains_all(const std::string& line, const std::vector<std::string>& fragments)
{
    for (const std::string& f : fragments) {
        if (line.find(f) == std::string::npos)
            return false;
    }
    return true;
}

void write_all(int fd, const std::string& text)
{
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

#if defined(__x86_64__)
const unsigned int kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
const unsigned int kAuditArch = AUDIT_ARCH_AARCH64;
#elif defined(__arm__)
const unsigned int kAuditArch = AUDIT_ARCH_ARM;
#elif defined(__i386__)
const unsigned int kAuditArch = AUDIT_ARCH_I386;
#else
#error "no seccomp architecture for this target"
#endif

sock_filter stmt(unsigned short code, unsigned int k)
{
    return sock_filter{code, 0, 0, k};
}

sock_filter jump(unsigned short code, unsigned int k, unsigned char jt, unsigned char jf)
{
    return sock_filter{code, jt, jf, k};
}

}  // namespace

const std::vector<std::string>& log_lines()
{
    return g_lines;
}

void clear_log()
{
    g_lines.clear();
}

void capture_log()
{
    pelk::host::set_log_sink(&sink);
}

int log_count(const std::vector<std::string>& fragments)
{
    int n = 0;
    for (const std::string& line : g_lines) {
        if (contains_all(line, fragments))
            ++n;
    }
    return n;
}

std::string log_dump()
{
    std::string all;
    for (const std::string& line : g_lines)
        all += "  | " + line + "\n";
    return all.empty() ? "  (nothing logged)\n" : all;
}

int fd_count()
{
    DIR* dir = opendir("/proc/self/fd");
    if (dir != nullptr) {
        int n = 0;
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                ++n;
        }
        closedir(dir);
        return n - 1;  // the directory's own descriptor
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const long top = limit.rlim_cur > 65536 ? 65536 : static_cast<long>(limit.rlim_cur);
    int n = 0;
    for (long fd = 0; fd < top; ++fd) {
        if (fcntl(static_cast<int>(fd), F_GETFD) >= 0)
            ++n;
    }
    return n;
}

void Checks::expect(bool ok, const std::string& what)
{
    if (!ok)
        failures_ += "  failed: " + what + "\n";
}

void Checks::expect_logged(const std::vector<std::string>& fragments)
{
    const int n = log_count(fragments);
    if (n == 1)
        return;
    std::string joined;
    for (const std::string& f : fragments)
        joined += "[" + f + "]";
    failures_ += "  expected one log line with " + joined + ", found " + std::to_string(n) + "; log:\n" + log_dump();
}

void skip(const std::string& why)
{
    if (g_report_fd >= 0)
        write_all(g_report_fd, why);
    _exit(77);
}

ChildResult run_in_child(const std::function<void(Checks&)>& body, int timeout_s)
{
    ChildResult result;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        result.report = std::string("pipe2: ") + std::strerror(errno);
        return result;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        result.report = std::string("fork: ") + std::strerror(errno);
        close(report[0]);
        close(report[1]);
        return result;
    }
    if (pid == 0) {
        close(report[0]);
        g_report_fd = report[1];
        clear_log();
        Checks checks;
        try {
            body(checks);
        } catch (const std::exception& e) {
            checks.expect(false, std::string("exception: ") + e.what());
        }
        write_all(report[1], checks.text());
        _exit(checks.text().empty() ? 0 : 1);
    }
    close(report[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    char buffer[4096];
    bool timed_out = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            break;
        }
        pollfd p{report[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        const ssize_t n = read(report[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.report.append(buffer, static_cast<std::size_t>(n));
    }
    close(report[0]);
    if (timed_out) {
        kill(pid, SIGKILL);
        result.report += "  child timed out after " + std::to_string(timeout_s) + " s\n";
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exited = !timed_out;
        result.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.report += "  child killed by signal " + std::to_string(WTERMSIG(status)) + "\n";
    }
    return result;
}

bool install_errno_filter(const std::vector<ErrnoRule>& rules)
{
    std::vector<sock_filter> program;
    program.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0));
    program.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    for (const ErrnoRule& rule : rules) {
        const unsigned int fail = SECCOMP_RET_ERRNO | (static_cast<unsigned int>(rule.err) & SECCOMP_RET_DATA);
        program.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
        if (rule.arg < 0) {
            program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(rule.nr), 0, 1));
        } else {
            // Low word of the argument: the targets are little-endian.
            program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(rule.nr), 0, 3));
            program.push_back(
                stmt(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned int>(offsetof(seccomp_data, args) + 8 * rule.arg)));
            program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, rule.value, 0, 1));
        }
        program.push_back(stmt(BPF_RET | BPF_K, fail));
    }
    program.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));

    sock_fprog prog{static_cast<unsigned short>(program.size()), program.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) == 0;
}

bool drop_net_admin()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    const unsigned int bit = 1u << (CAP_NET_ADMIN % 32);
    const int word = CAP_NET_ADMIN / 32;
    data[word].effective &= ~bit;
    data[word].permitted &= ~bit;
    data[word].inheritable &= ~bit;
    return syscall(SYS_capset, &header, data) == 0;
}

long exhaust_descriptors()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    // The lowest free number is where the next descriptor would go.
    const int probe = dup(0);
    if (probe < 0)
        return -1;
    close(probe);
    const long old_soft = static_cast<long>(limit.rlim_cur);
    limit.rlim_cur = static_cast<rlim_t>(probe);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    return old_soft;
}

bool restore_descriptor_limit(long soft)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    limit.rlim_cur = static_cast<rlim_t>(soft);
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

bool enter_device_root(const std::string& tmpfs_options, bool with_proc, std::string& why)
{
    auto fail = [&why](const std::string& step) {
        why = step + ": " + std::strerror(errno);
        return false;
    };
    if (unshare(CLONE_NEWNS) != 0)
        return fail("unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("making / private");
    if (mount("devroot", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, tmpfs_options.c_str()) != 0)
        return fail("mounting tmpfs (" + tmpfs_options + ")");
    if (mkdir("/tmp/etc", 0755) != 0 || mkdir("/tmp/tmp", 01777) != 0)
        return fail("mkdir etc, tmp");
    if (with_proc) {
        if (mkdir("/tmp/proc", 0555) != 0)
            return fail("mkdir proc");
        if (mount("/proc", "/tmp/proc", nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return fail("binding /proc");
    }
    if (chdir("/tmp") != 0 || chroot(".") != 0 || chdir("/") != 0)
        return fail("chroot");
    return true;
}

bool fill_file_system(const std::string& dir, const std::string& what)
{
    if (what == "inodes") {
        for (int i = 0; i < 1000000; ++i) {
            const std::string path = dir + "/filler." + std::to_string(i);
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0)
                return errno == ENOSPC;
            close(fd);
        }
        return false;
    }
    const int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const std::string block(4096, 'x');
    for (;;) {
        const ssize_t n = ::write(fd, block.data(), block.size());
        if (n < 0) {
            const bool full = errno == ENOSPC;
            close(fd);
            return full;
        }
    }
}

std::string read_file(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "<missing>";
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return text;
}

bool write_file(const std::string& path, const std::string& text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

int run(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool seccomp_available(std::string& why)
{
    if (std::getenv("NETLIB_UNDER_EMULATOR") == nullptr)
        return true;
    why =
        "qemu-user refuses seccomp filters (prctl PR_SET_SECCOMP fails with EINVAL), and a filter would "
        "see the host's system-call numbers, not the emulated target's";
    return false;
}

bool exec_failure_reported(std::string& why)
{
    if (std::getenv("NETLIB_UNDER_EMULATOR") == nullptr)
        return true;
    why =
        "under qemu-user glibc's vfork-style posix_spawn child runs as a plain fork, so a failed exec never "
        "reaches the parent";
    return false;
}

bool ethtool_reaches_kernel(int err, std::string& why)
{
    if (std::getenv("NETLIB_UNDER_EMULATOR") == nullptr || err != ENOSYS)
        return true;
    why = "qemu-user does not translate the SIOCETHTOOL ioctl (0x8946): it fails with ENOSYS";
    return false;
}

}  // namespace faults
