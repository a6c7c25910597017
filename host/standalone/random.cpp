// randomAlphaNumericString: unbiased random letters and digits, never waiting
// for the kernel's pool.
#include <fcntl.h>
#include <pelk/utils.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "io.h"

namespace pelk
{
namespace utils
{

namespace
{

const char kDefaultAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// Never blocks: /dev/urandom gives data even before the kernel's pool is
// ready, and a device short of entropy at boot must not stall there.
[[nodiscard]] bool read_urandom(void* buffer, std::size_t size)
{
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool read = standalone::read_all(fd, buffer, size) == 0;
    ::close(fd);
    return read;
}

// The last resort (no getrandom, no /dev/urandom, as in a bare chroot):
// distinct values from the clock, the process and a counter, mixed
// (splitmix64). Enough for names that only need to be unique.
void fill_distinct(void* buffer, std::size_t size)
{
    static std::atomic<std::uint64_t> counter{0};
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t state = (static_cast<std::uint64_t>(now.tv_sec) << 32) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
                          (static_cast<std::uint64_t>(getpid()) << 20) ^ (counter.fetch_add(1) << 48);
    auto* p = static_cast<unsigned char*>(buffer);
    for (std::size_t i = 0; i < size; i += sizeof state) {
        state += 0x9e3779b97f4a7c15ull;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        std::memcpy(p + i, &z, std::min(sizeof z, size - i));
    }
}

void fill_random(void* buffer, std::size_t size)
{
    const auto draw = [](void* p, std::size_t n) { return ::getrandom(p, n, GRND_NONBLOCK); };
    if (standalone::read_all(buffer, size, draw) == 0)
        return;
    // EAGAIN: the pool is not ready yet (early boot); ENOSYS: an old kernel.
    if (!read_urandom(buffer, size))
        fill_distinct(buffer, size);
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
        fill_random(draws, sizeof draws);
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
