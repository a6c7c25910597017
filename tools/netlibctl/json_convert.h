// Between JSON and the host's Variant: the start-up configuration file
// read into a Variant tree, and event payloads written out as JSON.
#ifndef NETLIBCTL_JSON_CONVERT_H
#define NETLIBCTL_JSON_CONVERT_H

#include <pelk/variant.h>

#include <nlohmann/json.hpp>
#include <string>

namespace netlibctl
{

// Reads a JSON object from path into config: objects become members (in
// file order), integers long long (unsigned long long above INT64_MAX),
// strings and booleans their own kind. Arrays, null and fractions have no
// place in the tree and are refused. On failure why says what is wrong.
bool read_config(const std::string& path, pelk::variant::Variant& config, std::string& why);

// The value as JSON: integers as numbers, objects in member order, an
// empty value as null.
nlohmann::ordered_json variant_to_json(const pelk::variant::Variant& value);

}  // namespace netlibctl

#endif
