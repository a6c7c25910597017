// Configuration unit under real failures, with the standalone host: link
// ioctls refused by the kernel, /bin/ip failing, the resolver file on a
// full or split file system, no host name, no DHCP client, and /proc files
// that are read-only or missing. The device roots are private mount
// namespaces with a tmpfs root (etc/, tmp/) entered with chroot.
#include <dirent.h>
#include <linux/sockios.h>
#include <pelk/variant.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "fault_test.h"

using namespace pelk::network;

namespace
{

const char kResolver[] = "/etc/resolv.conf";
const char kOldResolver[] = "nameserver 192.0.2.53\n";

std::string err_text(int err)
{
    return std::string(": ") + std::strerror(err);
}

// Names in dir that start with prefix.
std::vector<std::string> entries(const std::string& dir, const std::string& prefix)
{
    std::vector<std::string> found;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return found;
    while (const dirent* e = readdir(d)) {
        if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0)
            found.push_back(e->d_name);
    }
    closedir(d);
    return found;
}

// Enters a device root with an old resolver file and opens the interface
// module; skips the test when that is not possible.
void device_root_with_context(faults::Checks& c, netlib_context& ctx, const std::string& tmpfs_options, bool with_proc)
{
    std::string why;
    if (!faults::enter_device_root(tmpfs_options, with_proc, why))
        faults::skip("no device root: " + why);
    c.expect(faults::write_file(kResolver, kOldResolver), "old resolver file written");
    c.expect(netlib_libiface_init(&ctx), "init");
}

// The resolver file is untouched and no temporary file is left in /tmp.
void expect_resolver_kept(faults::Checks& c)
{
    c.expect(faults::read_file(kResolver) == kOldResolver, "resolver file unchanged: " + faults::read_file(kResolver));
    c.expect(entries("/tmp", "resolv.conf.").empty(), "no temporary resolver file left in /tmp");
}

const std::vector<std::string> kNameservers{"10.0.0.1", "10.0.0.2"};

class NetmFaults : public FaultTest
{
};

TEST_F(NetmFaults, LinkBringUpReportsTheFailingStep)
{
    NETLIB_ENTER_NETNS_OR_SKIP();
    ASSERT_EQ(testns::sh("ip link add fnA0 type veth peer name fnB0"), 0);

    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        const int before = faults::fd_count();
        c.expect(netlib_libiface_init(&ctx), "init");
        c.expect(!netlib_netm_configure_interface(&ctx, "nosuch0"), "missing device");
        c.expect_logged({"ioctl(8913) failed" + err_text(ENODEV)});
        c.expect_logged({" netlib_netm_configure_interface: Failed to get \"nosuch0\" flags"});
        c.expect(faults::log_lines().size() == 2, "two lines:\n" + faults::log_dump());
        c.expect(netlib_libiface_close(&ctx), "close");
        c.expect(faults::fd_count() == before, "no descriptor leaked");
    });

    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        const int before = faults::fd_count();
        c.expect(netlib_libiface_init(&ctx), "init");
        c.expect(faults::drop_net_admin(), "CAP_NET_ADMIN dropped");
        c.expect(!netlib_netm_configure_interface(&ctx, "fnA0"), "flags not writable");
        c.expect_logged({"ioctl(8914) failed" + err_text(EPERM)});
        c.expect_logged({" netlib_netm_configure_interface: Failed to turn on \"fnA0\""});
        c.expect(!netlib_iface_is_up(&ctx, "fnA0"), "still down");
        c.expect(netlib_libiface_close(&ctx), "close");
        c.expect(faults::fd_count() == before, "no descriptor leaked");
    });
}

TEST_F(NetmFaults, LinkBringUpStopsAtARefusedMtu)
{
    SKIP_WITHOUT_SECCOMP();
    NETLIB_ENTER_NETNS_OR_SKIP();
    ASSERT_EQ(testns::sh("ip link add fnA0 type veth peer name fnB0"), 0);

    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        const int before = faults::fd_count();
        c.expect(netlib_libiface_init(&ctx), "init");
        c.expect(faults::install_errno_filter({{SYS_ioctl, ERANGE, 1, SIOCSIFMTU}}), "seccomp filter");
        c.expect(!netlib_netm_configure_interface(&ctx, "fnA0"), "MTU refused");
        c.expect_logged({"ioctl(8922) failed" + err_text(ERANGE)});
        c.expect_logged({" netlib_netm_configure_interface: Failed to set MTU (1500) for \"fnA0\""});
        // Nothing is undone: the flags written before the MTU step stay.
        c.expect(netlib_iface_is_up(&ctx, "fnA0"), "flags kept");
        c.expect(netlib_libiface_close(&ctx), "close");
        c.expect(faults::fd_count() == before, "no descriptor leaked");
    });
}

TEST_F(NetmFaults, FailingIpCommandIsReported)
{
    if (access("/bin/ip", X_OK) != 0)
        GTEST_SKIP() << "/bin/ip not installed";
    NETLIB_ENTER_NETNS_OR_SKIP();
    netlib_context ctx = fresh_context();
    const int before = faults::fd_count();
    ASSERT_TRUE(netlib_libiface_init(&ctx));
    EXPECT_FALSE(netlib_netm_flush_iface(&ctx, "nosuch0"));
    EXPECT_EQ(faults::log_count({" netlib_netm_flush_iface: Failed to flush interface \"nosuch0\""}), 1)
        << faults::log_dump();
    EXPECT_FALSE(netlib_netm_configure_ip_addr(&ctx, "nosuch0", "10.1.2.3", "255.255.255.0", ""));
    EXPECT_EQ(faults::log_count({" netlib_netm_configure_ip_addr: Failed to configure interface \"nosuch0\""}), 1)
        << faults::log_dump();
    EXPECT_TRUE(netlib_libiface_close(&ctx));
    EXPECT_EQ(faults::fd_count(), before);
}

TEST_F(NetmFaults, ResolverTemporaryFileCannotBeCreated)
{
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        device_root_with_context(c, ctx, "size=1m,nr_inodes=64,mode=0755", true);
        c.expect(faults::fill_file_system("/etc", "inodes"), "inodes used up");
        const int before = faults::fd_count();
        c.expect(!netlib_netm_configure_dns(&ctx, "eth0", kNameservers, "lan"), "dns fails");
        c.expect_logged({" netlib_netm_configure_dns: Failed to open config file \"/etc/resolv.conf\""});
        c.expect_logged({"cannot open \"/tmp/resolv.conf.", err_text(ENOSPC)});
        expect_resolver_kept(c);
        c.expect(faults::fd_count() == before, "no descriptor leaked");
    });
}

TEST_F(NetmFaults, ResolverLineCannotBeWritten)
{
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        device_root_with_context(c, ctx, "size=64k,mode=0755", true);
        c.expect(faults::fill_file_system("/etc", "blocks"), "blocks used up");
        const int before = faults::fd_count();
        c.expect(!netlib_netm_configure_dns(&ctx, "eth0", kNameservers, "lan"), "dns fails");
        c.expect_logged({" netlib_netm_configure_dns: Failed to write data to config file \"/etc/resolv.conf\""});
        expect_resolver_kept(c);
        c.expect(faults::fd_count() == before, "no descriptor leaked");
    });
}

TEST_F(NetmFaults, ResolverRenameAcrossFileSystemsFails)
{
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        device_root_with_context(c, ctx, "size=1m,mode=0755", true);
        c.expect(mount("etc", "/etc", "tmpfs", 0, "size=64k") == 0, "/etc on its own tmpfs");
        c.expect(faults::write_file(kResolver, kOldResolver), "old resolver file on /etc");
        const int before = faults::fd_count();
        c.expect(!netlib_netm_configure_dns(&ctx, "eth0", kNameservers, "lan"), "dns fails");
        c.expect_logged({" netlib_netm_configure_dns: Failed to move DNS config from \"/tmp/resolv.conf." +
                             std::to_string(getpid()) + ".",
                         "\" to \"/etc/resolv.conf\"" + err_text(EXDEV)});
        expect_resolver_kept(c);
        c.expect(faults::fd_count() == before, "no descriptor leaked");
    });
}

TEST_F(NetmFaults, ResolverRenameOverAMountPointFails)
{
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        device_root_with_context(c, ctx, "size=1m,mode=0755", true);
        c.expect(mount(kResolver, kResolver, nullptr, MS_BIND, nullptr) == 0, "resolver file bound over itself");
        const int before = faults::fd_count();
        c.expect(!netlib_netm_configure_dns(&ctx, "eth0", kNameservers, "lan"), "dns fails");
        c.expect_logged({" netlib_netm_configure_dns: Failed to move DNS config from \"/tmp/resolv.conf.",
                         "\" to \"/etc/resolv.conf\"" + err_text(EBUSY)});
        expect_resolver_kept(c);
        c.expect(faults::fd_count() == before, "no descriptor leaked");
    });
}

// The DHCP rows run in a device root without /proc and /bin: the search
// for an old client finds nothing, and no real client can be started.
TEST_F(NetmFaults, DhcpWithoutHostName)
{
    SKIP_WITHOUT_SECCOMP();
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        device_root_with_context(c, ctx, "size=1m,mode=0755", false);
        const int before = faults::fd_count();
        // gethostname reads the name through uname.
        c.expect(faults::install_errno_filter({{SYS_uname, EPERM}}), "seccomp filter");
        c.expect(!netlib_netm_configure_dhcp(&ctx, "eth0"), "dhcp fails");
        c.expect_logged({"E3 ", " netlib_netm_configure_dhcp: Failed to get hostname"});
        c.expect(faults::log_count({"pelk_network_utils_core "}) == 1,
                 "one line of the library:\n" + faults::log_dump());
        c.expect(
            !netlib_netm_is_static_connection(&ctx, "eth0") && !netlib_netm_is_static_fallback_connection(&ctx, "eth0"),
            "records unchanged");
        c.expect(faults::fd_count() == before, "no descriptor leaked");
    });
}

TEST_F(NetmFaults, DhcpClientThatCannotStart)
{
    SKIP_WITHOUT_EXEC_FAILURES();
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        device_root_with_context(c, ctx, "size=1m,mode=0755", false);
        const int before = faults::fd_count();
        c.expect(!netlib_netm_configure_dhcp(&ctx, "eth0"), "dhcp fails");
        c.expect_logged({"cannot start \"/bin/udhcpc\"", err_text(ENOENT)});
        c.expect_logged({" netlib_netm_configure_dhcp: Failed to start udhcpc"});
        c.expect(!netlib_netm_is_static_connection(&ctx, "eth0"), "records unchanged");
        c.expect(faults::fd_count() == before, "no descriptor leaked");
    });
}

// The kernel options of a private network namespace, behind a read-only or
// missing /proc.
class ProcFaults : public FaultTest
{
protected:
    void SetUp() override
    {
        FaultTest::SetUp();
        if (IsSkipped())
            return;
        NETLIB_ENTER_NETNS_OR_SKIP();
    }
};

TEST_F(ProcFaults, ReadOnlyProcSysStopsStartUpAtTheFirstOption)
{
    ASSERT_EQ(testns::sh("ip link add fpA0 type veth peer name fpB0"), 0);
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            faults::skip(std::string("no private mount namespace: ") + std::strerror(errno));
        c.expect(mount("/proc/sys", "/proc/sys", nullptr, MS_BIND, nullptr) == 0 &&
                     mount(nullptr, "/proc/sys", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0,
                 "/proc/sys read-only");
        netlib_context ctx = fresh_context();
        c.expect(netlib_libiface_init(&ctx), "init");
        const int before = faults::fd_count();
        c.expect(!netlib_netm_init_network(&ctx, "fpA0", pelk::variant::Variant()), "start-up fails");
        c.expect_logged({"\"/proc/sys/net/ipv4/ip_forward\"", err_text(EROFS)});
        c.expect_logged({" configure_ipv4_opts: Failed to write /proc file"});
        c.expect(faults::log_lines().size() == 2, "nothing after the failing option:\n" + faults::log_dump());
        c.expect(!netlib_iface_is_up(&ctx, "fpA0"), "the link step did not run");
        c.expect(faults::fd_count() == before, "no descriptor leaked");
    });
}

TEST_F(ProcFaults, ReadOnlyOptionKeepsTheOptionsWrittenBeforeIt)
{
    const std::string ecn_before = faults::read_file("/proc/sys/net/ipv4/tcp_ecn");
    ASSERT_TRUE(faults::write_file("/proc/sys/net/ipv4/ip_forward", "0"));
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        const char* arp_filter = "/proc/sys/net/ipv4/conf/all/arp_filter";
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            faults::skip(std::string("no private mount namespace: ") + std::strerror(errno));
        c.expect(mount(arp_filter, arp_filter, nullptr, MS_BIND, nullptr) == 0 &&
                     mount(nullptr, arp_filter, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0,
                 "arp_filter read-only");
        netlib_context ctx = fresh_context();
        c.expect(netlib_libiface_init(&ctx), "init");
        c.expect(!netlib_netm_init_network(&ctx, "lo", pelk::variant::Variant()), "start-up fails");
        c.expect_logged({"\"/proc/sys/net/ipv4/conf/all/arp_filter\"", err_text(EROFS)});
        c.expect_logged({" configure_ipv4_opts: Failed to write /proc file"});
    });
    EXPECT_EQ(faults::read_file("/proc/sys/net/ipv4/ip_forward"), "1\n");
    EXPECT_EQ(faults::read_file("/proc/sys/net/ipv4/conf/all/forwarding"), "1\n");
    EXPECT_EQ(faults::read_file("/proc/sys/net/ipv4/tcp_ecn"), ecn_before);
}

TEST_F(ProcFaults, MissingProcStopsStartUp)
{
    EXPECT_CHILD_PASSES([](faults::Checks& c) {
        netlib_context ctx = fresh_context();
        device_root_with_context(c, ctx, "size=1m,mode=0755", false);
        c.expect(!netlib_netm_init_network(&ctx, "lo", pelk::variant::Variant()), "start-up fails");
        c.expect_logged({"cannot open \"/proc/sys/net/ipv4/ip_forward\"", err_text(ENOENT)});
        c.expect_logged({" configure_ipv4_opts: Failed to write /proc file"});
        c.expect(faults::log_lines().size() == 2, "nothing after the failing option:\n" + faults::log_dump());
    });
}

}  // namespace
