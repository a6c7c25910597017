// Real rtnetlink notifications recorded from the kernel, one datagram per
// file, replayed by the events benchmarks.
#ifndef NETLIB_BENCH_CORPUS_H
#define NETLIB_BENCH_CORPUS_H

#include <linux/netlink.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench
{

struct Datagram {
    std::string name;
    std::vector<unsigned char> bytes;
};

// One netlink message copied into storage aligned for nlmsghdr.
struct Message {
    std::string source;  // file it came from
    std::vector<std::uint32_t> words;
    nlmsghdr* header() { return reinterpret_cast<nlmsghdr*>(words.data()); }
    unsigned short type() const { return reinterpret_cast<const nlmsghdr*>(words.data())->nlmsg_type; }
    bool is_link() const { return type() == 16 || type() == 17; }
    bool is_address() const { return type() == 20 || type() == 21; }
};

struct Corpus {
    std::string dir;
    std::vector<Datagram> datagrams;
    std::vector<Message> messages;  // link and address messages only

    // Loads every *.bin of dir (in name order). False when none was found.
    bool load(const std::string& directory);
};

// The corpus directory: NETLIB_BENCH_CORPUS when set, else the events
// corpus of the tests, else bench/data of the source tree.
std::string default_corpus_dir();

}  // namespace bench

#endif
