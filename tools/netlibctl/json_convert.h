// Between JSON and the host's Variant: the start-up configuration file
// read into a Variant tree, and event payloads written out as JSON.
#ifndef NETLIBCTL_JSON_CONVERT_H
#define NETLIBCTL_JSON_CONVERT_H

#include <pelk/variant.h>

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

namespace netlibctl
{

// Bounds on a configuration file, whatever it is (a regular file, a FIFO,
// a character device): a file may come from a web interface, a
// provisioning server or a half-written flash page, and must not exhaust
// the device. Depth counts objects: the top-level object is level 1, the
// value of one of its members level 2, and so on.
constexpr std::size_t kConfigMaxBytes = std::size_t{1024} * 1024;
constexpr std::size_t kConfigMaxDepth = 32;

// Reads a JSON object from path into config: objects become members (in
// file order), integers long long (unsigned long long above INT64_MAX),
// true and false the integers 1 and 0, strings texts. Arrays, null and
// fractions have no place in the tree and are refused. A file larger than
// kConfigMaxBytes is refused after reading one byte past the bound, an
// object deeper than kConfigMaxDepth as soon as the parser reaches it.
// Every command that reads a configuration file reads it through here. On
// failure why is one line saying what is wrong (and where, as a path of
// keys such as "/dns/ns1/status"), and config is empty.
bool read_config(const std::string& path, pelk::variant::Variant& config, std::string& why);

// The value as JSON: integers as numbers, objects in member order, an
// empty value as null.
nlohmann::ordered_json variant_to_json(const pelk::variant::Variant& value);

// One line of JSON. Bytes that are not UTF-8 (the kernel allows them in an
// interface name) become U+FFFD instead of failing the output.
std::string json_text(const nlohmann::ordered_json& value);

}  // namespace netlibctl

#endif
