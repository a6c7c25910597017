// Controls of the standalone host (libpelk_host.so) that the library itself
// never calls: where the log goes and how much of it.
#ifndef PELK_HOST_H
#define PELK_HOST_H

#include <cstddef>

namespace pelk
{
namespace host
{

// Messages whose level is at or below the threshold are written; the
// default 4 keeps failures (3) and notices (4).
void set_log_level(int threshold);
int log_level();

// true sends each message to syslog instead of stderr.
void set_log_syslog(bool enabled);

// Receives each formatted line (ending in a newline) instead of stderr and
// syslog; null restores the normal destinations. Meant for tests.
using LogSink = void (*)(int level, const char* line, std::size_t length);
void set_log_sink(LogSink sink);

}  // namespace host
}  // namespace pelk

#endif
