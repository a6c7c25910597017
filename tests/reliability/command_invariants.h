// What the configuration unit may hand to the outside world, whatever it was
// given: checks over everything the recording fake host saw. Shared by the
// hostile-input test and the configuration fuzz target, so both hold the
// library to the same rules:
//   - every interface name that reaches a command, the DHCP client or an
//     ioctl is usable (non-empty, under 16 bytes, no NUL) and arrives whole
//     as one argument;
//   - every address, netmask and gateway on a command line is one the
//     validators accept;
//   - commands have exactly their documented shapes (no extra argument can
//     be smuggled in);
//   - the resolver file is written only to /tmp/resolv.conf.<pid>.<8 alnum>,
//     one line per write, and renamed only from there to /etc/resolv.conf;
//   - /proc writes are the four kernel options, nothing else.
// Each check returns the problems found, as readable lines; none is good.
#ifndef NETLIB_COMMAND_INVARIANTS_H
#define NETLIB_COMMAND_INVARIANTS_H

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "fake_host.h"
#include "host_impl.h"

namespace invariants
{

using Problems = std::vector<std::string>;

inline std::string printable(const std::string& text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xf];
        }
    }
    return out;
}

inline bool usable_iface(const std::string& iface)
{
    return !iface.empty() && iface.size() < 16 && iface.find('\0') == std::string::npos;
}

inline std::string describe(const fake::ExecCall& e)
{
    std::string s = e.program;
    for (const auto& a : e.args)
        s += " [" + printable(a) + "]";
    return s;
}

// "ip" or "ip/netmask" as /bin/ip receives it.
inline bool address_argument_valid(const std::string& arg)
{
    const std::size_t slash = arg.find('/');
    const std::string ip = arg.substr(0, slash);
    if (!pelk::host_impl::ipv4_address_valid(ip, false, true))
        return false;
    return slash == std::string::npos || pelk::host_impl::ipv4_netmask_valid(arg.substr(slash + 1), false);
}

inline bool valid_gateway(const std::string& g)
{
    return pelk::host_impl::ipv4_address_valid(g, false, true);
}

inline void check_ip_command(const fake::ExecCall& e, const std::string& iface, Problems& out)
{
    const auto& a = e.args;
    if (a == std::vector<std::string>{"addr", "flush", "dev", iface})
        return;
    if (a.size() == 7 && a[0] == "addr" && a[1] == "add" && a[3] == "brd" && a[5] == "dev" && a[6] == iface) {
        if (!address_argument_valid(a[2]))
            out.push_back("refused address reached /bin/ip: " + describe(e));
        return;
    }
    out.push_back("unexpected /bin/ip command: " + describe(e));
}

inline void check_route_command(const fake::ExecCall& e, const std::string& iface, Problems& out)
{
    const auto& a = e.args;
    using V = std::vector<std::string>;
    if (a == V{"del", "default", "gw", "0.0.0.0", "dev", iface} || a == V{"add", "default", "dev", iface})
        return;
    if (a.size() == 6 && a[0] == "add" && a[1] == "default" && a[2] == "gw" && a[4] == "dev" && a[5] == iface) {
        if (!valid_gateway(a[3]))
            out.push_back("refused gateway reached /bin/route: " + describe(e));
        return;
    }
    if (a.size() == 5 && a[0] == "add" && a[1] == "-host" && a[3] == "dev" && a[4] == iface) {
        if (!valid_gateway(a[2]))
            out.push_back("refused gateway reached /bin/route: " + describe(e));
        return;
    }
    out.push_back("unexpected /bin/route command: " + describe(e));
}

// Commands and the DHCP client start for calls that all name `iface`.
inline void check_commands(const fake::Host& h, const std::string& iface, Problems& out)
{
    const bool usable = usable_iface(iface);
    for (const auto& e : h.execs) {
        if (!usable) {
            out.push_back("command ran for the refused interface \"" + printable(iface) + "\": " + describe(e));
            continue;
        }
        if (e.program == "/bin/ip")
            check_ip_command(e, iface, out);
        else if (e.program == "/bin/route")
            check_route_command(e, iface, out);
        else
            out.push_back("unexpected program: " + describe(e));
    }
    for (const auto& d : h.daemons) {
        const bool shape = d.program == "/bin/udhcpc" && d.count == 10 && d.args.size() == 10 && d.workdir_null &&
                           d.mask_null && d.pid_null && d.args[5] == "-i" && d.args[6] == iface &&
                           d.args[4].compare(0, 9, "hostname:") == 0 && d.args[4].size() <= 9 + 63;
        if (!usable || !shape)
            out.push_back("unexpected DHCP client start for \"" + printable(iface) + "\" (" +
                          std::to_string(d.args.size()) + " arguments)");
    }
    for (const auto& k : h.kills) {
        if (!usable || k.name != "udhcpc" || k.signal != 15)
            out.push_back("unexpected kill " + printable(k.name) + " " + std::to_string(k.signal));
    }
}

inline bool temporary_resolver_path(const std::string& path)
{
    const std::string prefix = "/tmp/resolv.conf.";
    if (path.compare(0, prefix.size(), prefix) != 0)
        return false;
    const std::size_t dot = path.find('.', prefix.size());
    if (dot == std::string::npos || dot == prefix.size())
        return false;
    for (std::size_t i = prefix.size(); i < dot; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(path[i])))
            return false;
    }
    const std::string random = path.substr(dot + 1);
    if (random.size() != 8)
        return false;
    for (unsigned char c : random) {
        if (!std::isalnum(c))
            return false;
    }
    return true;
}

// One resolver line: exactly one line feed, at the end, and no CR or NUL.
inline bool single_line(const std::string& text)
{
    return !text.empty() && text.back() == '\n' && text.find('\n') == text.size() - 1 &&
           text.find('\r') == std::string::npos && text.find('\0') == std::string::npos;
}

// File operations and renames. `renames` are the (from, to) pairs the
// rename hook saw.
inline void check_files(const fake::Host& h, const std::vector<std::pair<std::string, std::string>>& renames,
                        Problems& out)
{
    std::vector<std::string> opened;
    for (const auto& op : h.file_ops) {
        if (op.op == "init") {
            if (!temporary_resolver_path(op.path) || op.mode != 2 || op.flags != 0)
                out.push_back("file opened outside its place: \"" + printable(op.path) + "\"");
            opened.push_back(op.path);
        } else if (op.op == "write" && !single_line(op.text)) {
            out.push_back("resolver write is not one line: \"" + printable(op.text) + "\"");
        }
    }
    for (const auto& r : renames) {
        bool from_ours = false;
        for (const auto& p : opened)
            from_ours = from_ours || p == r.first;
        if (!from_ours || r.second != "/etc/resolv.conf")
            out.push_back("rename \"" + printable(r.first) + "\" -> \"" + printable(r.second) + "\"");
    }
}

inline void check_proc_writes(const fake::Host& h, Problems& out)
{
    static const std::pair<const char*, const char*> rows[] = {
        {"/proc/sys/net/ipv4/ip_forward", "1"},
        {"/proc/sys/net/ipv4/conf/all/forwarding", "1"},
        {"/proc/sys/net/ipv4/conf/all/arp_filter", "1"},
        {"/proc/sys/net/ipv4/tcp_ecn", "0"},
    };
    for (std::size_t i = 0; i < h.proc_writes.size(); ++i) {
        const auto& w = h.proc_writes[i];
        const std::size_t row = i % 4;
        if (w.path != rows[row].first || w.text != rows[row].second)
            out.push_back("unexpected /proc write " + printable(w.path) + " " + printable(w.text));
    }
}

// Names the ioctl seam saw (each as the 16-byte field held it).
inline void check_ioctl_names(const std::vector<std::string>& names, const std::string& iface, Problems& out)
{
    for (const auto& n : names) {
        if (!usable_iface(iface) || n != iface)
            out.push_back("ioctl for \"" + printable(n) + "\" while configuring \"" + printable(iface) + "\"");
    }
}

// Everything at once, for calls that all name `iface`.
inline Problems check_all(const fake::Host& h, const std::string& iface,
                          const std::vector<std::pair<std::string, std::string>>& renames,
                          const std::vector<std::string>& ioctl_names)
{
    Problems out;
    check_commands(h, iface, out);
    check_files(h, renames, out);
    check_proc_writes(h, out);
    if (!usable_iface(iface) && !h.proc_writes.empty())
        out.push_back("/proc written for the refused interface \"" + printable(iface) + "\"");
    check_ioctl_names(ioctl_names, iface, out);
    return out;
}

}  // namespace invariants

#endif
