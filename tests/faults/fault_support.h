// Tools of the fault-injection suite: real system calls are made to fail in
// a forked child (seccomp filters that return an errno, resource limits,
// dropped capabilities, private mount namespaces with small or read-only
// file systems), and the standalone host's log lines are captured.
#ifndef NETLIB_FAULT_SUPPORT_H
#define NETLIB_FAULT_SUPPORT_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace faults
{

// ---- log capture (standalone host) ----

// Lines logged through logInternal since the last clear, each as the host
// formats it: "E3 pelk_network_utils_core <file>:<line> <function>: <text>[: <strerror>]".
const std::vector<std::string>& log_lines();
void clear_log();
void capture_log();  // routes the host's log into log_lines()
// Number of captured lines that contain every one of the fragments.
int log_count(const std::vector<std::string>& fragments);
std::string log_dump();

// ---- descriptors ----

// Open descriptors of this process (from /proc/self/fd when mounted, else
// by probing every number below the descriptor limit).
int fd_count();

// ---- child processes ----

// Collects the failed expectations of a child process.
class Checks
{
public:
    void expect(bool ok, const std::string& what);
    // The line containing every fragment was logged exactly once.
    void expect_logged(const std::vector<std::string>& fragments);
    const std::string& text() const { return failures_; }

private:
    std::string failures_;
};

struct ChildResult {
    bool exited = false;
    int code = -1;
    std::string report;  // the child's failed expectations, or why it could not run
};

// Runs body in a forked child and waits for it (at most timeout_s seconds,
// then it is killed). The child exits 0 when body leaves no failure text,
// 77 when body reports a reason to skip through skip().
ChildResult run_in_child(const std::function<void(Checks&)>& body, int timeout_s = 30);
// Inside a child body: give up with a reason (the test is skipped).
[[noreturn]] void skip(const std::string& why);

// ---- seams ----

// One rule of a seccomp filter: system call nr fails with err; with arg >= 0
// only when the low 32 bits of argument arg equal value.
struct ErrnoRule {
    long nr;
    int err;
    int arg = -1;
    unsigned int value = 0;
};

// Installs a filter for the calling process (and its future children).
// false with errno when the kernel refuses it.
bool install_errno_filter(const std::vector<ErrnoRule>& rules);

// Removes CAP_NET_ADMIN from the effective, permitted and inheritable sets.
bool drop_net_admin();

// Lowers the soft descriptor limit so that no new descriptor can be opened.
// Returns the old soft limit, -1 on failure.
long exhaust_descriptors();
bool restore_descriptor_limit(long soft);

// A device root for the calling (child) process: a private mount namespace,
// a tmpfs with the given mount options mounted over /tmp and made the root
// with chroot, holding etc/ and tmp/ (and proc/ bound from the system's when
// with_proc). false with the reason in why.
bool enter_device_root(const std::string& tmpfs_options, bool with_proc, std::string& why);

// Fills the file system holding dir until a create or a write fails with
// ENOSPC (what says which: "inodes" or "blocks").
bool fill_file_system(const std::string& dir, const std::string& what);

// Whole content of a file, or "<missing>".
std::string read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& text);

// Runs a command line of the test's own set-up (never the library's): exit
// status, -1 when it did not exit normally.
int run(const std::vector<std::string>& argv);

// False with the reason when no seccomp filter can be installed: qemu-user
// refuses them, and a filter would see the host's system-call numbers, not
// the emulated target's.
bool seccomp_available(std::string& why);
// False with the reason when a program that cannot be executed is not
// reported by posix_spawn: qemu-user runs glibc's vfork-style child as a
// plain fork, so the failed exec never reaches the parent.
bool exec_failure_reported(std::string& why);
// False with the reason when the SIOCETHTOOL ioctl that just failed with
// err (now logged) was refused by the emulator rather than by the kernel.
bool ethtool_reaches_kernel(int err, std::string& why);

}  // namespace faults

#endif
