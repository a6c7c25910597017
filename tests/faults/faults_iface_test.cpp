// Interface module under real system-call failures: the control socket
// cannot be opened, the state cannot be allocated, ioctls fail for real
// (missing device, no address, no link settings, no CAP_NET_ADMIN) and the
// kernel's interface list cannot be read.
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <string>

#include "alloc_fail.h"
#include "fault_test.h"

using namespace pelk::network;

namespace
{

std::string err_text(int err)
{
    return std::string(": ") + std::strerror(err);
}

class IfaceFaults : public FaultTest
{
};

TEST_F(IfaceFaults, InitWithoutFreeDescriptorLogsAndLeavesNoState)
{
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        const int before = faults::fd_count();
        const long soft = faults::exhaust_descriptors();
        c.expect(soft > 0, "descriptor limit lowered");
        c.expect(!netlib_libiface_init(&ctx), "init fails without a free descriptor");
        c.expect(ctx.iface_state == nullptr, "no state is left behind");
        c.expect_logged({"netlib_iface.cpp:", " netlib_libiface_init: netlib: cannot open dev socket"});
        c.expect(faults::log_lines().size() == 1 && faults::log_lines()[0].find(": Too many") == std::string::npos,
                 "the socket failure is logged with error number 0, once");
        c.expect(faults::restore_descriptor_limit(soft), "limit restored");
        c.expect(faults::fd_count() == before, "no descriptor leaked by the failed init");
        // The host may call init again once descriptors are free.
        c.expect(netlib_libiface_init(&ctx), "a later init succeeds");
        c.expect(netlib_libiface_close(&ctx), "close");
        c.expect(faults::fd_count() == before, "init and close leave the descriptor count as it was");
    });
}

TEST_F(IfaceFaults, InitWhoseStateCannotBeAllocatedOpensNoSocket)
{
    netlib_context ctx = fresh_context();
    const int before = faults::fd_count();
    alloc_fail::reset();
    alloc_fail::fail_next_nothrow(1);
    EXPECT_FALSE(netlib_libiface_init(&ctx));
    const long refused = alloc_fail::nothrow_failures();
    alloc_fail::reset();
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(ctx.iface_state, nullptr);
    EXPECT_EQ(faults::log_count({" netlib_libiface_init: netlib: memory allocation error"}), 1) << faults::log_dump();
    EXPECT_EQ(faults::fd_count(), before);
    ASSERT_TRUE(netlib_libiface_init(&ctx));
    EXPECT_TRUE(netlib_libiface_close(&ctx));
    EXPECT_EQ(faults::fd_count(), before);
}

// Real ioctl failures on the kernel's answer, each with the request number
// and the kernel's errno in one do_ioctl line; out parameters untouched.
TEST_F(IfaceFaults, IoctlsFailingInTheKernelAreLoggedWithTheirErrno)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    ASSERT_EQ(testns::sh("ip link add fiA0 type veth peer name fiB0"), 0);
    netlib_context ctx = fresh_context();
    const int before = faults::fd_count();
    ASSERT_TRUE(netlib_libiface_init(&ctx));

    int flags = 12345;
    EXPECT_FALSE(netlib_iface_get_flags(&ctx, "nosuch0", flags));
    EXPECT_EQ(flags, 12345);
    EXPECT_EQ(faults::log_count({" do_ioctl: netlib: ioctl(8913) failed" + err_text(ENODEV)}), 1) << faults::log_dump();
    // A failed read ends set_up before any write.
    EXPECT_FALSE(netlib_iface_set_up(&ctx, "nosuch0", true));
    EXPECT_EQ(faults::log_count({"ioctl(8913) failed" + err_text(ENODEV)}), 2) << faults::log_dump();
    EXPECT_EQ(faults::log_count({"ioctl(8914)"}), 0) << faults::log_dump();

    std::string text = "kept";
    unsigned int number = 77;
    EXPECT_FALSE(netlib_iface_get_address(&ctx, "fiA0", text));
    EXPECT_FALSE(netlib_iface_get_address(&ctx, "fiA0", number));
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(number, 77u);
    EXPECT_EQ(faults::log_count({"ioctl(8915) failed" + err_text(EADDRNOTAVAIL)}), 2) << faults::log_dump();

    EXPECT_FALSE(netlib_iface_get_netmask(&ctx, "fiA0", text));
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(faults::log_count({"ioctl(891B) failed" + err_text(EADDRNOTAVAIL)}), 1) << faults::log_dump();

    EXPECT_FALSE(netlib_iface_set_mtu(&ctx, "fiA0", 70000));
    EXPECT_EQ(faults::log_count({"ioctl(8922) failed" + err_text(EINVAL)}), 1) << faults::log_dump();

    EXPECT_EQ(faults::log_lines().size(), 6u) << faults::log_dump();
    EXPECT_TRUE(netlib_libiface_close(&ctx));
    EXPECT_EQ(faults::fd_count(), before);
}

// The loopback driver has no link settings.
TEST_F(IfaceFaults, LinkSettingsOfLoopbackFailWithTheDriversErrno)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    netlib_context ctx = fresh_context();
    const int before = faults::fd_count();
    ASSERT_TRUE(netlib_libiface_init(&ctx));
    int speed = -7;
    EXPECT_FALSE(netlib_iface_get_link_speed(&ctx, "lo", speed));
    EXPECT_EQ(speed, -7);
    std::string why;
    if (faults::log_count({"ioctl(8946) failed" + err_text(ENOSYS)}) == 1 &&
        !faults::ethtool_reaches_kernel(ENOSYS, why)) {
        netlib_libiface_close(&ctx);
        GTEST_SKIP() << why;
    }
    EXPECT_EQ(faults::log_count({" do_ioctl: netlib: ioctl(8946) failed" + err_text(EOPNOTSUPP)}), 1)
        << faults::log_dump();
    EXPECT_EQ(faults::log_lines().size(), 1u) << faults::log_dump();
    EXPECT_TRUE(netlib_libiface_close(&ctx));
    EXPECT_EQ(faults::fd_count(), before);
}

// Without CAP_NET_ADMIN every setter fails with EPERM; set_up reports the
// failed write and the flags stay as they were.
TEST_F(IfaceFaults, SettersWithoutNetAdminFailWithEperm)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    ASSERT_EQ(testns::sh("ip link add fiA1 type veth peer name fiB1"), 0);
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        const int before = faults::fd_count();
        c.expect(netlib_libiface_init(&ctx), "init");
        c.expect(faults::drop_net_admin(), "CAP_NET_ADMIN dropped");
        int flags = 0;
        c.expect(netlib_iface_get_flags(&ctx, "fiA1", flags) && !(flags & IFF_UP), "reading works and fiA1 is down");
        c.expect(!netlib_iface_set_up(&ctx, "fiA1", true), "set_up fails");
        c.expect_logged({" do_ioctl: netlib: ioctl(8914) failed" + err_text(EPERM)});
        int after = 0;
        c.expect(netlib_iface_get_flags(&ctx, "fiA1", after) && after == flags,
                 "flags unchanged after the failed write");
        c.expect(!netlib_iface_set_mtu(&ctx, "fiA1", 1400), "set_mtu fails");
        c.expect_logged({"ioctl(8922) failed" + err_text(EPERM)});
        c.expect(faults::log_lines().size() == 2, "one line per failure:\n" + faults::log_dump());
        c.expect(netlib_libiface_close(&ctx), "close");
        c.expect(faults::fd_count() == before, "no descriptor leaked");
    });
}

TEST_F(IfaceFaults, EnumerationFailsWhenTheNetlinkSocketIsRefused)
{
    SKIP_WITHOUT_SECCOMP();
    NETLIB_ENTER_NETNS_OR_SKIP();
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        c.expect(netlib_libiface_init(&ctx), "init");
        const int before = faults::fd_count();
        // glibc's getifaddrs asks the kernel over a routing-netlink socket.
        c.expect(faults::install_errno_filter({{SYS_socket, EACCES, 0, AF_NETLINK}}), "seccomp filter");
        std::list<std::string> names{"before"};
        c.expect(!netlib_get_ifaces(&ctx, names, false), "enumeration fails");
        c.expect(names.size() == 1 && names.front() == "before", "list unchanged");
        c.expect_logged({" netlib_get_ifaces: getifaddrs() failed" + err_text(EACCES)});
        std::string chosen = "old";
        faults::clear_log();
        c.expect(!netlib_iface_guess_default_iface(&ctx, chosen), "no default without a list");
        c.expect(chosen.empty(), "choice emptied");
        c.expect(faults::log_lines().size() == 1, "only the enumeration line:\n" + faults::log_dump());
        c.expect(faults::fd_count() == before, "no descriptor leaked");
        c.expect(netlib_libiface_close(&ctx), "close");
    });
}

// An interface whose flags cannot be read is skipped with a notice after
// the failing ioctl's own line.
TEST_F(IfaceFaults, DefaultChoiceSkipsInterfacesWhoseFlagsCannotBeRead)
{
    SKIP_WITHOUT_SECCOMP();
    NETLIB_ENTER_NETNS_OR_SKIP();
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        c.expect(netlib_libiface_init(&ctx), "init");
        const int before = faults::fd_count();
        c.expect(faults::install_errno_filter({{SYS_ioctl, ENODEV, 1, SIOCGIFFLAGS}}), "seccomp filter");
        std::string chosen = "old";
        c.expect(!netlib_iface_guess_default_iface(&ctx, chosen), "nothing chosen");
        c.expect(chosen.empty(), "choice emptied");
        c.expect_logged({"E3 ", " do_ioctl: netlib: ioctl(8913) failed" + err_text(ENODEV)});
        c.expect_logged({"N4 ", " netlib_iface_guess_default_iface: Failed to get flags for interface \"lo\""});
        c.expect(faults::log_lines().size() == 2, "two lines:\n" + faults::log_dump());
        c.expect(faults::fd_count() == before, "no descriptor leaked");
        c.expect(netlib_libiface_close(&ctx), "close");
    });
}

}  // namespace
