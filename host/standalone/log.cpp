// logInternal of the standalone host: one line per message to stderr, syslog
// or a sink, and the controls of pelk/host.h.
#include <errno.h>
#include <pelk/host.h>
#include <pelk/log.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <string>

#include "io.h"
#include "text.h"

namespace
{

std::atomic<int> g_threshold{PELK_LOG_NOTICE};
std::atomic<bool> g_syslog{false};
std::atomic<pelk::host::LogSink> g_sink{nullptr};

char level_letter(int level)
{
    if (level <= 2)
        return 'C';
    switch (level) {
        case PELK_LOG_ERR:
            return 'E';
        case PELK_LOG_NOTICE:
            return 'N';
        case 5:
            return 'I';
        default:
            return 'D';
    }
}

int syslog_priority(int level)
{
    if (level <= 2)
        return LOG_CRIT;
    switch (level) {
        case PELK_LOG_ERR:
            return LOG_ERR;
        case PELK_LOG_NOTICE:
            return LOG_NOTICE;
        case 5:
            return LOG_INFO;
        default:
            return LOG_DEBUG;
    }
}

// strerror_r comes in a GNU flavour (returns the text) and an XSI one
// (fills the buffer); these overloads accept either.
[[maybe_unused]] const char* error_text(char* result, const char*)
{
    return result;
}

[[maybe_unused]] const char* error_text(int, const char* buffer)
{
    return buffer;
}

void append_error(std::string& line, int error_number)
{
    char buffer[128] = "";
    line += ": ";
    line += error_text(strerror_r(error_number, buffer, sizeof buffer), buffer);
}

// A message must stay on its line: embedded line breaks become spaces.
void append_message(std::string& line, const std::string& message)
{
    for (char c : message)
        line += (c == '\n' || c == '\r') ? ' ' : c;
}

void emit(int level, const std::string& line, std::string::size_type body_start)
{
    pelk::host::LogSink sink = g_sink.load();
    if (sink) {
        sink(level, line.data(), line.size());
        return;
    }
    if (g_syslog.load()) {
        // syslog adds its own time and level; the line's last byte is the newline.
        syslog(syslog_priority(level), "%.*s", static_cast<int>(line.size() - body_start - 1),
               line.c_str() + body_start);
        return;
    }
    // One write per line keeps lines of concurrent threads apart.
    (void)pelk::standalone::write_all(STDERR_FILENO, line.data(), line.size());  // nowhere left to say it failed
}

const char* or_dash(const char* text)
{
    return text && *text ? text : "-";
}

}  // namespace

namespace pelk
{
namespace host
{

void set_log_level(int threshold)
{
    g_threshold.store(threshold);
}

int log_level()
{
    return g_threshold.load();
}

void set_log_syslog(bool enabled)
{
    g_syslog.store(enabled);
}

void set_log_sink(LogSink sink)
{
    g_sink.store(sink);
}

}  // namespace host
}  // namespace pelk

// Line: "<letter><level> <module> <file>:<line> <function>: <message>[: <strerror>]"
int logInternal(const char* module, const char* file, const char* function, int line, int level, int error_number, int,
                const char* format, ...)
{
    if (level > g_threshold.load())
        return 0;
    const int saved_errno = errno;

    va_list ap;
    va_start(ap, format);
    std::string message = pelk::standalone::vformat(format, ap);
    va_end(ap);

    std::string text;
    text.reserve(128 + message.size());
    text += level_letter(level);
    text += std::to_string(level);
    text += ' ';
    std::string::size_type body_start = text.size();
    text += or_dash(module);
    text += ' ';
    text += or_dash(file);
    text += ':';
    text += std::to_string(line);
    text += ' ';
    text += or_dash(function);
    text += ": ";
    append_message(text, message);
    if (error_number != 0)
        append_error(text, error_number);
    text += '\n';
    emit(level, text, body_start);

    errno = saved_errno;
    return 0;
}
