// pelk::variant::Variant of the standalone host: a scalar, a text or an object
// of named members, copied, compared and destroyed without recursion.
#include <pelk/variant.h>

#include <cstring>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

namespace pelk
{
namespace variant
{

namespace
{

// Event payloads carry five or six keys: room for six lives inside the
// object itself, so building a payload costs one allocation, not two.
constexpr std::size_t kObjectReserve = 6;

using Member = std::pair<std::string, Variant>;

struct InlineRoom {
    alignas(Member) unsigned char bytes[kObjectReserve * sizeof(Member)];
    bool used = false;
};

// Hands out the object's inline room while it is free and fits, the heap
// otherwise (an object that grows past six members).
template <typename T>
struct InlineFirstAllocator {
    using value_type = T;
    InlineRoom* room;

    explicit InlineFirstAllocator(InlineRoom* r) noexcept : room(r) {}
    template <typename U>
    InlineFirstAllocator(const InlineFirstAllocator<U>& other) noexcept : room(other.room)
    {
    }

    T* allocate(std::size_t n)
    {
        if (!room->used && n * sizeof(T) <= sizeof room->bytes) {
            room->used = true;
            return static_cast<T*>(static_cast<void*>(room->bytes));
        }
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept
    {
        if (static_cast<void*>(p) == static_cast<void*>(room->bytes))
            room->used = false;
        else
            ::operator delete(p);
    }
    template <typename U>
    bool operator==(const InlineFirstAllocator<U>& other) const noexcept
    {
        return room == other.room;
    }
    template <typename U>
    bool operator!=(const InlineFirstAllocator<U>& other) const noexcept
    {
        return room != other.room;
    }
};

}  // namespace

// Members in insertion order. Payloads have a handful of short keys, so a
// linear search over a flat array beats a tree.
struct Variant::Object {
    InlineRoom room;
    std::vector<Member, InlineFirstAllocator<Member>> members{InlineFirstAllocator<Member>(&room)};
    // Chains objects waiting to be released: tearing down a tree of any
    // depth then needs neither recursion nor an allocation.
    Object* next_pending = nullptr;

    explicit Object(std::size_t capacity = kObjectReserve)
    {
        members.reserve(capacity > kObjectReserve ? capacity : kObjectReserve);
    }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // The three walks over a whole tree, each a loop rather than a
    // recursion, so that a host's deep tree cannot exhaust the stack.
    static void Release(Object* root) noexcept;
    static Object* CopyTree(const Object& source);
    static bool Equal(const Object& a, const Object& b);
};

void Variant::Object::Release(Object* root) noexcept
{
    root->next_pending = nullptr;
    Object* pending = root;
    while (pending) {
        Object* object = pending;
        pending = object->next_pending;
        // Detach the member objects first, so that the members' own
        // destructors find nothing to walk into.
        for (auto& m : object->members) {
            Variant& value = m.second;
            if (value.type_ == VT_OBJECT) {
                value.v_.o->next_pending = pending;
                pending = value.v_.o;
                value.type_ = VT_EMPTY;
                value.v_.u = 0;
            }
        }
        delete object;
    }
}

Variant::Object* Variant::Object::CopyTree(const Object& source)
{
    Object* root = new Object(source.members.size());
    // Copies whose members are still to be filled in, with their sources.
    // A flat object (every event payload) never touches this list.
    std::vector<std::pair<const Object*, Object*>> unfilled;
    const Object* from = &source;
    Object* to = root;
    try {
        for (;;) {
            for (const auto& m : from->members) {
                if (m.second.type_ != VT_OBJECT) {
                    to->members.push_back(m);
                    continue;
                }
                to->members.emplace_back(std::piecewise_construct, std::forward_as_tuple(m.first),
                                         std::forward_as_tuple());
                Variant& slot = to->members.back().second;
                slot.v_.o = new Object(m.second.v_.o->members.size());
                slot.type_ = VT_OBJECT;
                unfilled.emplace_back(m.second.v_.o, slot.v_.o);
            }
            if (unfilled.empty())
                return root;
            from = unfilled.back().first;
            to = unfilled.back().second;
            unfilled.pop_back();
        }
    } catch (...) {
        // Every object made so far hangs in the tree under root.
        Release(root);
        throw;
    }
}

bool Variant::Object::Equal(const Object& a, const Object& b)
{
    std::vector<std::pair<const Object*, const Object*>> unvisited;
    const Object* x = &a;
    const Object* y = &b;
    for (;;) {
        if (x->members.size() != y->members.size())
            return false;
        for (std::size_t i = 0; i < x->members.size(); ++i) {
            const Member& p = x->members[i];
            const Member& q = y->members[i];
            if (p.first != q.first || p.second.type_ != q.second.type_)
                return false;
            if (p.second.type_ == VT_OBJECT)
                unvisited.emplace_back(p.second.v_.o, q.second.v_.o);
            else if (!(p.second == q.second))
                return false;
        }
        if (unvisited.empty())
            return true;
        x = unvisited.back().first;
        y = unvisited.back().second;
        unvisited.pop_back();
    }
}

namespace
{

const std::string& empty_text()
{
    static const std::string text;
    return text;
}

const Variant& empty_value()
{
    static const Variant value;
    return value;
}

bool is_group_code(unsigned int type)
{
    return type != 0 && (type & 0x0FFFu) == 0;
}

// A boolean reads as the integer 0 or 1, so the integer group takes it: a
// host's config["dhcp"]["status"] = false is a setting, not a missing one.
bool type_matches(VariantType wanted, VariantType actual)
{
    if (wanted == actual)
        return true;
    if (wanted == VT_INTEGER && actual == VT_BOOL)
        return true;
    return is_group_code(wanted) && (actual & 0xF000u) == wanted;
}

// The next "/"-separated name of chain from pos; pos moves past it.
[[nodiscard]] bool next_name(const char* chain, std::size_t& pos, std::string& name)
{
    if (chain[pos] == '\0')
        return false;
    const char* start = chain + pos;
    const char* slash = std::strchr(start, '/');
    std::size_t len = slash ? static_cast<std::size_t>(slash - start) : std::strlen(start);
    name.assign(start, len);
    pos += len;
    if (chain[pos] == '/')
        ++pos;
    return true;
}

}  // namespace

Variant::Variant() : type_(VT_EMPTY) {}

Variant::Variant(const Variant& other) : type_(VT_EMPTY)
{
    switch (other.type_) {
        case VT_EMPTY:
            break;
        case VT_STRING:
            new (&v_.s) std::string(other.v_.s);
            break;
        case VT_OBJECT:
            v_.o = Object::CopyTree(*other.v_.o);
            break;
        case VT_BOOL:
            v_.b = other.v_.b;
            break;
        default:
            v_.u = other.v_.u;
            break;
    }
    type_ = other.type_;
}

Variant::Variant(Variant&& other) noexcept : type_(other.type_)
{
    switch (type_) {
        case VT_EMPTY:
            break;
        case VT_STRING:
            new (&v_.s) std::string(std::move(other.v_.s));
            break;
        case VT_OBJECT:
            v_.o = other.v_.o;
            other.type_ = VT_EMPTY;  // the object now belongs to us; nothing to release
            break;
        case VT_BOOL:
            v_.b = other.v_.b;
            break;
        default:
            v_.u = other.v_.u;
            break;
    }
    other.Reset();
}

Variant::~Variant()
{
    Reset();
}

void Variant::Reset()
{
    if (type_ == VT_STRING) {
        v_.s.~basic_string();
    } else if (type_ == VT_OBJECT) {
        Object* object = v_.o;
        type_ = VT_EMPTY;
        Object::Release(object);
    }
    type_ = VT_EMPTY;
    v_.u = 0;
}

Variant& Variant::operator=(const Variant& other)
{
    if (this == &other)
        return *this;
    // Copy first: other may be one of our own members.
    Variant copy(other);
    return *this = std::move(copy);
}

Variant& Variant::operator=(Variant&& other) noexcept
{
    if (this == &other)
        return *this;
    // Take other's value before releasing ours: other may live inside us.
    Variant taken(std::move(other));
    Reset();
    const VariantType type = taken.type_;
    switch (type) {
        case VT_EMPTY:
            return *this;
        case VT_STRING:
            new (&v_.s) std::string(std::move(taken.v_.s));
            break;
        case VT_OBJECT:
            v_.o = taken.v_.o;
            taken.type_ = VT_EMPTY;  // ownership moved; taken must not delete it
            break;
        case VT_BOOL:
            v_.b = taken.v_.b;
            break;
        default:
            v_.u = taken.v_.u;
            break;
    }
    type_ = type;
    return *this;
}

Variant& Variant::operator[](const char* key)
{
    if (!key)
        key = "";
    if (type_ != VT_OBJECT) {
        Reset();
        v_.o = new Object;
        type_ = VT_OBJECT;
    }
    auto& members = v_.o->members;
    for (auto& m : members)
        if (m.first == key)
            return m.second;
    members.emplace_back(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple());
    return members.back().second;
}

Variant& Variant::operator=(const char* text)
{
    if (!text)
        text = "";
    if (type_ == VT_STRING) {
        v_.s.assign(text);
        return *this;
    }
    std::string copy(text);  // text may point into a member we are about to drop
    Reset();
    new (&v_.s) std::string(std::move(copy));
    type_ = VT_STRING;
    return *this;
}

Variant& Variant::operator=(const std::string& text)
{
    if (type_ == VT_STRING) {
        v_.s = text;
        return *this;
    }
    std::string copy(text);
    Reset();
    new (&v_.s) std::string(std::move(copy));
    type_ = VT_STRING;
    return *this;
}

Variant& Variant::operator=(bool value)
{
    Reset();
    v_.b = value;
    type_ = VT_BOOL;
    return *this;
}

Variant& Variant::SetInteger(VariantType type, unsigned long long bits)
{
    Reset();
    v_.u = bits;
    type_ = type;
    return *this;
}

// Signed values are stored sign-extended, unsigned ones zero-extended, so
// that the 64-bit pattern alone gives the value back.
Variant& Variant::operator=(signed char value)
{
    return SetInteger(VT_INT8, static_cast<unsigned long long>(static_cast<long long>(value)));
}

Variant& Variant::operator=(unsigned char value)
{
    return SetInteger(VT_UINT8, value);
}

Variant& Variant::operator=(short value)
{
    return SetInteger(VT_INT16, static_cast<unsigned long long>(static_cast<long long>(value)));
}

Variant& Variant::operator=(unsigned short value)
{
    return SetInteger(VT_UINT16, value);
}

Variant& Variant::operator=(int value)
{
    return SetInteger(VT_INT32, static_cast<unsigned long long>(static_cast<long long>(value)));
}

Variant& Variant::operator=(unsigned int value)
{
    return SetInteger(VT_UINT32, value);
}

Variant& Variant::operator=(long value)
{
    return SetInteger(sizeof(long) == 8 ? VT_INT64 : VT_INT32,
                      static_cast<unsigned long long>(static_cast<long long>(value)));
}

Variant& Variant::operator=(unsigned long value)
{
    return SetInteger(sizeof(unsigned long) == 8 ? VT_UINT64 : VT_UINT32, value);
}

Variant& Variant::operator=(long long value)
{
    return SetInteger(VT_INT64, static_cast<unsigned long long>(value));
}

Variant& Variant::operator=(unsigned long long value)
{
    return SetInteger(VT_UINT64, value);
}

const Variant* Variant::GetKeyChain(VariantType type, const char* keychain, bool strict) const
{
    if (!keychain)
        return nullptr;
    if (strict && keychain[0] == '\0')
        return nullptr;
    const Variant* current = this;
    std::string name;
    std::size_t pos = 0;
    bool ends_with_slash = false;
    while (next_name(keychain, pos, name)) {
        ends_with_slash = pos > 0 && keychain[pos - 1] == '/' && keychain[pos] == '\0';
        if (name.empty()) {
            if (strict)
                return nullptr;
            continue;
        }
        current = current->Find(name.c_str());
        if (!current)
            return nullptr;
    }
    if (strict && ends_with_slash)
        return nullptr;
    return type_matches(type, current->type_) ? current : nullptr;
}

Variant::operator long long() const
{
    return AsInt64();
}

Variant::operator const std::string&() const
{
    return AsString();
}

bool Variant::IsSigned() const
{
    switch (type_) {
        case VT_INT8:
        case VT_INT16:
        case VT_INT32:
        case VT_INT64:
            return true;
        default:
            return false;
    }
}

bool Variant::AsBool() const
{
    return type_ == VT_BOOL && v_.b;
}

long long Variant::AsInt64() const
{
    if (type_ == VT_BOOL)
        return v_.b ? 1 : 0;
    if (!IsInteger())
        return 0;
    return static_cast<long long>(v_.u);
}

unsigned long long Variant::AsUInt64() const
{
    if (type_ == VT_BOOL)
        return v_.b ? 1 : 0;
    return IsInteger() ? v_.u : 0;
}

const std::string& Variant::AsString() const
{
    return type_ == VT_STRING ? v_.s : empty_text();
}

std::size_t Variant::Size() const
{
    return type_ == VT_OBJECT ? v_.o->members.size() : 0;
}

const std::string& Variant::KeyAt(std::size_t index) const
{
    if (index >= Size())
        return empty_text();
    return v_.o->members[index].first;
}

const Variant& Variant::ValueAt(std::size_t index) const
{
    if (index >= Size())
        return empty_value();
    return v_.o->members[index].second;
}

const Variant* Variant::Find(const char* key) const
{
    if (type_ != VT_OBJECT || !key)
        return nullptr;
    for (const auto& m : v_.o->members)
        if (m.first == key)
            return &m.second;
    return nullptr;
}

bool Variant::operator==(const Variant& other) const
{
    if (type_ != other.type_)
        return false;
    switch (type_) {
        case VT_EMPTY:
            return true;
        case VT_BOOL:
            return v_.b == other.v_.b;
        case VT_STRING:
            return v_.s == other.v_.s;
        case VT_OBJECT:
            return Object::Equal(*v_.o, *other.v_.o);
        default:
            return v_.u == other.v_.u;
    }
}

const char* Variant::TypeName(VariantType type)
{
    switch (type) {
        case VT_EMPTY:
            return "empty";
        case VT_BOOL:
            return "bool";
        case VT_INTEGER:
            return "integer";
        case VT_INT8:
            return "int8";
        case VT_UINT8:
            return "uint8";
        case VT_INT16:
            return "int16";
        case VT_UINT16:
            return "uint16";
        case VT_INT32:
            return "int32";
        case VT_UINT32:
            return "uint32";
        case VT_INT64:
            return "int64";
        case VT_UINT64:
            return "uint64";
        case VT_STRING:
            return "string";
        case VT_OBJECT:
            return "object";
    }
    return "unknown";
}

}  // namespace variant
}  // namespace pelk
