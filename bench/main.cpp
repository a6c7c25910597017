// netlib_bench: the figures with goals in the performance table of docs/performance.md,
// measured in one run inside the throw-away device of tests/device-root.sh
// (the program starts itself there). The two sides of each ratio run one
// figure at a time, their repetitions in random interleaved order; the two
// sizes are measured here. It prints one table and writes it as JSON.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "bench.h"

// The heap figure counts through this program's allocation functions: the
// library, the host and the C++ runtime allocate through them (libstdc++'s
// array, nothrow and sized forms call these). Off while anything is timed.
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

namespace bench
{
namespace
{
using nlohmann::json;

struct Repetition {
    double order;  // place in the run order
    double ns;     // per operation
};
std::map<std::string, std::vector<Repetition>> g_repetitions;  // by benchmark name

struct Collector : benchmark::BenchmarkReporter {
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& reports) override
    {
        for (const Run& run : reports) {
            const std::string& name = run.run_name.function_name;
            if (run.error_occurred)
                g_failed[name.substr(0, name.find('/'))] = name + ": " + run.error_message;
            else if (run.run_type == Run::RT_Iteration)
                g_repetitions[name].push_back(
                    {run.counters.at("order"),
                     run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations) / run.counters.at("ops")});
        }
    }
};

struct Figure {
    const char* id;
    const char* title;
    double goal;
    bool ratio;  // else a size in bytes
};

const Figure kFigures[] = {
    {"iface_get_flags", "netlib_iface_get_flags(lo) / bare ioctl(SIOCGIFFLAGS)", 1.10, true},
    {"iface_get_address", "netlib_iface_get_address(lo) text / bare ioctl(SIOCGIFADDR) + inet_ntoa", 1.15, true},
    {"nl_event_callback", "nl_event_callback / libmnl walk + five-key std::map payload", 1.25, true},
    {"libevents_service", "netlib_libevents_service per datagram (AF_UNIX replay) / bare recv", 2.0, true},
    // Eleven payload members where an IPv4 address has six.
    {"ipv6_address_event", "netlib_libevents_service per IPv6 address datagram, opted in / bare recv", 3.0, true},
    {"exec_parent_size", "sysExecSimple(/bin/true) from 4 GiB resident / from 10 MiB", 1.2, true},
    {"exec_vs_spawn", "sysExecSimple(/bin/true) / bare posix_spawn + waitpid", 1.1, true},
    {"netm_configure_static", "netlib_netm_configure_static in a device root / bare spawner", 1.05, true},
    {"context_heap", "heap held by one context, both modules open, no event pending", 2048, false},
    {"armhf_size", "stripped libpelk_network_utils_core.so for armhf", 73728, false},
    // 64-bit code, and its writable segment 64 KiB-aligned in the file, as
    // kernels with 64 KiB pages need (some 32 KiB of the figure are padding).
    {"arm64_size", "stripped libpelk_network_utils_core.so for arm64", 147456, false},
};

std::string text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string text(const char* format, ...)
{
    char buffer[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

std::string time_text(double ns)
{
    return ns >= 1e6 ? text("%.2f ms", ns / 1e6) : ns >= 1e3 ? text("%.2f us", ns / 1e3) : text("%.0f ns", ns);
}

// Linear interpolation between the closest ranks.
double quantile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    const double pos = q * static_cast<double>(v.size() - 1);
    const std::size_t lo = static_cast<std::size_t>(pos);
    return v[lo] + (v[std::min(lo + 1, v.size() - 1)] - v[lo]) * (pos - static_cast<double>(lo));
}

// Each repetition against the other side's repetition that ran nearest to it
// in the interleaved order, so changes in the machine's load fall on both
// alike: one ratio per repetition of either side.
json ratio_row(const std::string& id)
{
    const std::vector<Repetition>& lib = g_repetitions[id + "/lib"];
    const std::vector<Repetition>& ref = g_repetitions[id + "/ref"];
    if (lib.empty() || ref.empty())
        return {{"error", "did not run"}};
    auto nearest_ns = [](const Repetition& r, const std::vector<Repetition>& others) {
        auto closer = [&r](const Repetition& a, const Repetition& b) {
            return std::fabs(a.order - r.order) < std::fabs(b.order - r.order);
        };
        return std::min_element(others.begin(), others.end(), closer)->ns;
    };
    std::vector<double> ratios, lib_ns, ref_ns;
    for (const Repetition& r : lib) {
        lib_ns.push_back(r.ns);
        ratios.push_back(r.ns / nearest_ns(r, ref));
    }
    for (const Repetition& r : ref) {
        ref_ns.push_back(r.ns);
        ratios.push_back(nearest_ns(r, lib) / r.ns);
    }
    const double lib_median = quantile(lib_ns, 0.5), ref_median = quantile(ref_ns, 0.5);
    json row = {{"median", quantile(ratios, 0.5)}, {"q1", quantile(ratios, 0.25)}, {"q3", quantile(ratios, 0.75)}};
    row.update({{"lib_ns", lib_median}, {"ref_ns", ref_median}});
    row["note"] = "lib " + time_text(lib_median) + ", ref " + time_text(ref_median) +
                  text(" per op; %zu + %zu repetitions", lib.size(), ref.size());
    return row;
}

// Heap held by one context with both modules open and no event pending.
json heap_row()
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
    const double held = static_cast<double>(g_bytes - before);
    context.reset();
    const long long left = g_bytes - before;
    g_counting = false;
    if (!opened)
        return {{"error", "cannot open both modules"}};
    if (left != 0)
        return {{"error", std::to_string(left) + " bytes still held after close"}};
    return {{"median", held}, {"note", "counted by replaced operator new/delete (usable sizes)"}};
}

// The size of LIB stripped by the cross toolchain of TRIPLE. The device's
// /tmp is its own, so a fixed name is safe.
json arm_size_row(const std::string& arch, const std::string& triple, const std::string& lib)
{
    if (lib.empty())
        return {{"note", "not measured: give --" + arch + "-lib PATH"}};
    const std::string stripped = "/tmp/netlib-bench-" + arch + ".so", strip = "/usr/bin/" + triple + "-strip";
    std::error_code error;
    const bool ok = run({strip.c_str(), "-o", stripped.c_str(), lib.c_str(), nullptr}) == 0;
    const double bytes = ok ? static_cast<double>(std::filesystem::file_size(stripped, error)) : 0;
    return ok && !error ? json{{"median", bytes}, {"note", triple + "-strip of " + lib}}
                        : json{{"error", triple + "-strip failed on " + lib}};
}

// Starts this program again inside tests/device-root.sh, the JSON file open
// on a descriptor (the device sees this tree read-only); 77 without root.
int enter_device(int argc, char** argv, const std::string& json_path)
{
    const std::string tree = NETLIB_SOURCE_DIR, script = tree + "/tests/device-root.sh";
    auto fail = [](const std::string& why, int code = 1) {
        std::cerr << "netlib_bench: " << why << "\n";
        return code;
    };
    char self[4096] = {}, cwd[4096] = "/";
    if (geteuid() != 0)
        return fail("needs root (it runs inside tests/device-root.sh)", 77);
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0 || std::string(self).rfind(tree + "/", 0) != 0)
        return fail("build inside " + tree + ": the device sees only that tree");
    const int json_fd = open(json_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (json_fd < 0)
        return fail("cannot write " + json_path);
    const std::string fd_text = std::to_string(json_fd);
    std::vector<const char*> args{script.c_str(),  self,     "--in-device",
                                  fd_text.c_str(), "--from", getcwd(cwd, sizeof cwd)};
    args.insert(args.end(), argv + 1, argv + argc);
    args.push_back(nullptr);
    // The script asks netlibctl where the library runs its programs from, and links the tools
    // PATH finds: on a merged /usr, /usr/sbin/ip links to /bin/ip, which in the device would loop.
    setenv("NETLIBCTL", NETLIB_NETLIBCTL, 0);
    setenv("PATH", "/usr/bin:/usr/sbin:/bin:/sbin", 1);
    execv(script.c_str(), const_cast<char* const*>(args.data()));
    return fail("cannot run " + script);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv)
{
    using namespace bench;
    CLI::App app{"netlib_bench: the library's costs against the bare system, as ratios measured in one run (root)"};
    int json_fd = -1;
    std::string armhf_lib, arm64_lib, json_path = "netlib_bench.json", from = "/";
    app.add_flag("--smoke", g_smoke, "run every figure briefly and judge none");
    app.add_option("--armhf-lib", armhf_lib, "an armhf libpelk_network_utils_core.so (in this tree) to measure");
    app.add_option("--arm64-lib", arm64_lib, "an arm64 libpelk_network_utils_core.so (in this tree) to measure");
    app.add_option("--json", json_path, "where to write the table as JSON")->capture_default_str();
    // Inside the device: the JSON file's descriptor, the directory the run started from.
    app.add_option("--in-device", json_fd)->group("");
    app.add_option("--from", from)->group("");
    CLI11_PARSE(app, argc, argv);
    if (json_fd < 0)
        return enter_device(argc, argv, json_path);
    fcntl(json_fd, F_SETFD, FD_CLOEXEC);
    if (chdir(from.c_str()) != 0)
        std::cerr << "netlib_bench: relative paths are taken from the device's root\n";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char* gb_argv[] = {argv[0], interleave};
    int gb_argc = 2;
    benchmark::Initialize(&gb_argc, gb_argv);

    const auto start = std::chrono::steady_clock::now();
    const json heap = heap_row();
    // The route deletes that find no route left complain on standard error.
    const int saved_stderr = dup(STDERR_FILENO);
    dup2(open("/dev/null", O_WRONLY | O_CLOEXEC), STDERR_FILENO);
    register_system();
    register_events();
    Collector collector;
    for (const Figure& f : kFigures)
        if (f.ratio && !g_failed.count(f.id))
            benchmark::RunSpecifiedBenchmarks(&collector, std::string("^") + f.id + "/");
    dup2(saved_stderr, STDERR_FILENO);

    bool good = true;
    json rows = json::array();
    std::printf("%-76s %-9s %-22s %-12s %s\n", "figure", "goal", "median [IQR]", "result", "detail");
    for (const Figure& f : kFigures) {
        const std::string id = f.id;
        json row = g_failed.count(id)   ? json{{"error", g_failed[id]}}
                   : f.ratio            ? ratio_row(id)
                   : id == "armhf_size" ? arm_size_row("armhf", "arm-linux-gnueabihf", armhf_lib)
                   : id == "arm64_size" ? arm_size_row("arm64", "aarch64-linux-gnu", arm64_lib)
                                        : heap;
        std::string result = row.contains("error") ? "error" : "not measured", shown = "-";
        if (row.contains("median")) {
            const double median = row["median"];
            result = g_smoke ? "ran" : median <= f.goal ? "pass" : "FAIL";
            shown = f.ratio ? text("%.3f [%.3f-%.3f]", median, row["q1"].get<double>(), row["q3"].get<double>())
                            : text("%.0f B", median);
        }
        good = good && result != "error" && result != "FAIL";
        const std::string goal = f.ratio ? text("<= %.2f", f.goal) : text("<= %.0f KiB", f.goal / 1024);
        std::printf("%-76s %-9s %-22s %-12s %s\n", f.title, goal.c_str(), shown.c_str(), result.c_str(),
                    row.value("note", row.value("error", "")).c_str());
        row.update({{"id", id}, {"figure", f.title}, {"goal", f.goal}, {"result", result}});
        rows.push_back(row);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("\n%s run: %.1f s on %ld CPUs; each repetition paired with the other side's nearest in time.\n",
                g_smoke ? "Smoke" : "Full", seconds, sysconf(_SC_NPROCESSORS_ONLN));
    const json doc = {{"mode", g_smoke ? "smoke" : "full"}, {"seconds", seconds}, {"figures", rows}};
    const std::string out = doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    const bool written = write(json_fd, out.data(), out.size()) == static_cast<ssize_t>(out.size());
    std::printf(written ? "Written to %s\n" : "Could not write %s\n", json_path.c_str());
    return good ? 0 : 1;
}
