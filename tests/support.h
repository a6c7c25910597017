// What the C++ suites share: a context, the library's log lines read through
// the standalone host's sink, private namespaces, shell set-up steps.
#ifndef NETLIB_TEST_SUPPORT_H
#define NETLIB_TEST_SUPPORT_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <pelk/host.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "netlib_private.h"
#include "pelk_network_utils_core.h"

namespace net = pelk::network;

// The library's log lines since the last take(), as "LEVEL function: message[: error]".
struct Log {
    static std::vector<std::string>& lines()
    {
        static std::vector<std::string> kept;
        return kept;
    }
    static void sink(int level, const char* line, std::size_t length)
    {
        // "E3 module file:line function: message": the module and what follows file:line.
        const std::string text(line, length - 1);
        const std::size_t module = text.find(' ') + 1, where = text.find(' ', module) + 1;
        std::string kept = std::to_string(level) + text.substr(text.find(' ', where));
        const std::size_t temporary = kept.find("/resolv.conf."), end = kept.find('"', temporary);
        if (end != std::string::npos)  // its pid and random part differ on every run
            kept.replace(temporary, end - temporary, "/resolv.conf.PID.RANDOM");
        if (text.compare(module, where - module, "pelk_network_utils_core ") == 0)
            lines().push_back(kept);
    }
    static std::vector<std::string> take()
    {
        std::vector<std::string> taken;
        taken.swap(lines());
        return taken;
    }
    Log()
    {
        pelk::host::set_log_sink(sink);
        take();
    }
    ~Log() { pelk::host::set_log_sink(nullptr); }
};

// A marked context that closes what it opened.
struct Ctx {
    netlib_context block{};
    Ctx() { block.front_end_marker = 1; }
    ~Ctx()
    {
        net::netlib_libevents_close(&block);
        net::netlib_libiface_close(&block);
    }
    operator void*() { return &block; }
};

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Runs a shell command line (set-up and checks only); its output, trimmed.
inline std::string sh(const std::string& command, int* status = nullptr)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int rc = pipe ? pclose(pipe) : -1;
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    else
        EXPECT_EQ(0, rc) << command << "\n" << out;
    return trimmed(out);
}

// Where the library under test runs a program from ("ip program", "route program", "DHCP
// client"), as the netlibctl of the same build says.
inline std::string program_path(const std::string& what)
{
    return sh("\"${NETLIBCTL:-netlibctl}\" --version | sed -n 's/^" + what + ": //p'");
}

inline int open_descriptors()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

// An rtnetlink message built field by field (offsets as the kernel lays them out).
struct Message {
    std::vector<unsigned char> bytes;
    Message(std::uint16_t type, std::size_t family_header) : bytes(16 + family_header) { put<std::uint16_t>(4, type); }
    template <typename T>
    Message& put(std::size_t at, T value)
    {
        std::memcpy(&bytes[at], &value, sizeof value);
        return length(static_cast<std::uint32_t>(bytes.size()));
    }
    Message& length(std::uint32_t n)
    {
        std::memcpy(&bytes[0], &n, sizeof n);
        return *this;
    }
    Message& attr(std::uint16_t type, const std::string& payload, std::uint16_t declared = 0)
    {
        const std::size_t at = bytes.size();
        bytes.resize(at + ((4 + payload.size() + 3) & ~std::size_t{3}));
        put<std::uint16_t>(at, declared ? declared : static_cast<std::uint16_t>(4 + payload.size()));
        put<std::uint16_t>(at + 2, type);
        std::memcpy(&bytes[at + 4], payload.data(), payload.size());
        return *this;
    }
};

// RTM_NEWLINK and friends: index at 20, flags at 24, attributes from 32.
inline Message link_message(std::uint16_t type, int index, unsigned int flags, const std::string& name)
{
    Message m(type, 16);
    m.put(20, index).put(24, flags);
    return name.empty() ? m : m.attr(3, name + '\0');
}

// Runs body as PID 1 of PID and mount namespaces of its own, with a /proc of
// its own mounted at proc, so that whatever it starts, signals or reaps
// stays inside; a failure inside fails the case, and so does an exit before
// the body's end (code under test that ends the process by mistake). The
// namespaces are made in a child: this process can still fork afterwards
// (LeakSanitizer does).
inline void as_init(const std::function<void()>& body, const char* proc = "/proc")
{
    constexpr int kBodyDone = 42;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for PID and mount namespaces of its own";
    const pid_t outer = fork();
    if (outer == 0) {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0)
            _exit(2);
        const pid_t init = fork();
        if (init == 0) {
            if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("proc", proc, "proc", 0, nullptr) != 0)
                _exit(2);
            body();
            std::fflush(nullptr);  // what body printed; _exit does not flush
            _exit(::testing::Test::HasFailure() ? 1 : kBodyDone);
        }
        int status = 0;
        while (waitpid(init, &status, 0) < 0 && errno == EINTR) {
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 3);
    }
    int status = 0;
    ASSERT_EQ(outer, waitpid(outer, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kBodyDone) << "exit status " << status;
}

// Every case runs in a network and mount namespace of its own (ctest runs each
// case in its own process), with loopback up and /sys showing that namespace.
class Isolated : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for private namespaces";
        ASSERT_EQ(0, unshare(CLONE_NEWNET | CLONE_NEWNS)) << std::strerror(errno);
        ASSERT_EQ(0, mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr));
        ASSERT_EQ(0, mount("sysfs", "/sys", "sysfs", 0, nullptr));
        sh("ip link set lo up");
    }
    Log log;
};

#endif
