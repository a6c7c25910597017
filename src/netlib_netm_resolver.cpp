// netlib_netm, the resolver file: /etc/resolv.conf replaced whole by a
// flushed temporary file renamed over it (or over the file a symbolic link
// there names), the directory synced after.
#define NETLIB_UNIT "netlib_netm_resolver.cpp"
#include <fcntl.h>
#include <pelk/utils.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "netlib_config.h"
#include "netlib_ipv6.h"
#include "netlib_netm.h"

namespace
{

constexpr const char* kResolvConf = "/etc/resolv.conf";
constexpr const char* kResolvDir = "/etc";
constexpr const char* kTemporaryDir = "/tmp";
// As the kernel's own bound on a chain of symbolic links.
constexpr int kMaxLinkHops = 40;

bool has_line_break_or_nul(const std::string& text)
{
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// An IPv6 server as a resolver file takes it: a link-local one names its
// interface ("fe80::1%eth0"), which no other may.
bool ipv6_server_valid(const std::string& text)
{
    const std::string::size_type percent = text.find('%');
    in6_addr address{};
    if (!netlib::ipv6::parse_unicast(text.substr(0, percent), address))
        return false;
    if (!netlib::ipv6::is_link_local(address))
        return percent == std::string::npos;
    if (percent == std::string::npos)
        return false;
    const std::string scope = text.substr(percent + 1);
    return !scope.empty() && netlib::iface_name_fits(scope) && scope.find_first_of(" \t/%") == std::string::npos;
}

// The first entry that may not be written, or null. Blank entries are
// written as they are without a test. dual: IPv6 servers are taken too.
const std::string* refused_nameserver(const std::vector<std::string>& nameservers, bool dual)
{
    for (const std::string& entry : nameservers) {
        // A line break would let the entry add lines of its own to the file.
        if (has_line_break_or_nul(entry))
            return &entry;
        std::string trimmed = entry;
        if (pelk::utils::trim(trimmed).empty())
            continue;
        if (!pelk::utils::ipv4_address_valid(trimmed, false, false) && !(dual && ipv6_server_valid(trimmed)))
            return &entry;
    }
    return nullptr;
}

// Where the new resolver file goes. /etc/resolv.conf itself, regular or
// missing, is replaced from a temporary file in /tmp when the rename can
// take it from there, else from one in /etc. A symbolic link is kept: the
// file it names is replaced from a temporary file beside that file.
struct resolver_file {
    std::string path;           // renamed over
    std::string directory;      // synced after the rename
    std::string temporary_dir;  // where the temporary file is written
    int error = 0;              // nothing may be replaced; path is the one tried
};

std::string directory_of(const std::string& path)
{
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string join_path(const std::string& directory, const std::string& name)
{
    return directory == "/" ? "/" + name : directory + "/" + name;
}

[[nodiscard]] int read_link(const std::string& path, std::string& target)
{
    char buffer[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
    if (length < 0)
        return errno;
    if (static_cast<std::size_t>(length) >= sizeof buffer)
        return ENAMETOOLONG;
    if (length == 0)
        return ENOENT;
    target.assign(buffer, static_cast<std::size_t>(length));
    return 0;
}

// Only a regular file is ever replaced: a device node, FIFO or socket that
// a link names (/etc/resolv.conf -> /dev/null switches resolution off) must
// stay what it is.
[[nodiscard]] int replaceable(mode_t mode)
{
    if (S_ISREG(mode))
        return 0;
    return S_ISDIR(mode) ? EISDIR : ENOTSUP;
}

// The kernel's rule for links in shared directories, which it cannot apply
// to a chain the library reads itself: in a sticky, world-writable
// directory (/tmp) a link is followed only when it belongs to the caller or
// to the directory's owner, so another user cannot plant one there that
// makes root replace a file of its choosing.
[[nodiscard]] int may_follow(const std::string& link)
{
    struct stat own, directory;
    if (lstat(link.c_str(), &own) != 0 || stat(directory_of(link).c_str(), &directory) != 0)
        return errno;
    const bool shared = (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
    if (shared && own.st_uid != geteuid() && own.st_uid != directory.st_uid)
        return EACCES;
    return 0;
}

// Follows the chain of links that begins at file.path to its final file,
// which must be a regular file or not exist yet (first boot) in a directory
// that exists. 0, or the errno with file.path the path tried.
[[nodiscard]] int follow_links(resolver_file& file)
{
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        std::string target;
        int error = may_follow(file.path);
        if (error == 0)
            error = read_link(file.path, target);
        if (error != 0)
            return error;
        file.path = target.front() == '/' ? target : join_path(directory_of(file.path), target);
        struct stat st;
        if (lstat(file.path.c_str(), &st) == 0) {
            if (S_ISLNK(st.st_mode))
                continue;
            if (const int refused = replaceable(st.st_mode))
                return refused;
        } else if (errno != ENOENT) {
            return errno;
        }
        // Named by its real directory, so that messages and the temporary
        // file's name read plainly ("/run/resolv.conf", not "/etc/../run/...").
        char directory[PATH_MAX];
        if (realpath(directory_of(file.path).c_str(), directory) == nullptr)
            return errno;
        file.directory = directory;
        file.path = join_path(file.directory, file.path.substr(file.path.find_last_of('/') + 1));
        return 0;
    }
    return ELOOP;
}

resolver_file locate_resolver_file()
{
    resolver_file file;
    file.path = kResolvConf;
    file.directory = kResolvDir;
    file.temporary_dir = kTemporaryDir;
    struct stat st;
    if (lstat(kResolvConf, &st) != 0)
        st.st_mode = S_IFREG;  // missing: created by the rename
    if (S_ISLNK(st.st_mode)) {
        file.error = follow_links(file);
        if (file.error == 0)
            file.temporary_dir = file.directory;
        else
            file.directory = kResolvDir;
        return file;
    }
    file.error = replaceable(st.st_mode);
    return file;
}

std::string temporary_resolver_path(const std::string& temporary_dir)
{
    int pid = static_cast<int>(getpid());
    std::string random = pelk::utils::randomAlphaNumericString("", 8);
    if (temporary_dir == kTemporaryDir)
        return pelk::utils::format("/tmp/resolv.conf.%d.%s", pid, random.c_str());
    const char* directory = temporary_dir == "/" ? "" : temporary_dir.c_str();
    return pelk::utils::format("%s/resolv.conf.%d.%s", directory, pid, random.c_str());
}

[[nodiscard]] bool write_resolver_lines(pelk::utils::File& file, const std::vector<std::string>& nameservers,
                                        const std::string& search)
{
    if (!search.empty() && !file.WriteString("search " + search + "\n"))
        return false;
    for (const std::string& entry : nameservers) {
        if (!file.WriteString("nameserver " + entry + "\n"))
            return false;
    }
    return true;
}

// The host's File::Close may or may not flush, and its result may say
// nothing, so the library flushes the file itself through a read-only
// descriptor of its own. It is opened before Close: the kernel reports a
// write-back error once to every descriptor open when it happened, so this
// one learns of it even after Close's own fsync has been told.
class flush_descriptor
{
public:
    explicit flush_descriptor(const std::string& path)
    {
        do
            fd_ = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        while (fd_ < 0 && errno == EINTR);
        error_ = fd_ < 0 ? errno : 0;
    }
    ~flush_descriptor()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    flush_descriptor(const flush_descriptor&) = delete;
    flush_descriptor& operator=(const flush_descriptor&) = delete;

    // 0, or the errno of the open or of the fsync.
    [[nodiscard]] int flush()
    {
        if (error_ == 0 && fsync(fd_) != 0)
            error_ = errno;
        return error_;
    }

private:
    int fd_;
    int error_;
};

// The rename is durable across power loss only once the directory entry
// reaches storage; a failure here changes nothing already done.
void sync_directory(const std::string& directory)
{
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

// Removes the temporary file on every way out, exceptions included, unless
// it was renamed into place.
class temporary_file
{
public:
    explicit temporary_file(const std::string& path) : path_(path) {}
    ~temporary_file()
    {
        if (!kept_)
            unlink(path_.c_str());
    }
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    void keep() { kept_ = true; }

private:
    const std::string& path_;
    bool kept_ = false;
};

struct resolver_content {
    const std::vector<std::string>& nameservers;
    const std::string& search;
};

enum class move_result { done, failed, across_mounts };

// The writing steps log as the operation they work for.
constexpr netlib::call_site kConfigureDns{NETLIB_UNIT, "netlib_netm_configure_dns", __LINE__};

// Writes the content to a new, flushed temporary file in directory and
// renames it over the resolver file, so that readers see either the old file
// or the whole new one. Every failure has logged its line and removed the
// temporary file; a rename refused across mounts is left to the caller when
// quiet_across_mounts is set.
move_result write_and_move(const resolver_file& target, const std::string& directory, const resolver_content& content,
                           bool quiet_across_mounts)
{
    const std::string path = temporary_resolver_path(directory);
    // Armed before the file exists: the host may fail after creating it.
    temporary_file temporary(path);
    pelk::utils::File file;
    if (!file.Initialize(path, pelk::utils::FILE_OPEN_WRITE, 0)) {
        NETLIB_ERROR_AT(kConfigureDns, "Failed to open config file \"%s\"", kResolvConf);
        return move_result::failed;
    }
    if (!write_resolver_lines(file, content.nameservers, content.search)) {
        NETLIB_ERROR_AT(kConfigureDns, "Failed to write data to config file \"%s\"", kResolvConf);
        return move_result::failed;
    }
    flush_descriptor durable(path);
    file.Close();
    if (durable.flush() != 0) {
        NETLIB_ERROR_AT(kConfigureDns, "Failed to write data to config file \"%s\"", kResolvConf);
        return move_result::failed;
    }
    if (std::rename(path.c_str(), target.path.c_str()) != 0) {
        const int error = errno;
        if (error == EXDEV && quiet_across_mounts)
            return move_result::across_mounts;
        NETLIB_LOG_AT(kConfigureDns, PELK_LOG_ERR, error, "Failed to move DNS config from \"%s\" to \"%s\"",
                      path.c_str(), target.path.c_str());
        return move_result::failed;
    }
    temporary.keep();
    return move_result::done;
}

[[nodiscard]] bool configure_resolver(void* ctx, const std::string& iface, const std::vector<std::string>& nameservers,
                                      const std::string& search, bool dual, const netlib::call_site& site)
{
    if (!netlib::netm::guard_and_name(ctx, iface, site) ||
        !netlib::netm::resolver_texts_valid(nameservers, search, dual))
        return false;
    const resolver_file target = locate_resolver_file();
    if (target.error != 0) {
        NETLIB_LOG_AT(kConfigureDns, PELK_LOG_ERR, target.error, "Failed to move DNS config from \"%s\" to \"%s\"",
                      temporary_resolver_path(target.temporary_dir).c_str(), target.path.c_str());
        return false;
    }
    const resolver_content content{nameservers, search};
    // A /tmp of its own (a tmpfs, a bind mount) cannot be renamed from: then
    // the file is written again beside its destination. Trying is the only
    // check that is right on every kernel.
    const bool elsewhere = target.temporary_dir != target.directory;
    move_result result = write_and_move(target, target.temporary_dir, content, elsewhere);
    if (result == move_result::across_mounts)
        result = write_and_move(target, target.directory, content, false);
    if (result != move_result::done)
        return false;
    sync_directory(target.directory);
    return true;
}

}  // namespace

namespace netlib
{
namespace netm
{

bool resolver_texts_valid(const std::vector<std::string>& nameservers, const std::string& search, bool dual)
{
    if (const std::string* refused = refused_nameserver(nameservers, dual)) {
        NETLIB_ERROR_AT(kConfigureDns, "Invalid nameserver '%s'", refused->c_str());
        return false;
    }
    if (has_line_break_or_nul(search)) {
        NETLIB_ERROR_AT(kConfigureDns, "Invalid search domain '%s'", search.c_str());
        return false;
    }
    return true;
}

}  // namespace netm
}  // namespace netlib

namespace pelk
{
namespace network
{

bool netlib_netm_configure_dns(void* ctx, const std::string& iface, const std::vector<std::string>& nameservers,
                               const std::string& search)
try {
    return configure_resolver(ctx, iface, nameservers, search, false, NETLIB_HERE);
}
NETLIB_CONTAIN(false)

bool netlib_netm_configure_dns_dual(void* ctx, const std::string& iface, const std::vector<std::string>& nameservers,
                                    const std::string& search)
try {
    return configure_resolver(ctx, iface, nameservers, search, true, NETLIB_HERE);
}
NETLIB_CONTAIN(false)

}  // namespace network
}  // namespace pelk
