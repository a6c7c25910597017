// The start-up configuration file judged against the keys the library
// reads, and what the library would do with it. The library keeps its
// defaults for a tree that lacks a key or holds one of another type (a
// host's tree may hold more); a field engineer's file with "static" for
// "statik" or "0" for 0 must be refused instead, before anything runs.
#include "config_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pelk/utils.h>

#include <algorithm>
#include <string>
#include <vector>

#include "session.h"

namespace netlibctl
{
namespace
{

using pelk::variant::Variant;

enum class Kind { object, integer, text };

struct KnownKey {
    const char* path;
    Kind kind;
};

// Every key the library reads at start-up, and the objects holding them.
constexpr KnownKey kKnownKeys[] = {
    {"dhcp", Kind::object},
    {"dhcp/status", Kind::integer},
    {"dhcp/fallbackIP", Kind::text},
    {"dhcp/fallbackNetmask", Kind::text},
    {"statik", Kind::object},
    {"statik/ip", Kind::text},
    {"statik/netmask", Kind::text},
    {"routes", Kind::object},
    {"routes/gateway", Kind::text},
    {"dns", Kind::object},
    {"dns/ns1", Kind::object},
    {"dns/ns1/ip", Kind::text},
    {"dns/ns1/status", Kind::integer},
    {"dns/ns2", Kind::object},
    {"dns/ns2/ip", Kind::text},
    {"dns/ns2/status", Kind::integer},
    {"ipv6", Kind::object},
    {"ipv6/mode", Kind::text},
    {"ipv6/address", Kind::text},
    {"ipv6/gateway", Kind::text},
};

const KnownKey* known(const std::string& path)
{
    for (const KnownKey& key : kKnownKeys) {
        if (path == key.path)
            return &key;
    }
    return nullptr;
}

// The names the library reads directly under parent ("" for the top).
std::vector<std::string> names_under(const std::string& parent)
{
    std::vector<std::string> names;
    for (const KnownKey& key : kKnownKeys) {
        const std::string path = key.path;
        const std::string::size_type slash = path.rfind('/');
        if ((slash == std::string::npos ? std::string() : path.substr(0, slash)) == parent)
            names.push_back(slash == std::string::npos ? path : path.substr(slash + 1));
    }
    return names;
}

bool of_kind(const Variant& value, Kind kind)
{
    switch (kind) {
        case Kind::object:
            return value.IsObject();
        case Kind::integer:
            return value.IsInteger();
        case Kind::text:
            return value.IsString();
    }
    return false;
}

const char* kind_name(Kind kind)
{
    switch (kind) {
        case Kind::object:
            return "an object";
        case Kind::integer:
            return "an integer (or true/false)";
        case Kind::text:
            return "a text";
    }
    return "";
}

std::string text_at(const Variant& config, const char* path, const char* fallback)
{
    const Variant* v = config.GetKeyChain(pelk::variant::VT_STRING, path, true);
    return v != nullptr ? v->AsString() : fallback;
}

// The one value the library reads as a word: a mode it does not know is
// as much a typo as a key it does not know, and --check must say so. The
// words are the library's, so that one search finds a refused mode
// whichever refused it; the library refuses "off" beside an address or a
// gateway too.
bool ipv6_mode_valid(const Variant& config, std::string& why)
{
    const Variant* mode = config.GetKeyChain(pelk::variant::VT_STRING, "ipv6/mode", true);
    if (mode == nullptr)
        return true;
    const std::string& text = mode->AsString();
    if (std::find(kIpv6Modes.begin(), kIpv6Modes.end(), text) == kIpv6Modes.end()) {
        const std::vector<std::string> near = nearest(text, kIpv6Modes);
        why = "Invalid IPv6 mode '" + text + "' at /ipv6/mode" +
              (near.empty() ? "" : " (did you mean " + near.front() + "?)") + ": slaac, static or off";
        return false;
    }
    if (text == "off" &&
        (!text_at(config, "ipv6/address", "").empty() || !text_at(config, "ipv6/gateway", "").empty())) {
        why = "Invalid IPv6 mode 'off' at /ipv6/mode beside /ipv6/address or /ipv6/gateway (off takes neither)";
        return false;
    }
    return true;
}

bool check_members(const Variant& object, const std::string& parent, std::string& why)
{
    for (std::size_t i = 0; i < object.Size(); ++i) {
        const std::string& name = object.KeyAt(i);
        std::string path = parent;
        path += (parent.empty() ? "" : "/") + name;
        const KnownKey* key = known(path);
        if (key == nullptr) {
            why = "unknown key /" + path;
            const std::vector<std::string> near = nearest(name, names_under(parent));
            if (!near.empty())
                why += " (did you mean /" + (parent.empty() ? "" : parent + "/") + near.front() + "?)";
            return false;
        }
        if (!of_kind(object.ValueAt(i), key->kind)) {
            why = "/" + path + " must be " + kind_name(key->kind);
            return false;
        }
        if (key->kind == Kind::object && !check_members(object.ValueAt(i), path, why))
            return false;
    }
    return true;
}

long long integer_at(const Variant& config, const char* path, long long fallback)
{
    const Variant* v = config.GetKeyChain(pelk::variant::VT_INTEGER, path, true);
    return v != nullptr ? static_cast<long long>(*v) : fallback;
}

// The library's own decision, read the same way: DHCP when dhcp/status is
// 1 (the default); else the static address, or the fallback address when
// it is refused, and the name servers switched on whose address is valid.
std::string planned_ipv4(const Variant& config, const std::string& iface)
{
    if (integer_at(config, "dhcp/status", 1) == 1)
        return iface + ": DHCP client (udhcpc)";
    std::string ip = text_at(config, "statik/ip", "192.168.1.20");
    std::string netmask = text_at(config, "statik/netmask", "255.255.255.0");
    std::string plan = iface + ": static";
    if (!pelk::utils::ipv4_address_valid(ip, true, false) || !pelk::utils::ipv4_netmask_valid(netmask, true)) {
        plan += " (address '" + ip + "' netmask '" + netmask + "' refused: fallback)";
        ip = text_at(config, "dhcp/fallbackIP", "192.168.1.20");
        netmask = text_at(config, "dhcp/fallbackNetmask", "255.255.255.0");
    }
    plan += " address " + ip + " netmask " + netmask;
    const std::string gateway = text_at(config, "routes/gateway", "");
    plan += " gateway " + (gateway.empty() ? std::string("- (a default route through ") + iface + ")" : gateway);
    std::string servers;
    for (const char* server : {"dns/ns1", "dns/ns2"}) {
        const std::string prefix(server);
        const std::string address = text_at(config, (prefix + "/ip").c_str(), "");
        const long long status = integer_at(config, (prefix + "/status").c_str(), 0);
        if ((static_cast<unsigned long long>(status) & 0xFFFFFFFFull) != 0 &&
            pelk::utils::ipv4_address_valid(address, true, false))
            servers += " " + address;
    }
    return plan + " nameservers" + (servers.empty() ? std::string(" -") : servers);
}

// IPv6 after IPv4, and only with one of its keys: the mode (with IPv6
// restarted) unless absent, the address, the default routes.
std::string planned_ipv6(const Variant& config)
{
    const Variant* mode = config.GetKeyChain(pelk::variant::VT_STRING, "ipv6/mode", true);
    const std::string address = text_at(config, "ipv6/address", "");
    const std::string gateway = text_at(config, "ipv6/gateway", "");
    if (mode == nullptr && config.GetKeyChain(pelk::variant::VT_STRING, "ipv6/address", true) == nullptr &&
        config.GetKeyChain(pelk::variant::VT_STRING, "ipv6/gateway", true) == nullptr)
        return "";
    return " ipv6 mode " + (mode != nullptr ? mode->AsString() : std::string("unchanged")) + " address " +
           (address.empty() ? "-" : address) + " gateway " + (gateway.empty() ? "-" : gateway);
}

// The gateway texts' words, as the library splits them: on spaces.
std::vector<std::string> words_at(const Variant& config, const char* path)
{
    std::vector<std::string> pieces, words;
    pelk::utils::split(text_at(config, path, ""), " ", pieces);
    for (std::string& piece : pieces) {
        if (!pelk::utils::trim(piece).empty())
            words.push_back(piece);
    }
    return words;
}

bool ipv6_unicast(const std::string& text)
{
    in6_addr address{};
    return text.find('\0') == std::string::npos && inet_pton(AF_INET6, text.c_str(), &address) == 1 &&
           !IN6_IS_ADDR_UNSPECIFIED(&address) && !IN6_IS_ADDR_MULTICAST(&address);
}

// ADDRESS/LENGTH, the length 1 to 128 in at most three digits.
bool ipv6_with_prefix(const std::string& text)
{
    const std::string::size_type slash = text.find('/');
    if (slash == std::string::npos || !ipv6_unicast(text.substr(0, slash)))
        return false;
    const std::string digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long length = std::stoul(digits);
    return length >= 1 && length <= 128;
}

// The texts the library judges before it changes anything, judged the same
// way, so that --check does not promise a start-up the library refuses.
bool values_valid(const Variant& config, std::string& why)
{
    if (integer_at(config, "dhcp/status", 1) != 1) {
        const std::string ip = text_at(config, "statik/ip", "192.168.1.20");
        const std::string netmask = text_at(config, "statik/netmask", "255.255.255.0");
        const std::string fallback = text_at(config, "dhcp/fallbackIP", "192.168.1.20");
        const std::string fallback_netmask = text_at(config, "dhcp/fallbackNetmask", "255.255.255.0");
        if ((!pelk::utils::ipv4_address_valid(ip, true, false) || !pelk::utils::ipv4_netmask_valid(netmask, true)) &&
            (!pelk::utils::ipv4_address_valid(fallback, false, true) ||
             (!fallback_netmask.empty() && !pelk::utils::ipv4_netmask_valid(fallback_netmask, false)))) {
            why = "Invalid fallback address '" + fallback + "' netmask '" + fallback_netmask +
                  "' at /dhcp/fallbackIP, and the static one refused";
            return false;
        }
        for (const std::string& gateway : words_at(config, "routes/gateway")) {
            if (!pelk::utils::ipv4_address_valid(gateway, false, true)) {
                why = "Invalid gateway '" + gateway + "' at /routes/gateway";
                return false;
            }
        }
    }
    const std::string address = text_at(config, "ipv6/address", "");
    if (!address.empty() && !ipv6_with_prefix(address)) {
        why = "Invalid IPv6 address '" + address + "' at /ipv6/address (ADDRESS/LENGTH, LENGTH 1 to 128)";
        return false;
    }
    for (const std::string& gateway : words_at(config, "ipv6/gateway")) {
        if (!ipv6_unicast(gateway)) {
            why = "Invalid gateway '" + gateway + "' at /ipv6/gateway";
            return false;
        }
    }
    return true;
}

}  // namespace

const std::vector<std::string> kIpv6Modes{"slaac", "static", "off"};

bool check_config(const Variant& config, std::string& why)
{
    return check_members(config, "", why) && ipv6_mode_valid(config, why) && values_valid(config, why);
}

std::string planned_configuration(const Variant& config, const std::string& iface)
{
    return planned_ipv4(config, iface) + planned_ipv6(config);
}

}  // namespace netlibctl
