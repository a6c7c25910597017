// Fuzz target: nl_service over whole datagrams. The input is a sequence of
// datagrams, each a 16-bit little-endian length followed by that many bytes
// (the last one takes what is left when the input ends early). Each is sent
// through an AF_UNIX datagram socket pair and read back by nl_service, whose
// result and events are compared with the plain walk of netlink_oracle.h.
// A final call must find the queue empty.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "netlink_oracle.h"

namespace
{

constexpr std::size_t kMaxDatagrams = 16;

struct Pair {
    int fd[2] = {-1, -1};
    Pair()
    {
        FUZZ_CHECK(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fd) == 0, std::strerror(errno));
        // Room for the largest datagram the input format can describe.
        const int size = 1 << 20;
        setsockopt(fd[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(fd[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
};

// The datagrams of one input.
std::vector<std::vector<unsigned char>> split_input(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::vector<unsigned char>> out;
    std::size_t pos = 0;
    while (pos < size && out.size() < kMaxDatagrams) {
        std::size_t len = size - pos;
        if (size - pos >= 2) {
            len = static_cast<std::size_t>(data[pos] | data[pos + 1] << 8);
            pos += 2;
            if (len > size - pos)
                len = size - pos;
        }
        out.emplace_back(data + pos, data + pos + len);
        pos += len;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Pair pair;
    pelk::network::event_list events;
    for (const auto& datagram : split_input(data, size)) {
        // The vector's heap block is exactly the datagram: the oracle reads it in place.
        const ssize_t sent = send(pair.fd[1], datagram.data(), datagram.size(), 0);
        FUZZ_CHECK(sent == static_cast<ssize_t>(datagram.size()), std::strerror(errno));

        std::vector<oracle::Event> want;
        const int want_result = oracle::walk(datagram.data(), datagram.size(), want);
        const std::size_t before = events.size();
        const int result = nl_service(pair.fd[0], events);
        FUZZ_CHECK(result == want_result,
                   "result " + std::to_string(result) + " for " + std::to_string(datagram.size()) + " bytes");
        oracle::compare_appended(events, before, want);
    }
    const std::size_t before = events.size();
    FUZZ_CHECK(nl_service(pair.fd[0], events) == 0, "empty queue");
    FUZZ_CHECK(events.size() == before, "events from an empty queue");
    return 0;
}
