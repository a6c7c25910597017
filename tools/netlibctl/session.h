// What every netlibctl command shares: the library context it owns, the
// host's log threshold, exit codes and the tool's own error lines.
#ifndef NETLIBCTL_SESSION_H
#define NETLIBCTL_SESSION_H

#include <string>
#include <vector>

#include "pelk_network_utils_core.h"

namespace netlibctl
{

enum ExitCode {
    exit_ok = 0,
    exit_failure = 1,  // the library reported a failure and logged why
    exit_usage = 2,
};

// Prints "netlibctl: TEXT" on stderr.
void complain(const std::string& text);

// Flushes standard output; false once any of it could not be written (a
// full disk, a reader gone with SIGPIPE ignored), with output_error() the
// errno of the first failure.
bool flush_output();
int output_error();

// The candidates nearest to word (an edit or two away, at most three),
// for "did you mean" hints; empty when none is near.
std::vector<std::string> nearest(const std::string& word, const std::vector<std::string>& candidates);

// After a command on iface failed: one line of netlibctl's own naming the
// interface when the kernel knows none of that name, with the nearest
// names it does know.
void name_missing_interface(const std::string& iface);

// While alive, hides the library's failure lines (level 3): for queries
// whose failure is an ordinary answer (an interface without an address or
// without link settings), not a failure of the command.
class ExpectedFailures
{
public:
    ExpectedFailures();
    ~ExpectedFailures();
    ExpectedFailures(const ExpectedFailures&) = delete;
    ExpectedFailures& operator=(const ExpectedFailures&) = delete;

private:
    int saved_threshold_;
};

// One library context, marked by this front end, with the modules this
// command opened; closes them when it goes away.
class Session
{
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool open();         // the interface module
    bool open_events();  // the events module
    void* ctx() { return &ctx_; }

private:
    netlib_context ctx_;
    bool iface_open_ = false;
    bool events_open_ = false;
};

}  // namespace netlibctl

#endif
