// netlib_events: the events module (subscriber registry, dispatch, init and
// close) and the exported calls of the unit; the only part of it that logs.
#define NETLIB_UNIT "netlib_events.cpp"
#include <errno.h>
#include <linux/rtnetlink.h>
#include <unistd.h>

#include <new>

#include "netlib_events_decode.h"
#include "netlib_events_socket.h"
#include "netlib_private.h"

using netlib::nlsock::dump_socket;
using pelk::network::event_list;
using pelk::network::event_type;

namespace
{

constexpr unsigned int kEventGroups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;  // 17
constexpr unsigned int kKnownExtras = pelk::network::events_ipv6_addresses | pelk::network::events_router_dns;

// The RTNLGRP_* groups behind a set of extras, as a mask of group numbers.
unsigned long long groups_of(unsigned int extras)
{
    unsigned long long groups = 0;
    if (extras & pelk::network::events_ipv6_addresses)
        groups |= 1ull << RTNLGRP_IPV6_IFADDR;
    if (extras & pelk::network::events_router_dns)
        groups |= 1ull << RTNLGRP_ND_USEROPT;
    return groups;
}

[[nodiscard]] bool check(void* ctx)
{
    return netlib::guard_passes(ctx, &netlib_context::events_state, NETLIB_HERE);
}

netlib_events_state* state_of(void* ctx)
{
    return static_cast<netlib_context*>(ctx)->events_state;
}

// Calls that read the socket or replace the state would pull the list or the
// registry from under a running dispatch walk: refused from a callback.
[[nodiscard]] bool outside_dispatch(const netlib_events_state* state, const netlib::call_site& site)
{
    if (!state->dispatching)
        return true;
    NETLIB_ERROR_AT(site, "netlib: not allowed from an event callback");
    return false;
}

void release_state(netlib_context* context)
{
    netlib_events_state* state = context->events_state;
    if (!state)
        return;
    nl_close(state->nl_socket);
    delete state;
    context->events_state = nullptr;
}

bool nothing_read(int error)
{
    return error == EAGAIN || error == EINTR;
}

// Reads one datagram into the pending list: 0, EAGAIN or EINTR when nothing
// was read, else the failure, logged under site when report is set.
[[nodiscard]] int receive_into(netlib_events_state* state, const netlib::call_site& site, bool report)
{
    const int error = netlib::nlsock::receive_events(state->nl_socket, state->pending_events, state->extras);
    if (report && error != 0 && !nothing_read(error))
        NETLIB_ERROR_AT(site, "netlib: failed to receive an event");
    return error;
}

// Marks the dispatch walk for its whole extent, also when a callback throws.
class dispatch_scope
{
public:
    explicit dispatch_scope(netlib_events_state* state) : state_(state) { state_->dispatching = true; }
    ~dispatch_scope()
    {
        state_->dispatching = false;
        state_->dispatch_removed = false;
    }
    dispatch_scope(const dispatch_scope&) = delete;
    dispatch_scope& operator=(const dispatch_scope&) = delete;

private:
    netlib_events_state* state_;
};

// Subscriber-major delivery. The next subscriber is looked up after each
// callback, so callbacks may subscribe and unsubscribe (their own id too);
// one that removed itself gets no further events.
void dispatch(netlib_events_state* state)
{
    if (state->subscribers.empty() || state->pending_events.empty())
        return;
    dispatch_scope scope(state);
    auto it = state->subscribers.begin();
    while (it != state->subscribers.end()) {
        const unsigned int id = it->first;
        const auto subscriber = it->second;
        state->dispatch_id = id;
        state->dispatch_removed = false;
        for (const auto& event : state->pending_events) {
            subscriber.first(event.first, event.second, subscriber.second);
            if (state->dispatch_removed)
                break;
        }
        it = state->subscribers.upper_bound(id);
    }
}

// Dumps one kind of object and dispatches it as one batch, also the events
// of a dump that failed part way. 0 or the dump's errno.
[[nodiscard]] int resync_kind(netlib_events_state* state, dump_socket& sock, const netlib::nlsock::dump_request& what)
{
    event_list events;
    const int error = sock.dump(what, events, state->extras);
    state->pending_events.clear();
    state->pending_events.splice(state->pending_events.end(), events);
    dispatch(state);
    return error;
}

// Links first, so a subscriber knows an interface before its addresses.
[[nodiscard]] int resynchronise(netlib_events_state* state)
{
    dump_socket sock;
    int error = sock.open();
    if (error == 0)
        error = resync_kind(state, sock, netlib::nlsock::kLinkDump);
    if (error == 0)
        error = resync_kind(state, sock, netlib::nlsock::kAddressDump);
    if (error == 0 && (state->extras & pelk::network::events_ipv6_addresses))
        error = resync_kind(state, sock, netlib::nlsock::kAddress6Dump);
    return error;
}

// The nl_ functions do not log: an exception becomes -1 with errno ENOMEM
// for an allocation failure, ECANCELED for anything else.
int failed_by_exception()
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
    } catch (...) {
        errno = ECANCELED;
    }
    return -1;
}

}  // namespace

int nl_open(unsigned int groups)
{
    int fd = -1;
    const int error = netlib::nlsock::open_event_socket(groups, fd);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return fd;
}

void nl_close(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

int nl_service(int fd, event_list& events)
try {
    const int error = netlib::nlsock::receive_events(fd, events);
    if (error == 0 || nothing_read(error))
        return 0;
    // A framing fault has no cause to tell: errno is left as it was.
    if (error != EBADMSG)
        errno = error;
    return -1;
} catch (...) {
    return failed_by_exception();
}

int nl_event_callback(struct nlmsghdr* msg, event_list& events)
try {
    if (!msg)
        return -1;
    const int error = netlib::decode::decode_message(reinterpret_cast<const unsigned char*>(msg), events,
                                                     netlib::nlsock::system_setup());
    if (error != 0)
        errno = error;
    return error == 0 ? 0 : -1;
} catch (...) {
    return failed_by_exception();
}

std::string event_to_string(event_type type)
{
    return netlib::decode::event_name(type);
}

bool receive_event(void* ctx)
try {
    if (!check(ctx) || !outside_dispatch(state_of(ctx), NETLIB_HERE))
        return false;
    const int error = receive_into(state_of(ctx), NETLIB_HERE, false);
    return error == 0 || nothing_read(error);
}
NETLIB_CONTAIN(false)

namespace pelk
{
namespace network
{

bool netlib_libevents_init(void* ctx)
{
    netlib_context* context = netlib::marked_context(ctx, NETLIB_HERE);
    if (context == nullptr)
        return false;
    if (context->events_state && !outside_dispatch(context->events_state, NETLIB_HERE))
        return false;
    release_state(context);  // a repeated init must not leak the earlier socket

    netlib_events_state* state = new (std::nothrow) netlib_events_state();
    if (!state) {
        NETLIB_ERROR("netlib: memory allocation error");
        return false;
    }
    state->nl_socket = -1;
    context->events_state = state;
    const int error = netlib::nlsock::open_event_socket(kEventGroups, state->nl_socket);
    if (error != 0) {
        NETLIB_ERROR("netlib: failed to open netlink socket (%d)", error);
        release_state(context);
        return false;
    }
    state->next_id = 0;
    state->initialized = true;
    return true;
}

bool netlib_libevents_close(void* ctx)
{
    netlib_context* context = netlib::marked_context(ctx, NETLIB_HERE);
    if (context == nullptr)
        return false;
    netlib_events_state* state = context->events_state;
    if (!state || !state->initialized)
        return true;
    if (!outside_dispatch(state, NETLIB_HERE))
        return false;
    release_state(context);
    return true;
}

bool netlib_libevents_subscribe(void* ctx, event_callback callback, unsigned int& id, void* user_data)
try {
    if (!check(ctx))
        return false;
    if (!callback) {
        NETLIB_ERROR("netlib: invalid callback");
        return false;
    }
    netlib_events_state* state = state_of(ctx);
    // After the counter wrapped, ids still held by live subscribers are skipped.
    unsigned int candidate = state->next_id;
    while (state->subscribers.count(candidate))
        ++candidate;
    state->subscribers.emplace(candidate, std::make_pair(callback, user_data));
    state->next_id = candidate + 1;
    id = candidate;
    return true;
}
NETLIB_CONTAIN(false)

bool netlib_libevents_unsubscribe(void* ctx, unsigned int id)
{
    if (!check(ctx))
        return false;
    netlib_events_state* state = state_of(ctx);
    if (state->subscribers.erase(id) && state->dispatching && state->dispatch_id == id)
        state->dispatch_removed = true;
    return true;
}

bool netlib_libevents_service(void* ctx)
try {
    if (!check(ctx) || !outside_dispatch(state_of(ctx), NETLIB_HERE))
        return false;
    netlib_events_state* state = state_of(ctx);
    state->pending_events.clear();
    const int error = receive_into(state, NETLIB_HERE, true);
    if (error != 0 && !nothing_read(error))
        return false;
    dispatch(state);
    return true;
}
NETLIB_CONTAIN(false)

bool netlib_libevents_drain(void* ctx, unsigned int max_datagrams)
try {
    if (!check(ctx) || !outside_dispatch(state_of(ctx), NETLIB_HERE))
        return false;
    netlib_events_state* state = state_of(ctx);
    unsigned int read = 0;
    while (read < max_datagrams) {
        state->pending_events.clear();
        const int error = receive_into(state, NETLIB_HERE, true);
        if (error == EAGAIN)
            return true;
        if (error == EINTR)
            continue;
        if (error != 0)
            return false;
        ++read;
        dispatch(state);
    }
    return true;
}
NETLIB_CONTAIN(false)

bool netlib_libevents_opt_in(void* ctx, unsigned int extras)
{
    if (!check(ctx))
        return false;
    if (extras & ~kKnownExtras) {
        NETLIB_ERROR("netlib: unknown event extras 0x%X", extras);
        return false;
    }
    netlib_events_state* state = state_of(ctx);
    const unsigned long long had = groups_of(state->extras), wanted = groups_of(extras);
    int error = netlib::nlsock::change_membership(state->nl_socket, wanted & ~had, true);
    if (error != 0) {
        // Back to the groups the set had, so that the module stays as it was.
        (void)netlib::nlsock::change_membership(state->nl_socket, wanted & ~had, false);
        NETLIB_ERROR_ERRNO(error, "netlib: failed to join a netlink group (%d)", error);
        return false;
    }
    // Leaving a group the kernel let us join cannot fail for a reason we could act on.
    (void)netlib::nlsock::change_membership(state->nl_socket, had & ~wanted, false);
    state->extras = extras;
    return true;
}

int netlib_libevents_fd(void* ctx)
{
    if (!check(ctx))
        return -1;
    return state_of(ctx)->nl_socket;
}

bool netlib_libevents_resync(void* ctx)
try {
    if (!check(ctx) || !outside_dispatch(state_of(ctx), NETLIB_HERE))
        return false;
    const int error = resynchronise(state_of(ctx));
    if (error != 0) {
        NETLIB_ERROR_ERRNO(error, "netlib: failed to resynchronise");
        return false;
    }
    return true;
}
NETLIB_CONTAIN(false)

}  // namespace network
}  // namespace pelk
