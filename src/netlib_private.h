// Declarations shared by the library's source units; not installed.
#ifndef NETLIB_PRIVATE_H
#define NETLIB_PRIVATE_H

#include <pelk/log.h>

#include <cstddef>
#include <map>
#include <string>
#include <utility>

#include "pelk_network_utils_core.h"

// State of the interface and configuration units (netlib_iface, netlib_netm).
struct netlib_iface_state {
    bool initialized;
    int dev_socket;
    std::map<std::string, bool> static_connections;
    std::map<std::string, bool> static_fallback_connections;
};

// State of the events unit (netlib_events).
struct netlib_events_state {
    bool initialized;
    int nl_socket;
    unsigned int next_id;
    std::map<unsigned int, std::pair<pelk::network::event_callback, void*>> subscribers;
    pelk::network::event_list pending_events;
    bool dispatching;          // a dispatch walk is running: re-entrant calls are refused
    unsigned int dispatch_id;  // the subscriber being called during the walk
    bool dispatch_removed;     // that subscriber unsubscribed itself: stop its deliveries
};

// The host's front end and the library agree on this layout.
static_assert(sizeof(netlib_context) == 4 * sizeof(void*), "netlib_context must be four pointer-sized words");
static_assert(offsetof(netlib_context, iface_state) == sizeof(void*), "iface_state must be the second word");
static_assert(offsetof(netlib_context, events_state) == 3 * sizeof(void*), "events_state must be the fourth word");

#define NETLIB_MODULE "pelk_network_utils_core"

// Each unit defines NETLIB_UNIT (its source file name) before including
// this header. User text is always an argument, never the format.
#define NETLIB_LOG(level, err, ...) \
    logInternal(NETLIB_MODULE, NETLIB_UNIT, __func__, __LINE__, level, err, 0, __VA_ARGS__)
#define LOG_ERR(...) NETLIB_LOG(PELK_LOG_ERR, 0, __VA_ARGS__)
#define LOG_ERRNO(err, ...) NETLIB_LOG(PELK_LOG_ERR, err, __VA_ARGS__)
#define LOG_NOTICE(...) NETLIB_LOG(PELK_LOG_NOTICE, 0, __VA_ARGS__)

namespace netlib
{

#ifdef NETLIB_UNIT
// The context handed to a module's init or close: it must exist and carry
// the host front end's mark. Refusals are logged under the caller's name
// and line.
// (static: NETLIB_UNIT differs between the units that include this.)
static inline netlib_context* marked_context(void* ctx, const char* function, int line)
{
    if (ctx == nullptr) {
        logInternal(NETLIB_MODULE, NETLIB_UNIT, function, line, PELK_LOG_ERR, 0, 0, "library context is null");
        return nullptr;
    }
    netlib_context* context = static_cast<netlib_context*>(ctx);
    if (context->front_end_marker == 0) {
        logInternal(NETLIB_MODULE, NETLIB_UNIT, function, line, PELK_LOG_ERR, 0, 0,
                    "netlib: you may not call this function directly");
        return nullptr;
    }
    return context;
}
#endif

// An interface name the kernel would take whole: shorter than the 16-byte
// name field and free of NUL bytes (longer names are silently cut by the
// kernel and would act on another interface). The empty name passes here;
// callers that refuse it test for it themselves.
inline bool iface_name_fits(const std::string& iface)
{
    return iface.size() < 16 && iface.find('\0') == std::string::npos;
}

}  // namespace netlib

#endif
