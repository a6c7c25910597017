// Shared pieces of netlib_bench: run settings, registration of a figure's
// two sides, a context with the library's modules open, a bare spawner.
#ifndef NETLIB_BENCH_H
#define NETLIB_BENCH_H

#include <benchmark/benchmark.h>
#include <pelk_network_utils_core.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace bench
{

// A full run, or a smoke run: every benchmark briefly, nothing judged.
struct Settings {
    bool smoke = false;
    int repetitions(int full) const { return smoke ? 2 : full; }
    benchmark::IterationCount iterations(benchmark::IterationCount full) const { return smoke ? 2 : full; }
    // Sub-millisecond calls: as many iterations as fill the minimum time
    // (counted in the first repetition, kept for the others).
    void micro(benchmark::internal::Benchmark* b) const
    {
        b->Repetitions(repetitions(41))->MinTime(smoke ? 2e-3 : 0.03);
    }
};

// Why a figure could not be measured, by figure id.
inline std::map<std::string, std::string> g_failed;

// Repetitions finished in this process: each one's place in the interleaved
// order, so the report can pair it with the other side's nearest one.
inline long g_runs_done = 0;

// Registers side "lib" (the library) or "ref" (what it is judged against)
// of figure id, timed by the wall clock: several sides wait for child
// processes or the kernel. ops: operations per iteration.
template <typename F>
benchmark::internal::Benchmark* add(const std::string& id, const char* side, F body, double ops = 1)
{
    auto run = [body, ops](benchmark::State& state) {
        body(state);
        state.counters["ops"] = ops;
        state.counters["order"] = static_cast<double>(++g_runs_done);
    };
    return benchmark::RegisterBenchmark((id + "/" + side).c_str(), run)->UseRealTime();
}

// A host's context block; the modules opened on it are closed at the end.
struct Context {
    netlib_context block{};
    Context() { block.front_end_marker = 1; }
    ~Context()
    {
        pelk::network::netlib_libevents_close(&block);
        pelk::network::netlib_libiface_close(&block);
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
};

// posix_spawn of argv (null-terminated; argv[0] the program's path): the
// process id, or -1. out_fd, unless -1, becomes its standard output.
pid_t spawn(const std::vector<const char*>& argv, int out_fd = -1);
int wait_for(pid_t pid);  // its exit status, or -1

void register_iface(const Settings& settings);
void register_events(const Settings& settings);
void register_exec(const Settings& settings);
void register_netm(const Settings& settings);  // inside the device root only

// Heap bytes held by one context with both modules open, as the allocator
// sized the blocks; false with the reason in note when it cannot be told.
bool measure_context_heap(double& bytes, std::string& note);

}  // namespace bench

#endif
