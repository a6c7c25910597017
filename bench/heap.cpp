// Heap held by one context with both modules open and no event pending,
// counted by replacing this program's allocation functions: the library,
// the host and the C++ runtime allocate through them (libstdc++'s array
// and nothrow forms call these). Counting is off while anything is timed.
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>

#include "bench.h"

namespace
{
std::atomic<bool> g_counting{false};
std::atomic<long long> g_bytes{0};
}  // namespace

void* operator new(std::size_t size)
{
    void* p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    if (g_counting.load(std::memory_order_relaxed))
        g_bytes += static_cast<long long>(malloc_usable_size(p));
    return p;
}

void operator delete(void* p) noexcept
{
    if (p != nullptr && g_counting.load(std::memory_order_relaxed))
        g_bytes -= static_cast<long long>(malloc_usable_size(p));
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    operator delete(p);
}

double bench::measure_context_heap()
{
    auto open_both = [](Context& context) {
        return pelk::network::netlib_libiface_init(&context.block) &&
               pelk::network::netlib_libevents_init(&context.block);
    };
    std::optional<Context> context(std::in_place);
    open_both(*context);  // the runtime's lazily made buffers belong to no context
    context.emplace();    // closes that one, a fresh block
    g_counting = true;
    const long long before = g_bytes;
    const bool opened = open_both(*context);
    const long long held = g_bytes - before;
    context.reset();
    const long long left = g_bytes - before;
    g_counting = false;
    if (!opened)
        g_failed["context_heap"] = "cannot open both modules";
    else if (left != 0)
        g_failed["context_heap"] = std::to_string(left) + " bytes still held after close";
    return static_cast<double>(held);
}
