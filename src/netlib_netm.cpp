// Network configuration: link bring-up, addresses, default routes, the
// resolver file, the DHCP client and its static fallback, the combined
// configuration entry points and start-up from a configuration tree.
#define NETLIB_UNIT "netlib_netm.cpp"
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pelk/log.h>
#include <pelk/utils.h>
#include <pelk/variant.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "netlib_config.h"
#include "netlib_private.h"

namespace
{

constexpr int kWantedLinkFlags = IFF_UP | IFF_RUNNING | IFF_ALLMULTI;  // 0x241
constexpr int kLinkMtu = 1500;

constexpr const char* kIpProgram = NETLIB_IP_PROGRAM;
constexpr const char* kRouteProgram = NETLIB_ROUTE_PROGRAM;
constexpr const char* kResolvConf = "/etc/resolv.conf";
constexpr const char* kResolvDir = "/etc";
// As the kernel's own bound on a chain of symbolic links.
constexpr int kMaxLinkHops = 40;
constexpr const char* kDhcpProgram = NETLIB_DHCP_PROGRAM;
constexpr const char* kDhcpProcess = "udhcpc";
constexpr const char* kDhcpHook = NETLIB_DHCP_HOOK;
constexpr int kStopSignal = 15;

// A command runner that keeps reporting success would otherwise keep the
// delete loop going for ever.
constexpr int kMaxRouteDeletes = 256;

// The DHCP client's host-name buffer holds at most 63 characters and NUL.
constexpr size_t kHostnameBytes = 64;

bool check(void* ctx)
{
    return netlib::guard_passes(ctx, &netlib_context::iface_state, NETLIB_HERE);
}

netlib_iface_state& state_of(void* ctx)
{
    return *static_cast<netlib_context*>(ctx)->iface_state;
}

// Empty names, names the kernel would cut and names with a NUL byte are
// refused; each caller logs the refusal under its own name.
bool usable_name(const std::string& iface)
{
    return !iface.empty() && netlib::iface_name_fits(iface);
}

// The unit's guard, then the name test; a refused name is logged under the
// operation's name.
bool guard_and_name(void* ctx, const std::string& iface, const netlib::call_site& site)
{
    if (!check(ctx))
        return false;
    if (!usable_name(iface)) {
        NETLIB_ERROR_AT(site, "invalid network interface");
        return false;
    }
    return true;
}

bool has_line_break_or_nul(const std::string& text)
{
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

void record(void* ctx, const std::string& iface, bool is_static, bool fallback)
{
    netlib_iface_state& s = state_of(ctx);
    s.static_fallback_connections[iface] = fallback;
    s.static_connections[iface] = is_static;
}

bool recorded(const std::map<std::string, bool>& records, const std::string& iface)
{
    auto it = records.find(iface);
    return it != records.end() && it->second;
}

// ---- addresses ----

bool parse_ipv4(const std::string& text, in_addr& out)
{
    return text.find('\0') == std::string::npos && inet_pton(AF_INET, text.c_str(), &out) == 1;
}

bool same_ipv4(const sockaddr* sa, const in_addr& want)
{
    if (sa == nullptr || sa->sa_family != AF_INET)
        return false;
    sockaddr_in have;
    std::memcpy(&have, sa, sizeof(have));
    return have.sin_addr.s_addr == want.s_addr;
}

// An IPv4 address's entry is named by its label, "eth0" or an alias such as
// "eth0:1"; the part before ':' names the interface.
bool label_of_iface(const char* label, const std::string& iface)
{
    if (label == nullptr)
        return false;
    const std::size_t length = std::strcspn(label, ":");
    return length == iface.size() && iface.compare(0, length, label, length) == 0;
}

// True when the interface already carries ip with netmask (empty: /32),
// under its own name or an alias label, so that re-applying the same address
// is not a failure.
bool iface_holds_address(const std::string& iface, const std::string& ip, const std::string& netmask)
{
    in_addr want_ip, want_mask;
    if (!parse_ipv4(ip, want_ip))
        return false;
    if (netmask.empty())
        want_mask.s_addr = INADDR_BROADCAST;
    else if (!parse_ipv4(netmask, want_mask))
        return false;

    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (const ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
        if (!label_of_iface(a->ifa_name, iface))
            continue;
        found = same_ipv4(a->ifa_addr, want_ip) && same_ipv4(a->ifa_netmask, want_mask);
    }
    freeifaddrs(list);
    return found;
}

std::vector<std::string> ip_addr_add_args(const std::string& iface, const std::string& ip, const std::string& netmask,
                                          const std::string& broadcast)
{
    return {"addr", "add", netmask.empty() ? ip : ip + "/" + netmask, "brd", broadcast.empty() ? "+" : broadcast,
            "dev",  iface};
}

// ---- routes ----

// The non-blank gateway tokens, trimmed, in order.
std::vector<std::string> gateway_tokens(const std::string& gateway)
{
    std::vector<std::string> tokens;
    pelk::utils::split(gateway, " ", tokens);
    std::vector<std::string> usable;
    for (std::string& token : tokens) {
        if (token.empty())
            continue;
        if (pelk::utils::trim(token).empty())
            continue;
        usable.push_back(token);
    }
    return usable;
}

// All gateways are checked before any route is deleted, so a typo does not
// cost the interface its default routes. A refusal reads as add_route's own.
bool gateways_valid(const std::vector<std::string>& tokens)
{
    for (const std::string& token : tokens) {
        if (!pelk::utils::ipv4_address_valid(token, false, true)) {
            const netlib::call_site as_add_route{NETLIB_UNIT, "add_route", __LINE__};
            NETLIB_ERROR_AT(as_add_route, "Invalid gateway '%s'", token.c_str());
            return false;
        }
    }
    return true;
}

int run_route(const std::vector<std::string>& args)
{
    return pelk::utils::sysExecSimple(kRouteProgram, args);
}

void delete_default_routes(const std::string& iface)
{
    const std::vector<std::string> args{"del", "default", "gw", "0.0.0.0", "dev", iface};
    for (int i = 0; i < kMaxRouteDeletes; ++i) {
        if (run_route(args) != 0)
            return;
    }
}

bool add_route(const std::string& iface, const std::string& gateway)
{
    if (!pelk::utils::ipv4_address_valid(gateway, false, true)) {
        NETLIB_ERROR("Invalid gateway '%s'", gateway.c_str());
        return false;
    }
    return run_route({"add", "default", "gw", gateway, "dev", iface}) == 0;
}

bool add_host_route(const std::string& iface, const std::string& gateway)
{
    return run_route({"add", "-host", gateway, "dev", iface}) == 0;
}

// ---- resolver ----

// The first entry that may not be written, or null. Blank entries are
// written as they are without a test.
const std::string* refused_nameserver(const std::vector<std::string>& nameservers)
{
    for (const std::string& entry : nameservers) {
        // A line break would let the entry add lines of its own to the file.
        if (has_line_break_or_nul(entry))
            return &entry;
        std::string trimmed = entry;
        if (pelk::utils::trim(trimmed).empty())
            continue;
        if (!pelk::utils::ipv4_address_valid(trimmed, false, false))
            return &entry;
    }
    return nullptr;
}

// Where the new resolver file goes. /etc/resolv.conf itself, regular or
// missing, is replaced from a temporary file in /tmp. A symbolic link is
// kept: the file it names is replaced from a temporary file beside that file.
struct resolver_file {
    std::string path;           // renamed over
    std::string directory;      // synced after the rename
    std::string temporary_dir;  // where the temporary file is written
    int error = 0;              // a link that cannot be followed; path is the one tried
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

int read_link(const std::string& path, std::string& target)
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

// Follows the chain of links that begins at file.path to its final file,
// whose directory must exist while the file itself need not yet (first
// boot). 0, or the errno with file.path the path tried.
int follow_links(resolver_file& file)
{
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        std::string target;
        const int error = read_link(file.path, target);
        if (error != 0)
            return error;
        file.path = target.front() == '/' ? target : join_path(directory_of(file.path), target);
        struct stat st;
        if (lstat(file.path.c_str(), &st) == 0) {
            if (S_ISLNK(st.st_mode))
                continue;
            if (S_ISDIR(st.st_mode))
                return EISDIR;
        } else if (errno != ENOENT) {
            return errno;
        }
        // Named by its real directory, so that messages and the temporary
        // file's name read plainly ("/run/resolv.conf", not "/etc/../run/...").
        char directory[PATH_MAX];
        if (realpath(directory_of(file.path).c_str(), directory) == nullptr)
            return errno;
        file.directory = directory;
        file.temporary_dir = directory;
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
    file.temporary_dir = "/tmp";
    struct stat st;
    if (lstat(kResolvConf, &st) != 0 || !S_ISLNK(st.st_mode))
        return file;
    const int error = follow_links(file);
    if (error != 0) {
        file.directory = kResolvDir;
        file.temporary_dir = "/tmp";
        file.error = error;
    }
    return file;
}

std::string temporary_resolver_path(const resolver_file& file)
{
    int pid = static_cast<int>(getpid());
    std::string random = pelk::utils::randomAlphaNumericString("", 8);
    if (file.temporary_dir == "/tmp")
        return pelk::utils::format("/tmp/resolv.conf.%d.%s", pid, random.c_str());
    const char* directory = file.temporary_dir == "/" ? "" : file.temporary_dir.c_str();
    return pelk::utils::format("%s/resolv.conf.%d.%s", directory, pid, random.c_str());
}

bool write_resolver_lines(pelk::utils::File& file, const std::vector<std::string>& nameservers,
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
    int flush()
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

// ---- DHCP client ----

// Reads the host name into buffer (kHostnameBytes bytes), cut to fit with
// its terminator: a legal 64-character name must not fail the DHCP start.
bool read_hostname(char* buffer)
{
    char whole[HOST_NAME_MAX + 2] = {};
    if (gethostname(whole, sizeof(whole) - 1) != 0)
        return false;
    const size_t length = strnlen(whole, kHostnameBytes - 1);
    std::memcpy(buffer, whole, length);
    buffer[length] = '\0';
    return true;
}

// ---- start-up ----

struct ProcOption {
    const char* path;
    const char* text;
};

constexpr ProcOption kIpv4Options[] = {
    {"/proc/sys/net/ipv4/ip_forward", "1"},
    {"/proc/sys/net/ipv4/conf/all/forwarding", "1"},
    {"/proc/sys/net/ipv4/conf/all/arp_filter", "1"},
    {"/proc/sys/net/ipv4/tcp_ecn", "0"},
};

bool configure_ipv4_opts()
{
    for (const ProcOption& option : kIpv4Options) {
        if (!writeProc(option.path, option.text)) {
            NETLIB_ERROR("Failed to write /proc file");
            return false;
        }
    }
    return true;
}

long long read_integer(const pelk::variant::Variant& config, const char* key, long long fallback)
{
    const pelk::variant::Variant* v = config.GetKeyChain(pelk::variant::VT_INTEGER, key, true);
    return v != nullptr ? static_cast<long long>(*v) : fallback;
}

std::string read_text(const pelk::variant::Variant& config, const char* key, const char* fallback)
{
    const pelk::variant::Variant* v = config.GetKeyChain(pelk::variant::VT_STRING, key, true);
    return v != nullptr ? static_cast<const std::string&>(*v) : std::string(fallback);
}

// Only the low 32 bits of a name server's status count.
bool status_enabled(long long status)
{
    return (static_cast<unsigned long long>(status) & 0xFFFFFFFFull) != 0;
}

struct StaticSettings {
    std::string ip, netmask, gateway;
    std::vector<std::string> nameservers;
    bool fallback = false;
};

StaticSettings read_static_settings(const pelk::variant::Variant& config)
{
    StaticSettings s;
    s.ip = read_text(config, "statik/ip", "192.168.1.20");
    s.netmask = read_text(config, "statik/netmask", "255.255.255.0");
    s.gateway = read_text(config, "routes/gateway", "");
    const std::string ns1 = read_text(config, "dns/ns1/ip", "");
    const std::string ns2 = read_text(config, "dns/ns2/ip", "");
    const bool ns1_on = status_enabled(read_integer(config, "dns/ns1/status", 0));
    const bool ns2_on = status_enabled(read_integer(config, "dns/ns2/status", 0));

    if (ns1_on && pelk::utils::ipv4_address_valid(ns1, true, false))
        s.nameservers.push_back(ns1);
    if (ns2_on && pelk::utils::ipv4_address_valid(ns2, true, false))
        s.nameservers.push_back(ns2);

    if (pelk::utils::ipv4_address_valid(s.ip, true, false) && pelk::utils::ipv4_netmask_valid(s.netmask, true))
        return s;
    s.ip = read_text(config, "dhcp/fallbackIP", "192.168.1.20");
    s.netmask = read_text(config, "dhcp/fallbackNetmask", "255.255.255.0");
    s.fallback = true;
    return s;
}

bool netlib_netm_configure_intf(void* ctx, const std::string& iface, const std::string& ip, const std::string& netmask,
                                const std::string& gateway, const std::vector<std::string>& nameservers,
                                const std::string& search, const std::string& broadcast, bool is_static, bool fallback)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    const bool address_set =
        fallback ? pelk::network::netlib_netm_configure_static_fallback(ctx, iface, ip, netmask, broadcast)
                 : pelk::network::netlib_netm_configure_ip_addr(ctx, iface, ip, netmask, broadcast);
    if (!address_set)
        return false;
    if (!pelk::network::netlib_netm_configure_routes(ctx, iface, gateway))
        return false;
    if (!pelk::network::netlib_netm_configure_dns(ctx, iface, nameservers, search))
        return false;
    record(ctx, iface, is_static, false);
    return true;
}
NETLIB_CONTAIN(false)

}  // namespace

namespace pelk
{
namespace network
{

// ---- link bring-up ----

bool netlib_netm_connect(void* ctx, const std::string& iface)
{
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    return netlib_iface_set_up(ctx, iface, true);
}

bool netlib_netm_disconnect(void* ctx, const std::string& iface)
{
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    return netlib_iface_set_up(ctx, iface, false);
}

bool netlib_netm_configure_interface(void* ctx, const std::string& iface)
{
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    int flags = 0;
    if (!netlib_iface_get_flags(ctx, iface, flags)) {
        NETLIB_ERROR("Failed to get \"%s\" flags", iface.c_str());
        return false;
    }
    const int wanted = flags | kWantedLinkFlags;
    if (wanted != flags && !netlib_iface_set_flags(ctx, iface, wanted)) {
        NETLIB_ERROR("Failed to turn on \"%s\"", iface.c_str());
        return false;
    }
    if (!netlib_iface_set_mtu(ctx, iface, kLinkMtu)) {
        NETLIB_ERROR("Failed to set MTU (%d) for \"%s\"", kLinkMtu, iface.c_str());
        return false;
    }
    return true;
}

// ---- addresses ----

bool netlib_netm_flush_iface(void* ctx, const std::string& iface)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    if (pelk::utils::sysExecSimple(kIpProgram, {"addr", "flush", "dev", iface}) != 0) {
        NETLIB_ERROR("Failed to flush interface \"%s\"", iface.c_str());
        return false;
    }
    return true;
}
NETLIB_CONTAIN(false)

bool netlib_netm_configure_ip_addr(void* ctx, const std::string& iface, const std::string& ip,
                                   const std::string& netmask, const std::string& broadcast)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    if (!pelk::utils::ipv4_address_valid(ip, false, true)) {
        NETLIB_ERROR("IP address is invalid or empty");
        return false;
    }
    if (!netmask.empty() && !pelk::utils::ipv4_netmask_valid(netmask, false)) {
        NETLIB_ERROR("subnet mask is invalid");
        return false;
    }
    if (pelk::utils::sysExecSimple(kIpProgram, ip_addr_add_args(iface, ip, netmask, broadcast)) == 0)
        return true;
    if (iface_holds_address(iface, ip, netmask))
        return true;
    NETLIB_ERROR("Failed to configure interface \"%s\"", iface.c_str());
    return false;
}
NETLIB_CONTAIN(false)

// ---- routes ----

bool netlib_netm_configure_routes(void* ctx, const std::string& iface, const std::string& gateway)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    const std::vector<std::string> tokens = gateway_tokens(gateway);
    if (!gateways_valid(tokens)) {
        NETLIB_ERROR("Failed to configure routes on interface \"%s\"", iface.c_str());
        return false;
    }
    delete_default_routes(iface);
    if (gateway.empty())
        return run_route({"add", "default", "dev", iface}) == 0;
    for (const std::string& token : tokens) {
        if (add_route(iface, token))
            continue;
        if (!add_host_route(iface, token) || !add_route(iface, token)) {
            NETLIB_ERROR("Failed to configure routes on interface \"%s\"", iface.c_str());
            return false;
        }
    }
    return true;
}
NETLIB_CONTAIN(false)

// ---- resolver ----

bool netlib_netm_configure_dns(void* ctx, const std::string& iface, const std::vector<std::string>& nameservers,
                               const std::string& search)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    if (const std::string* refused = refused_nameserver(nameservers)) {
        NETLIB_ERROR("Invalid nameserver '%s'", refused->c_str());
        return false;
    }
    if (has_line_break_or_nul(search)) {
        NETLIB_ERROR("Invalid search domain '%s'", search.c_str());
        return false;
    }
    // The new content is written beside its destination and renamed over
    // it, so readers see either the old file or the whole new one.
    const resolver_file target = locate_resolver_file();
    const std::string path = temporary_resolver_path(target);
    pelk::utils::File file;
    if (!file.Initialize(path, pelk::utils::FILE_OPEN_WRITE, 0)) {
        NETLIB_ERROR("Failed to open config file \"%s\"", kResolvConf);
        return false;
    }
    temporary_file temporary(path);
    if (!write_resolver_lines(file, nameservers, search)) {
        NETLIB_ERROR("Failed to write data to config file \"%s\"", kResolvConf);
        return false;
    }
    flush_descriptor durable(path);
    file.Close();
    if (durable.flush() != 0) {
        NETLIB_ERROR("Failed to write data to config file \"%s\"", kResolvConf);
        return false;
    }
    int error = target.error;
    if (error == 0 && std::rename(path.c_str(), target.path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        NETLIB_ERROR_ERRNO(error, "Failed to move DNS config from \"%s\" to \"%s\"", path.c_str(), target.path.c_str());
        return false;
    }
    temporary.keep();
    sync_directory(target.directory);
    return true;
}
NETLIB_CONTAIN(false)

// ---- DHCP client and static fallback ----

bool netlib_netm_configure_dhcp(void* ctx, const std::string& iface)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    pelk::utils::kill_process_by_name(kDhcpProcess, kStopSignal);
    char hostname[kHostnameBytes] = {};
    if (!read_hostname(hostname)) {
        NETLIB_ERROR("Failed to get hostname");
        return false;
    }
    const std::string hostname_option = std::string("hostname:") + hostname;
    const int started =
        pelk::utils::runDaemon(nullptr, nullptr, nullptr, kDhcpProgram, 10, "--retries", "9", "-b", "-x",
                               hostname_option.c_str(), "-i", iface.c_str(), "-S", "-s", kDhcpHook);
    if (started == 0) {
        NETLIB_ERROR("Failed to start udhcpc");
        return false;
    }
    record(ctx, iface, false, false);
    return true;
}
NETLIB_CONTAIN(false)

bool netlib_netm_configure_static_fallback(void* ctx, const std::string& iface, const std::string& ip,
                                           const std::string& netmask, const std::string& broadcast)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    if (!netlib_netm_configure_ip_addr(ctx, iface, ip, netmask, broadcast))
        return false;
    record(ctx, iface, false, true);
    return true;
}
NETLIB_CONTAIN(false)

bool netlib_netm_is_static_connection(void* ctx, const std::string& iface)
{
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    return recorded(state_of(ctx).static_connections, iface);
}

bool netlib_netm_is_static_fallback_connection(void* ctx, const std::string& iface)
{
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    return recorded(state_of(ctx).static_fallback_connections, iface);
}

// ---- configuration entry points ----

bool netlib_netm_configure_dhcp(void* ctx, const std::string& iface, const std::string& ip, const std::string& netmask,
                                const std::string& gateway, const std::vector<std::string>& nameservers,
                                const std::string& search, const std::string& broadcast, bool fallback)
{
    return netlib_netm_configure_intf(ctx, iface, ip, netmask, gateway, nameservers, search, broadcast, false,
                                      fallback);
}

bool netlib_netm_configure_static(void* ctx, const std::string& iface, const std::string& ip,
                                  const std::string& netmask, const std::string& gateway,
                                  const std::vector<std::string>& nameservers, const std::string& search,
                                  const std::string& broadcast, bool fallback)
{
    return netlib_netm_configure_intf(ctx, iface, ip, netmask, gateway, nameservers, search, broadcast, true, fallback);
}

// ---- start-up ----

bool netlib_netm_init_network(void* ctx, const std::string& iface, const pelk::variant::Variant& config)
try {
    if (!guard_and_name(ctx, iface, NETLIB_HERE))
        return false;
    if (!configure_ipv4_opts())
        return false;
    if (!netlib_netm_configure_interface(ctx, iface))
        return false;
    pelk::utils::kill_process_by_name(kDhcpProcess, kStopSignal);
    netlib_netm_flush_iface(ctx, iface);
    if (read_integer(config, "dhcp/status", 1) == 1)
        return netlib_netm_configure_dhcp(ctx, iface);
    const StaticSettings s = read_static_settings(config);
    return netlib_netm_configure_static(ctx, iface, s.ip, s.netmask, s.gateway, s.nameservers, "", "", s.fallback);
}
NETLIB_CONTAIN(false)

}  // namespace network
}  // namespace pelk
