// Interface ioctl operations against a scripted ioctl (syscall shim) and the
// recording fake host.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fake_host.h"
#include "netlib_private.h"
#include "pelk_network_utils_core.h"
#include "syscall_shim.h"

using namespace pelk::network;

namespace
{

class IfaceIoctl : public ::testing::Test
{
protected:
    netlib_context ctx{};
    std::vector<ifreq> seen;  // each request block as the kernel would get it

    void SetUp() override
    {
        fake::host().reset();
        shim::reset();
        ctx.front_end_marker = 1;
        ASSERT_TRUE(netlib_libiface_init(&ctx));
    }

    void TearDown() override
    {
        shim::reset();
        netlib_libiface_close(&ctx);
    }

    // Scripts the kernel: answer() may fill the block and returns the result.
    void kernel(std::function<int(unsigned long, ifreq&)> answer)
    {
        shim::ioctl_hook = [this, answer](int fd, unsigned long request, void* arg) {
            EXPECT_EQ(fd, ctx.iface_state->dev_socket);
            ifreq& req = *static_cast<ifreq*>(arg);
            seen.push_back(req);
            return answer(request, req);
        };
    }

    void kernel_fails(int err)
    {
        kernel([err](unsigned long, ifreq&) {
            errno = err;
            return -1;
        });
    }

    void kernel_flags(short flags)
    {
        kernel([flags](unsigned long request, ifreq& req) {
            if (request == SIOCGIFFLAGS)
                req.ifr_flags = flags;
            return 0;
        });
    }

    void kernel_link(std::uint16_t speed, std::uint16_t speed_hi, std::uint8_t duplex)
    {
        kernel([=](unsigned long request, ifreq& req) {
            EXPECT_EQ(request, static_cast<unsigned long>(SIOCETHTOOL));
            auto* cmd = static_cast<ethtool_cmd*>(static_cast<void*>(req.ifr_data));
            EXPECT_EQ(cmd->cmd, 1u);
            cmd->speed = speed;
            cmd->speed_hi = speed_hi;
            cmd->duplex = duplex;
            return 0;
        });
    }

    void kernel_address(const char* dotted)
    {
        kernel([dotted](unsigned long, ifreq& req) {
            sockaddr_in sin{};
            sin.sin_family = AF_INET;
            inet_pton(AF_INET, dotted, &sin.sin_addr);
            std::memcpy(&req.ifr_addr, &sin, sizeof sin);
            return 0;
        });
    }
};

std::vector<unsigned long> requests(std::initializer_list<unsigned long> list)
{
    return std::vector<unsigned long>(list);
}

// Each direct operation, with the request it issues, its name in the log and
// a check that its out parameter kept its earlier value.
struct DirectOp {
    const char* function;
    unsigned long request;
    const char* hex;
    std::function<bool(void*, const std::string&)> call_keeps_out;  // true when the call failed and out is unchanged
};

std::vector<DirectOp> direct_ops()
{
    return {
        {"netlib_iface_get_flags", SIOCGIFFLAGS, "8913",
         [](void* c, const std::string& n) {
             int v = 1234;
             return !netlib_iface_get_flags(c, n, v) && v == 1234;
         }},
        {"netlib_iface_set_flags", SIOCSIFFLAGS, "8914",
         [](void* c, const std::string& n) { return !netlib_iface_set_flags(c, n, IFF_UP); }},
        {"netlib_iface_get_address", SIOCGIFADDR, "8915",
         [](void* c, const std::string& n) {
             std::string v = "previous";
             return !netlib_iface_get_address(c, n, v) && v == "previous";
         }},
        {"netlib_iface_get_address", SIOCGIFADDR, "8915",
         [](void* c, const std::string& n) {
             unsigned int v = 0xDEADBEEF;
             return !netlib_iface_get_address(c, n, v) && v == 0xDEADBEEF;
         }},
        {"netlib_iface_get_netmask", SIOCGIFNETMASK, "891B",
         [](void* c, const std::string& n) {
             std::string v = "previous";
             return !netlib_iface_get_netmask(c, n, v) && v == "previous";
         }},
        {"netlib_iface_set_mtu", SIOCSIFMTU, "8922",
         [](void* c, const std::string& n) { return !netlib_iface_set_mtu(c, n, 1500); }},
        {"netlib_iface_get_link_speed", SIOCETHTOOL, "8946",
         [](void* c, const std::string& n) {
             int v = 77;
             return !netlib_iface_get_link_speed(c, n, v) && v == 77;
         }},
        {"netlib_iface_get_link_duplex", SIOCETHTOOL, "8946",
         [](void* c, const std::string& n) {
             int v = 77;
             return !netlib_iface_get_link_duplex(c, n, v) && v == 77;
         }},
    };
}

TEST_F(IfaceIoctl, FailedIoctlLogsRequestInHexWithErrnoAndKeepsOut)
{
    for (const DirectOp& op : direct_ops()) {
        SCOPED_TRACE(std::string(op.function) + " " + op.hex);
        fake::host().reset();
        shim::ioctl_requests.clear();
        int errno_at_call = -1;
        kernel([&errno_at_call](unsigned long, ifreq&) {
            errno_at_call = errno;
            errno = ENODEV;
            return -1;
        });
        errno = EBUSY;
        EXPECT_TRUE(op.call_keeps_out(&ctx, "eth0"));
        EXPECT_EQ(errno_at_call, 0);
        EXPECT_EQ(shim::ioctl_requests, requests({op.request}));
        const auto& logs = fake::host().logs;
        ASSERT_EQ(logs.size(), 1u) << ::testing::PrintToString(fake::host().log_texts());
        EXPECT_EQ(logs[0].function, "do_ioctl");
        EXPECT_EQ(logs[0].file, "netlib_iface.cpp");
        EXPECT_EQ(logs[0].module, "pelk_network_utils_core");
        EXPECT_EQ(logs[0].level, 3);
        EXPECT_EQ(logs[0].error_number, ENODEV);
        EXPECT_EQ(logs[0].text, std::string("netlib: ioctl(") + op.hex + ") failed");
    }
}

TEST_F(IfaceIoctl, OverlongOrNulNamesAreRefusedBeforeTheKernel)
{
    const std::string names[] = {std::string(16, 'a'), std::string(40, 'b'), std::string("eth\0x", 5),
                                 std::string("\0", 1)};
    kernel_flags(IFF_UP);
    for (const std::string& name : names) {
        for (const DirectOp& op : direct_ops()) {
            SCOPED_TRACE(std::string(op.function) + " name size " + std::to_string(name.size()));
            fake::host().reset();
            shim::ioctl_requests.clear();
            EXPECT_TRUE(op.call_keeps_out(&ctx, name));
            EXPECT_TRUE(shim::ioctl_requests.empty());
            const auto& logs = fake::host().logs;
            ASSERT_EQ(logs.size(), 1u);
            EXPECT_EQ(logs[0].function, op.function);
            EXPECT_EQ(logs[0].level, 3);
            EXPECT_EQ(logs[0].error_number, 0);
            EXPECT_EQ(logs[0].text, "invalid network interface");
        }
    }
}

TEST_F(IfaceIoctl, GuardRunsBeforeTheNameTest)
{
    int flags = 5;
    EXPECT_FALSE(netlib_iface_get_flags(nullptr, std::string(20, 'x'), flags));
    EXPECT_EQ(fake::host().log_texts(), std::vector<std::string>{"3 check: library context is null"});
}

TEST_F(IfaceIoctl, NameIsCopiedZeroPadded)
{
    kernel_flags(IFF_UP);
    int flags = 0;
    const std::string longest(15, 'n');
    ASSERT_TRUE(netlib_iface_get_flags(&ctx, "eth0", flags));
    ASSERT_TRUE(netlib_iface_get_flags(&ctx, longest, flags));
    ASSERT_TRUE(netlib_iface_get_flags(&ctx, "", flags));  // the kernel decides about the empty name
    ASSERT_EQ(seen.size(), 3u);
    char expected[IFNAMSIZ] = {'e', 't', 'h', '0'};
    EXPECT_EQ(std::memcmp(seen[0].ifr_name, expected, IFNAMSIZ), 0);
    EXPECT_EQ(std::string(seen[1].ifr_name, IFNAMSIZ), longest + '\0');
    EXPECT_EQ(std::string(seen[2].ifr_name, IFNAMSIZ), std::string(IFNAMSIZ, '\0'));
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(IfaceIoctl, NonNegativeIoctlResultIsSuccess)
{
    kernel([](unsigned long, ifreq& req) {
        req.ifr_flags = IFF_UP;
        return 3;
    });
    int flags = 0;
    EXPECT_TRUE(netlib_iface_get_flags(&ctx, "eth0", flags));
    EXPECT_EQ(flags, IFF_UP);
}

TEST_F(IfaceIoctl, FlagsAreSignExtendedAndWrittenAsLow16Bits)
{
    const short high = static_cast<short>(0x9043);
    kernel_flags(high);
    int flags = 0;
    ASSERT_TRUE(netlib_iface_get_flags(&ctx, "eth0", flags));
    EXPECT_EQ(flags, static_cast<int>(0xFFFF9043));
    EXPECT_LT(flags, 0);

    ASSERT_TRUE(netlib_iface_set_flags(&ctx, "eth0", flags));
    ASSERT_TRUE(netlib_iface_set_flags(&ctx, "eth0", 0x12345));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(static_cast<unsigned short>(seen[1].ifr_flags), 0x9043);
    EXPECT_EQ(static_cast<unsigned short>(seen[2].ifr_flags), 0x2345);
    EXPECT_EQ(shim::ioctl_requests, requests({SIOCGIFFLAGS, SIOCSIFFLAGS, SIOCSIFFLAGS}));
}

TEST_F(IfaceIoctl, IsUpAndIsRunningReadOneBit)
{
    kernel_flags(IFF_UP | IFF_BROADCAST);
    EXPECT_TRUE(netlib_iface_is_up(&ctx, "eth0"));
    EXPECT_FALSE(netlib_iface_is_running(&ctx, "eth0"));
    kernel_flags(IFF_RUNNING);
    EXPECT_FALSE(netlib_iface_is_up(&ctx, "eth0"));
    EXPECT_TRUE(netlib_iface_is_running(&ctx, "eth0"));
    EXPECT_TRUE(fake::host().logs.empty());

    kernel_fails(ENODEV);
    EXPECT_FALSE(netlib_iface_is_up(&ctx, "nosuch0"));
    EXPECT_FALSE(netlib_iface_is_running(&ctx, "nosuch0"));
    EXPECT_EQ(fake::host().log_texts(), (std::vector<std::string>{"3 do_ioctl: netlib: ioctl(8913) failed",
                                                                  "3 do_ioctl: netlib: ioctl(8913) failed"}));
}

TEST_F(IfaceIoctl, SetUpWritesNothingWhenNothingChanges)
{
    kernel_flags(IFF_UP | IFF_RUNNING);
    EXPECT_TRUE(netlib_iface_set_up(&ctx, "eth0", true));
    EXPECT_EQ(shim::ioctl_requests, requests({SIOCGIFFLAGS}));

    shim::ioctl_requests.clear();
    kernel_flags(IFF_BROADCAST);
    EXPECT_TRUE(netlib_iface_set_up(&ctx, "eth0", false));
    EXPECT_EQ(shim::ioctl_requests, requests({SIOCGIFFLAGS}));
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(IfaceIoctl, SetUpChangesOnlyTheUpBit)
{
    const short down = static_cast<short>(0x8000 | IFF_BROADCAST | IFF_RUNNING);
    kernel_flags(down);
    EXPECT_TRUE(netlib_iface_set_up(&ctx, "eth0", true));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(static_cast<unsigned short>(seen[1].ifr_flags), 0x8000 | IFF_BROADCAST | IFF_RUNNING | IFF_UP);
    EXPECT_EQ(std::string(seen[1].ifr_name), "eth0");

    seen.clear();
    shim::ioctl_requests.clear();
    kernel_flags(static_cast<short>(down | IFF_UP));
    EXPECT_TRUE(netlib_iface_set_up(&ctx, "eth0", false));
    EXPECT_EQ(shim::ioctl_requests, requests({SIOCGIFFLAGS, SIOCSIFFLAGS}));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(static_cast<unsigned short>(seen[1].ifr_flags), 0x8000 | IFF_BROADCAST | IFF_RUNNING);
}

TEST_F(IfaceIoctl, SetUpFailures)
{
    kernel_fails(EPERM);
    EXPECT_FALSE(netlib_iface_set_up(&ctx, "eth0", true));
    EXPECT_EQ(shim::ioctl_requests, requests({SIOCGIFFLAGS}));

    fake::host().reset();
    shim::ioctl_requests.clear();
    kernel([](unsigned long request, ifreq& req) {
        if (request == SIOCGIFFLAGS) {
            req.ifr_flags = 0;
            return 0;
        }
        errno = EPERM;
        return -1;
    });
    EXPECT_FALSE(netlib_iface_set_up(&ctx, "eth0", true));
    EXPECT_EQ(shim::ioctl_requests, requests({SIOCGIFFLAGS, SIOCSIFFLAGS}));
    ASSERT_EQ(fake::host().logs.size(), 1u);
    EXPECT_EQ(fake::host().logs[0].text, "netlib: ioctl(8914) failed");
    EXPECT_EQ(fake::host().logs[0].error_number, EPERM);
}

TEST_F(IfaceIoctl, AddressInBothForms)
{
    kernel_address("192.168.7.21");
    std::string text = "a much longer previous text";
    unsigned int number = 0;
    ASSERT_TRUE(netlib_iface_get_address(&ctx, "eth0", text));
    ASSERT_TRUE(netlib_iface_get_address(&ctx, "eth0", number));
    EXPECT_EQ(text, "192.168.7.21");
    // Network byte order: the first number of the dotted quad is the lowest-addressed byte.
    unsigned char bytes[4];
    std::memcpy(bytes, &number, sizeof bytes);
    EXPECT_EQ(bytes[0], 192);
    EXPECT_EQ(bytes[1], 168);
    EXPECT_EQ(bytes[2], 7);
    EXPECT_EQ(bytes[3], 21);
    EXPECT_EQ(shim::ioctl_requests, requests({SIOCGIFADDR, SIOCGIFADDR}));
}

TEST_F(IfaceIoctl, NetmaskText)
{
    kernel_address("255.255.240.0");
    std::string text = "x";
    ASSERT_TRUE(netlib_iface_get_netmask(&ctx, "eth0", text));
    EXPECT_EQ(text, "255.255.240.0");
    EXPECT_EQ(shim::ioctl_requests, requests({SIOCGIFNETMASK}));
}

TEST_F(IfaceIoctl, SetMtuSendsTheValue)
{
    kernel([](unsigned long, ifreq&) { return 0; });
    EXPECT_TRUE(netlib_iface_set_mtu(&ctx, "eth0", 1400));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].ifr_mtu, 1400);
    EXPECT_EQ(shim::ioctl_requests, requests({SIOCSIFMTU}));
}

TEST_F(IfaceIoctl, LinkSpeedCombinesBothHalves)
{
    struct Row {
        std::uint16_t speed, speed_hi;
        int expected;
    } rows[] = {
        {1000, 0, 1000},
        {0xFFFF, 0xFFFF, -1},  // unknown speed
        {0x86A0, 0x0001, 100000},
        {0, 0, 0},
    };
    for (const Row& row : rows) {
        kernel_link(row.speed, row.speed_hi, 1);
        int speed = 42;
        EXPECT_TRUE(netlib_iface_get_link_speed(&ctx, "eth0", speed));
        EXPECT_EQ(speed, row.expected);
    }
}

TEST_F(IfaceIoctl, LinkDuplexIsZeroExtended)
{
    for (int value : {0, 1, 255}) {
        kernel_link(100, 0, static_cast<std::uint8_t>(value));
        int duplex = -7;
        EXPECT_TRUE(netlib_iface_get_link_duplex(&ctx, "eth0", duplex));
        EXPECT_EQ(duplex, value);
    }
    EXPECT_TRUE(fake::host().logs.empty());
}

}  // namespace
