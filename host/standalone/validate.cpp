// Strict dotted-decimal IPv4 address and netmask validators.
#include <pelk/utils.h>

namespace pelk
{
namespace utils
{

namespace
{

// One octet at text[pos]: 1-3 decimal digits, no leading zero unless the
// octet is "0" itself, value 0-255. pos moves past it.
[[nodiscard]] bool parse_octet(const std::string& text, std::string::size_type& pos, unsigned int& octet)
{
    std::string::size_type start = pos;
    unsigned int value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
        value = value * 10 + static_cast<unsigned int>(text[pos] - '0');
        ++pos;
    }
    std::string::size_type digits = pos - start;
    if (digits == 0 || value > 255)
        return false;
    if (digits > 1 && text[start] == '0')
        return false;
    octet = value;
    return true;
}

// Strict dotted decimal into host-order bits; false when malformed.
[[nodiscard]] bool parse_dotted_quad(const std::string& text, unsigned int& value)
{
    // Every byte is checked, so an embedded NUL or line break is refused
    // like any other stray character.
    std::string::size_type pos = 0;
    unsigned int bits = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
        unsigned int octet = 0;
        if (!parse_octet(text, pos, octet))
            return false;
        bits = (bits << 8) | octet;
    }
    if (pos != text.size())
        return false;
    value = bits;
    return true;
}

}  // namespace

bool ipv4_address_valid(const std::string& text, bool unicast_only, bool nonzero)
{
    unsigned int value = 0;
    if (!parse_dotted_quad(text, value))
        return false;
    if (nonzero && value == 0)
        return false;
    if (unicast_only) {
        unsigned int first = value >> 24;
        // 0.0.0.0/8 is "this network", 224/4 multicast, 240/4 reserved
        // (the limited broadcast 255.255.255.255 among them).
        if (first == 0 || first >= 224)
            return false;
    }
    return true;
}

bool ipv4_netmask_valid(const std::string& text, bool nonzero)
{
    unsigned int value = 0;
    if (!parse_dotted_quad(text, value))
        return false;
    if (nonzero && value == 0)
        return false;
    // Contiguous ones then zeros: the inverted mask is 2^n - 1.
    unsigned int host_bits = ~value;
    return (host_bits & (host_bits + 1)) == 0;
}

}  // namespace utils
}  // namespace pelk
