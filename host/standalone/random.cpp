// randomAlphaNumericString: unbiased random letters and digits.
#include <errno.h>
#include <fcntl.h>
#include <pelk/utils.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdint>

#include "host_impl.h"

namespace pelk
{
namespace utils
{

namespace
{

const char kDefaultAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// Kernels without getrandom still have /dev/urandom.
bool read_urandom(void* buffer, std::size_t size)
{
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    auto* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    ::close(fd);
    return size == 0;
}

bool fill_random(void* buffer, std::size_t size)
{
    auto* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t n = ::getrandom(p, size, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOSYS)
                return read_urandom(p, size);
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string randomAlphaNumericString(const std::string& alphabet, unsigned int length)
{
    const std::string letters = alphabet.empty() ? std::string(kDefaultAlphabet) : alphabet;
    const auto n = static_cast<std::uint32_t>(letters.size());
    // Draws below this bound are refused, so that every letter gets the same
    // share of the remaining range (2^32 - bound is a multiple of n).
    const std::uint32_t bound = static_cast<std::uint32_t>(0u - n) % n;

    std::string out;
    out.reserve(length);
    std::uint32_t draws[64];
    while (out.size() < length) {
        if (!fill_random(draws, sizeof draws)) {
            HOST_ERR(errno, "no random data");
            return std::string();
        }
        for (std::uint32_t d : draws) {
            if (d < bound)
                continue;
            out += letters[d % n];
            if (out.size() == length)
                break;
        }
    }
    return out;
}

}  // namespace utils
}  // namespace pelk
