// Runs the built netlibctl as a child process and collects its exit status,
// stdout and stderr.
#ifndef NETLIBCTL_TEST_TOOL_RUNNER_H
#define NETLIBCTL_TEST_TOOL_RUNNER_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace clitest
{

struct Result {
    int status = -1;  // the exit status; -1 when killed by a signal or timed out
    std::string out;
    std::string err;
};

// One running netlibctl; killed if still running when destroyed.
class Tool
{
public:
    explicit Tool(const std::vector<std::string>& args);
    ~Tool();
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;

    pid_t pid() const { return pid_; }
    // Reads its output to the end and waits for it; a tool still running
    // after timeout is killed and the test fails.
    Result finish(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
};

inline Result run_tool(const std::vector<std::string>& args)
{
    return Tool(args).finish();
}

// The lines of text, without their newlines.
std::vector<std::string> lines_of(const std::string& text);

}  // namespace clitest

#endif
