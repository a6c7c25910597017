// The standalone host's plain implementations, shared by libpelk_host.so
// (which exports them as pelk::utils) and the tests' recording fake host
// (which records each call and then delegates here).
#ifndef PELK_HOST_IMPL_H
#define PELK_HOST_IMPL_H

#include <cstdarg>
#include <string>
#include <vector>

namespace pelk
{
namespace host_impl
{

bool ipv4_address_valid(const std::string& text, bool unicast_only, bool nonzero);
bool ipv4_netmask_valid(const std::string& text, bool nonzero);
// Parses strict dotted decimal into host-order bits; false when malformed.
bool parse_dotted_quad(const std::string& text, unsigned int& value);
void split(const std::string& text, const std::string& separator, std::vector<std::string>& out);
std::string& trim(std::string& text);
std::string vformat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace host_impl
}  // namespace pelk

#endif
