// What every file of the standalone host shares: the mark that keeps a
// helper out of libpelk_host.so's exports, and HOST_ERR, the way the host
// logs its own failures.
#ifndef PELK_HOST_INTERNAL_H
#define PELK_HOST_INTERNAL_H

#include <pelk/log.h>

// Helpers internal to libpelk_host.so: hidden, so that they add nothing to
// its exports.
#define PELK_HOST_INTERNAL __attribute__((visibility("hidden")))

namespace pelk
{
namespace standalone
{

// The file name of a source path: log lines name the unit, not the build tree.
constexpr const char* base_name(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/')
            name = p + 1;
    }
    return name;
}

}  // namespace standalone
}  // namespace pelk

// A failure of the host itself, logged at level 3 under the module
// "pelk_host", the source file and the function.
#define HOST_ERR(errnum, ...)                                                                                    \
    logInternal("pelk_host", pelk::standalone::base_name(__FILE__), __func__, __LINE__, PELK_LOG_ERR, errnum, 0, \
                __VA_ARGS__)

#endif
