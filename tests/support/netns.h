// Kernel tests run in a private network namespace made by the test process
// itself, so they never touch the machine's own interfaces. Each gtest case
// runs in its own process (ctest), and so gets its own namespace.
#ifndef NETLIB_TEST_NETNS_H
#define NETLIB_TEST_NETNS_H

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace testns
{

// Moves the calling process into a fresh network namespace with loopback
// up. Returns false with the reason when that is not permitted.
inline bool enter_private_netns(std::string& why)
{
    if (unshare(CLONE_NEWNET) != 0) {
        why = std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno) +
              " (kernel tests need root or CAP_SYS_ADMIN)";
        return false;
    }
    if (std::system("ip link set lo up") != 0) {
        why = "cannot bring up lo in the private namespace";
        return false;
    }
    return true;
}

// Runs a shell command line (test set-up only: ip link add ...). Returns its
// exit status, -1 when it did not exit normally.
inline int sh(const std::string& command)
{
    int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

}  // namespace testns

// Enters a private network namespace or skips the test with the reason.
#define NETLIB_ENTER_NETNS_OR_SKIP()            \
    do {                                        \
        std::string why_;                       \
        if (!testns::enter_private_netns(why_)) \
            GTEST_SKIP() << why_;               \
    } while (0)

#endif
