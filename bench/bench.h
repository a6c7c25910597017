// Shared pieces of netlib_bench: registration of a figure's two sides, a
// context with the library's modules open, a bare program runner.
#ifndef NETLIB_BENCH_H
#define NETLIB_BENCH_H

#include <benchmark/benchmark.h>
#include <pelk_network_utils_core.h>

#include <functional>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

namespace bench
{
inline bool g_smoke = false;                         // every figure briefly, nothing judged
inline std::map<std::string, std::string> g_failed;  // why a figure could not be measured, by id
inline long g_runs_done = 0;                         // repetitions finished: the interleaved order

// How both sides of a figure are timed.
struct Shape {
    double ops;       // operations per iteration
    int iterations;   // 0: as many as fill the minimum time (counted in the first repetition, kept after)
    int repetitions;  // of each side, interleaved with the other side's
    static Shape micro(double ops = 1) { return {ops, 0, 41}; }
    static Shape fixed(int iterations, int repetitions) { return {1, iterations, repetitions}; }
};

using Body = std::function<void(benchmark::State&)>;

// Registers side "lib" (the library) and side "ref" (what it is judged
// against) of figure id, timed by the wall clock: several sides wait for
// child processes or the kernel.
inline void add_pair(const std::string& id, const Body& lib, const Body& ref, Shape shape)
{
    for (const auto& [side, body] : {std::pair{"lib", lib}, std::pair{"ref", ref}}) {
        auto counted = [body = body, ops = shape.ops](benchmark::State& state) {
            body(state);
            state.counters["ops"] = ops;
            state.counters["order"] = static_cast<double>(++g_runs_done);
        };
        benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark((id + "/" + side).c_str(), counted);
        b->UseRealTime()->Repetitions(g_smoke ? 2 : shape.repetitions);
        if (shape.iterations > 0)
            b->Iterations(g_smoke ? 2 : shape.iterations);
        else
            b->MinTime(g_smoke ? 2e-3 : 0.03);
    }
}

// A side that times call() (true on success) once per iteration, each time
// after an untimed prepare() when one is given; any failure fails the figure.
template <typename Call, typename Prepare = std::nullptr_t>
Body timed(const char* failure, Call call, Prepare prepare = nullptr)
{
    return [=](benchmark::State& state) mutable {
        bool ok = true;
        for (auto _ : state) {
            if constexpr (!std::is_null_pointer_v<Prepare>) {
                state.PauseTiming();
                ok = prepare() && ok;
                state.ResumeTiming();
            }
            ok = call() && ok;
        }
        if (!ok)
            state.SkipWithError(failure);
    };
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

// Runs argv (null-terminated; argv[0] the program's path) through
// posix_spawn and waits for it: its exit status, or -1.
int run(const std::vector<const char*>& argv);

void register_system();  // inside the device root only
void register_events();

}  // namespace bench

#endif
