// GoogleTest glue of the fault-injection suite.
#ifndef NETLIB_FAULT_TEST_H
#define NETLIB_FAULT_TEST_H

#include <gtest/gtest.h>

#include <string>

#include "fault_support.h"
#include "netns.h"
#include "pelk_network_utils_core.h"

// Runs body (a void(faults::Checks&) callable) in a forked child; the test
// fails with the child's report, or is skipped when the child asked for it.
#define EXPECT_CHILD_PASSES(body, ...)                                                          \
    do {                                                                                        \
        const faults::ChildResult r_ = faults::run_in_child(body, ##__VA_ARGS__);               \
        if (r_.exited && r_.code == 77)                                                         \
            GTEST_SKIP() << r_.report;                                                          \
        EXPECT_TRUE(r_.exited&& r_.code == 0) << "child exit " << r_.code << "\n" << r_.report; \
    } while (0)

// For the cases that make a system call fail with a seccomp filter.
#define SKIP_WITHOUT_SECCOMP()                \
    do {                                      \
        std::string why_;                     \
        if (!faults::seccomp_available(why_)) \
            GTEST_SKIP() << why_;             \
    } while (0)

// For the cases that need posix_spawn to report a program it cannot run.
#define SKIP_WITHOUT_EXEC_FAILURES()              \
    do {                                          \
        std::string why_;                         \
        if (!faults::exec_failure_reported(why_)) \
            GTEST_SKIP() << why_;                 \
    } while (0)

// A context as the host's front end prepares it.
inline netlib_context fresh_context()
{
    netlib_context ctx{};
    ctx.front_end_marker = 1;
    return ctx;
}

// Captures the host's log for the whole test.
class FaultTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        faults::capture_log();
        faults::clear_log();
    }
};

#endif
