#include "alloc_fail.h"

#include <atomic>
#include <cstddef>
#include <new>

namespace
{

std::atomic<int> skip_left{0};
std::atomic<int> fail_left{0};
std::atomic<long> calls{0};
std::atomic<long> failures{0};

// True when this nothrow allocation is to be refused.
bool take_failure()
{
    calls.fetch_add(1);
    if (fail_left.load() <= 0)
        return false;
    if (skip_left.load() > 0) {
        skip_left.fetch_sub(1);
        return false;
    }
    fail_left.fetch_sub(1);
    failures.fetch_add(1);
    return true;
}

}  // namespace

namespace alloc_fail
{

void fail_next_nothrow(int count, int skip)
{
    skip_left.store(skip);
    fail_left.store(count);
}

long nothrow_calls()
{
    return calls.load();
}

long nothrow_failures()
{
    return failures.load();
}

void reset()
{
    skip_left.store(0);
    fail_left.store(0);
    calls.store(0);
    failures.store(0);
}

}  // namespace alloc_fail

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (take_failure())
        return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    if (take_failure())
        return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}
