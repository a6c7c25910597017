// Declarations shared by the library's source units: the module states, the
// log macros, the guard and the exception containment; not installed.
#ifndef NETLIB_PRIVATE_H
#define NETLIB_PRIVATE_H

#include <pelk/log.h>

#include <cstddef>
#include <exception>
#include <map>
#include <new>
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
    bool dispatching;          // re-entrant calls from a callback are refused while set
    unsigned int dispatch_id;  // the subscriber being called during the walk
    bool dispatch_removed;     // that subscriber unsubscribed itself: stop its deliveries
    unsigned int extras;       // pelk::network::event_extras the host opted in to
};

// The host's front end and the library agree on this layout.
static_assert(sizeof(netlib_context) == 4 * sizeof(void*), "netlib_context must be four pointer-sized words");
static_assert(offsetof(netlib_context, iface_state) == sizeof(void*), "iface_state must be the second word");
static_assert(offsetof(netlib_context, events_state) == 3 * sizeof(void*), "events_state must be the fourth word");

#define NETLIB_MODULE "pelk_network_utils_core"

namespace netlib
{

// Where a log line is attributed: a helper that reports on behalf of an
// operation logs under the operation's unit, name and line.
struct call_site {
    const char* unit;
    const char* function;
    int line;
};

}  // namespace netlib

// Each unit defines NETLIB_UNIT (its source file name) before including this
// header. User text is always an argument, never the format.
#define NETLIB_HERE (netlib::call_site{NETLIB_UNIT, __func__, __LINE__})
#define NETLIB_LOG_AT(site, level, err, ...) \
    logInternal(NETLIB_MODULE, (site).unit, (site).function, (site).line, level, err, 0, __VA_ARGS__)
#define NETLIB_ERROR_AT(site, ...) NETLIB_LOG_AT(site, PELK_LOG_ERR, 0, __VA_ARGS__)
#define NETLIB_ERROR(...) NETLIB_LOG_AT(NETLIB_HERE, PELK_LOG_ERR, 0, __VA_ARGS__)
#define NETLIB_ERROR_ERRNO(err, ...) NETLIB_LOG_AT(NETLIB_HERE, PELK_LOG_ERR, err, __VA_ARGS__)
#define NETLIB_NOTICE(...) NETLIB_LOG_AT(NETLIB_HERE, PELK_LOG_NOTICE, 0, __VA_ARGS__)

// Ends a function-try-block of an exported operation: whatever was thrown is
// logged by log_exception and the operation returns result.
#define NETLIB_CONTAIN(result)              \
    catch (...)                             \
    {                                       \
        netlib::log_exception(NETLIB_HERE); \
        return result;                      \
    }

namespace netlib
{

// The body of every unit's check: the context, the unit's state slot and the
// state's initialized flag, each refusal logged where site says (the unit's
// own check). The texts are the formats themselves.
template <typename State>
[[nodiscard]] bool guard_passes(void* ctx, State* netlib_context::*slot, const call_site& site)
{
    const State* state = ctx == nullptr ? nullptr : static_cast<netlib_context*>(ctx)->*slot;
    if (state == nullptr) {
        NETLIB_ERROR_AT(site, "library context is null");
        return false;
    }
    if (!state->initialized) {
        NETLIB_ERROR_AT(site, "library is not initialized");
        return false;
    }
    return true;
}

// The context handed to a module's init or close: it must exist and carry
// the host front end's mark. Null after a logged refusal.
inline netlib_context* marked_context(void* ctx, const call_site& site)
{
    if (ctx == nullptr) {
        NETLIB_ERROR_AT(site, "library context is null");
        return nullptr;
    }
    netlib_context* context = static_cast<netlib_context*>(ctx);
    if (context->front_end_marker == 0) {
        NETLIB_ERROR_AT(site, "netlib: you may not call this function directly");
        return nullptr;
    }
    return context;
}

// Called from a catch (...) handler: one level-3 line for the exception being
// handled. Only an allocation failure reads as one.
inline void log_exception(const call_site& site)
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        NETLIB_ERROR_AT(site, "netlib: memory allocation error");
    } catch (const std::exception& e) {
        NETLIB_ERROR_AT(site, "netlib: unexpected exception: %s", e.what());
    } catch (...) {
        NETLIB_ERROR_AT(site, "netlib: unexpected exception of unknown type");
    }
}

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
