// GoogleTest fixture around DeviceRoot: one fresh device per test, netlibctl
// run inside it, and readers for the kernel's real state there.
#ifndef NETLIB_SYSTEM_FIXTURE_H
#define NETLIB_SYSTEM_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "device_root.h"

namespace systest
{

// Where the built tool, the build tree and the example files are.
std::string netlibctl_path();
std::string build_dir();
std::string example_path(const std::string& name);

struct LinkState {
    std::set<std::string> flags;  // as `ip link` prints them: UP, LOWER_UP, ALLMULTI, ...
    int mtu = -1;
};

std::vector<std::string> split_lines(const std::string& text);

// True when no process `pid` exists any more on this machine.
bool process_gone(pid_t pid);

class DeviceTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    // False for tests of the test bed itself: no netlibctl, no hook script.
    virtual bool drives_library() const { return true; }

    // Inside the device: /bin/netlibctl with these arguments.
    CommandResult netlibctl(const std::vector<std::string>& args, const RunOptions& options = {});
    // Inside the device, asserting success; returns stdout.
    std::string device_output(const std::vector<std::string>& argv);

    std::vector<std::string> addresses(const std::string& iface = "eth0");  // "10.99.1.20/24"
    std::vector<std::string> routes();                                      // `ip -4 route show`
    std::vector<std::string> default_routes();
    LinkState link(const std::string& iface = "eth0");
    std::string resolver_file();  // "<absent>" when there is none

    // Polls until `done` holds or the time is up; true when it held.
    static bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit);

    void start_dhcp_server(const DhcpServerConfig& config = {});
    // Copies a file into the device (directories made as needed).
    void install(const std::string& device_path, const std::string& content);

    std::unique_ptr<DeviceRoot> device;
};

}  // namespace systest

#endif
