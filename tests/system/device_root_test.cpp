// The test bed itself: the device looks like the device, stays apart from
// the machine, and leaves nothing running behind.
#include <net/if.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "system_fixture.h"

namespace systest
{
namespace
{

class DeviceRootTest : public DeviceTest
{
protected:
    bool drives_library() const override { return false; }
};

std::string read_host_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<absent>";
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> host_interfaces()
{
    std::vector<std::string> names;
    struct if_nameindex* list = if_nameindex();
    for (auto* entry = list; entry && entry->if_index != 0; ++entry)
        names.push_back(entry->if_name);
    if (list)
        if_freenameindex(list);
    return names;
}

TEST_F(DeviceRootTest, BinHoldsTheRealOutsidePrograms)
{
    CommandResult ip = device->run({"/bin/ip", "-V"});
    EXPECT_EQ(ip.status, 0) << ip.describe();
    EXPECT_NE(ip.out.find("iproute2"), std::string::npos) << ip.describe();

    CommandResult route = device->run({"/bin/route", "-n"});
    EXPECT_EQ(route.status, 0) << route.describe();
    EXPECT_NE(route.out.find("Kernel IP routing table"), std::string::npos) << route.describe();

    mode_t mode = 0;
    ASSERT_TRUE(device->file_mode("/bin/udhcpc", mode));
    EXPECT_TRUE(S_ISLNK(mode));
    CommandResult udhcpc = device->run({"/bin/udhcpc", "--help"});
    EXPECT_NE((udhcpc.out + udhcpc.err).find("udhcpc"), std::string::npos) << udhcpc.describe();

    CommandResult sh = device->run({"/bin/sh", "-c", "echo from-sh"});
    EXPECT_EQ(sh.status, 0) << sh.describe();
    EXPECT_EQ(sh.out, "from-sh\n");
}

TEST_F(DeviceRootTest, DeviceHasItsOwnRootProcHostnameAndLink)
{
    struct stat etc, tmp, host_tmp;
    ASSERT_EQ(stat(device->path("/etc").c_str(), &etc), 0);
    ASSERT_EQ(stat(device->path("/tmp").c_str(), &tmp), 0);
    ASSERT_EQ(stat("/tmp", &host_tmp), 0);
    EXPECT_EQ(etc.st_dev, tmp.st_dev) << "/etc and /tmp must share one file system for the resolver rename";
    EXPECT_NE(tmp.st_dev, host_tmp.st_dev);

    CommandResult hostname = device->run({"/bin/busybox", "hostname"});
    EXPECT_EQ(hostname.out, device->hostname() + "\n") << hostname.describe();

    // A fresh PID namespace: the shell is one of very few processes.
    CommandResult pid = device->run({"/bin/sh", "-c", "echo $$"});
    ASSERT_EQ(pid.status, 0) << pid.describe();
    EXPECT_GT(std::stoi(pid.out), 1);
    EXPECT_LT(std::stoi(pid.out), 100);

    LinkState eth0 = link("eth0");
    EXPECT_EQ(eth0.flags.count("UP"), 0u) << "eth0 starts down";
    EXPECT_EQ(eth0.mtu, 1500);
    for (const auto& name : host_interfaces())
        EXPECT_NE(name, "peer0") << "the peer end must not be in the machine's namespace";

    EXPECT_NE(device->run({"/bin/sh", "-c", "echo x > " + build_dir() + "/probe"}).status, 0)
        << "the build tree is bound read-only";
}

TEST_F(DeviceRootTest, EveryProcessEndsWithTheDevice)
{
    start_dhcp_server();
    ASSERT_EQ(device->run({"/bin/ip", "link", "set", "eth0", "up"}).status, 0);
    CommandResult started = device->run({"/bin/sh", "-c", "/bin/udhcpc -f -i eth0 -s /usr/bin/true >/dev/null 2>&1 &"});
    ASSERT_EQ(started.status, 0) << started.describe();
    ASSERT_TRUE(wait_until([&] { return device->processes("udhcpc").size() == 1; }, std::chrono::seconds(5)));

    std::vector<pid_t> pids = device->host_pids();
    // Both holders, the client and the server at least.
    ASSERT_GE(pids.size(), 4u);
    device->teardown();
    for (pid_t pid : pids)
        EXPECT_TRUE(process_gone(pid)) << "process " << pid << " outlived the device: "
                                       << read_host_file("/proc/" + std::to_string(pid) + "/status").substr(0, 200);
}

TEST_F(DeviceRootTest, ChangesInsideNeverReachTheMachine)
{
    const std::string host_resolver = read_host_file("/etc/resolv.conf");
    const std::string host_forward = read_host_file("/proc/sys/net/ipv4/ip_forward");
    const std::string host_ecn = read_host_file("/proc/sys/net/ipv4/tcp_ecn");
    const std::string host_routes = read_host_file("/proc/net/route");
    const std::vector<std::string> host_links = host_interfaces();

    const std::string flipped = host_forward == "1\n" ? "0" : "1";
    ASSERT_TRUE(device->write_proc("/proc/sys/net/ipv4/ip_forward", flipped));
    ASSERT_TRUE(device->write_proc("/proc/sys/net/ipv4/tcp_ecn", host_ecn == "2\n" ? "0" : "2"));
    for (const std::vector<std::string>& step :
         {std::vector<std::string>{"/bin/ip", "addr", "add", "10.99.1.20/24", "dev", "eth0"},
          {"/bin/ip", "link", "set", "eth0", "up"},
          {"/bin/route", "add", "default", "gw", "10.99.1.1", "dev", "eth0"},
          {"/bin/sh", "-c", "echo nameserver 10.99.1.53 > /tmp/r && /usr/bin/mv /tmp/r /etc/resolv.conf"}}) {
        CommandResult r = device->run(step);
        ASSERT_EQ(r.status, 0) << step[0] << ": " << r.describe();
    }
    std::string inside;
    ASSERT_TRUE(device->read_proc("/proc/sys/net/ipv4/ip_forward", inside));
    EXPECT_EQ(inside, flipped + "\n");
    EXPECT_EQ(resolver_file(), "nameserver 10.99.1.53\n");
    EXPECT_EQ(default_routes(), std::vector<std::string>{"default via 10.99.1.1 dev eth0"});

    EXPECT_EQ(read_host_file("/etc/resolv.conf"), host_resolver);
    EXPECT_EQ(read_host_file("/proc/sys/net/ipv4/ip_forward"), host_forward);
    EXPECT_EQ(read_host_file("/proc/sys/net/ipv4/tcp_ecn"), host_ecn);
    EXPECT_EQ(read_host_file("/proc/net/route"), host_routes);
    EXPECT_EQ(host_interfaces(), host_links);
}

}  // namespace
}  // namespace systest
