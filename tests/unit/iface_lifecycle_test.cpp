// Interface module lifecycle and guard, against the recording fake host.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "alloc_fail.h"
#include "fake_host.h"
#include "netlib_private.h"
#include "pelk_network_utils_core.h"
#include "syscall_shim.h"

using namespace pelk::network;

namespace
{

int open_fd_count()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count;
}

bool fd_is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

class IfaceLifecycle : public ::testing::Test
{
protected:
    netlib_context ctx{};

    void SetUp() override
    {
        fake::host().reset();
        shim::reset();
        alloc_fail::reset();
        ctx.front_end_marker = 1;
    }

    void TearDown() override
    {
        shim::reset();
        alloc_fail::reset();
        ctx.front_end_marker = 1;
        netlib_libiface_close(&ctx);
    }

    // Exactly one log line, at level 3 with error number 0, from this unit.
    static void expect_one_error(const std::string& function, const std::string& text)
    {
        const auto& logs = fake::host().logs;
        ASSERT_EQ(logs.size(), 1u) << ::testing::PrintToString(fake::host().log_texts());
        EXPECT_EQ(logs[0].module, "pelk_network_utils_core");
        EXPECT_EQ(logs[0].file, "netlib_iface.cpp");
        EXPECT_EQ(logs[0].function, function);
        EXPECT_EQ(logs[0].level, 3);
        EXPECT_EQ(logs[0].error_number, 0);
        EXPECT_EQ(logs[0].reserved, 0);
        EXPECT_EQ(logs[0].text, text);
    }
};

// Every guarded operation of the unit, each issuing a query on "eth0".
struct GuardedOp {
    const char* name;
    std::function<bool(void*)> call;
};

std::vector<GuardedOp> guarded_ops()
{
    return {
        {"get_flags",
         [](void* c) {
             int v = 0;
             return netlib_iface_get_flags(c, "eth0", v);
         }},
        {"set_flags", [](void* c) { return netlib_iface_set_flags(c, "eth0", 1); }},
        {"get_address_text",
         [](void* c) {
             std::string v;
             return netlib_iface_get_address(c, "eth0", v);
         }},
        {"get_address_number",
         [](void* c) {
             unsigned int v = 0;
             return netlib_iface_get_address(c, "eth0", v);
         }},
        {"get_netmask",
         [](void* c) {
             std::string v;
             return netlib_iface_get_netmask(c, "eth0", v);
         }},
        {"set_mtu", [](void* c) { return netlib_iface_set_mtu(c, "eth0", 1500); }},
        {"get_link_speed",
         [](void* c) {
             int v = 0;
             return netlib_iface_get_link_speed(c, "eth0", v);
         }},
        {"get_link_duplex",
         [](void* c) {
             int v = 0;
             return netlib_iface_get_link_duplex(c, "eth0", v);
         }},
        {"is_up", [](void* c) { return netlib_iface_is_up(c, "eth0"); }},
        {"is_running", [](void* c) { return netlib_iface_is_running(c, "eth0"); }},
        {"set_up", [](void* c) { return netlib_iface_set_up(c, "eth0", true); }},
    };
}

TEST_F(IfaceLifecycle, GuardRefusesEveryOperationWithoutAnIoctl)
{
    netlib_iface_state not_ready{};
    not_ready.dev_socket = -1;
    netlib_context with_unready_state{};
    with_unready_state.front_end_marker = 1;
    with_unready_state.iface_state = &not_ready;

    struct Row {
        const char* what;
        void* ctx;
        const char* text;
    } rows[] = {
        {"null context", nullptr, "library context is null"},
        {"never initialised", &ctx, "library context is null"},
        {"state not initialised", &with_unready_state, "library is not initialized"},
    };
    for (const Row& row : rows) {
        for (const GuardedOp& op : guarded_ops()) {
            SCOPED_TRACE(std::string(row.what) + " / " + op.name);
            fake::host().reset();
            shim::reset();
            EXPECT_FALSE(op.call(row.ctx));
            expect_one_error("check", row.text);
            EXPECT_TRUE(shim::ioctl_requests.empty());
        }
    }
}

TEST_F(IfaceLifecycle, GuardIgnoresTheMarker)
{
    ASSERT_TRUE(netlib_libiface_init(&ctx));
    shim::ioctl_hook = [](int, unsigned long, void* arg) {
        static_cast<ifreq*>(arg)->ifr_flags = IFF_UP;
        return 0;
    };
    ctx.front_end_marker = 0;
    EXPECT_TRUE(netlib_iface_is_up(&ctx, "eth0"));
    // Only init and close look at the marker.
    netlib_iface_state* before = ctx.iface_state;
    EXPECT_FALSE(netlib_libiface_close(&ctx));
    EXPECT_EQ(ctx.iface_state, before);
}

TEST_F(IfaceLifecycle, InitOpensACloseOnExecDatagramSocket)
{
    std::vector<int> seen;
    shim::socket_hook = [&seen](int domain, int type, int protocol) {
        seen = {domain, type, protocol};
        return __real_socket(domain, type, protocol);
    };
    ASSERT_TRUE(netlib_libiface_init(&ctx));
    EXPECT_TRUE(fake::host().logs.empty());
    EXPECT_EQ(seen, (std::vector<int>{AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0}));
    ASSERT_NE(ctx.iface_state, nullptr);
    EXPECT_TRUE(ctx.iface_state->initialized);
    EXPECT_TRUE(ctx.iface_state->static_connections.empty());
    EXPECT_TRUE(ctx.iface_state->static_fallback_connections.empty());
    const int fd = ctx.iface_state->dev_socket;
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST_F(IfaceLifecycle, InitFailureRows)
{
    EXPECT_FALSE(netlib_libiface_init(nullptr));
    expect_one_error("netlib_libiface_init", "library context is null");

    fake::host().reset();
    ctx.front_end_marker = 0;
    EXPECT_FALSE(netlib_libiface_init(&ctx));
    expect_one_error("netlib_libiface_init", "netlib: you may not call this function directly");
    EXPECT_EQ(ctx.iface_state, nullptr);
}

TEST_F(IfaceLifecycle, InitWithZeroMarkerLeavesAReadyStateAlone)
{
    ASSERT_TRUE(netlib_libiface_init(&ctx));
    netlib_iface_state* ready = ctx.iface_state;
    const int fd = ready->dev_socket;
    fake::host().reset();
    ctx.front_end_marker = 0;
    EXPECT_FALSE(netlib_libiface_init(&ctx));
    expect_one_error("netlib_libiface_init", "netlib: you may not call this function directly");
    EXPECT_EQ(ctx.iface_state, ready);
    EXPECT_TRUE(fd_is_open(fd));
}

TEST_F(IfaceLifecycle, InitAllocationFailureLeavesNoState)
{
    int sockets = 0;
    shim::socket_hook = [&sockets](int d, int t, int p) {
        ++sockets;
        return __real_socket(d, t, p);
    };
    alloc_fail::fail_next_nothrow(1);
    EXPECT_FALSE(netlib_libiface_init(&ctx));
    expect_one_error("netlib_libiface_init", "netlib: memory allocation error");
    EXPECT_EQ(alloc_fail::nothrow_failures(), 1);
    EXPECT_EQ(ctx.iface_state, nullptr);
    EXPECT_EQ(sockets, 0);

    // Nothing half-built is left behind: a later init works.
    fake::host().reset();
    EXPECT_TRUE(netlib_libiface_init(&ctx));
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(IfaceLifecycle, InitSocketFailureFreesTheState)
{
    shim::socket_hook = [](int, int, int) {
        errno = EMFILE;
        return -1;
    };
    EXPECT_FALSE(netlib_libiface_init(&ctx));
    // errno is not passed for this message.
    expect_one_error("netlib_libiface_init", "netlib: cannot open dev socket");
    EXPECT_EQ(ctx.iface_state, nullptr);

    fake::host().reset();
    int flags = 7;
    EXPECT_FALSE(netlib_iface_get_flags(&ctx, "eth0", flags));
    expect_one_error("check", "library context is null");
    EXPECT_EQ(flags, 7);

    fake::host().reset();
    EXPECT_TRUE(netlib_libiface_close(&ctx));
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(IfaceLifecycle, CloseFailureRows)
{
    EXPECT_FALSE(netlib_libiface_close(nullptr));
    expect_one_error("netlib_libiface_close", "library context is null");

    fake::host().reset();
    ctx.front_end_marker = 0;
    EXPECT_FALSE(netlib_libiface_close(&ctx));
    expect_one_error("netlib_libiface_close", "netlib: you may not call this function directly");
}

TEST_F(IfaceLifecycle, CloseWithoutStateSucceedsSilently)
{
    EXPECT_TRUE(netlib_libiface_close(&ctx));
    ASSERT_TRUE(netlib_libiface_init(&ctx));
    EXPECT_TRUE(netlib_libiface_close(&ctx));
    EXPECT_TRUE(netlib_libiface_close(&ctx));
    EXPECT_TRUE(fake::host().logs.empty());
    EXPECT_EQ(ctx.iface_state, nullptr);
}

TEST_F(IfaceLifecycle, CloseLeavesAnUninitialisedStateInPlace)
{
    netlib_iface_state not_ready{};
    not_ready.dev_socket = -1;
    ctx.iface_state = &not_ready;
    EXPECT_TRUE(netlib_libiface_close(&ctx));
    EXPECT_EQ(ctx.iface_state, &not_ready);
    EXPECT_TRUE(fake::host().logs.empty());
    ctx.iface_state = nullptr;
}

TEST_F(IfaceLifecycle, CloseReleasesSocketAndLeavesEventsSlot)
{
    int events_marker = 0;
    ctx.events_state = reinterpret_cast<netlib_events_state*>(&events_marker);
    ctx.host_reserved = &events_marker;
    ASSERT_TRUE(netlib_libiface_init(&ctx));
    const int fd = ctx.iface_state->dev_socket;
    ASSERT_TRUE(fd_is_open(fd));
    EXPECT_TRUE(netlib_libiface_close(&ctx));
    EXPECT_EQ(ctx.iface_state, nullptr);
    EXPECT_FALSE(fd_is_open(fd));
    EXPECT_EQ(ctx.events_state, reinterpret_cast<netlib_events_state*>(&events_marker));
    EXPECT_EQ(ctx.host_reserved, &events_marker);
    ctx.events_state = nullptr;
}

TEST_F(IfaceLifecycle, InitAfterCloseStartsWithEmptyRecords)
{
    ASSERT_TRUE(netlib_libiface_init(&ctx));
    ctx.iface_state->static_connections["eth0"] = true;
    ctx.iface_state->static_fallback_connections["eth0"] = true;
    ASSERT_TRUE(netlib_libiface_close(&ctx));
    ASSERT_TRUE(netlib_libiface_init(&ctx));
    EXPECT_TRUE(ctx.iface_state->static_connections.empty());
    EXPECT_TRUE(ctx.iface_state->static_fallback_connections.empty());
}

TEST_F(IfaceLifecycle, SecondInitReleasesTheEarlierSocket)
{
    ASSERT_TRUE(netlib_libiface_init(&ctx));
    ctx.iface_state->static_connections["eth0"] = true;
    const int after_first = open_fd_count();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(netlib_libiface_init(&ctx));
        EXPECT_EQ(open_fd_count(), after_first);
    }
    EXPECT_TRUE(ctx.iface_state->initialized);
    EXPECT_TRUE(ctx.iface_state->static_connections.empty());
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(IfaceLifecycle, SecondInitThatFailsLeavesNoState)
{
    ASSERT_TRUE(netlib_libiface_init(&ctx));
    const int before = open_fd_count();
    shim::socket_hook = [](int, int, int) {
        errno = ENFILE;
        return -1;
    };
    EXPECT_FALSE(netlib_libiface_init(&ctx));
    EXPECT_EQ(ctx.iface_state, nullptr);
    EXPECT_EQ(open_fd_count(), before - 1);
}

}  // namespace
