// Recording fake host for unit tests: implements logInternal, writeProc and
// pelk::utils, records every call, and lets a test script the results.
// Variant and the text helpers come from the standalone host unchanged.
#ifndef NETLIB_FAKE_HOST_H
#define NETLIB_FAKE_HOST_H

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace fake
{

struct LogLine {
    std::string module, file, function;
    int line = 0, level = 0, error_number = 0, reserved = 0;
    std::string text;  // the formatted message
};

struct ExecCall {
    std::string program;
    std::vector<std::string> args;
};

struct DaemonCall {
    bool workdir_null = true, mask_null = true, pid_null = true;
    std::string program;
    int count = 0;
    std::vector<std::string> args;
};

struct ProcWrite {
    std::string path, text;
};

struct KillCall {
    std::string name;
    int signal = 0;
};

struct ValidateCall {
    std::string function;  // "ipv4_address_valid" or "ipv4_netmask_valid"
    std::string text;
    bool flag1 = false, flag2 = false;  // flag2 unused for the netmask
};

struct FileOp {
    std::string op;  // "init", "write", "close", "destroy"
    std::string path;
    int mode = -1;
    unsigned int flags = 0;
    std::string text;
};

// Every call of the host interface in order, as one line each
// ("exec /bin/ip addr flush dev eth0", "log 3 check library is not initialized", ...),
// for tests that check the interleaving of different kinds of calls.
struct Host {
    std::vector<LogLine> logs;
    std::vector<ExecCall> execs;
    std::vector<DaemonCall> daemons;
    std::vector<ProcWrite> proc_writes;
    std::vector<KillCall> kills;
    std::vector<ValidateCall> validations;
    std::vector<FileOp> file_ops;
    std::vector<std::string> journal;

    // Scripting. exec_results are consumed one per sysExecSimple call;
    // when empty, exec_hook (if set) and then exec_default decide.
    std::deque<int> exec_results;
    std::function<int(const ExecCall&)> exec_hook;
    int exec_default = 0;
    int daemon_result = 1;
    std::function<int(const ProcWrite&)> proc_hook;          // default: 1 (written)
    std::function<bool(const ValidateCall&)> validate_hook;  // default: the standalone validators
    std::string random_text;  // when set, randomAlphaNumericString returns its first `length` characters
    // File: by default nothing touches the disk. file_passthrough writes real files.
    bool file_passthrough = false;
    bool file_init_result = true;
    int file_write_fail_at = -1;  // 0-based index of the WriteString call that fails

    void reset();
    // Log lines as "LEVEL function: text", in order.
    std::vector<std::string> log_texts() const;
    // Arguments of each exec as one space-joined string, program first.
    std::vector<std::string> exec_lines() const;
};

Host& host();
std::string join_for_journal(const std::string& first, const std::vector<std::string>& rest);

}  // namespace fake

#endif
