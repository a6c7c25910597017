// Heap held by one context with both modules open and no event pending.
// The allocation functions are replaced in this program, so every block the
// library, the host and the C++ runtime take from the heap is counted (its
// usable size, what the allocator really holds for it).
#include <malloc.h>
#include <pelk_network_utils_core.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

#include "context.h"
#include "harness.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace
{

std::atomic<long long> g_live_bytes{0};
std::atomic<long long> g_live_blocks{0};

void* counted(void* p)
{
    if (p) {
        g_live_bytes += static_cast<long long>(malloc_usable_size(p));
        ++g_live_blocks;
    }
    return p;
}

void uncount(void* p)
{
    if (p) {
        g_live_bytes -= static_cast<long long>(malloc_usable_size(p));
        --g_live_blocks;
    }
}

}  // namespace

extern "C" {

void* malloc(size_t n)
{
    return counted(__libc_malloc(n));
}

void* calloc(size_t count, size_t n)
{
    return counted(__libc_calloc(count, n));
}

void* realloc(void* p, size_t n)
{
    uncount(p);
    void* q = __libc_realloc(p, n);
    if (!q && p && n != 0) {
        counted(p);  // the old block is still held
        return nullptr;
    }
    return counted(q);
}

void free(void* p)
{
    uncount(p);
    __libc_free(p);
}

void* memalign(size_t alignment, size_t n)
{
    return counted(__libc_memalign(alignment, n));
}

void* aligned_alloc(size_t alignment, size_t n)
{
    return counted(__libc_memalign(alignment, n));
}

int posix_memalign(void** out, size_t alignment, size_t n)
{
    void* p = counted(__libc_memalign(alignment, n));
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"

void* operator new(std::size_t n)
{
    if (void* p = malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}

void* operator new[](std::size_t n)
{
    return operator new(n);
}

void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    return malloc(n ? n : 1);
}

void* operator new[](std::size_t n, const std::nothrow_t&) noexcept
{
    return malloc(n ? n : 1);
}

void operator delete(void* p) noexcept
{
    free(p);
}

void operator delete[](void* p) noexcept
{
    free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    free(p);
}

namespace
{

using namespace bench;

void ignore_event(pelk::network::event_type, const pelk::variant::Variant&, void*) {}

}  // namespace

int main(int argc, char** argv)
{
    const Options opt = Options::parse(argc, argv);
    const char* figure = "heap held by one context, both modules open, no event pending";
    Row row;
    row.id = "context_heap";
    row.figure = figure;
    row.goal = 2048;
    row.unit = "B";
    {
        // The first use of the runtime's own lazily made buffers is not the
        // context's: open and close once before counting.
        OpenContext warm;
        warm.open_iface();
        warm.open_events();
    }
    const long long before = g_live_bytes.load();
    const long long blocks_before = g_live_blocks.load();
    long long held = 0, blocks = 0, with_subscriber = 0;
    bool opened = false;
    {
        OpenContext ctx;
        opened = ctx.open_iface() && ctx.open_events();
        held = g_live_bytes.load() - before;
        blocks = g_live_blocks.load() - blocks_before;
        unsigned int id = 0;
        if (opened && pelk::network::netlib_libevents_subscribe(ctx.get(), ignore_event, id, nullptr))
            with_subscriber = g_live_bytes.load() - before;
    }
    const long long leaked = g_live_bytes.load() - before;
    if (!opened) {
        emit(error_row(row.id, figure, row.goal, "cannot open both modules"), opt);
        return 0;
    }
    row.value.median = row.value.q1 = row.value.q3 = static_cast<double>(held);
    row.note = fmt("%lld blocks; %lld B with one subscriber; %lld B left after close", blocks, with_subscriber, leaked);
    if (leaked != 0)
        row.ok = false;
    emit(row, opt);
    return 0;
}
