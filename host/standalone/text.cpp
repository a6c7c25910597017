// Text helpers: split, trim and printf into a std::string.
#include "text.h"

#include <pelk/utils.h>

#include <cstdio>

namespace pelk
{
namespace utils
{

void split(const std::string& text, const std::string& separator, std::vector<std::string>& out)
{
    if (separator.empty()) {
        out.push_back(text);
        return;
    }
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type at = text.find(separator, start);
        if (at == std::string::npos) {
            out.emplace_back(text, start);
            return;
        }
        out.emplace_back(text, start, at - start);
        start = at + separator.size();
    }
}

std::string& trim(std::string& text)
{
    static const char kWhite[] = " \t\r\n\v\f";
    std::string::size_type last = text.find_last_not_of(kWhite);
    if (last == std::string::npos) {
        text.clear();
        return text;
    }
    text.erase(last + 1);
    text.erase(0, text.find_first_not_of(kWhite));
    return text;
}

std::string format(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string s = standalone::vformat(fmt, ap);
    va_end(ap);
    return s;
}

}  // namespace utils

namespace standalone
{

std::string vformat(const char* format, va_list args)
{
    if (!format)
        return std::string();
    char small[256];
    va_list again;
    va_copy(again, args);
    // args comes started from the caller (va_start); the analyzer cannot see across the call.
    int needed = std::vsnprintf(small, sizeof small, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
    if (needed < 0) {
        va_end(again);
        return std::string();
    }
    if (static_cast<std::size_t>(needed) < sizeof small) {
        va_end(again);
        return std::string(small, static_cast<std::size_t>(needed));
    }
    std::string out(static_cast<std::size_t>(needed) + 1, '\0');
    std::vsnprintf(&out[0], out.size(), format, again);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(again);
    out.resize(static_cast<std::size_t>(needed));
    return out;
}

}  // namespace standalone
}  // namespace pelk
