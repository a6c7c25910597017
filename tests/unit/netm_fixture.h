// Shared set-up of the netlib_netm unit tests: a ready interface module on
// the recording fake host, fake links behind the ioctl seam, a fake address
// list behind getifaddrs, a fixed host name, and a rename that never reaches
// the machine's own files.
#ifndef NETLIB_NETM_FIXTURE_H
#define NETLIB_NETM_FIXTURE_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fake_host.h"
#include "netlib_private.h"
#include "pelk_network_utils_core.h"
#include "syscall_shim.h"

namespace netm_test
{

// One interface as the fake ioctl layer sees it.
struct FakeLink {
    int flags = 0;
    bool fail_get = false, fail_set_flags = false, fail_mtu = false;
    std::vector<int> flag_writes;  // every SIOCSIFFLAGS word, in order
    std::vector<int> mtu_writes;   // every SIOCSIFMTU value, in order
};

// One IPv4 address for the fake getifaddrs list.
struct FakeAddr {
    std::string iface, ip, netmask;
};

// Builds a getifaddrs result as glibc does, in one allocation whose start is
// the first entry, so the library's freeifaddrs releases it.
inline ifaddrs* make_ifaddrs(const std::vector<FakeAddr>& addrs)
{
    if (addrs.empty())
        return nullptr;
    struct Entry {
        ifaddrs node;
        sockaddr_in addr, mask;
        char name[IFNAMSIZ];
    };
    Entry* block = static_cast<Entry*>(std::calloc(addrs.size(), sizeof(Entry)));
    for (size_t i = 0; i < addrs.size(); ++i) {
        Entry& e = block[i];
        std::strncpy(e.name, addrs[i].iface.c_str(), IFNAMSIZ - 1);
        e.addr.sin_family = AF_INET;
        e.mask.sin_family = AF_INET;
        inet_pton(AF_INET, addrs[i].ip.c_str(), &e.addr.sin_addr);
        inet_pton(AF_INET, addrs[i].netmask.c_str(), &e.mask.sin_addr);
        e.node.ifa_name = e.name;
        e.node.ifa_addr = reinterpret_cast<sockaddr*>(&e.addr);
        e.node.ifa_netmask = reinterpret_cast<sockaddr*>(&e.mask);
        e.node.ifa_next = i + 1 < addrs.size() ? &block[i + 1].node : nullptr;
    }
    return &block[0].node;
}

class NetmTest : public ::testing::Test
{
protected:
    netlib_context ctx{};
    std::map<std::string, FakeLink> links;
    std::vector<FakeAddr> addresses;  // what getifaddrs reports
    std::string hostname = "gateway-box";
    std::vector<std::pair<std::string, std::string>> renames;
    int rename_result = 0;

    void SetUp() override
    {
        fake::host().reset();
        shim::reset();
        ctx.front_end_marker = 1;
        ASSERT_TRUE(pelk::network::netlib_libiface_init(&ctx));
        fake::host().reset();
        shim::ioctl_hook = [this](int, unsigned long request, void* arg) { return fake_ioctl(request, arg); };
        shim::getifaddrs_hook = [this](ifaddrs** out) {
            *out = make_ifaddrs(addresses);
            return 0;
        };
        shim::gethostname_hook = [this](char* name, size_t len) {
            if (hostname.size() + 1 > len) {
                errno = ENAMETOOLONG;
                return -1;
            }
            std::memcpy(name, hostname.c_str(), hostname.size() + 1);
            return 0;
        };
        // The machine's own /etc/resolv.conf is never a rename target here.
        shim::rename_hook = [this](const char* from, const char* to) {
            renames.emplace_back(from, to);
            if (rename_result != 0)
                errno = EXDEV;
            return rename_result;
        };
    }

    void TearDown() override
    {
        pelk::network::netlib_libiface_close(&ctx);
        shim::reset();
        fake::host().reset();
    }

    int fake_ioctl(unsigned long request, void* arg)
    {
        ifreq* r = static_cast<ifreq*>(arg);
        auto it = links.find(std::string(r->ifr_name, strnlen(r->ifr_name, IFNAMSIZ)));
        if (it == links.end()) {
            errno = ENODEV;
            return -1;
        }
        FakeLink& link = it->second;
        switch (request) {
            case SIOCGIFFLAGS:
                if (link.fail_get)
                    break;
                r->ifr_flags = static_cast<short>(link.flags);
                return 0;
            case SIOCSIFFLAGS:
                link.flag_writes.push_back(r->ifr_flags & 0xFFFF);
                if (link.fail_set_flags)
                    break;
                link.flags = r->ifr_flags & 0xFFFF;
                return 0;
            case SIOCSIFMTU:
                link.mtu_writes.push_back(r->ifr_mtu);
                if (link.fail_mtu)
                    break;
                return 0;
            default:
                break;
        }
        errno = EPERM;
        return -1;
    }

    fake::Host& host() { return fake::host(); }
    std::vector<std::string> logs() const { return fake::host().log_texts(); }
    std::vector<std::string> execs() const { return fake::host().exec_lines(); }

    // The single logged line, with its unit, level, errno argument and
    // reserved argument checked as well.
    void expect_one_log(const std::string& function, const std::string& text, int error_number = 0)
    {
        ASSERT_EQ(host().logs.size(), 1u) << ::testing::PrintToString(logs());
        const fake::LogLine& l = host().logs[0];
        EXPECT_EQ(l.module, "pelk_network_utils_core");
        EXPECT_EQ(l.file, "netlib_netm.cpp");
        EXPECT_EQ(l.function, function);
        EXPECT_EQ(l.level, 3);
        EXPECT_EQ(l.error_number, error_number);
        EXPECT_EQ(l.reserved, 0);
        EXPECT_EQ(l.text, text);
    }

    bool is_static(const std::string& iface) { return pelk::network::netlib_netm_is_static_connection(&ctx, iface); }
    bool is_fallback(const std::string& iface)
    {
        return pelk::network::netlib_netm_is_static_fallback_connection(&ctx, iface);
    }
    std::map<std::string, bool>& static_records() { return ctx.iface_state->static_connections; }
    std::map<std::string, bool>& fallback_records() { return ctx.iface_state->static_fallback_connections; }
};

}  // namespace netm_test

#endif
