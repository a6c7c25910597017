// The start-up configuration read from JSON into a Variant within bounds, and
// event payloads written out as JSON.
#include "json_convert.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace netlibctl
{
namespace
{

using Json = nlohmann::ordered_json;
using pelk::variant::Variant;

// A key may be as long as the file; a message shows this much of each.
constexpr std::size_t kShownKeyBytes = 64;
// And this much of the parser's own message.
constexpr std::size_t kShownMessageBytes = 256;

// Appends text so that the line stays one line: control characters become
// \u00XX, and text longer than limit is cut at a character boundary and
// ends in "...".
void append_printable(std::string& line, const std::string& text, std::size_t limit)
{
    std::size_t end = text.size();
    bool cut = false;
    if (end > limit) {
        end = limit;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;
        cut = true;
    }
    for (std::size_t i = 0; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned int>(c));
            line += escaped;
        } else {
            line += static_cast<char>(c);
        }
    }
    if (cut)
        line += "...";
}

// Builds the Variant tree while the parser reads the file, one event at a
// time. Only the objects still open are remembered, each with the key being
// read in it, and no more than kConfigMaxDepth of them; a key path is put
// together only for a message.
class TreeBuilder : public nlohmann::json_sax<Json>
{
public:
    explicit TreeBuilder(Variant& root) : root_(root) { open_.reserve(kConfigMaxDepth); }

    const std::string& why() const { return why_; }

    bool null() override { return refuse_value("null values are not supported"); }
    // What a person writing the file means by true and false in an integer
    // setting such as "dhcp/status" or "dns/ns1/status".
    bool boolean(bool value) override { return store(static_cast<long long>(value ? 1 : 0)); }
    bool number_integer(number_integer_t value) override { return store(static_cast<long long>(value)); }
    bool number_unsigned(number_unsigned_t value) override
    {
        if (value > static_cast<number_unsigned_t>(INT64_MAX))
            return store(static_cast<unsigned long long>(value));
        return store(static_cast<long long>(value));
    }
    bool number_float(number_float_t, const string_t&) override
    {
        return refuse_value("numbers with a fraction are not supported");
    }
    bool string(string_t& value) override { return store(value); }
    bool binary(binary_t&) override { return refuse_value("binary values are not supported"); }
    bool start_object(std::size_t) override;
    bool key(string_t& name) override
    {
        open_.back().key = name;
        return true;
    }
    bool end_object() override
    {
        open_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override { return refuse_value("array values are not supported"); }
    // Never reached: an array is refused where it starts.
    bool end_array() override { return false; }
    bool parse_error(std::size_t, const std::string& last_token, const Json::exception& error) override;

private:
    struct OpenObject {
        Variant* value;  // stays valid: its parent gains no member while it is open
        std::string key;
    };

    // The member being read in the innermost open object.
    Variant& member()
    {
        OpenObject& innermost = open_.back();
        return (*innermost.value)[innermost.key];
    }

    template <typename T>
    bool store(const T& value)
    {
        if (open_.empty())
            return refuse_value("");
        member() = value;
        return true;
    }

    bool refuse_value(const char* what)
    {
        if (open_.empty())
            why_ = "the top level is not an object";
        else
            why_ = std::string(what) + " (at " + where() + ")";
        return false;
    }

    // "/dns/ns1/status": the keys from the top level to the member being read.
    std::string where() const
    {
        std::string path;
        for (const OpenObject& object : open_) {
            path += '/';
            append_printable(path, object.key, kShownKeyBytes);
        }
        return path;
    }

    Variant& root_;
    std::vector<OpenObject> open_;
    std::string why_;
};

bool TreeBuilder::start_object(std::size_t)
{
    if (open_.empty()) {
        open_.push_back({&root_, std::string()});
        return true;
    }
    // The new object would be at level open_.size() + 1.
    if (open_.size() >= kConfigMaxDepth) {
        why_ = "objects nested more than " + std::to_string(kConfigMaxDepth) + " levels deep (at " + where() + ")";
        return false;
    }
    Variant& value = member();
    value = Variant();  // a key given twice: the later object replaces the earlier value
    open_.push_back({&value, std::string()});
    return true;
}

bool TreeBuilder::parse_error(std::size_t, const std::string& last_token, const Json::exception& error)
{
    std::string text = error.what();
    // "[json.exception.parse_error.101] " names the exception, not the fault.
    if (text.compare(0, 1, "[") == 0) {
        const auto end = text.find("] ");
        if (end != std::string::npos)
            text.erase(0, end + 2);
    }
    // The token read last may be most of the file and hold bytes that are
    // not text; the line and column already say where.
    const std::string token = "; last read: '" + last_token + "'";
    const auto at = text.find(token);
    if (at != std::string::npos)
        text.erase(at, token.size());
    append_printable(why_, text, kShownMessageBytes);  // the first fault: the parser stops at it
    return false;
}

enum class ReadResult { complete, failed, too_large };

// Reads the whole of path, but never more than limit + 1 bytes: anything
// may be named as the file, /dev/zero included.
ReadResult read_bounded(const std::string& path, std::size_t limit, std::string& text, std::string& why)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        why = std::strerror(errno);
        return ReadResult::failed;
    }
    ReadResult result = ReadResult::complete;
    char buffer[16384];
    for (;;) {
        const std::size_t wanted = limit + 1 - text.size();
        const ssize_t n = read(fd, buffer, wanted < sizeof buffer ? wanted : sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            why = std::strerror(errno);
            result = ReadResult::failed;
            break;
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > limit) {
            result = ReadResult::too_large;
            break;
        }
    }
    close(fd);
    return result;
}

}  // namespace

bool read_config(const std::string& path, Variant& config, std::string& why)
{
    config = Variant();
    std::string text;
    switch (read_bounded(path, kConfigMaxBytes, text, why)) {
        case ReadResult::failed:
            return false;
        case ReadResult::too_large:
            why = "configuration file too large (more than " + std::to_string(kConfigMaxBytes) + " bytes)";
            return false;
        case ReadResult::complete:
            break;
    }
    // Editors on other systems begin UTF-8 files with a byte order mark.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    if (text.empty()) {
        why = "the file is empty";
        return false;
    }
    TreeBuilder builder(config);
    if (!Json::sax_parse(text, &builder)) {
        why = builder.why().empty() ? "not a configuration object" : builder.why();
        config = Variant();
        return false;
    }
    return true;
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

std::string json_text(const Json& value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace netlibctl
