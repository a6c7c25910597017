// Paired measurements for the benchmark programs: the library's call and the
// bare peer are timed in the same process, batch against batch, alternating
// which side goes first, so that drift in clock speed, cache state or
// machine load falls on both sides alike. Each round yields one ratio; a
// figure is the median of the rounds, its spread the interquartile range.
//
// Every program prints its figures as tab-separated ROW lines that
// scripts/bench turns into one table and one JSON file.
#ifndef NETLIB_BENCH_HARNESS_H
#define NETLIB_BENCH_HARNESS_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bench
{

using Clock = std::chrono::steady_clock;

inline double elapsed_ns(Clock::time_point start)
{
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// Mean cost of one call over a batch of n calls, in nanoseconds.
template <typename F>
double per_call_ns(F& call, int n)
{
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < n; ++i)
        call();
    benchmark::ClobberMemory();
    return elapsed_ns(start) / n;
}

// Median cost of single calls in a batch of n: for calls of a millisecond
// or more, where one preempted call would spoil a batch's mean.
template <typename F>
double median_call_ns(F& call, int n)
{
    std::vector<double> t;
    t.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const Clock::time_point start = Clock::now();
        call();
        t.push_back(elapsed_ns(start));
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

struct Summary {
    double median = NAN;
    double q1 = NAN;  // lower quartile
    double q3 = NAN;  // upper quartile
};

inline double quantile(std::vector<double> values, double q)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const double pos = q * static_cast<double>(values.size() - 1);
    const std::size_t lo = static_cast<std::size_t>(pos);
    const std::size_t hi = std::min(lo + 1, values.size() - 1);
    const double frac = pos - static_cast<double>(lo);
    return values[lo] + (values[hi] - values[lo]) * frac;
}

inline Summary summarize(const std::vector<double>& values)
{
    return Summary{quantile(values, 0.5), quantile(values, 0.25), quantile(values, 0.75)};
}

struct Paired {
    std::vector<double> lib_ns;  // per call, one value per round
    std::vector<double> bare_ns;
    std::vector<double> ratio;  // lib / bare of the same round
};

// Rounds of `batch` calls of each side. Odd rounds run the bare side first.
// A round's figure is the batch's mean, or with median_of_calls the median
// of its single calls.
// `prepare` (if given) runs untimed before every batch, e.g. to refill a
// socket the batch will read from.
template <typename Lib, typename Bare, typename Prepare>
Paired paired(Lib lib, Bare bare, Prepare prepare, int batch, int rounds, int warmup_rounds = 2,
              bool median_of_calls = false)
{
    auto timed = [&](auto& call) { return median_of_calls ? median_call_ns(call, batch) : per_call_ns(call, batch); };
    Paired p;
    for (int r = -warmup_rounds; r < rounds; ++r) {
        double t_lib, t_bare;
        if (r % 2 == 0) {
            prepare();
            t_lib = timed(lib);
            prepare();
            t_bare = timed(bare);
        } else {
            prepare();
            t_bare = timed(bare);
            prepare();
            t_lib = timed(lib);
        }
        if (r < 0)
            continue;
        p.lib_ns.push_back(t_lib);
        p.bare_ns.push_back(t_bare);
        p.ratio.push_back(t_lib / t_bare);
    }
    return p;
}

template <typename Lib, typename Bare>
Paired paired(Lib lib, Bare bare, int batch, int rounds, int warmup_rounds = 2)
{
    return paired(
        lib, bare, [] {}, batch, rounds, warmup_rounds);
}

// Shared command line: --smoke runs every figure briefly and judges nothing.
struct Options {
    bool smoke = false;
    std::vector<std::string> rest;  // arguments a program reads itself

    static Options parse(int argc, char** argv)
    {
        Options o;
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--smoke") == 0)
                o.smoke = true;
            else
                o.rest.emplace_back(argv[i]);
        }
        return o;
    }
    // n in a full run, a small count in a smoke run.
    int scale(int full, int smoke_value) const { return smoke ? smoke_value : full; }
};

inline std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string fmt(const char* format, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

// Readable duration from nanoseconds.
inline std::string duration_text(double ns)
{
    if (ns >= 1e6)
        return fmt("%.2f ms", ns / 1e6);
    if (ns >= 1e3)
        return fmt("%.2f us", ns / 1e3);
    return fmt("%.0f ns", ns);
}

// One figure. goal is NAN for a figure reported without a goal; otherwise
// the figure passes when its median is at most the goal. In a smoke run the
// verdict is "smoke": it proves the figure can be measured, nothing more.
struct Row {
    std::string id;
    std::string figure;
    double goal = NAN;
    Summary value;
    std::string unit;  // "x" for ratios
    std::string note;
    bool ok = true;  // false: the measurement itself failed (see note)
};

inline void emit(const Row& row, const Options& opt)
{
    std::string verdict;
    if (!row.ok)
        verdict = "error";
    else if (opt.smoke)
        verdict = "smoke";
    else if (std::isnan(row.goal))
        verdict = "info";
    else
        verdict = row.value.median <= row.goal ? "pass" : "FAIL";
    std::string note = row.note;
    std::replace(note.begin(), note.end(), '\t', ' ');
    std::printf("ROW\t%s\t%s\t%.6g\t%.6g\t%.6g\t%.6g\t%s\t%s\t%s\n", row.id.c_str(), row.figure.c_str(), row.goal,
                row.value.median, row.value.q1, row.value.q3, row.unit.c_str(), verdict.c_str(), note.c_str());
    std::fflush(stdout);
}

inline Row ratio_row(const std::string& id, const std::string& figure, double goal, const Paired& p)
{
    Row row;
    row.id = id;
    row.figure = figure;
    row.goal = goal;
    row.value = summarize(p.ratio);
    row.unit = "x";
    row.note = fmt("lib %s, bare %s per call; %zu rounds", duration_text(summarize(p.lib_ns).median).c_str(),
                   duration_text(summarize(p.bare_ns).median).c_str(), p.ratio.size());
    return row;
}

inline Row error_row(const std::string& id, const std::string& figure, double goal, const std::string& why)
{
    Row row;
    row.id = id;
    row.figure = figure;
    row.goal = goal;
    row.ok = false;
    row.note = why;
    return row;
}

}  // namespace bench

#endif
