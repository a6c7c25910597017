// The peer decoder the library's nl_event_callback is judged by: a libmnl
// attribute walk that builds the same keys, with the same values, into a
// std::map of std::variant and appends it to a list.
#ifndef NETLIB_BENCH_MNL_PEER_H
#define NETLIB_BENCH_MNL_PEER_H

#include <linux/netlink.h>

#include <list>
#include <map>
#include <string>
#include <utility>
#include <variant>

namespace bench
{

using PeerValue = std::variant<unsigned int, int, unsigned short, unsigned char, std::string>;
using PeerPayload = std::map<std::string, PeerValue>;
using PeerList = std::list<std::pair<int, PeerPayload>>;

// 0 when decoded or ignored, -1 when too short for its header.
int peer_decode(const nlmsghdr* msg, PeerList& events);

}  // namespace bench

#endif
