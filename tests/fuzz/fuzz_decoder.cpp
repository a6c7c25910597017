// libFuzzer target: whole datagrams through the decoder alone, as the first
// release decoded them and with every extra opted in. It checks properties,
// never a second decoder: the result, that events are only appended and
// bounded by the bytes, and that every payload is well formed.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "netlib_events_decode.h"

namespace
{

using pelk::variant::Variant;

void lookup(void*, unsigned int index, char (&name)[netlib::decode::kNameBytes])
{
    if (index % 2)
        std::memcpy(name, "fuzz0", 6);
}

void require(bool holds, const char* property)
{
    if (!holds) {
        std::fprintf(stderr, "property violated: %s\n", property);
        std::abort();
    }
}

// The members of each kind, in order; a router event has "nameservers" or
// "domains" in the place of "list".
const std::vector<std::string>& keys_of(pelk::network::event_type type)
{
    static const std::vector<std::string> kLink{"flags", "ifindex", "ifname", "type", "eventName"};
    static const std::vector<std::string> kAddress{"family", "flags", "ifaddr", "ifindex", "ifname", "eventName"};
    static const std::vector<std::string> kAddress6{"family",     "flags",     "ifaddr",   "ifindex",
                                                    "ifname",     "prefixlen", "scope",    "tentative",
                                                    "deprecated", "dadfailed", "eventName"};
    static const std::vector<std::string> kRouter{"family",   "ifindex", "ifname",   "router",
                                                  "lifetime", "list",    "eventName"};
    if (type <= pelk::network::event_lower_up)
        return kLink;
    if (type <= pelk::network::event_address_removed)
        return kAddress;
    return type <= pelk::network::event_ipv6_address_removed ? kAddress6 : kRouter;
}

void check_payload(pelk::network::event_type type, const Variant& p, bool extras)
{
    static const char* const kNames[] = {"if_down",
                                         "if_up",
                                         "lower_up",
                                         "address_assigned",
                                         "address_removed",
                                         "ipv6_address_assigned",
                                         "ipv6_address_removed",
                                         "router_nameservers",
                                         "router_domains"};
    const auto last = extras ? pelk::network::event_router_domains : pelk::network::event_address_removed;
    require(type >= pelk::network::event_if_down && type <= last, "event type");
    const std::vector<std::string>& keys = keys_of(type);
    require(p.Size() == keys.size(), "key count");
    for (std::size_t i = 0; i < p.Size(); ++i) {
        const std::string list = type == pelk::network::event_router_nameservers ? "nameservers" : "domains";
        require(p.KeyAt(i) == (keys[i] == "list" ? list : keys[i]), "key order");
    }
    require(p.Find("eventName")->AsString() == kNames[type - 1], "event name");
    require(p.Find("ifname")->AsString().size() <= 16, "name of at most 16 bytes");
    if (const Variant* family = p.Find("family"))
        require(family->AsString() == "AF_INET" || family->AsString() == "AF_INET6", "family");
    if (const Variant* address = p.Find("ifaddr"))
        require(address->AsString().size() <= 39, "address text");
    if (const Variant* domains = p.Find("domains"))
        require(domains->AsString().find_first_of("\r\n\t") == std::string::npos, "domains fit a resolver file");
    require(extras || type <= pelk::network::event_address_removed, "extras only when opted in");
}

// Decodes as the first release did (extras false) or with every extra
// opted in, as the events module would.
void decode_as(const std::vector<unsigned char>& datagram, bool extras)
{
    pelk::network::event_list events;
    events.emplace_back(pelk::network::event_if_up, Variant());
    const netlib::decode::setup env{lookup, nullptr, extras ? 3u : 0u};
    const int result = netlib::decode::decode_datagram(datagram.data(), datagram.size(), events, env);
    require(result == 0 || result == EBADMSG, "result");
    require(events.front().first == pelk::network::event_if_up && events.front().second.IsEmpty(), "only appended");
    // A router's options are 8 bytes at least, each an event of its own.
    require(events.size() - 1 <= datagram.size() / (extras ? 8 : 16), "events bounded by the bytes");
    for (auto it = std::next(events.begin()); it != events.end(); ++it)
        check_payload(it->first, it->second, extras);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;  // an empty datagram never reaches the decoder
    const std::vector<unsigned char> datagram(data, data + size);
    decode_as(datagram, false);
    decode_as(datagram, true);
    return 0;
}

#ifdef NETLIB_FUZZ_REPLAY
// Without libFuzzer: runs every file of the directories given.
int main(int argc, char** argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        DIR* dir = opendir(argv[i]);
        while (dirent* entry = dir ? readdir(dir) : nullptr) {
            if (entry->d_name[0] == '.')
                continue;
            std::ifstream in(std::string(argv[i]) + "/" + entry->d_name, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            ++inputs;
        }
        if (dir)
            closedir(dir);
    }
    std::printf("%d inputs replayed\n", inputs);
    return inputs > 0 ? 0 : 1;
}
#endif
