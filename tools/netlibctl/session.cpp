// The session every netlibctl command runs in: a marked context, the modules
// it opened, the log threshold for expected failures, the error line.
#include "session.h"

#include <net/if.h>
#include <pelk/host.h>
#include <pelk/log.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace netlibctl
{
namespace
{
int g_output_error = 0;  // the first failure to write standard output
}

void complain(const std::string& text)
{
    std::fprintf(stderr, "netlibctl: %s\n", text.c_str());
}

bool flush_output()
{
    if (g_output_error != 0)
        return false;
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        g_output_error = errno != 0 ? errno : EIO;
    return g_output_error == 0;
}

int output_error()
{
    return g_output_error;
}

namespace
{
// Levenshtein distance, one row at a time.
std::size_t edit_distance(const std::string& a, const std::string& b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}
}  // namespace

std::vector<std::string> nearest(const std::string& word, const std::vector<std::string>& candidates)
{
    constexpr std::size_t kMaxDistance = 2, kMaxShown = 3;
    std::vector<std::pair<std::size_t, std::string>> near;
    for (const std::string& candidate : candidates) {
        const std::size_t d = edit_distance(word, candidate);
        if (d <= kMaxDistance && candidate != word)
            near.emplace_back(d, candidate);
    }
    std::stable_sort(near.begin(), near.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> names;
    for (std::size_t i = 0; i < near.size() && i < kMaxShown; ++i)
        names.push_back(near[i].second);
    return names;
}

void name_missing_interface(const std::string& iface)
{
    if (iface.empty() || if_nametoindex(iface.c_str()) != 0)
        return;
    std::vector<std::string> known;
    if (struct if_nameindex* list = if_nameindex()) {
        for (struct if_nameindex* i = list; i->if_index != 0; ++i)
            known.emplace_back(i->if_name);
        if_freenameindex(list);
    }
    std::string hint;
    for (const std::string& name : nearest(iface, known))
        hint += (hint.empty() ? " (did you mean " : " or ") + name;
    complain("no interface named \"" + iface + "\"" + (hint.empty() ? "" : hint + "?)"));
}

ExpectedFailures::ExpectedFailures() : saved_threshold_(pelk::host::log_level())
{
    pelk::host::set_log_level(std::min(saved_threshold_, PELK_LOG_ERR - 1));
}

ExpectedFailures::~ExpectedFailures()
{
    pelk::host::set_log_level(saved_threshold_);
}

Session::Session() : ctx_{}
{
    ctx_.front_end_marker = 1;
}

Session::~Session()
{
    if (events_open_)
        pelk::network::netlib_libevents_close(&ctx_);
    if (iface_open_)
        pelk::network::netlib_libiface_close(&ctx_);
}

bool Session::open()
{
    iface_open_ = pelk::network::netlib_libiface_init(&ctx_);
    return iface_open_;
}

bool Session::open_events()
{
    events_open_ = pelk::network::netlib_libevents_init(&ctx_);
    return events_open_;
}

}  // namespace netlibctl
