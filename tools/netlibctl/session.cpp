// The session every netlibctl command runs in: a marked context, the modules
// it opened, the log threshold for expected failures, the error line.
#include "session.h"

#include <pelk/host.h>
#include <pelk/log.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace netlibctl
{
namespace
{
int g_output_error = 0;  // the first failure to write standard output
}

void complain(const std::string& text)
{
    std::fprintf(stderr, "netlibctl: %s\n", text.c_str());
}

bool flush_output()
{
    if (g_output_error != 0)
        return false;
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        g_output_error = errno != 0 ? errno : EIO;
    return g_output_error == 0;
}

int output_error()
{
    return g_output_error;
}

ExpectedFailures::ExpectedFailures() : saved_threshold_(pelk::host::log_level())
{
    pelk::host::set_log_level(std::min(saved_threshold_, PELK_LOG_ERR - 1));
}

ExpectedFailures::~ExpectedFailures()
{
    pelk::host::set_log_level(saved_threshold_);
}

Session::Session() : ctx_{}
{
    ctx_.front_end_marker = 1;
}

Session::~Session()
{
    if (events_open_)
        pelk::network::netlib_libevents_close(&ctx_);
    if (iface_open_)
        pelk::network::netlib_libiface_close(&ctx_);
}

bool Session::open()
{
    iface_open_ = pelk::network::netlib_libiface_init(&ctx_);
    return iface_open_;
}

bool Session::open_events()
{
    events_open_ = pelk::network::netlib_libevents_init(&ctx_);
    return events_open_;
}

}  // namespace netlibctl
