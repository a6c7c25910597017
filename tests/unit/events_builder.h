// Hand-built rtnetlink messages and small helpers shared by the events tests.
#ifndef NETLIB_TEST_EVENTS_BUILDER_H
#define NETLIB_TEST_EVENTS_BUILDER_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pelk_network_utils_core.h"

namespace evtest
{

using Bytes = std::vector<unsigned char>;

// One netlink message: header, family header, attributes. nlmsg_len is the
// whole size unless set_len() overrides it.
class Msg
{
public:
    static Msg link(uint16_t type, int index, unsigned int flags, uint16_t arphrd = 1)
    {
        Msg m(type);
        ifinfomsg info{};
        info.ifi_family = AF_UNSPEC;
        info.ifi_type = arphrd;
        info.ifi_index = index;
        info.ifi_flags = flags;
        m.append(&info, sizeof info);
        return m;
    }

    static Msg addr(uint16_t type, uint8_t family, uint8_t flags, uint32_t index, uint8_t prefix = 24)
    {
        Msg m(type);
        ifaddrmsg info{};
        info.ifa_family = family;
        info.ifa_prefixlen = prefix;
        info.ifa_flags = flags;
        info.ifa_index = index;
        m.append(&info, sizeof info);
        return m;
    }

    static Msg other(uint16_t type, std::size_t body = 0)
    {
        Msg m(type);
        m.bytes_.resize(m.bytes_.size() + body, 0);
        return m;
    }

    Msg& attr(uint16_t type, const void* data, std::size_t len)
    {
        rtattr a{};
        a.rta_len = static_cast<unsigned short>(sizeof a + len);
        a.rta_type = type;
        append(&a, sizeof a);
        append(data, len);
        pad();
        return *this;
    }

    Msg& name(const char* text) { return attr(IFLA_IFNAME, text, std::strlen(text) + 1); }

    Msg& ipv4(uint16_t type, uint8_t a, uint8_t b, uint8_t c, uint8_t d)
    {
        const uint8_t bytes[4] = {a, b, c, d};
        return attr(type, bytes, sizeof bytes);
    }

    // Raw bytes appended after the attributes (malformed chains).
    Msg& raw(const Bytes& extra)
    {
        bytes_.insert(bytes_.end(), extra.begin(), extra.end());
        return *this;
    }

    Msg& set_len(uint32_t len)
    {
        forced_len_ = len;
        forced_ = true;
        return *this;
    }

    Bytes bytes() const
    {
        Bytes out = bytes_;
        const uint32_t len = forced_ ? forced_len_ : static_cast<uint32_t>(out.size());
        std::memcpy(out.data(), &len, sizeof len);
        return out;
    }

private:
    explicit Msg(uint16_t type)
    {
        nlmsghdr h{};
        h.nlmsg_type = type;
        append(&h, sizeof h);
    }

    void append(const void* data, std::size_t len)
    {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        bytes_.insert(bytes_.end(), p, p + len);
    }

    void pad() { bytes_.resize(NLMSG_ALIGN(bytes_.size()), 0); }

    Bytes bytes_;
    uint32_t forced_len_ = 0;
    bool forced_ = false;
};

// Messages packed into one datagram, each starting on a 4-byte boundary.
inline Bytes datagram(std::initializer_list<Bytes> messages)
{
    Bytes out;
    for (const Bytes& m : messages) {
        out.insert(out.end(), m.begin(), m.end());
        out.resize(NLMSG_ALIGN(out.size()), 0);
    }
    return out;
}

// Decodes one message held in a buffer aligned for nlmsghdr.
inline int decode(const Bytes& message, pelk::network::event_list& events)
{
    std::vector<uint32_t> aligned((message.size() + 3) / 4 + 1, 0);
    std::memcpy(aligned.data(), message.data(), message.size());
    return nl_event_callback(static_cast<nlmsghdr*>(static_cast<void*>(aligned.data())), events);
}

// The keys of an object payload, in order.
inline std::vector<std::string> keys_of(const pelk::variant::Variant& v)
{
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < v.Size(); ++i)
        keys.push_back(v.KeyAt(i));
    return keys;
}

inline const pelk::variant::Variant& member(const pelk::variant::Variant& v, const char* key)
{
    static const pelk::variant::Variant missing;
    const pelk::variant::Variant* found = v.Find(key);
    return found ? *found : missing;
}

inline std::string text_of(const pelk::variant::Variant& v, const char* key)
{
    return member(v, key).AsString();
}

// A connected datagram pair: tests write datagrams into [1] and the library
// reads [0] as if it were its netlink socket.
struct DgramPair {
    int fd[2] = {-1, -1};
    DgramPair() { EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fd)); }
    ~DgramPair()
    {
        for (int f : fd) {
            if (f >= 0)
                close(f);
        }
    }
    DgramPair(const DgramPair&) = delete;
    DgramPair& operator=(const DgramPair&) = delete;

    void send_bytes(const Bytes& b) const
    {
        ASSERT_EQ(static_cast<ssize_t>(b.size()), send(fd[1], b.data(), b.size(), 0));
    }
    // Hands the reading end over to someone who will close it.
    int release_reader()
    {
        const int f = fd[0];
        fd[0] = -1;
        return f;
    }
};

inline int open_fd_count()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count;
}

// Recorded kernel notifications, one datagram per file.
inline std::string corpus_dir()
{
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../data/netlink";
}

inline Bytes read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace evtest

#endif
