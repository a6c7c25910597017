// pelk::utils text helpers and validators of the standalone host. They live
// apart from host_impl so that the tests' fake host, which defines its own
// pelk::utils, can still link the plain implementations.
#include <pelk/utils.h>

#include <cstdarg>

#include "host_impl.h"

namespace pelk
{
namespace utils
{

bool ipv4_address_valid(const std::string& text, bool unicast_only, bool nonzero)
{
    return host_impl::ipv4_address_valid(text, unicast_only, nonzero);
}

bool ipv4_netmask_valid(const std::string& text, bool nonzero)
{
    return host_impl::ipv4_netmask_valid(text, nonzero);
}

void split(const std::string& text, const std::string& separator, std::vector<std::string>& out)
{
    host_impl::split(text, separator, out);
}

std::string& trim(std::string& text)
{
    return host_impl::trim(text);
}

std::string format(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string s = host_impl::vformat(fmt, ap);
    va_end(ap);
    return s;
}

}  // namespace utils
}  // namespace pelk
