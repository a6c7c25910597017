// libFuzzer target: whole datagrams through the decoder alone. It checks
// properties, never a second decoder: the result, that events are only
// appended, at most one per message, and that every payload is well formed.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

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

void check_payload(pelk::network::event_type type, const Variant& p)
{
    static const char* const kNames[] = {"if_down", "if_up", "lower_up", "address_assigned", "address_removed"};
    static const char* const kLink[] = {"flags", "ifindex", "ifname", "type", "eventName"};
    static const char* const kAddress[] = {"family", "flags", "ifaddr", "ifindex", "ifname", "eventName"};
    require(type >= pelk::network::event_if_down && type <= pelk::network::event_address_removed, "event type");
    const bool link = type <= pelk::network::event_lower_up;
    const char* const* keys = link ? kLink : kAddress;
    require(p.Size() == (link ? 5u : 6u), "key count");
    for (std::size_t i = 0; i < p.Size(); ++i)
        require(p.KeyAt(i) == keys[i], "key order");
    require(p.Find("eventName")->AsString() == kNames[type - 1], "event name");
    require(p.Find("ifname")->AsString().size() <= 16, "name of at most 16 bytes");
    if (!link) {
        const std::string& family = p.Find("family")->AsString();
        require(family == "AF_INET" || family == "AF_INET6", "family");
        require(p.Find("ifaddr")->AsString().size() <= 39, "address text");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;  // an empty datagram never reaches the decoder
    const std::vector<unsigned char> datagram(data, data + size);
    pelk::network::event_list events;
    events.emplace_back(pelk::network::event_if_up, Variant());
    const int result = netlib::decode::decode_datagram(datagram.data(), size, events, {lookup, nullptr});
    require(result == 0 || result == EBADMSG, "result");
    require(events.front().first == pelk::network::event_if_up && events.front().second.IsEmpty(), "only appended");
    require(events.size() - 1 <= size / 16, "at most one event per message");
    for (auto it = std::next(events.begin()); it != events.end(); ++it)
        check_payload(it->first, it->second);
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
