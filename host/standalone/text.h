// printf into a std::string from a va_list: pelk::utils::format and the log
// lines are both made with it.
#ifndef PELK_HOST_TEXT_H
#define PELK_HOST_TEXT_H

#include <cstdarg>
#include <string>

#include "internal.h"

namespace pelk
{
namespace standalone
{

PELK_HOST_INTERNAL std::string vformat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace standalone
}  // namespace pelk

#endif
