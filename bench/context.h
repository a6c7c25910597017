// A host's context block with the library's modules opened on it, closed
// again when it goes out of scope.
#ifndef NETLIB_BENCH_CONTEXT_H
#define NETLIB_BENCH_CONTEXT_H

#include <pelk_network_utils_core.h>

namespace bench
{

class OpenContext
{
public:
    OpenContext() { ctx_.front_end_marker = 1; }
    ~OpenContext()
    {
        pelk::network::netlib_libevents_close(&ctx_);
        pelk::network::netlib_libiface_close(&ctx_);
    }
    OpenContext(const OpenContext&) = delete;
    OpenContext& operator=(const OpenContext&) = delete;

    bool open_iface() { return pelk::network::netlib_libiface_init(&ctx_); }
    bool open_events() { return pelk::network::netlib_libevents_init(&ctx_); }
    void* get() { return &ctx_; }

private:
    netlib_context ctx_{};
};

}  // namespace bench

#endif
