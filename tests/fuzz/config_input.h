// Decoding of the configuration fuzz target's input: a few bytes that script
// the fake host (which commands, ioctls and file steps fail, what the host
// name is), the interface name, then a configuration tree.
//
//   byte 0   bit k: the k-th /bin/ip or /bin/route command (not counting
//            route deletions) fails
//   byte 1   bits 0-1: /proc row that fails (bit 2 enables it); bit 3: the
//            flag read fails; bit 4: the flag write fails; bit 5: the MTU
//            write fails; bit 6: the DHCP client does not start; bit 7: the
//            rename fails
//   byte 2   bit 0: the temporary file cannot be opened; bit 1: its first
//            write fails; bits 2-3: host name (plain, 64 characters, lookup
//            fails, shell text); bits 4-5: default routes left to delete;
//            bits 6-7: link flags already set (none, up, up+running, 0x241)
//   byte 3   length L of the interface name (taken modulo 24), then L bytes
//   rest     the tree, one value:
//     op % 13: 0 empty, 1 bool, 2 int8, 3 uint8, 4 int16, 5 uint16, 6 int32,
//       7 uint32, 8 int64, 9 uint64 (little-endian bytes of that width),
//       10 text (length byte, raw bytes), 11 text from kTexts (index byte),
//       12 object (member count % 8, then per member a key and a value)
//     key: byte b < 0x80 names kKeys[b % size]; otherwise (b & 0x3f) raw bytes
// Reading past the end yields zero bytes, so every input decodes.
#ifndef NETLIB_FUZZ_CONFIG_INPUT_H
#define NETLIB_FUZZ_CONFIG_INPUT_H

#include <pelk/variant.h>

#include <cstdint>
#include <string>

namespace config_input
{

using pelk::variant::Variant;

// Deep enough to find recursion trouble, shallow enough for the stack of an
// instrumented build.
constexpr int kMaxDepth = 600;

const char* const kKeys[] = {"dhcp",    "status",      "statik",    "ip",  "netmask",    "routes",
                             "gateway", "dns",         "ns1",       "ns2", "fallbackIP", "fallbackNetmask",
                             "",        "dhcp/status", "statik/ip", "x"};

const char* const kTexts[] = {"192.168.1.20",
                              "255.255.255.0",
                              "10.0.0.1",
                              "10.0.0.1 10.0.0.2",
                              "  10.0.0.1   10.0.0.254 ",
                              "8.8.8.8",
                              "0.0.0.0",
                              "255.255.255.255",
                              "224.0.0.1",
                              "127.0.0.1",
                              "01.2.3.4",
                              "1.2.3.256",
                              "1.2.3.4.5",
                              "1.2.3.4\n",
                              "1.2.3.4\r\nnameserver 6.6.6.6",
                              "0x0a000001",
                              "012.1.1.1",
                              "$(reboot)",
                              "`reboot`",
                              "1.2.3.4;reboot",
                              "-rf",
                              "",
                              "   ",
                              "255.0.0.0",
                              "255.255.0.255",
                              "0.0.0.1",
                              "1.2.3.4\t5.6.7.8",
                              "\xff\xfe\x80"};

class Reader
{
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    unsigned long long bits(int bytes)
    {
        unsigned long long v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= static_cast<unsigned long long>(byte()) << (8 * i);
        return v;
    }
    std::string raw(std::size_t n)
    {
        std::string s;
        for (std::size_t i = 0; i < n && pos_ < size_; ++i)
            s += static_cast<char>(data_[pos_++]);
        return s;
    }
    bool done() const { return pos_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

struct Script {
    std::uint8_t exec_failures = 0;
    int proc_fail_row = -1;
    bool flags_read_fails = false, flags_write_fails = false, mtu_fails = false;
    bool daemon_fails = false, rename_fails = false;
    bool file_open_fails = false, file_write_fails = false;
    int hostname_mode = 0;
    int routes_to_delete = 0;
    int link_flags = 0;
    std::string iface;
};

inline Script read_script(Reader& r)
{
    Script s;
    s.exec_failures = r.byte();
    const std::uint8_t b1 = r.byte();
    s.proc_fail_row = (b1 & 4) ? (b1 & 3) : -1;
    s.flags_read_fails = b1 & 8;
    s.flags_write_fails = b1 & 16;
    s.mtu_fails = b1 & 32;
    s.daemon_fails = b1 & 64;
    s.rename_fails = b1 & 128;
    const std::uint8_t b2 = r.byte();
    s.file_open_fails = b2 & 1;
    s.file_write_fails = b2 & 2;
    s.hostname_mode = (b2 >> 2) & 3;
    s.routes_to_delete = (b2 >> 4) & 3;
    static const int flags[] = {0, 0x1, 0x41, 0x241};
    s.link_flags = flags[(b2 >> 6) & 3];
    s.iface = r.raw(r.byte() % 24);
    return s;
}

inline std::string read_key(Reader& r)
{
    const std::uint8_t b = r.byte();
    if (b < 0x80)
        return kKeys[b % (sizeof kKeys / sizeof kKeys[0])];
    return r.raw(b & 0x3f);
}

inline Variant read_value(Reader& r, int depth)
{
    Variant v;
    if (depth >= kMaxDepth || r.done())
        return v;
    switch (r.byte() % 13) {
        case 0:
            break;
        case 1:
            v = static_cast<bool>(r.byte() & 1);
            break;
        case 2:
            v = static_cast<signed char>(r.bits(1));
            break;
        case 3:
            v = static_cast<unsigned char>(r.bits(1));
            break;
        case 4:
            v = static_cast<short>(r.bits(2));
            break;
        case 5:
            v = static_cast<unsigned short>(r.bits(2));
            break;
        case 6:
            v = static_cast<int>(r.bits(4));
            break;
        case 7:
            v = static_cast<unsigned int>(r.bits(4));
            break;
        case 8:
            v = static_cast<long long>(r.bits(8));
            break;
        case 9:
            v = static_cast<unsigned long long>(r.bits(8));
            break;
        case 10:
            v = r.raw(r.byte());
            break;
        case 11:
            v = kTexts[r.byte() % (sizeof kTexts / sizeof kTexts[0])];
            break;
        default: {
            const int members = r.byte() % 8;
            for (int i = 0; i < members && !r.done(); ++i) {
                const std::string key = read_key(r);
                Variant child = read_value(r, depth + 1);
                v[key] = std::move(child);
            }
            if (!v.IsObject())
                v["x"];  // an object even when no member was decoded
            break;
        }
    }
    return v;
}

}  // namespace config_input

#endif
