// Allocation-failure seam for the test binaries: replaces the global nothrow
// operator new (single and array forms) with one that returns nullptr while
// a test asks for it, so the library's "allocation failed" paths can be run.
// All other allocations, and nothrow ones outside a requested window, go
// through the ordinary throwing operator new (and so stay compatible with
// sanitizer runtimes that replace operator delete).
#ifndef NETLIB_ALLOC_FAIL_H
#define NETLIB_ALLOC_FAIL_H

namespace alloc_fail
{

// The next `count` nothrow allocations return nullptr, after letting `skip`
// of them succeed first.
void fail_next_nothrow(int count, int skip = 0);

// Nothrow allocations made since the last reset (failed ones included).
long nothrow_calls();

// Nothrow allocations refused since the last reset.
long nothrow_failures();

// Stops failing and clears the counters.
void reset();

}  // namespace alloc_fail

#endif
