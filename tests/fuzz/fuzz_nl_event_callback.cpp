// Fuzz target: the decoder of one rtnetlink message, nl_event_callback.
// The input is one message as the kernel would hand it over: its nlmsg_len
// is clamped to the input's size, and the message lies in a buffer of
// exactly that size, so any read past it is caught by AddressSanitizer.
// Results and payloads are compared with the plain decoder of
// netlink_oracle.h.
#include <linux/netlink.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "netlink_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A message shorter than its own header never reaches the decoder: the
    // datagram walk refuses it first. Such inputs keep their bytes and a
    // zero tail, with nlmsg_len telling the true size.
    const std::size_t buffer_size = size < NLMSG_HDRLEN ? NLMSG_HDRLEN : size;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[buffer_size]());
    if (size != 0)
        std::memcpy(buffer.get(), data, size);
    std::uint32_t declared = 0;
    std::memcpy(&declared, buffer.get(), sizeof declared);
    const std::uint32_t len = declared < size ? declared : static_cast<std::uint32_t>(size);
    std::memcpy(buffer.get(), &len, sizeof len);

    std::vector<oracle::Event> want;
    const int want_result = oracle::decode(buffer.get(), want);

    pelk::network::event_list events;
    events.emplace_back(pelk::network::event_if_up, pelk::variant::Variant());  // decoding only appends
    const int result = nl_event_callback(static_cast<nlmsghdr*>(static_cast<void*>(buffer.get())), events);
    FUZZ_CHECK(result == want_result, "result " + std::to_string(result));
    FUZZ_CHECK(events.front().first == pelk::network::event_if_up && events.front().second.IsEmpty(),
               "an earlier entry was touched");
    oracle::compare_appended(events, 1, want);
    return 0;
}
