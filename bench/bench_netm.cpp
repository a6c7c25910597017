// netlib_netm_configure_static on a throw-away device against a bare
// spawner running the same command lines and writing the same resolver
// file: what the library adds on top of the outside programs.
//
// The device is a child process with its own mount and network namespaces:
// a tmpfs root holding /bin/ip (iproute2), /bin/route (net-tools), /etc and
// /tmp, the system's /usr bound in, and a veth end named eth0. Nothing of
// the machine's own network or files is touched.
#include <fcntl.h>
#include <pelk_network_utils_core.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "context.h"
#include "harness.h"
#include "spawner.h"

namespace
{

using namespace bench;

const char* const kFigure = "netlib_netm_configure_static in a device root / bare spawner, same commands";
const std::string kIface = "eth0";
const std::string kIp = "10.200.0.2";
const std::string kNetmask = "255.255.255.0";
const std::string kGateway = "10.200.0.1";
const std::vector<std::string> kNameservers{"10.200.0.53"};
const std::string kSearch = "bench.example";

bool touch(const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

bool bind_file(const std::string& from, const std::string& to)
{
    return touch(to) && mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

// Builds the device's root at `root` and its network; runs in the child,
// already inside the new namespaces.
bool build_device(const std::string& root, std::string& why)
{
    const std::string ip = find_program("ip");
    const std::string route = find_program("route");
    if (ip.empty() || route.empty()) {
        why = "needs iproute2's ip and net-tools' route";
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", root.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        why = "cannot mount the device's tmpfs root";
        return false;
    }
    for (const char* dir : {"/bin", "/etc", "/tmp", "/usr", "/proc", "/dev"})
        mkdir((root + dir).c_str(), 0755);
    chmod((root + "/tmp").c_str(), 01777);
    for (const char* link : {"lib", "lib64", "sbin"})
        symlink(std::string(link) == "sbin" ? "bin" : (std::string("usr/") + link).c_str(),
                (root + "/" + link).c_str());
    const bool bound = mount("/usr", (root + "/usr").c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
                       bind_file(ip, root + "/bin/ip") && bind_file(route, root + "/bin/route") &&
                       bind_file("/dev/null", root + "/dev/null") &&
                       mount("proc", (root + "/proc").c_str(), "proc", 0, nullptr) == 0 &&
                       touch(root + "/etc/resolv.conf");
    if (!bound) {
        why = "cannot lay out the device's root";
        return false;
    }
    if (access("/etc/ld.so.cache", R_OK) == 0)
        bind_file("/etc/ld.so.cache", root + "/etc/ld.so.cache");
    CommandLine veth(ip, {"link", "add", kIface, "type", "veth", "peer", "name", "eth0peer"});
    CommandLine up(ip, {"link", "set", kIface, "up"});
    CommandLine peer_up(ip, {"link", "set", "eth0peer", "up"});
    CommandLine lo_up(ip, {"link", "set", "lo", "up"});
    if (veth.run() != 0 || up.run() != 0 || peer_up.run() != 0 || lo_up.run() != 0) {
        why = "cannot make the veth pair";
        return false;
    }
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) {
        why = "cannot enter the device's root";
        return false;
    }
    return true;
}

// The same work without the library: the command lines it runs, one after
// the other, and the resolver file written beside its target and renamed.
class BareSpawner
{
public:
    BareSpawner()
        : add_addr_("/bin/ip", {"addr", "add", kIp + "/" + kNetmask, "brd", "+", "dev", kIface}),
          del_route_("/bin/route", {"del", "default", "gw", "0.0.0.0", "dev", kIface}),
          add_route_("/bin/route", {"add", "default", "gw", kGateway, "dev", kIface})
    {
        content_ = "search " + kSearch + "\n";
        for (const auto& ns : kNameservers)
            content_ += "nameserver " + ns + "\n";
    }

    bool configure()
    {
        if (add_addr_.run() != 0)
            return false;
        for (int i = 0; i < 100 && del_route_.run() == 0; ++i) {
        }
        return add_route_.run() == 0 && write_resolver();
    }

private:
    bool write_resolver()
    {
        char path[64];
        std::snprintf(path, sizeof path, "/tmp/resolv.conf.%d.%u", static_cast<int>(getpid()), ++serial_);
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0)
            return false;
        bool ok =
            write(fd, content_.data(), content_.size()) == static_cast<ssize_t>(content_.size()) && fsync(fd) == 0;
        ok = close(fd) == 0 && ok;
        return ok && rename(path, "/etc/resolv.conf") == 0;
    }

    CommandLine add_addr_, del_route_, add_route_;
    std::string content_;
    unsigned int serial_ = 0;
};

std::string read_file(const char* path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void measure_in_device(const Options& opt)
{
    OpenContext ctx;
    if (!ctx.open_iface()) {
        emit(error_row("netm_configure_static", kFigure, 1.05, "cannot open the interface module"), opt);
        return;
    }
    // Removing the address also drops the routes through it, so every
    // iteration starts from the same state and each add succeeds.
    CommandLine flush("/bin/ip", {"addr", "flush", "dev", kIface});
    BareSpawner bare_spawner;
    auto lib = [&] {
        bool ok = pelk::network::netlib_netm_configure_static(ctx.get(), kIface, kIp, kNetmask, kGateway, kNameservers,
                                                              kSearch, "", false);
        benchmark::DoNotOptimize(ok);
    };
    auto bare = [&] {
        bool ok = bare_spawner.configure();
        benchmark::DoNotOptimize(ok);
    };
    auto reset = [&] { flush.run(); };

    // Both must work before their costs mean anything; the route deletes
    // that end the delete loop complain on stderr, so it is quiet from here.
    const int saved_stderr = dup(2);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null_fd, 2);
    reset();
    const bool lib_ok = pelk::network::netlib_netm_configure_static(ctx.get(), kIface, kIp, kNetmask, kGateway,
                                                                    kNameservers, kSearch, "", false);
    const std::string resolver = read_file("/etc/resolv.conf");
    reset();
    const bool bare_ok = bare_spawner.configure();
    Paired p;
    if (lib_ok && bare_ok && resolver == "search bench.example\nnameserver 10.200.0.53\n")
        p = paired(lib, bare, reset, 1, opt.scale(81, 3), 2);
    dup2(saved_stderr, 2);
    if (!lib_ok || !bare_ok) {
        emit(
            error_row("netm_configure_static", kFigure, 1.05,
                      fmt("configure_static %s, bare spawner %s", lib_ok ? "ok" : "failed", bare_ok ? "ok" : "failed")),
            opt);
        return;
    }
    if (p.ratio.empty()) {
        emit(error_row("netm_configure_static", kFigure, 1.05, "unexpected resolver file: " + resolver), opt);
        return;
    }
    emit(ratio_row("netm_configure_static", kFigure, 1.05, p), opt);
}

}  // namespace

int main(int argc, char** argv)
{
    const Options opt = Options::parse(argc, argv);
    char root[] = "/tmp/netlib-bench-device.XXXXXX";
    if (!mkdtemp(root)) {
        emit(error_row("netm_configure_static", kFigure, 1.05, "cannot make a directory for the device"), opt);
        return 0;
    }
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        std::string why;
        if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
            why = "needs root (mount and network namespaces)";
        else if (build_device(root, why))
            measure_in_device(opt);
        if (!why.empty())
            emit(error_row("netm_configure_static", kFigure, 1.05, why), opt);
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    if (child > 0)
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    rmdir(root);  // the tmpfs lived in the child's mount namespace only
    return 0;
}
