// A throw-away device for end-to-end tests: its own mount, network, UTS and
// PID namespaces, a tmpfs root laid out like the device's (/bin with iproute2's
// ip, net-tools' route, busybox's udhcpc, a shell, netlibctl and the udhcpc
// hook; /etc and /tmp on the same file system; a fresh /proc), and a peer
// network namespace at the far end of a veth pair where a DHCP server can run.
//
// Each namespace is held by a process that is PID 1 of its own PID namespace,
// so killing it takes every process inside with it; the holders die with the
// test process (parent-death signal), so nothing outlives a test, even one
// that crashes.
#ifndef NETLIB_SYSTEM_DEVICE_ROOT_H
#define NETLIB_SYSTEM_DEVICE_ROOT_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace systest
{

// The outside programs the device is built from, found on this machine.
struct Tools {
    std::string ip;       // iproute2
    std::string route;    // net-tools
    std::string busybox;  // provides the udhcpc applet
    std::string sh;       // the shell behind /bin/sh
    std::string dnsmasq;  // DHCP server of the peer

    // Fills every path; false with the missing programs named in `missing`.
    static bool locate(Tools& tools, std::string& missing);
};

struct DeviceConfig {
    Tools tools;
    std::string build_dir;    // bound read-only at the same path inside
    std::string netlibctl;    // /bin/netlibctl links to it (none when empty)
    std::string hook_script;  // copied to /bin/udhcpc_cb.sh (none when empty)
    std::string hostname = "netlib-device";
    int eth0_mtu = 1500;  // MTU both veth ends start with
};

// What dnsmasq offers on the peer end (10.99.1.1/24).
struct DhcpServerConfig {
    std::string range_first = "10.99.1.100";
    std::string range_last = "10.99.1.100";
    std::string netmask = "255.255.255.0";
    std::string router = "10.99.1.254";
    std::string name_server = "10.99.1.53";
};

struct CommandResult {
    int status = -1;  // exit status; 128 + signal when killed; -1 when not run
    bool timed_out = false;
    std::string out, err;

    // One line for assertion messages: status, stdout and stderr.
    std::string describe() const;
};

struct RunOptions {
    mode_t umask = 022;
    std::chrono::milliseconds timeout{20000};
};

struct Process {
    pid_t pid = 0;  // as seen inside the device
    char state = '?';
    std::vector<std::string> argv;
};

// How a helper process reaches one namespace holder.
struct NsTarget {
    pid_t holder = -1;
    std::vector<std::string> namespaces;  // "uts", "net", "pid", "mnt"
    bool enter_root = false;              // chroot into the holder's root
};

class DeviceRoot
{
public:
    // Builds the device and its peer. On failure returns null with the reason;
    // `not_permitted` tells a missing privilege (root, namespaces, mounts)
    // from a real fault.
    static std::unique_ptr<DeviceRoot> create(const DeviceConfig& config, std::string& why, bool& not_permitted);

    ~DeviceRoot();
    DeviceRoot(const DeviceRoot&) = delete;
    DeviceRoot& operator=(const DeviceRoot&) = delete;

    // Runs a program inside the device (all its namespaces, chrooted into
    // its root) with a clean environment.
    CommandResult run(const std::vector<std::string>& argv, const RunOptions& options = {});
    // Runs a program of this machine inside the peer's network namespace.
    CommandResult run_peer(const std::vector<std::string>& argv, const RunOptions& options = {});

    // Starts dnsmasq in the peer, offering one address, a router and a name
    // server, and waits until it listens.
    bool start_dhcp_server(const DhcpServerConfig& config, std::string& why);
    std::string dhcp_server_log() const;

    // Files of the device's own file system, seen from the test process.
    std::string path(const std::string& device_path) const;
    bool read_file(const std::string& device_path, std::string& content) const;
    bool write_file(const std::string& device_path, const std::string& content, mode_t mode = 0644) const;
    bool file_mode(const std::string& device_path, mode_t& mode) const;
    std::vector<std::string> list_dir(const std::string& device_path) const;

    // /proc files whose content depends on the reader's namespaces
    // (/proc/sys/net/...), read and written from inside the device.
    bool read_proc(const std::string& device_path, std::string& content);
    bool write_proc(const std::string& device_path, const std::string& text);

    // Live (non-zombie) processes of the device whose name is `comm`.
    std::vector<Process> processes(const std::string& comm) const;
    // Every process of the device and of the peer, as PIDs of this machine.
    std::vector<pid_t> host_pids() const;

    const std::string& hostname() const { return config_.hostname; }

    // Kills everything of the device and the peer and removes the scratch
    // directory. Idempotent; the destructor calls it.
    void teardown();

private:
    explicit DeviceRoot(const DeviceConfig& config) : config_(config) {}
    bool build(std::string& why, bool& not_permitted);
    bool link_with_peer(std::string& why);

    NsTarget device_target() const;
    NsTarget peer_target(bool with_pid) const;

    DeviceConfig config_;
    std::string scratch_;  // host directory: device root mount point, server files
    pid_t device_relay_ = -1, device_holder_ = -1;
    pid_t peer_relay_ = -1, peer_holder_ = -1;
};

// Runs argv (or, when argv is empty, `body`, whose return value is the exit
// status) in a child that has joined the target's namespaces. Output is
// captured through anonymous files, so daemons that keep the descriptors
// never block or break on a closed pipe.
CommandResult run_in(const NsTarget& target, const std::vector<std::string>& argv, const std::function<int()>& body,
                     const RunOptions& options);

}  // namespace systest

#endif
