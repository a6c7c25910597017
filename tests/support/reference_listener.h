// A raw rtnetlink listener on the events module's groups with a very deep
// queue: what the kernel sent, to compare with what the library delivered.
#ifndef NETLIB_TEST_REFERENCE_LISTENER_H
#define NETLIB_TEST_REFERENCE_LISTENER_H

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

class ReferenceListener
{
public:
    explicit ReferenceListener(int queue_bytes = 64 * 1024 * 1024)
    {
        fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd_ < 0)
            return;
        sockaddr_nl addr{};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
        ok_ = setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &queue_bytes, sizeof queue_bytes) == 0 &&
              bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~ReferenceListener()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    ReferenceListener(const ReferenceListener&) = delete;
    ReferenceListener& operator=(const ReferenceListener&) = delete;

    bool ok() const { return ok_; }
    // The reference itself lost notifications: a comparison would mean nothing.
    bool overflowed() const { return overflowed_; }

    // Calls visit(const nlmsghdr*) for every whole message queued now, in
    // order. False on a receive error other than "nothing queued".
    template <typename Visit>
    bool read_all(Visit visit)
    {
        for (;;) {
            const ssize_t n = recv(fd_, buffer_.data(), buffer_.size() * sizeof buffer_[0], MSG_DONTWAIT);
            if (n < 0) {
                if (errno == ENOBUFS) {
                    overflowed_ = true;
                    continue;
                }
                return errno == EAGAIN;
            }
            int left = static_cast<int>(n);
            for (const nlmsghdr* msg = static_cast<const nlmsghdr*>(static_cast<const void*>(buffer_.data()));
                 NLMSG_OK(msg, left); msg = NLMSG_NEXT(msg, left))
                visit(msg);
        }
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    bool overflowed_ = false;
    std::vector<std::uint32_t> buffer_ = std::vector<std::uint32_t>(64 * 1024);  // 256 KiB, aligned
};

#endif
