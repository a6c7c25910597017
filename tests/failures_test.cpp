// Failures from real conditions in a throw-away device root (a tmpfs holding
// /etc and /tmp, entered with chroot), and the resolver file under SIGKILL.
#include <ifaddrs.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <chrono>
#include <functional>
#include <random>
#include <thread>

#include "support.h"

namespace
{

const char* const kResolver = "nameserver 10.5.0.53\n";

std::vector<std::string> entries(const char* dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string addresses()
{
    std::string all;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* a = list; a; a = a->ifa_next)
            if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET)
                all += std::string(a->ifa_name) + " " +
                       std::to_string(static_cast<sockaddr_in*>(static_cast<void*>(a->ifa_addr))->sin_addr.s_addr) +
                       " ";
        freeifaddrs(list);
    }
    return all;
}

void drop_net_admin()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2];
    ASSERT_EQ(0, syscall(SYS_capget, &header, data));
    data[0].effective &= ~(1u << CAP_NET_ADMIN);
    ASSERT_EQ(0, syscall(SYS_capset, &header, data));
}

void limit(int resource, rlim_t soft)
{
    rlimit l;
    getrlimit(resource, &l);
    l.rlim_cur = soft;
    ASSERT_EQ(0, setrlimit(resource, &l));
}

struct Row {
    const char* name;
    const char* condition;  // shell, run before the root is entered
    std::function<bool(void*)> call;
    std::vector<std::string> log;
};

bool write_dns(void* c)
{
    return net::netlib_netm_configure_dns(c, "eth0", {"10.0.0.1"}, "lan");
}

class Device : public Isolated
{
protected:
    Ctx ctx;
    void SetUp() override
    {
        Isolated::SetUp();
        sh("ip link add eth0 type veth peer name peer0 && ip link set peer0 up && ip link set eth0 up && "
           "ip addr add 10.5.0.2/24 dev eth0 && ip route add default via 10.5.0.1 && "
           "mount -t tmpfs -o size=16m device /mnt && mkdir -m 1777 /mnt/tmp && mkdir /mnt/etc /mnt/proc /mnt/sys "
           "/mnt/bin && mount -t sysfs sysfs /mnt/sys && "
           "printf '" +
           std::string(kResolver) + "' > /mnt/etc/resolv.conf");
        ASSERT_TRUE(net::netlib_libiface_init(ctx));
    }
    void enter_root() { ASSERT_TRUE(chroot("/mnt") == 0 && chdir("/") == 0) << std::strerror(errno); }
    void kill_updates();
    // What a failed call must leave as it was.
    static std::string state()
    {
        return read_file("/etc/resolv.conf") + "|" + ::testing::PrintToString(entries("/tmp")) + "|" +
               read_file("/proc/net/route") + "|" + addresses() + "|" + read_file("/sys/class/net/eth0/mtu") + "|" +
               read_file("/proc/sys/net/ipv4/ip_forward");
    }
};

const Row kRows[] = {
    {"ReadOnlyProcSys",
     "mount --bind /mnt/proc/sys /mnt/proc/sys && mount -o remount,bind,ro /mnt/proc/sys",
     [](void* c) { return net::netlib_netm_init_network(c, "eth0", pelk::variant::Variant()); },
     {"3 configure_ipv4_opts: Failed to write /proc file"}},
    {"ReadOnlyIpv6Settings",
     "mount --bind /mnt/proc/sys /mnt/proc/sys && mount -o remount,bind,ro /mnt/proc/sys",
     [](void* c) { return net::netlib_netm_configure_ipv6_mode(c, "eth0", net::ipv6_static); },
     {"3 netlib_netm_configure_ipv6_mode: Failed to set IPv6 mode on \"eth0\": Read-only file system"}},
    // A host's own tree, which netlibctl's key check never sees.
    {"Ipv6OffBesideAGateway",
     "",
     [](void* c) {
         pelk::variant::Variant tree;
         tree["ipv6"]["mode"] = "off";
         tree["ipv6"]["gateway"] = "2001:db8::1";
         return net::netlib_netm_init_network(c, "eth0", tree);
     },
     {"3 ipv6_settings_valid: Invalid IPv6 mode 'off'"}},
    {"MountOverTheResolverFile",
     "touch /mnt/other && mount --bind /mnt/other /mnt/etc/resolv.conf",
     write_dns,
     {"3 netlib_netm_configure_dns: Failed to move DNS config from \"/tmp/resolv.conf.PID.RANDOM\" to "
      "\"/etc/resolv.conf\": Device or resource busy"}},
    {"FullFileSystem",
     "(cat /dev/zero > /mnt/fill) 2>/dev/null; true",
     write_dns,
     {"3 netlib_netm_configure_dns: Failed to write data to config file \"/etc/resolv.conf\""}},
    // A tmpfs /tmp: the temporary file goes to /etc. Writes land in the page cache; only the
    // flush finds that the storage behind /etc is full.
    {"EtcStorageFailsToFlush",
     "truncate -s 32M /mnt/img && mkfs.ext4 -q /mnt/img && mount -o loop /mnt/img /mnt/etc && "
     "printf 'nameserver 10.5.0.53\\n' > /mnt/etc/resolv.conf && mount -t tmpfs tmp /mnt/tmp && "
     "(cat /dev/zero > /mnt/fill) 2>/dev/null; true",
     write_dns,
     {"3 netlib_netm_configure_dns: Failed to write data to config file \"/etc/resolv.conf\""}},
    {"ReadOnlyEtcAndATmpOfItsOwn",
     "mount -t tmpfs tmp /mnt/tmp && mount --bind /mnt/etc /mnt/etc && mount -o remount,bind,ro /mnt/etc",
     write_dns,
     {"3 netlib_netm_configure_dns: Failed to open config file \"/etc/resolv.conf\""}},
    // A file system that refuses the new file's mode after creating it (bindfs --chmod-deny).
    {"TmpRefusesTheFileMode",
     "mkdir /mnt/store && bindfs --chmod-deny /mnt/store /mnt/tmp",
     write_dns,
     {"3 netlib_netm_configure_dns: Failed to open config file \"/etc/resolv.conf\""}},
    // How an image switches name resolution off: the device node must stay one.
    {"ResolverLinkToADeviceNode",
     "rm /mnt/etc/resolv.conf && mknod -m 666 /mnt/null c 1 3 && ln -s /null /mnt/etc/resolv.conf",
     write_dns,
     {"3 netlib_netm_configure_dns: Failed to move DNS config from \"/tmp/resolv.conf.PID.RANDOM\" to \"/null\": "
      "Operation not supported"}},
    {"NoDhcpClient",
     "",
     [](void* c) { return net::netlib_netm_configure_dhcp(c, "eth0"); },
     {"3 netlib_netm_configure_dhcp: Failed to start udhcpc"}},
    {"NoNetAdminCapability",
     "",
     [](void* c) {
         drop_net_admin();
         return net::netlib_iface_set_mtu(c, "eth0", 1400);
     },
     {"3 do_ioctl: netlib: ioctl(8922) failed: Operation not permitted"}},
    {"RefusedGateway",
     "",
     [](void* c) { return net::netlib_netm_configure_routes(c, "eth0", " 10.5.0.1  10.5.0.300"); },
     {"3 add_route: Invalid gateway '10.5.0.300'",
      "3 netlib_netm_configure_routes: Failed to configure routes on interface \"eth0\""}},
    {"RefusedNameServer",
     "",
     [](void* c) {
         return net::netlib_netm_configure_dns(c, "eth0", {"10.0.0.1", " 10.0.0.256 "}, "");
     },
     {"3 netlib_netm_configure_dns: Invalid nameserver ' 10.0.0.256 '"}},
    {"RefusedNetmask",
     "",
     [](void* c) { return net::netlib_netm_configure_ip_addr(c, "eth0", "10.5.0.9", "255.0.255.0", ""); },
     {"3 netlib_netm_configure_ip_addr: subnet mask is invalid"}},
    {"RefusedSearchText",
     "",
     [](void* c) { return net::netlib_netm_configure_dns(c, "eth0", {}, "lan\nnameserver 6.6.6.6"); },
     {"3 netlib_netm_configure_dns: Invalid search domain 'lan nameserver 6.6.6.6'"}},
    {"DescriptorsExhausted",
     "",
     [](void* c) {
         net::netlib_libiface_close(c);
         const int lowest_free = dup(0);
         close(lowest_free);
         limit(RLIMIT_NOFILE, static_cast<rlim_t>(lowest_free));
         const bool opened = net::netlib_libiface_init(c) || net::netlib_libevents_init(c);
         limit(RLIMIT_NOFILE, 1024);
         EXPECT_EQ(nullptr, static_cast<netlib_context*>(c)->iface_state);
         EXPECT_EQ(nullptr, static_cast<netlib_context*>(c)->events_state);
         return opened;
     },
     {"3 netlib_libiface_init: netlib: cannot open dev socket",
      "3 netlib_libevents_init: netlib: failed to open netlink socket (24)"}},
    // Every unit's guard: nothing runs on a context whose modules were never opened.
    {"ModulesNeverOpened", "",
     [](void* c) {
         net::netlib_libiface_close(c);
         const std::vector<std::string> none;
         unsigned int id = 0;
         const bool any[] = {net::netlib_netm_connect(c, "eth0"),
                             net::netlib_netm_configure_interface(c, "eth0"),
                             net::netlib_netm_flush_iface(c, "eth0"),
                             net::netlib_netm_configure_ip_addr(c, "eth0", "10.5.0.9", "", ""),
                             net::netlib_netm_configure_routes(c, "eth0", ""),
                             net::netlib_netm_configure_dns(c, "eth0", none, ""),
                             net::netlib_netm_configure_dhcp(c, "eth0"),
                             net::netlib_netm_configure_static_fallback(c, "eth0", "10.5.0.9", "", ""),
                             net::netlib_netm_is_static_connection(c, "eth0"),
                             net::netlib_netm_is_static_fallback_connection(c, "eth0"),
                             net::netlib_netm_configure_static(c, "eth0", "10.5.0.9", "", "", none, "", "", false),
                             net::netlib_netm_init_network(c, "eth0", pelk::variant::Variant()),
                             net::netlib_libevents_subscribe(
                                 c, [](net::event_type, const pelk::variant::Variant&, void*) {}, id, nullptr),
                             net::netlib_libevents_unsubscribe(c, 0),
                             net::netlib_libevents_drain(c, 1),
                             net::netlib_libevents_resync(c),
                             receive_event(c),
                             net::netlib_libevents_fd(c) != -1};
         return std::find(std::begin(any), std::end(any), true) != std::end(any);
     },
     std::vector<std::string>(18, "3 check: library context is null")},
    {"AddressSpaceExhaustedWhileWriting",
     "",
     [](void* c) {
         const std::string search(64 << 20, 's');  // its line cannot be built within the limit below
         limit(RLIMIT_AS, static_cast<rlim_t>(std::stoul(read_file("/proc/self/statm")) * getpagesize()) + (24 << 20));
         const bool done = net::netlib_netm_configure_dns(c, "eth0", {}, search);
         limit(RLIMIT_AS, RLIM_INFINITY);
         return done;
     },
     {"3 netlib_netm_configure_dns: netlib: memory allocation error"}},
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

class Failures : public Device, public ::testing::WithParamInterface<Row>
{
};

// Each row as PID 1 of its own namespaces: a DHCP start stops every "udhcpc" it can see.
TEST_P(Failures, FailWithTheirLogLinesAndChangeNothing)
{
    const Row& row = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    if (std::string(row.name) == "AddressSpaceExhaustedWhileWriting")
        GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit leaves";
#endif
    as_init(
        [&] {
            if (*row.condition)
                sh(row.condition);
            enter_root();
            const std::string before = state();
            Log::take();
            EXPECT_FALSE(row.call(ctx));
            EXPECT_EQ(row.log, Log::take());
            EXPECT_EQ(before, state());
        },
        "/mnt/proc");
}

INSTANTIATE_TEST_SUITE_P(RealConditions, Failures, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

// One context, one interface configured one way after another: the records follow the last
// configuration, and a failed one leaves them, but for a fallback address already assigned.
TEST_F(Device, RecordsFollowTheLastConfigurationOfAnInterface)
{
    as_init(
        [this] {
            // BusyBox stands in for ip, route and udhcpc, with this machine's libraries and devices.
            sh("for d in usr lib lib64 lib32; do if [ -L /$d ]; then ln -s \"$(readlink /$d)\" /mnt/$d; "
               "elif [ -d /$d ]; then mkdir /mnt/$d && mount -o bind,ro /$d /mnt/$d; fi; done && "
               "mkdir /mnt/dev && mount --rbind /dev /mnt/dev");
            for (const char* what : {"ip program", "route program", "DHCP client"}) {
                const std::string path = "/mnt" + program_path(what);
                sh("mkdir -p " + path.substr(0, path.rfind('/')) +
                   " && ln -s \"$(readlink -f \"$(command -v "
                   "busybox)\")\" " +
                   path);
            }
            enter_root();
            const auto records = [this](const char* after, bool is_static, bool fallback) {
                EXPECT_EQ(is_static, net::netlib_netm_is_static_connection(ctx, "eth0")) << after;
                EXPECT_EQ(fallback, net::netlib_netm_is_static_fallback_connection(ctx, "eth0")) << after;
            };
            EXPECT_TRUE(net::netlib_netm_configure_static_fallback(ctx, "eth0", "10.5.0.20", "", ""));
            records("a fallback address", false, true);
            EXPECT_TRUE(net::netlib_netm_configure_dhcp(ctx, "eth0"));
            records("a DHCP start", false, false);
            EXPECT_TRUE(net::netlib_netm_configure_static(ctx, "eth0", "10.5.0.21", "", "", {}, "", "", true));
            records("static, with the fallback address", true, false);
            EXPECT_FALSE(
                net::netlib_netm_configure_static(ctx, "eth0", "10.5.0.21", "", "10.5.0.300", {}, "", "", true));
            records("static, a refused gateway: nothing applied", true, false);
            EXPECT_FALSE(
                net::netlib_netm_configure_static(ctx, "eth0", "10.5.0.21", "", "224.0.0.1", {}, "", "", true));
            records("static, routes failing after the fallback address", false, true);
            EXPECT_TRUE(net::netlib_netm_configure_dhcp(ctx, "eth0", "10.5.0.22", "", "", {}, "", "", false));
            records("a lease", false, false);
            EXPECT_FALSE(net::netlib_netm_configure_static(ctx, "eth0", "10.5.0.300", "", "", {}, "", "", false));
            records("static, address refused", false, false);
            EXPECT_FALSE(net::netlib_netm_is_static_connection(ctx, "lo"));
            EXPECT_FALSE(net::netlib_netm_is_static_fallback_connection(ctx, "lo"));
        },
        "/mnt/proc");
}

std::string resolver_content(int k)
{
    std::string text = "search update-" + std::to_string(k) + "\n";
    for (int i = 1; i <= 40; ++i)
        text += "nameserver 10." + std::to_string(k % 250) + ".0." + std::to_string(i) + "\n";
    return text;
}

// Child: before each update it reports its number, after it a 'done' mark.
[[noreturn]] void run_updates(void* ctx, int report, int first)
{
    for (int k = first;; ++k) {
        std::vector<std::string> servers;
        for (int i = 1; i <= 40; ++i)
            servers.push_back("10." + std::to_string(k % 250) + ".0." + std::to_string(i));
        const int started[2] = {k, 0}, done[2] = {k, 1};
        if (write(report, started, sizeof started) != sizeof started ||
            !net::netlib_netm_configure_dns(ctx, "eth0", servers, "update-" + std::to_string(k)) ||
            write(report, done, sizeof done) != sizeof done)
            _exit(1);
    }
}

// The child's next report; false at its end. A child silent for a minute hangs: a failure.
bool next_report(int fd, int (&msg)[2])
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 60000) == 0) {
        ADD_FAILURE() << "the updating child hangs";
        return false;
    }
    return read(fd, msg, sizeof msg) == sizeof msg;
}

// NETLIB_TEST_SEED repeats a run; the seed used is printed.
TEST_F(Device, KilledUpdatesLeaveTheOldOrTheNewResolverFileWhole)
{
    as_init([this] { kill_updates(); }, "/mnt/proc");
}

void Device::kill_updates()
{
    enter_root();
    const char* given = std::getenv("NETLIB_TEST_SEED");
    const unsigned int seed = given ? static_cast<unsigned int>(std::stoul(given)) : std::random_device{}();
    std::printf("seed %u (NETLIB_TEST_SEED)\n", seed);
    std::mt19937 random(seed);
    using clock = std::chrono::steady_clock;
    int kills = 0, mid_update = 0, temporaries = 0, next = 0;
    clock::duration update{0};
    while (mid_update < 200 && kills < 4000) {
        int report[2];
        ASSERT_EQ(0, pipe(report));
        const pid_t child = fork();
        if (child == 0) {
            close(report[0]);
            run_updates(ctx, report[1], next);
        }
        close(report[1]);
        // Let a random number of updates finish, then kill at a random point of the next
        // one, scaled by how long an update took in this very run.
        const int let_finish = std::uniform_int_distribution<int>(0, 2)(random);
        int msg[2], last[2] = {next - 1, 1}, finished = 0;
        std::string complete = read_file("/etc/resolv.conf");  // what the last finished update left
        clock::time_point started;
        while (next_report(report[0], msg)) {
            std::memcpy(last, msg, sizeof msg);
            if (msg[1] == 1) {
                update = (update * 7 + (clock::now() - started)) / 8;
                complete = resolver_content(msg[0]);
                ++finished;
            } else if (finished < let_finish) {
                started = clock::now();
            } else {
                const double fraction = std::uniform_real_distribution<double>(0, 1.2)(random);
                std::this_thread::sleep_for(std::chrono::duration_cast<clock::duration>(update * fraction));
                break;
            }
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        while (read(report[0], msg, sizeof msg) == sizeof msg) {
            std::memcpy(last, msg, sizeof msg);
            if (msg[1] == 1)
                complete = resolver_content(msg[0]);
        }
        close(report[0]);
        ++kills;
        mid_update += last[1] == 0;
        const std::string content = read_file("/etc/resolv.conf");
        ASSERT_TRUE(content == complete || (last[1] == 0 && content == resolver_content(last[0])))
            << "update " << last[0] << " left:\n"
            << content;
        struct stat st;
        ASSERT_EQ(0, stat("/etc/resolv.conf", &st));
        ASSERT_EQ(0644u, st.st_mode & 07777);
        // At most the one temporary file in flight stays behind; remove it.
        const std::vector<std::string> left = entries("/tmp");
        ASSERT_LE(left.size(), 1u) << ::testing::PrintToString(left);
        for (const std::string& name : left)
            temporaries += unlink(("/tmp/" + name).c_str()) == 0;
        next = last[0] + 1;
    }
    std::printf("%d kills (%d mid-update, %d left a temporary file), %d updates\n", kills, mid_update, temporaries,
                next);
    EXPECT_EQ(200, mid_update);
}

}  // namespace
