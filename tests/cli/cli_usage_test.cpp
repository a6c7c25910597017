// Command line and exit codes: help, usage errors, missing interfaces,
// refused configuration files. Every case runs in a private network
// namespace, so that a tool that wrongly went ahead could change nothing
// of the machine's own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "netns.h"
#include "tool_runner.h"

namespace
{

using clitest::lines_of;
using clitest::run_tool;

const char* const all_commands[] = {"status", "list",    "show",  "default",  "monitor", "up",
                                    "down",   "prepare", "flush", "addr",     "routes",  "dns",
                                    "dhcp",   "static",  "lease", "fallback", "init"};

TEST(CliUsage, EveryCommandHasHelpAndExitsZero)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    clitest::Result top = run_tool({"--help"});
    EXPECT_EQ(top.status, 0);
    for (const char* command : all_commands) {
        SCOPED_TRACE(command);
        EXPECT_NE(top.out.find(command), std::string::npos) << "not listed in the top-level help";
        clitest::Result r = run_tool({command, "--help"});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find(std::string("netlibctl ") + command), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

TEST(CliUsage, UsageErrorsExitTwoWithoutOutput)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    const std::vector<std::vector<std::string>> lines = {
        {"bogus"},
        {"show"},
        {"addr", "eth0"},
        {"static", "eth0", "--ip", "10.0.0.2"},
        {"init", "eth0"},
        {"monitor", "--count", "0"},
        {"monitor", "--timeout", "soon"},
        {"--log-level", "loud"},
        {"-q", "--log-level", "3"},
        {"up", "lo", "--json"},
    };
    for (const auto& line : lines) {
        SCOPED_TRACE(::testing::PrintToString(line));
        clitest::Result r = run_tool(line);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
}

TEST(CliUsage, GlobalOptionsGoBeforeOrAfterTheCommand)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    for (const auto& line : std::vector<std::vector<std::string>>{{"--log-level", "3", "list"},
                                                                  {"list", "--log-level", "3"},
                                                                  {"-q", "list"},
                                                                  {"list", "--quiet"},
                                                                  {"--json", "list"}}) {
        SCOPED_TRACE(::testing::PrintToString(line));
        clitest::Result r = run_tool(line);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("lo"), std::string::npos);
    }
}

TEST(CliUsage, ShowOfMissingInterfaceGivesOneClearLineAndExitsOne)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    clitest::Result r = run_tool({"show", "nosuch0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    std::vector<std::string> err = lines_of(r.err);
    ASSERT_EQ(err.size(), 2u) << r.err;
    EXPECT_NE(err[0].find("8913"), std::string::npos) << "the library's own ioctl line comes first";
    EXPECT_EQ(err[1], "netlibctl: no interface \"nosuch0\"");
}

TEST(CliUsage, LogLevelSelectsTheLibraryLines)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    clitest::Result quiet = run_tool({"-q", "show", "nosuch0"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(lines_of(quiet.err).size(), 2u) << "--quiet still shows failures:\n" << quiet.err;

    clitest::Result silent = run_tool({"show", "nosuch0", "--log-level", "2"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.err, "netlibctl: no interface \"nosuch0\"\n");
}

TEST(CliUsage, LibraryFailureOfConfigurationCommandExitsOneWithItsLine)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    clitest::Result r = run_tool({"up", "nosuch0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("8913"), std::string::npos) << r.err;
}

class TempFile
{
public:
    explicit TempFile(const std::string& text)
    {
        char name[] = "/tmp/netlibctl-config-XXXXXX";
        int fd = mkstemp(name);
        path_ = name;
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            ADD_FAILURE() << "cannot write " << path_;
        if (fd >= 0)
            close(fd);
    }
    ~TempFile() { unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The interface does not exist: had the library been called, it would
// have logged its own failure after the line of the tool.
TEST(CliUsage, InitRefusesBadConfigurationBeforeCallingTheLibrary)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    const struct {
        const char* text;
        const char* why;
    } cases[] = {
        {"{\"dhcp\": {\"status\": 0", "parse error"},
        {"", "parse error"},
        {"{\"dns\": {\"servers\": [\"10.0.0.53\"]}}", "array values are not supported (at /dns/servers)"},
        {"{\"routes\": {\"gateway\": null}}", "null values are not supported (at /routes/gateway)"},
        {"{\"dhcp\": {\"status\": 1.5}}", "numbers with a fraction are not supported (at /dhcp/status)"},
        {"[1, 2]", "the top level is not an object"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TempFile file(c.text);
        clitest::Result r = run_tool({"init", "nosuch0", "--config", file.path()});
        EXPECT_EQ(r.status, 2);
        std::vector<std::string> err = lines_of(r.err);
        ASSERT_EQ(err.size(), 1u) << r.err;
        EXPECT_EQ(err[0].rfind("netlibctl: cannot read config " + file.path() + ": ", 0), 0u) << err[0];
        EXPECT_NE(err[0].find(c.why), std::string::npos) << err[0];
    }

    clitest::Result missing = run_tool({"init", "nosuch0", "--config", "/nonexistent/network.json"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, "netlibctl: cannot read config /nonexistent/network.json: No such file or directory\n");
}

}  // namespace
