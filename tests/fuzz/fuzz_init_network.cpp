// Fuzz target: start-up from a configuration tree, netlib_netm_init_network,
// against the recording fake host. Nothing real is run or changed: commands,
// the DHCP client, /proc writes and file writes are recorded by the fake
// host; ioctls, getifaddrs, gethostname and rename go to the seam. The input
// (see config_input.h) scripts those results, names the interface and
// builds the tree. After each call everything the library handed out is
// checked against command_invariants.h.
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "command_invariants.h"
#include "config_input.h"
#include "fake_host.h"
#include "fuzz_check.h"
#include "pelk_network_utils_core.h"
#include "syscall_shim.h"

namespace
{

struct Seen {
    std::vector<std::string> ioctl_names;
    std::vector<std::pair<std::string, std::string>> renames;
};

int fake_ioctl(const config_input::Script& s, Seen& seen, unsigned long request, void* arg)
{
    ifreq* req = static_cast<ifreq*>(arg);
    seen.ioctl_names.emplace_back(req->ifr_name, strnlen(req->ifr_name, IFNAMSIZ));
    bool fails = true;
    if (request == SIOCGIFFLAGS) {
        fails = s.flags_read_fails;
        if (!fails)
            req->ifr_flags = static_cast<short>(s.link_flags);
    } else if (request == SIOCSIFFLAGS) {
        fails = s.flags_write_fails;
    } else if (request == SIOCSIFMTU) {
        fails = s.mtu_fails || req->ifr_mtu != 1500;
    }
    if (fails) {
        errno = ENODEV;
        return -1;
    }
    return 0;
}

int fake_hostname(int mode, char* name, size_t len)
{
    std::string text;
    switch (mode) {
        case 0:
            text = "fuzzbox";
            break;
        case 1:
            text.assign(64, 'h');  // the longest name Linux allows
            break;
        case 2:
            errno = EPERM;
            return -1;
        default:
            text = "box;reboot $(id)";
            break;
    }
    if (text.size() >= len) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(name, text.c_str(), text.size() + 1);
    return 0;
}

void script_host(const config_input::Script& s, Seen& seen)
{
    fake::Host& h = fake::host();
    h.reset();
    h.exec_hook = [s, deletes = 0, others = 0](const fake::ExecCall& call) mutable {
        if (call.program == "/bin/route" && !call.args.empty() && call.args[0] == "del")
            return deletes++ < s.routes_to_delete ? 0 : 1;
        const int k = others++;
        return k < 8 && (s.exec_failures >> k & 1) ? 1 : 0;
    };
    h.proc_hook = [s, row = 0](const fake::ProcWrite&) mutable { return row++ == s.proc_fail_row ? 0 : 1; };
    h.daemon_result = s.daemon_fails ? 0 : 1;
    h.file_init_result = !s.file_open_fails;
    h.file_write_fail_at = s.file_write_fails ? 0 : -1;

    shim::reset();
    shim::ioctl_hook = [&s, &seen](int, unsigned long request, void* arg) { return fake_ioctl(s, seen, request, arg); };
    shim::getifaddrs_hook = [](ifaddrs** out) {
        *out = nullptr;
        return 0;
    };
    shim::gethostname_hook = [mode = s.hostname_mode](char* name, size_t len) {
        return fake_hostname(mode, name, len);
    };
    shim::rename_hook = [&s, &seen](const char* from, const char* to) {
        seen.renames.emplace_back(from, to);
        if (s.rename_fails) {
            errno = EXDEV;
            return -1;
        }
        return 0;
    };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    config_input::Reader reader(data, size);
    const config_input::Script script = config_input::read_script(reader);
    const pelk::variant::Variant tree = config_input::read_value(reader, 0);

    // A fresh module per input: records of earlier inputs do not pile up.
    netlib_context ctx{};
    ctx.front_end_marker = 1;
    shim::reset();
    FUZZ_CHECK(pelk::network::netlib_libiface_init(&ctx), "interface module init");

    Seen seen;
    script_host(script, seen);
    const bool result = pelk::network::netlib_netm_init_network(&ctx, script.iface, tree);
    shim::reset();

    const fake::Host& h = fake::host();
    const std::string name = invariants::printable(script.iface);
    for (const std::string& problem : invariants::check_all(h, script.iface, seen.renames, seen.ioctl_names))
        FUZZ_CHECK(false, problem);
    if (!invariants::usable_iface(script.iface)) {
        FUZZ_CHECK(!result, "refused interface \"" + name + "\" configured");
        FUZZ_CHECK(h.logs.size() == 1 && h.logs[0].text == "invalid network interface", "refusal of \"" + name + "\"");
    }
    if (result) {
        // Success means the chosen path ran to its end: the client started,
        // or the resolver file was moved into place.
        const bool dhcp_started = !h.daemons.empty();
        const bool resolver_moved = !seen.renames.empty() && !script.rename_fails;
        FUZZ_CHECK(dhcp_started != resolver_moved, "success without its last step");
        FUZZ_CHECK(pelk::network::netlib_netm_is_static_connection(&ctx, script.iface) == resolver_moved,
                   "static record");
        FUZZ_CHECK(!pelk::network::netlib_netm_is_static_fallback_connection(&ctx, script.iface), "fallback record");
    } else {
        // Every failure is logged where it is found; the one silent case is
        // the device route of a configuration without a gateway.
        const bool silent_route =
            !h.execs.empty() && h.execs.back().args == std::vector<std::string>{"add", "default", "dev", script.iface};
        FUZZ_CHECK(!h.logs.empty() || silent_route, "failure of \"" + name + "\" without a log line");
    }
    FUZZ_CHECK(pelk::network::netlib_libiface_close(&ctx), "interface module close");
    fake::host().reset();
    return 0;
}
