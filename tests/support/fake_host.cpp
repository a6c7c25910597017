#include "fake_host.h"

#include <fcntl.h>
#include <pelk/log.h>
#include <pelk/utils.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "host_impl.h"

namespace fake
{

Host& host()
{
    static Host instance;
    return instance;
}

void Host::reset()
{
    *this = Host();
}

std::vector<std::string> Host::log_texts() const
{
    std::vector<std::string> out;
    for (const auto& l : logs)
        out.push_back(std::to_string(l.level) + " " + l.function + ": " + l.text);
    return out;
}

std::string join_for_journal(const std::string& first, const std::vector<std::string>& rest)
{
    std::string s = first;
    for (const auto& a : rest)
        s += " " + a;
    return s;
}

std::vector<std::string> Host::exec_lines() const
{
    std::vector<std::string> out;
    for (const auto& e : execs)
        out.push_back(join_for_journal(e.program, e.args));
    return out;
}

}  // namespace fake

using fake::host;

namespace
{
// Calls from several threads (the concurrency test) are recorded one at a
// time; recursive because a scripted hook may call back into the host.
std::recursive_mutex& record_mutex()
{
    static std::recursive_mutex m;
    return m;
}
}  // namespace

#define FAKE_HOST_LOCK std::lock_guard<std::recursive_mutex> fake_host_lock(record_mutex())

int logInternal(const char* module, const char* file, const char* function, int line, int level, int error_number,
                int reserved, const char* format, ...)
{
    FAKE_HOST_LOCK;
    fake::LogLine l;
    l.module = module ? module : "(null)";
    l.file = file ? file : "(null)";
    l.function = function ? function : "(null)";
    l.line = line;
    l.level = level;
    l.error_number = error_number;
    l.reserved = reserved;
    va_list ap;
    va_start(ap, format);
    l.text = pelk::host_impl::vformat(format, ap);
    va_end(ap);
    host().journal.push_back("log " + std::to_string(level) + " " + l.function + " " + l.text);
    host().logs.push_back(l);
    return 0;
}

int writeProc(const std::string& path, const std::string& text)
{
    FAKE_HOST_LOCK;
    fake::ProcWrite w{path, text};
    host().proc_writes.push_back(w);
    host().journal.push_back("proc " + path + " " + text);
    return host().proc_hook ? host().proc_hook(w) : 1;
}

namespace pelk
{
namespace utils
{

int sysExecSimple(const char* program, const std::vector<std::string>& args)
{
    FAKE_HOST_LOCK;
    fake::ExecCall c{program ? program : "(null)", args};
    host().execs.push_back(c);
    host().journal.push_back("exec " + fake::join_for_journal(c.program, args));
    auto& h = host();
    if (!h.exec_results.empty()) {
        int r = h.exec_results.front();
        h.exec_results.pop_front();
        return r;
    }
    if (h.exec_hook)
        return h.exec_hook(c);
    return h.exec_default;
}

int runDaemon(const std::string* workdir, const sigset_t* mask, int* pid, const std::string& program, int count, ...)
{
    FAKE_HOST_LOCK;
    fake::DaemonCall d;
    d.workdir_null = workdir == nullptr;
    d.mask_null = mask == nullptr;
    d.pid_null = pid == nullptr;
    d.program = program;
    d.count = count;
    va_list ap;
    va_start(ap, count);
    for (int i = 0; i < count; ++i) {
        const char* a = va_arg(ap, const char*);
        d.args.push_back(a ? a : "(null)");
    }
    va_end(ap);
    host().daemons.push_back(d);
    host().journal.push_back("daemon " + fake::join_for_journal(program, d.args));
    return host().daemon_result;
}

int kill_process_by_name(const std::string& name, int signal)
{
    FAKE_HOST_LOCK;
    host().kills.push_back({name, signal});
    host().journal.push_back("kill " + name + " " + std::to_string(signal));
    return 0;
}

bool ipv4_address_valid(const std::string& text, bool unicast_only, bool nonzero)
{
    FAKE_HOST_LOCK;
    fake::ValidateCall c{"ipv4_address_valid", text, unicast_only, nonzero};
    host().validations.push_back(c);
    if (host().validate_hook)
        return host().validate_hook(c);
    return pelk::host_impl::ipv4_address_valid(text, unicast_only, nonzero);
}

bool ipv4_netmask_valid(const std::string& text, bool nonzero)
{
    FAKE_HOST_LOCK;
    fake::ValidateCall c{"ipv4_netmask_valid", text, nonzero, false};
    host().validations.push_back(c);
    if (host().validate_hook)
        return host().validate_hook(c);
    return pelk::host_impl::ipv4_netmask_valid(text, nonzero);
}

void split(const std::string& text, const std::string& separator, std::vector<std::string>& out)
{
    pelk::host_impl::split(text, separator, out);
}

std::string& trim(std::string& text)
{
    return pelk::host_impl::trim(text);
}

std::string format(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string s = pelk::host_impl::vformat(fmt, ap);
    va_end(ap);
    return s;
}

std::string randomAlphaNumericString(const std::string&, unsigned int length)
{
    FAKE_HOST_LOCK;
    const std::string& r = host().random_text;
    if (!r.empty())
        return r.substr(0, length);
    static unsigned int counter = 0;
    std::string s;
    unsigned int v = ++counter;
    for (unsigned int i = 0; i < length; ++i, v /= 26)
        s += static_cast<char>('a' + v % 26);
    return s;
}

File::File() : fd_(-1) {}

File::~File()
{
    FAKE_HOST_LOCK;
    host().file_ops.push_back({"destroy", "", -1, 0, ""});
    if (fd_ >= 0)
        ::close(fd_);
}

int File::Initialize(const std::string& path, FILE_OPEN_MODE mode, unsigned int flags)
{
    FAKE_HOST_LOCK;
    host().file_ops.push_back({"init", path, static_cast<int>(mode), flags, ""});
    host().journal.push_back("file-init " + path);
    if (!host().file_init_result)
        return 0;
    if (host().file_passthrough) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        return fd_ >= 0;
    }
    fd_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    return fd_ >= 0;
}

int File::WriteString(const std::string& text)
{
    FAKE_HOST_LOCK;
    int index = 0;
    for (const auto& op : host().file_ops)
        index += op.op == "write";
    host().file_ops.push_back({"write", "", -1, 0, text});
    host().journal.push_back("file-write " + text);
    if (index == host().file_write_fail_at || fd_ < 0)
        return 0;
    return ::write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int File::Close()
{
    FAKE_HOST_LOCK;
    host().file_ops.push_back({"close", "", -1, 0, ""});
    host().journal.push_back("file-close");
    if (fd_ < 0)
        return 0;
    int r = ::close(fd_);
    fd_ = -1;
    return r == 0;
}

}  // namespace utils
}  // namespace pelk
