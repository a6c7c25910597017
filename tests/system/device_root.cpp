#include "device_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace systest
{
namespace
{

constexpr const char* kPeerIface = "peer0";
constexpr const char* kPeerCidr = "10.99.1.1/24";
constexpr const char* kDeviceIface = "eth0";

std::string errno_text(const std::string& what, int err)
{
    return what + ": " + std::strerror(err);
}

bool is_permission_error(int err)
{
    return err == EPERM || err == EACCES;
}

std::string first_executable(const std::vector<std::string>& candidates)
{
    for (const auto& candidate : candidates) {
        if (access(candidate.c_str(), X_OK) != 0)
            continue;
        char resolved[PATH_MAX];
        if (realpath(candidate.c_str(), resolved))
            return resolved;
    }
    return {};
}

std::string base_name(const std::string& path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Everything below until the holders runs in freshly forked children of
// the single-threaded test process, before exec or instead of it.

bool write_all(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool read_fd(int fd, std::string& content)
{
    content.clear();
    char buffer[8192];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        content.append(buffer, static_cast<size_t>(n));
    }
}

// Reads a whole anonymous file from its start, whatever its shared offset.
std::string read_from_start(int fd)
{
    std::string content;
    char buffer[8192];
    off_t offset = 0;
    for (;;) {
        ssize_t n = pread(fd, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return content;
        content.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
}

int mkdir_p(const std::string& path, mode_t mode)
{
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty())
            continue;
        partial += "/" + part;
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST)
            return errno;
    }
    return 0;
}

int copy_file(const std::string& from, const std::string& to, mode_t mode)
{
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return errno;
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (out < 0) {
        int err = errno;
        close(in);
        return err;
    }
    std::string content;
    int err = read_fd(in, content) && write_all(out, content) ? 0 : (errno ? errno : EIO);
    if (fchmod(out, mode) != 0 && err == 0)
        err = errno;
    close(in);
    close(out);
    return err;
}

// Outcome of one set-up step inside a holder.
struct Step {
    int err = 0;
    std::string what;
    bool ok() const { return err == 0; }
};

Step fail(int err, const std::string& what)
{
    return Step{err ? err : EIO, what};
}

Step bind_read_only(const std::string& from, const std::string& to)
{
    if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return fail(errno, "bind " + from);
    if (mount(nullptr, to.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        return fail(errno, "read-only remount of " + to);
    return {};
}

// The system's library and program trees, read-only; merged-/usr links are
// copied as links so the device resolves them the same way.
Step bind_system_trees(const std::string& root)
{
    for (const char* name : {"usr", "lib", "lib64", "lib32", "libx32", "sbin"}) {
        std::string source = std::string("/") + name;
        std::string target = root + source;
        struct stat st;
        if (lstat(source.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char link[PATH_MAX];
            ssize_t n = readlink(source.c_str(), link, sizeof link - 1);
            if (n < 0)
                return fail(errno, "readlink " + source);
            link[n] = '\0';
            if (symlink(link, target.c_str()) != 0)
                return fail(errno, "symlink " + target);
            continue;
        }
        if (!S_ISDIR(st.st_mode))
            continue;
        if (mkdir(target.c_str(), 0755) != 0)
            return fail(errno, "mkdir " + target);
        Step step = bind_read_only(source, target);
        if (!step.ok())
            return step;
    }
    return {};
}

Step populate_bin(const DeviceConfig& config, const std::string& root)
{
    const std::string bin = root + "/bin/";
    struct Copy {
        const std::string& from;
        const char* name;
        mode_t mode;
    };
    for (const Copy& c : {Copy{config.tools.ip, "ip", 0755}, Copy{config.tools.route, "route", 0755},
                          Copy{config.tools.busybox, "busybox", 0755}, Copy{config.tools.sh, "sh", 0755},
                          Copy{config.hook_script, "udhcpc_cb.sh", 0755}}) {
        if (c.from.empty())
            continue;
        if (int err = copy_file(c.from, bin + c.name, c.mode))
            return fail(err, "copy " + c.from);
    }
    if (symlink("busybox", (bin + "udhcpc").c_str()) != 0)
        return fail(errno, "symlink /bin/udhcpc");
    if (!config.netlibctl.empty() && symlink(config.netlibctl.c_str(), (bin + "netlibctl").c_str()) != 0)
        return fail(errno, "symlink /bin/netlibctl");
    return {};
}

// /dev/null and the random sources, which the programs inside open.
Step populate_dev(const std::string& root)
{
    for (const char* name : {"null", "zero", "random", "urandom"}) {
        std::string source = std::string("/dev/") + name;
        std::string target = root + source;
        int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return fail(errno, "create " + target);
        close(fd);
        if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return fail(errno, "bind " + source);
    }
    return {};
}

Step enter_new_root(const std::string& root)
{
    const std::string old_root = root + "/.old_root";
    if (mkdir(old_root.c_str(), 0700) != 0)
        return fail(errno, "mkdir " + old_root);
    if (syscall(SYS_pivot_root, root.c_str(), old_root.c_str()) != 0)
        return fail(errno, "pivot_root");
    if (chdir("/") != 0)
        return fail(errno, "chdir /");
    if (umount2("/.old_root", MNT_DETACH) != 0)
        return fail(errno, "detach old root");
    if (rmdir("/.old_root") != 0)
        return fail(errno, "rmdir /.old_root");
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        return fail(errno, "mount /proc");
    return {};
}

// Runs inside the device holder: PID 1 of the device's PID namespace, in
// its own mount, network and UTS namespaces.
Step build_device_root(const DeviceConfig& config, const std::string& root)
{
    // Nothing mounted from here on may reach the machine's namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail(errno, "make / private");
    if (sethostname(config.hostname.c_str(), config.hostname.size()) != 0)
        return fail(errno, "sethostname");
    if (mount("tmpfs", root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64m,mode=0755") != 0)
        return fail(errno, "mount tmpfs root");
    for (const char* dir : {"/bin", "/etc", "/tmp", "/proc", "/dev"}) {
        if (mkdir((root + dir).c_str(), 0755) != 0)
            return fail(errno, std::string("mkdir ") + dir);
    }
    if (chmod((root + "/tmp").c_str(), 01777) != 0)
        return fail(errno, "chmod /tmp");
    Step step = bind_system_trees(root);
    if (step.ok())
        step = populate_bin(config, root);
    if (step.ok())
        step = populate_dev(root);
    if (!step.ok())
        return step;
    const std::string build = root + config.build_dir;
    if (int err = mkdir_p(build, 0755))
        return fail(err, "mkdir " + build);
    step = bind_read_only(config.build_dir, build);
    if (!step.ok())
        return step;
    return enter_new_root(root);
}

struct Holder {
    pid_t relay = -1;
    pid_t pid = -1;
};

[[noreturn]] void report_and_exit(int fd, const Step& step)
{
    write_all(fd, "fail " + std::to_string(step.err) + " " + errno_text(step.what, step.err) + "\n");
    _exit(1);
}

// The holder keeps its namespaces alive: it reaps the orphans the device
// leaves it and waits to be killed.
[[noreturn]] void run_holder(int report_fd, const std::function<Step()>& setup)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGCHLD, SIG_IGN);
    Step step = setup ? setup() : Step{};
    if (!step.ok())
        report_and_exit(report_fd, step);
    write_all(report_fd, "ok\n");
    close(report_fd);
    for (;;)
        pause();
}

// The relay unshares, forks the holder into the new PID namespace and
// waits for it, so that reaping the relay means the namespace is empty.
[[noreturn]] void run_relay(int report_fd, pid_t test_process, int flags, const std::function<Step()>& setup)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != test_process)
        _exit(1);
    if (unshare(flags) != 0)
        report_and_exit(report_fd, fail(errno, "unshare"));
    pid_t holder = fork();
    if (holder < 0)
        report_and_exit(report_fd, fail(errno, "fork holder"));
    if (holder == 0)
        run_holder(report_fd, setup);
    write_all(report_fd, "pid " + std::to_string(holder) + "\n");
    close(report_fd);
    int status;
    while (waitpid(holder, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(0);
}

// Kills the holder, and with it its PID namespace, then reaps the relay,
// which returns only once the holder and everything inside are gone.
void stop_holder(Holder& holder)
{
    if (holder.pid > 0)
        kill(holder.pid, SIGKILL);
    else if (holder.relay > 0)
        kill(holder.relay, SIGKILL);
    if (holder.relay > 0) {
        int status;
        while (waitpid(holder.relay, &status, 0) < 0 && errno == EINTR) {
        }
    }
    holder = Holder{};
}

// Reads the relay's and the holder's reports until both have closed the
// pipe: "pid N", then "ok" or "fail ERRNO TEXT".
bool read_reports(int fd, std::string& reports)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    char buffer[512];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        reports.append(buffer, static_cast<size_t>(n));
    }
}

bool spawn_holder(int flags, const std::function<Step()>& setup, Holder& holder, std::string& why, bool& not_permitted)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        why = errno_text("pipe", errno);
        return false;
    }
    pid_t self = getpid();
    holder.relay = fork();
    if (holder.relay == 0) {
        close(report[0]);
        run_relay(report[1], self, flags, setup);
    }
    close(report[1]);
    if (holder.relay < 0) {
        why = errno_text("fork", errno);
        close(report[0]);
        return false;
    }
    std::string reports;
    bool complete = read_reports(report[0], reports);
    close(report[0]);

    std::istringstream lines(reports);
    std::string line;
    bool ok = false;
    while (std::getline(lines, line)) {
        if (line.rfind("pid ", 0) == 0)
            holder.pid = static_cast<pid_t>(std::atoi(line.c_str() + 4));
        else if (line == "ok")
            ok = true;
        else if (line.rfind("fail ", 0) == 0) {
            char* rest = nullptr;
            int err = static_cast<int>(std::strtol(line.c_str() + 5, &rest, 10));
            not_permitted = is_permission_error(err);
            why = rest && *rest ? rest + 1 : line;
        }
    }
    if (ok && complete && holder.pid > 0)
        return true;
    if (why.empty())
        why = complete ? "namespace holder ended without a report" : "namespace holder did not report in time";
    stop_holder(holder);
    return false;
}

std::vector<std::string> clean_environment()
{
    std::vector<std::string> env = {"PATH=/bin:/sbin:/usr/bin:/usr/sbin", "HOME=/", "LANG=C"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = getenv(name))
            env.push_back(std::string(name) + "=" + value);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts)
{
    std::vector<char*> result;
    for (auto& text : texts)
        result.push_back(&text[0]);
    result.push_back(nullptr);
    return result;
}

[[noreturn]] void child_fail(const std::string& what)
{
    write_all(STDERR_FILENO, errno_text(what, errno) + "\n");
    _exit(126);
}

// Second stage inside the target: runs the program or the body with the
// captured output.
[[noreturn]] void run_target_program(int out, int err, mode_t mask, char* const* argv, char* const* env,
                                     const std::function<int()>& body)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0 && null_fd != STDIN_FILENO) {
        dup2(null_fd, STDIN_FILENO);
        close(null_fd);
    }
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    umask(mask);
    if (argv[0]) {
        execve(argv[0], argv, env);
        child_fail(std::string("exec ") + argv[0]);
    }
    _exit(body());
}

// First stage: joins the namespaces (all descriptors opened before the
// mount namespace changes what /proc means), then forks so that the
// program lands in the target's PID namespace.
[[noreturn]] void join_and_run(const NsTarget& target, int out, int err, mode_t mask, char* const* argv,
                               char* const* env, const std::function<int()>& body)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(err, STDERR_FILENO);
    const std::string proc = "/proc/" + std::to_string(target.holder);
    std::vector<int> fds;
    for (const auto& ns : target.namespaces) {
        int fd = open((proc + "/ns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            child_fail("open namespace " + ns);
        fds.push_back(fd);
    }
    int root = -1;
    if (target.enter_root && (root = open((proc + "/root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0)
        child_fail("open root");
    for (size_t i = 0; i < fds.size(); ++i) {
        if (setns(fds[i], 0) != 0)
            child_fail("setns " + target.namespaces[i]);
    }
    if (root >= 0 && (fchdir(root) != 0 || chroot(".") != 0))
        child_fail("chroot");
    pid_t child = fork();
    if (child < 0)
        child_fail("fork");
    if (child == 0)
        run_target_program(out, err, mask, argv, env, body);
    int status;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            child_fail("waitpid");
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// Waits for the child until the deadline; kills it when the time is up.
int wait_with_deadline(pid_t child, std::chrono::milliseconds timeout, bool& timed_out)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR)
            return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            timed_out = true;
            kill(child, SIGKILL);
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool read_text(const std::string& path, std::string& content)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = read_fd(fd, content);
    close(fd);
    return ok;
}

std::string ns_id(pid_t pid, const char* ns)
{
    char link[128];
    std::string path = "/proc/" + std::to_string(pid) + "/ns/" + ns;
    ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n < 0)
        return {};
    return std::string(link, static_cast<size_t>(n));
}

std::vector<std::string> numeric_entries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (struct dirent* entry = readdir(d)) {
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9')
            names.push_back(entry->d_name);
    }
    closedir(d);
    return names;
}

// Local UDP port 67 bound in the network namespace of `pid`.
bool dhcp_port_bound(pid_t pid)
{
    std::string table;
    if (!read_text("/proc/" + std::to_string(pid) + "/net/udp", table))
        return false;
    return table.find(":0043 ") != std::string::npos;
}

}  // namespace

std::string CommandResult::describe() const
{
    std::string text = "exit " + std::to_string(status);
    if (timed_out)
        text += " (timed out)";
    return text + "\n--- stdout:\n" + out + "--- stderr:\n" + err;
}

bool Tools::locate(Tools& tools, std::string& missing)
{
    tools.ip = first_executable({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"});
    tools.route = first_executable({"/usr/sbin/route", "/sbin/route", "/usr/bin/route", "/bin/route"});
    if (base_name(tools.route) == "busybox")
        tools.route.clear();  // must be net-tools' own program
    tools.busybox = first_executable({"/usr/bin/busybox", "/bin/busybox", "/usr/sbin/busybox", "/sbin/busybox"});
    tools.sh = first_executable({"/bin/sh"});
    tools.dnsmasq = first_executable({"/usr/sbin/dnsmasq", "/sbin/dnsmasq", "/usr/bin/dnsmasq"});
    missing.clear();
    const std::pair<const std::string*, const char*> needed[] = {{&tools.ip, "ip (package iproute2)"},
                                                                 {&tools.route, "route (package net-tools)"},
                                                                 {&tools.busybox, "busybox (package busybox)"},
                                                                 {&tools.sh, "/bin/sh"},
                                                                 {&tools.dnsmasq, "dnsmasq (package dnsmasq-base)"}};
    for (const auto& item : needed) {
        if (item.first->empty())
            missing += std::string(missing.empty() ? "" : ", ") + item.second;
    }
    return missing.empty();
}

CommandResult run_in(const NsTarget& target, const std::vector<std::string>& argv, const std::function<int()>& body,
                     const RunOptions& options)
{
    CommandResult result;
    int out = memfd_create("stdout", MFD_CLOEXEC);
    int err = memfd_create("stderr", MFD_CLOEXEC);
    if (out < 0 || err < 0) {
        result.err = errno_text("memfd_create", errno);
        if (out >= 0)
            close(out);
        if (err >= 0)
            close(err);
        return result;
    }
    std::vector<std::string> args = argv;
    std::vector<std::string> env = clean_environment();
    std::vector<char*> arg_pointers = pointers(args);
    std::vector<char*> env_pointers = pointers(env);

    pid_t child = fork();
    if (child == 0)
        join_and_run(target, out, err, options.umask, arg_pointers.data(), env_pointers.data(), body);
    if (child < 0) {
        result.err = errno_text("fork", errno);
    } else {
        result.status = wait_with_deadline(child, options.timeout, result.timed_out);
        result.out = read_from_start(out);
        result.err = read_from_start(err);
    }
    close(out);
    close(err);
    return result;
}

std::unique_ptr<DeviceRoot> DeviceRoot::create(const DeviceConfig& config, std::string& why, bool& not_permitted)
{
    not_permitted = false;
    if (geteuid() != 0) {
        not_permitted = true;
        why = "the device root needs root (mount, network and PID namespaces, tmpfs, pivot_root)";
        return nullptr;
    }
    std::unique_ptr<DeviceRoot> device(new DeviceRoot(config));
    if (!device->build(why, not_permitted))
        return nullptr;
    return device;
}

bool DeviceRoot::build(std::string& why, bool& not_permitted)
{
    char scratch[] = "/tmp/netlib-device.XXXXXX";
    if (!mkdtemp(scratch)) {
        why = errno_text("mkdtemp", errno);
        return false;
    }
    scratch_ = scratch;
    const std::string root = scratch_ + "/root";
    if (mkdir(root.c_str(), 0755) != 0) {
        why = errno_text("mkdir " + root, errno);
        return false;
    }

    Holder device, peer;
    const DeviceConfig config = config_;
    bool ok = spawn_holder(
        CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWPID,
        [&config, &root] { return build_device_root(config, root); }, device, why, not_permitted);
    device_relay_ = device.relay;
    device_holder_ = device.pid;
    if (!ok) {
        why = "device: " + why;
        return false;
    }
    ok = spawn_holder(CLONE_NEWNET | CLONE_NEWPID, nullptr, peer, why, not_permitted);
    peer_relay_ = peer.relay;
    peer_holder_ = peer.pid;
    if (!ok) {
        why = "peer: " + why;
        return false;
    }
    return link_with_peer(why);
}

bool DeviceRoot::link_with_peer(std::string& why)
{
    const std::string mtu = std::to_string(config_.eth0_mtu);
    const std::string& ip = config_.tools.ip;
    // Made inside the peer, with the device end moved straight into the
    // device: the machine's own namespace never sees either end.
    const std::vector<std::vector<std::string>> peer_steps = {
        {ip, "link", "add", kPeerIface, "mtu", mtu, "type", "veth", "peer", "name", kDeviceIface, "mtu", mtu, "netns",
         std::to_string(device_holder_)},
        {ip, "link", "set", "lo", "up"},
        {ip, "addr", "add", kPeerCidr, "dev", kPeerIface},
        {ip, "link", "set", kPeerIface, "up"}};
    for (const auto& step : peer_steps) {
        CommandResult r = run_peer(step);
        if (r.status != 0) {
            why = "peer set-up `" + step[1] + " " + step[2] + "` failed: " + r.describe();
            return false;
        }
    }
    CommandResult r = run({"/bin/ip", "link", "set", "lo", "up"});
    if (r.status != 0) {
        why = "device loopback: " + r.describe();
        return false;
    }
    return true;
}

NsTarget DeviceRoot::device_target() const
{
    return NsTarget{device_holder_, {"uts", "net", "pid", "mnt"}, true};
}

NsTarget DeviceRoot::peer_target(bool with_pid) const
{
    NsTarget target{peer_holder_, {"net"}, false};
    if (with_pid)
        target.namespaces.push_back("pid");
    return target;
}

DeviceRoot::~DeviceRoot()
{
    teardown();
}

void DeviceRoot::teardown()
{
    Holder device{device_relay_, device_holder_};
    Holder peer{peer_relay_, peer_holder_};
    stop_holder(device);
    stop_holder(peer);
    device_relay_ = device_holder_ = peer_relay_ = peer_holder_ = -1;
    if (scratch_.empty())
        return;
    // Only the known entries: the root mount point is an empty directory
    // here (its mounts lived in the device's namespace), and nothing is
    // removed recursively.
    for (const char* name : {"dnsmasq.log", "dnsmasq.pid"})
        unlink((scratch_ + "/" + name).c_str());
    rmdir((scratch_ + "/root").c_str());
    rmdir(scratch_.c_str());
    scratch_.clear();
}

CommandResult DeviceRoot::run(const std::vector<std::string>& argv, const RunOptions& options)
{
    return run_in(device_target(), argv, nullptr, options);
}

CommandResult DeviceRoot::run_peer(const std::vector<std::string>& argv, const RunOptions& options)
{
    return run_in(peer_target(false), argv, nullptr, options);
}

bool DeviceRoot::start_dhcp_server(const DhcpServerConfig& c, std::string& why)
{
    std::vector<std::string> args = {config_.tools.dnsmasq,
                                     "--keep-in-foreground",
                                     "--conf-file=/dev/null",
                                     "--no-resolv",
                                     "--no-hosts",
                                     "--port=0",
                                     "--user=root",
                                     std::string("--interface=") + kPeerIface,
                                     "--bind-interfaces",
                                     "--dhcp-range=" + c.range_first + "," + c.range_last + "," + c.netmask + ",1h",
                                     "--dhcp-option=3," + c.router,
                                     "--dhcp-option=6," + c.name_server,
                                     "--dhcp-authoritative",
                                     "--no-ping",
                                     "--leasefile-ro",
                                     "--pid-file=" + scratch_ + "/dnsmasq.pid",
                                     "--log-dhcp",
                                     "--log-facility=" + scratch_ + "/dnsmasq.log"};
    std::vector<char*> argv = pointers(args);
    std::vector<std::string> env = clean_environment();
    std::vector<char*> envp = pointers(env);
    // Started from inside the peer's PID namespace and left behind there:
    // the peer holder adopts it, and it dies with the holder.
    auto detach = [&argv, &envp]() -> int {
        pid_t server = fork();
        if (server < 0)
            return 1;
        if (server == 0) {
            setsid();
            int null_fd = open("/dev/null", O_RDWR);
            for (int fd = 0; fd <= 2; ++fd)
                dup2(null_fd, fd);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        return 0;
    };
    CommandResult r = run_in(peer_target(true), {}, detach, RunOptions{});
    if (r.status != 0) {
        why = "starting dnsmasq failed: " + r.describe();
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!dhcp_port_bound(peer_holder_)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            why = "dnsmasq did not start listening; its log:\n" + dhcp_server_log();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string DeviceRoot::dhcp_server_log() const
{
    std::string log;
    read_text(scratch_ + "/dnsmasq.log", log);
    return log;
}

std::string DeviceRoot::path(const std::string& device_path) const
{
    return "/proc/" + std::to_string(device_holder_) + "/root" + device_path;
}

bool DeviceRoot::read_file(const std::string& device_path, std::string& content) const
{
    return read_text(path(device_path), content);
}

bool DeviceRoot::write_file(const std::string& device_path, const std::string& content, mode_t mode) const
{
    int fd = open(path(device_path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, content) && fchmod(fd, mode) == 0;
    return close(fd) == 0 && ok;
}

bool DeviceRoot::file_mode(const std::string& device_path, mode_t& mode) const
{
    struct stat st;
    if (lstat(path(device_path).c_str(), &st) != 0)
        return false;
    mode = st.st_mode;
    return true;
}

std::vector<std::string> DeviceRoot::list_dir(const std::string& device_path) const
{
    std::vector<std::string> names;
    DIR* d = opendir(path(device_path).c_str());
    if (!d)
        return names;
    while (struct dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool DeviceRoot::read_proc(const std::string& device_path, std::string& content)
{
    auto copy_out = [&device_path]() -> int {
        std::string text;
        if (!read_text(device_path, text))
            return 1;
        return write_all(STDOUT_FILENO, text) ? 0 : 1;
    };
    CommandResult r = run_in(device_target(), {}, copy_out, RunOptions{});
    content = r.out;
    return r.status == 0;
}

bool DeviceRoot::write_proc(const std::string& device_path, const std::string& text)
{
    auto write_in = [&device_path, &text]() -> int {
        int fd = open(device_path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return 1;
        bool ok = write_all(fd, text);
        return close(fd) == 0 && ok ? 0 : 1;
    };
    return run_in(device_target(), {}, write_in, RunOptions{}).status == 0;
}

std::vector<Process> DeviceRoot::processes(const std::string& comm) const
{
    std::vector<Process> found;
    const std::string proc = path("/proc/");
    for (const auto& pid : numeric_entries(proc)) {
        std::string name, stat, cmdline;
        if (!read_text(proc + pid + "/comm", name) || name != comm + "\n")
            continue;
        if (!read_text(proc + pid + "/stat", stat) || !read_text(proc + pid + "/cmdline", cmdline))
            continue;
        Process p;
        p.pid = static_cast<pid_t>(std::atoi(pid.c_str()));
        auto paren = stat.rfind(')');
        if (paren != std::string::npos && paren + 2 < stat.size())
            p.state = stat[paren + 2];
        if (p.state == 'Z' || p.state == 'X')
            continue;
        std::string arg;
        for (char ch : cmdline) {
            if (ch == '\0') {
                p.argv.push_back(arg);
                arg.clear();
            } else {
                arg += ch;
            }
        }
        found.push_back(p);
    }
    return found;
}

std::vector<pid_t> DeviceRoot::host_pids() const
{
    std::vector<pid_t> pids;
    std::vector<std::string> namespaces;
    for (pid_t holder : {device_holder_, peer_holder_}) {
        std::string id = holder > 0 ? ns_id(holder, "pid") : std::string();
        if (!id.empty())
            namespaces.push_back(id);
    }
    for (const auto& pid : numeric_entries("/proc")) {
        pid_t n = static_cast<pid_t>(std::atoi(pid.c_str()));
        std::string id = ns_id(n, "pid");
        for (const auto& wanted : namespaces) {
            if (id == wanted)
                pids.push_back(n);
        }
    }
    return pids;
}

}  // namespace systest
