#include "system_fixture.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <thread>

namespace systest
{

std::string netlibctl_path()
{
    return NETLIB_NETLIBCTL;
}

std::string build_dir()
{
    return NETLIB_BUILD_DIR;
}

std::string example_path(const std::string& name)
{
    return std::string(NETLIB_EXAMPLES_DIR) + "/" + name;
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

bool process_gone(pid_t pid)
{
    return kill(pid, 0) != 0 && errno == ESRCH;
}

void DeviceTest::SetUp()
{
    DeviceConfig config;
    std::string missing;
    if (!Tools::locate(config.tools, missing))
        FAIL() << "outside programs missing on this machine: " << missing;
    config.build_dir = build_dir();
    if (drives_library()) {
        if (netlibctl_path().empty())
            GTEST_SKIP() << "netlibctl is not part of this build (NETLIB_BUILD_TOOLS=OFF)";
        config.netlibctl = netlibctl_path();
        config.hook_script = example_path("udhcpc_cb.sh");
        if (access(config.netlibctl.c_str(), X_OK) != 0)
            FAIL() << "netlibctl not built at " << config.netlibctl;
        if (access(config.hook_script.c_str(), R_OK) != 0)
            FAIL() << "udhcpc hook missing: " << config.hook_script;
    }

    std::string why;
    bool not_permitted = false;
    device = DeviceRoot::create(config, why, not_permitted);
    if (!device && not_permitted)
        GTEST_SKIP() << "device root not permitted here: " << why;
    ASSERT_TRUE(device) << "device root: " << why;
}

void DeviceTest::TearDown()
{
    device.reset();
}

CommandResult DeviceTest::netlibctl(const std::vector<std::string>& args, const RunOptions& options)
{
    std::vector<std::string> argv = {"/bin/netlibctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return device->run(argv, options);
}

std::string DeviceTest::device_output(const std::vector<std::string>& argv)
{
    CommandResult r = device->run(argv);
    EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.describe();
    return r.out;
}

std::vector<std::string> DeviceTest::addresses(const std::string& iface)
{
    std::vector<std::string> found;
    for (const auto& line : split_lines(device_output({"/bin/ip", "-4", "-o", "addr", "show", "dev", iface}))) {
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            if (word == "inet" && words >> word)
                found.push_back(word);
        }
    }
    return found;
}

std::vector<std::string> DeviceTest::routes()
{
    return split_lines(device_output({"/bin/ip", "-4", "route", "show"}));
}

std::vector<std::string> DeviceTest::default_routes()
{
    return split_lines(device_output({"/bin/ip", "-4", "route", "show", "default"}));
}

LinkState DeviceTest::link(const std::string& iface)
{
    LinkState state;
    std::string line = device_output({"/bin/ip", "-o", "link", "show", "dev", iface});
    auto open = line.find('<'), close = line.find('>');
    if (open != std::string::npos && close != std::string::npos && close > open) {
        std::istringstream flags(line.substr(open + 1, close - open - 1));
        std::string flag;
        while (std::getline(flags, flag, ','))
            state.flags.insert(flag);
    }
    auto mtu = line.find(" mtu ");
    if (mtu != std::string::npos)
        state.mtu = std::atoi(line.c_str() + mtu + 5);
    return state;
}

std::string DeviceTest::resolver_file()
{
    std::string content;
    if (!device->read_file("/etc/resolv.conf", content))
        return "<absent>";
    return content;
}

bool DeviceTest::wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void DeviceTest::start_dhcp_server(const DhcpServerConfig& config)
{
    std::string why;
    ASSERT_TRUE(device->start_dhcp_server(config, why)) << why;
}

void DeviceTest::install(const std::string& device_path, const std::string& content)
{
    std::string dir = device_path.substr(0, device_path.rfind('/'));
    if (!dir.empty())
        mkdir(device->path(dir).c_str(), 0755);
    ASSERT_TRUE(device->write_file(device_path, content)) << "cannot write " << device_path << " into the device";
}

}  // namespace systest
