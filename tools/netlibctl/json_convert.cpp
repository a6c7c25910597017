#include "json_convert.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace netlibctl
{
namespace
{

using Json = nlohmann::ordered_json;
using pelk::variant::Variant;

bool to_variant(const Json& json, const std::string& where, Variant& out, std::string& why);

bool object_to_variant(const Json& json, const std::string& where, Variant& out, std::string& why)
{
    out = Variant();
    for (const auto& item : json.items()) {
        Variant member;
        if (!to_variant(item.value(), where + "/" + item.key(), member, why))
            return false;
        // Built apart and moved in: a reference into the object would not
        // survive the insertion of the next member.
        out[item.key()] = std::move(member);
    }
    // An empty object stays an empty value, which every key lookup treats
    // as absent, as it would an empty object.
    return true;
}

bool to_variant(const Json& json, const std::string& where, Variant& out, std::string& why)
{
    switch (json.type()) {
        case Json::value_t::object:
            return object_to_variant(json, where, out, why);
        case Json::value_t::string:
            out = json.get_ref<const std::string&>();
            return true;
        case Json::value_t::boolean:
            out = json.get<bool>();
            return true;
        case Json::value_t::number_integer:
            out = static_cast<long long>(json.get<std::int64_t>());
            return true;
        case Json::value_t::number_unsigned: {
            std::uint64_t value = json.get<std::uint64_t>();
            if (value > static_cast<std::uint64_t>(INT64_MAX))
                out = static_cast<unsigned long long>(value);
            else
                out = static_cast<long long>(value);
            return true;
        }
        case Json::value_t::number_float:
            why = "numbers with a fraction are not supported (at " + where + ")";
            return false;
        default:
            why = std::string(json.type_name()) + " values are not supported (at " + where + ")";
            return false;
    }
}

bool read_text_file(const std::string& path, std::string& text, std::string& why)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return true;
}

// nlohmann's messages begin with "[json.exception.parse_error.101] ".
std::string parse_error_text(const std::exception& e)
{
    std::string text = e.what();
    if (!text.empty() && text[0] == '[') {
        auto end = text.find("] ");
        if (end != std::string::npos)
            text.erase(0, end + 2);
    }
    return text;
}

}  // namespace

bool read_config(const std::string& path, Variant& config, std::string& why)
{
    std::string text;
    if (!read_text_file(path, text, why))
        return false;
    Json json;
    try {
        json = Json::parse(text);
    } catch (const Json::exception& e) {
        why = parse_error_text(e);
        return false;
    }
    if (!json.is_object()) {
        why = "the top level is not an object";
        return false;
    }
    return to_variant(json, "", config, why);
}

Json variant_to_json(const Variant& value)
{
    if (value.IsBool())
        return value.AsBool();
    if (value.IsInteger()) {
        if (value.IsSigned())
            return value.AsInt64();
        return value.AsUInt64();
    }
    if (value.IsString())
        return value.AsString();
    if (value.IsObject()) {
        Json object = Json::object();
        for (std::size_t i = 0; i < value.Size(); ++i)
            object[value.KeyAt(i)] = variant_to_json(value.ValueAt(i));
        return object;
    }
    return nullptr;
}

}  // namespace netlibctl
