#include "tool_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

extern char** environ;

namespace clitest
{
namespace
{

void close_fd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Appends what is readable; false at end of file.
bool read_some(int fd, std::string& into)
{
    char buffer[4096];
    ssize_t n;
    do {
        n = read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
}

// The words of NETLIB_UNDER_EMULATOR ("qemu-arm -L /usr/arm-linux-gnueabihf")
// when the tests run emulated: the host kernel cannot start a target
// program by itself, so the emulator's command goes in front of it.
std::vector<std::string> emulator_words()
{
    std::vector<std::string> words;
    const char* emulator = std::getenv("NETLIB_UNDER_EMULATOR");
    if (emulator == nullptr)
        return words;
    std::istringstream in(emulator);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

}  // namespace

Tool::Tool(const std::vector<std::string>& args)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> argv_text = emulator_words();
    argv_text.push_back(NETLIBCTL_PATH);
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_text)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    // A path (netlibctl) is used as it stands; a bare emulator name is
    // looked up in PATH.
    int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (rc != 0) {
        pid_ = -1;
        ADD_FAILURE() << "cannot start " << argv_text[0] << ": " << std::strerror(rc);
    }
}

Tool::~Tool()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_fd(out_fd_);
    close_fd(err_fd_);
}

Result Tool::finish(std::chrono::milliseconds timeout)
{
    Result result;
    bool timed_out = false;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_fd_ >= 0 || err_fd_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ADD_FAILURE() << "netlibctl still running after " << timeout.count() << " ms; killed";
            timed_out = true;
            break;
        }
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        if (fds[0].revents && !read_some(out_fd_, result.out))
            close_fd(out_fd_);
        if (fds[1].revents && !read_some(err_fd_, result.err))
            close_fd(err_fd_);
    }
    close_fd(out_fd_);
    close_fd(err_fd_);
    if (pid_ <= 0)
        return result;
    if (timed_out)
        kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace clitest
