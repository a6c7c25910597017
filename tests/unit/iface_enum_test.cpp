// Interface enumeration and the choice of the main interface, on scripted
// getifaddrs lists and scripted flags.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "fake_host.h"
#include "netlib_private.h"
#include "pelk_network_utils_core.h"
#include "syscall_shim.h"

using namespace pelk::network;

namespace
{

const int kNoAddress = -1;

struct Entry {
    std::string name;
    int family;  // kNoAddress: ifa_addr is null
    unsigned int flags;
};

// Builds a list in one heap block with the first entry at its start, the
// shape glibc's getifaddrs returns and its freeifaddrs (a single free) expects.
ifaddrs* build_ifaddrs(const std::vector<Entry>& entries)
{
    if (entries.empty())
        return nullptr;
    const size_t n = entries.size();
    // The addresses follow the entries; round their offset up so they stay
    // aligned on every ABI (ifaddrs is 28 bytes on 32-bit ARM).
    const size_t align = alignof(sockaddr_storage);
    const size_t addrs_offset = (n * sizeof(ifaddrs) + align - 1) / align * align;
    const size_t names_offset = addrs_offset + n * sizeof(sockaddr_storage);
    size_t size = names_offset;
    for (const Entry& e : entries)
        size += e.name.size() + 1;
    void* block = std::calloc(1, size);
    if (block == nullptr)
        return nullptr;
    char* bytes = static_cast<char*>(block);
    auto* items = static_cast<ifaddrs*>(block);
    auto* addrs = static_cast<sockaddr_storage*>(static_cast<void*>(bytes + addrs_offset));
    char* names = bytes + names_offset;
    for (size_t i = 0; i < n; ++i) {
        std::memcpy(names, entries[i].name.c_str(), entries[i].name.size() + 1);
        items[i].ifa_name = names;
        names += entries[i].name.size() + 1;
        items[i].ifa_flags = entries[i].flags;
        if (entries[i].family != kNoAddress) {
            addrs[i].ss_family = static_cast<sa_family_t>(entries[i].family);
            items[i].ifa_addr = reinterpret_cast<sockaddr*>(&addrs[i]);
        }
        items[i].ifa_next = i + 1 < n ? &items[i + 1] : nullptr;
    }
    return items;
}

class IfaceEnum : public ::testing::Test
{
protected:
    netlib_context ctx{};
    std::vector<std::string> queried;  // names whose flags were asked for

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

    static void script_ifaddrs(std::vector<Entry> entries)
    {
        shim::getifaddrs_hook = [entries](ifaddrs** out) {
            *out = build_ifaddrs(entries);
            return 0;
        };
    }

    // Interfaces that are up, each with its flags; names missing from the map
    // fail their flags query with ENODEV.
    void script_up(const std::vector<std::pair<std::string, int>>& up, const std::vector<std::string>& listed_only = {})
    {
        std::vector<Entry> entries;
        std::map<std::string, int> flags;
        for (const auto& item : up) {
            entries.push_back({item.first, AF_PACKET, static_cast<unsigned int>(IFF_UP | item.second)});
            flags[item.first] = IFF_UP | item.second;
        }
        for (const std::string& name : listed_only)
            entries.push_back({name, AF_PACKET, IFF_UP});
        script_ifaddrs(entries);
        shim::ioctl_hook = [this, flags](int, unsigned long request, void* arg) {
            auto* req = static_cast<ifreq*>(arg);
            EXPECT_EQ(request, static_cast<unsigned long>(SIOCGIFFLAGS));
            queried.push_back(req->ifr_name);
            auto it = flags.find(req->ifr_name);
            if (it == flags.end()) {
                errno = ENODEV;
                return -1;
            }
            req->ifr_flags = static_cast<short>(it->second);
            return 0;
        };
    }
};

const int kEther = IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST;
const int kEtherNoCarrier = IFF_UP | IFF_BROADCAST | IFF_MULTICAST;
const int kLoopback = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
const int kPointToPoint = IFF_UP | IFF_POINTOPOINT | IFF_RUNNING | IFF_NOARP | IFF_MULTICAST;

using Names = std::list<std::string>;

TEST_F(IfaceEnum, GetifaddrsFailureIsLoggedWithErrno)
{
    shim::getifaddrs_hook = [](ifaddrs**) {
        errno = ENOMEM;
        return -1;
    };
    Names names{"kept"};
    EXPECT_FALSE(netlib_get_ifaces(&ctx, names, false));
    EXPECT_EQ(names, Names{"kept"});
    const auto& logs = fake::host().logs;
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].function, "netlib_get_ifaces");
    EXPECT_EQ(logs[0].level, 3);
    EXPECT_EQ(logs[0].error_number, ENOMEM);
    EXPECT_EQ(logs[0].text, "getifaddrs() failed");
}

TEST_F(IfaceEnum, ListsEachLinkLevelEntryOnce)
{
    script_ifaddrs({
        {"lo", AF_PACKET, IFF_UP | IFF_LOOPBACK},
        {"eth0", AF_PACKET, IFF_BROADCAST},
        {"wlan0", kNoAddress, IFF_UP},
        {"br0", AF_PACKET, IFF_UP | IFF_BROADCAST},
        {"lo", AF_INET, IFF_UP | IFF_LOOPBACK},
        {"eth0", AF_INET, IFF_UP},
        {"br0", AF_INET6, IFF_UP},
    });
    Names all{"existing"};
    ASSERT_TRUE(netlib_get_ifaces(nullptr, all, false));
    EXPECT_EQ(all, (Names{"existing", "lo", "eth0", "br0"}));

    Names up;
    ASSERT_TRUE(netlib_get_ifaces(nullptr, up, true));
    ASSERT_TRUE(netlib_get_ifaces(nullptr, up, true));
    EXPECT_EQ(up, (Names{"lo", "br0", "lo", "br0"}));
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(IfaceEnum, EmptyListIsNotAFailure)
{
    script_ifaddrs({});
    Names names;
    EXPECT_TRUE(netlib_get_ifaces(nullptr, names, false));
    EXPECT_TRUE(names.empty());
}

TEST_F(IfaceEnum, PreferredNameWinsSilently)
{
    script_up({{"eth0", kEther}, {"ap0", kEther}, {"eth1", kEther}});
    std::string iface;
    EXPECT_TRUE(netlib_iface_guess_default_iface(&ctx, iface));
    EXPECT_EQ(iface, "ap0");
    EXPECT_TRUE(fake::host().logs.empty());
    EXPECT_EQ(queried, (std::vector<std::string>{"eth0", "ap0", "eth1"}));
}

TEST_F(IfaceEnum, PreferredNameMustMatchExactly)
{
    script_up({{"AP0", kEther}, {"ap01", kEther}});
    std::string iface;
    EXPECT_TRUE(netlib_iface_guess_default_iface(&ctx, iface));
    EXPECT_EQ(iface, "AP0");
    EXPECT_EQ(fake::host().log_texts(),
              std::vector<std::string>{
                  "4 netlib_iface_guess_default_iface: More than 1 interface been found, choose: 'AP0'"});
}

TEST_F(IfaceEnum, PreferredNameWithoutCarrierIsPassedOver)
{
    script_up({{"ap0", kEtherNoCarrier}, {"eth0", kEther}});
    std::string iface;
    EXPECT_TRUE(netlib_iface_guess_default_iface(&ctx, iface));
    EXPECT_EQ(iface, "eth0");
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(IfaceEnum, LoopbackAndPointToPointAreNeverChosen)
{
    script_up({{"lo", kLoopback}, {"tun0", kPointToPoint}, {"ap0", kLoopback | IFF_BROADCAST}});
    std::string iface = "stale";
    EXPECT_FALSE(netlib_iface_guess_default_iface(&ctx, iface));
    EXPECT_EQ(iface, "");
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(IfaceEnum, TwoCandidatesGiveTheFirstWithANotice)
{
    script_up({{"lo", kLoopback}, {"eth1", kEther}, {"eth0", kEther | 0x8000}});
    std::string iface;
    EXPECT_TRUE(netlib_iface_guess_default_iface(&ctx, iface));
    EXPECT_EQ(iface, "eth1");
    const auto& logs = fake::host().logs;
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].function, "netlib_iface_guess_default_iface");
    EXPECT_EQ(logs[0].level, 4);
    EXPECT_EQ(logs[0].error_number, 0);
    EXPECT_EQ(logs[0].text, "More than 1 interface been found, choose: 'eth1'");
}

TEST_F(IfaceEnum, OnlyInterfacesThatAreUpAreQueried)
{
    script_ifaddrs({{"eth0", AF_PACKET, IFF_BROADCAST}, {"eth1", AF_PACKET, IFF_UP | IFF_BROADCAST}});
    shim::ioctl_hook = [this](int, unsigned long, void* arg) {
        auto* req = static_cast<ifreq*>(arg);
        queried.push_back(req->ifr_name);
        req->ifr_flags = kEther;
        return 0;
    };
    std::string iface;
    EXPECT_TRUE(netlib_iface_guess_default_iface(&ctx, iface));
    EXPECT_EQ(iface, "eth1");
    EXPECT_EQ(queried, std::vector<std::string>{"eth1"});
}

TEST_F(IfaceEnum, NothingUpGivesEmptyChoiceWithoutLog)
{
    script_ifaddrs({{"eth0", AF_PACKET, IFF_BROADCAST}});
    std::string iface = "stale";
    EXPECT_FALSE(netlib_iface_guess_default_iface(&ctx, iface));
    EXPECT_EQ(iface, "");
    EXPECT_TRUE(fake::host().logs.empty());
    EXPECT_TRUE(shim::ioctl_requests.empty());
}

TEST_F(IfaceEnum, UnreadableFlagsSkipTheInterfaceWithANotice)
{
    script_up({{"eth0", kEther}}, {"gone0"});
    std::string iface;
    EXPECT_TRUE(netlib_iface_guess_default_iface(&ctx, iface));
    EXPECT_EQ(iface, "eth0");
    EXPECT_EQ(
        fake::host().log_texts(),
        (std::vector<std::string>{"3 do_ioctl: netlib: ioctl(8913) failed",
                                  "4 netlib_iface_guess_default_iface: Failed to get flags for interface \"gone0\""}));
    EXPECT_EQ(fake::host().logs[1].error_number, 0);
}

TEST_F(IfaceEnum, EnumerationFailureEmptiesTheChoice)
{
    shim::getifaddrs_hook = [](ifaddrs**) {
        errno = EMFILE;
        return -1;
    };
    std::string iface = "stale";
    EXPECT_FALSE(netlib_iface_guess_default_iface(&ctx, iface));
    EXPECT_EQ(iface, "");
    EXPECT_EQ(fake::host().log_texts(), std::vector<std::string>{"3 netlib_get_ifaces: getifaddrs() failed"});
}

TEST_F(IfaceEnum, WithoutInitEveryQueryFailsInTheGuard)
{
    script_up({{"eth0", kEther}, {"ap0", kEther}});
    netlib_context fresh{};
    fresh.front_end_marker = 1;
    std::string iface = "stale";
    EXPECT_FALSE(netlib_iface_guess_default_iface(&fresh, iface));
    EXPECT_EQ(iface, "");
    EXPECT_EQ(
        fake::host().log_texts(),
        (std::vector<std::string>{"3 check: library context is null",
                                  "4 netlib_iface_guess_default_iface: Failed to get flags for interface \"eth0\"",
                                  "3 check: library context is null",
                                  "4 netlib_iface_guess_default_iface: Failed to get flags for interface \"ap0\""}));
    EXPECT_TRUE(queried.empty());
}

}  // namespace
