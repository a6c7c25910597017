// The host's dynamic value: empty, a boolean, an integer of a given width
// and signedness, a text, or an object of named members kept in insertion
// order. The library builds event payloads with it and reads its start-up
// configuration from it.
//
// Depth: objects may nest as deep as memory allows. Copy, assignment,
// destruction and comparison walk a tree with a loop, not a recursion, so a
// deep tree built by a host cannot exhaust the stack. A bound on the depth
// was not an option: a member does not know the object that holds it, so no
// bound could be kept once a deep tree is moved into a member of another.
// GetKeyChain walks one member per name of its chain and never recurses.
#ifndef PELK_VARIANT_H
#define PELK_VARIANT_H

#include <cstddef>
#include <string>

namespace pelk
{
namespace variant
{

// Type codes. The high nibble names a group: 0x4000 integers, 0x1000 texts,
// 0x2000 objects. GetKeyChain accepts a group code (VT_INTEGER) or an exact
// code; the integer group includes booleans, which read as 0 and 1.
enum VariantType : unsigned int {
    VT_EMPTY = 0x0000,
    VT_BOOL = 0x0001,
    VT_INTEGER = 0x4000,  // any integer below, and VT_BOOL
    VT_INT8 = 0x4001,
    VT_UINT8 = 0x4002,
    VT_INT16 = 0x4003,
    VT_UINT16 = 0x4004,
    VT_INT32 = 0x4005,
    VT_UINT32 = 0x4006,
    VT_INT64 = 0x4007,
    VT_UINT64 = 0x4008,
    VT_STRING = 0x100E,
    VT_OBJECT = 0x2000,
};

class Variant
{
public:
    Variant();
    Variant(const Variant& other);
    Variant(Variant&& other) noexcept;  // moving leaves other empty
    ~Variant();
    Variant& operator=(const Variant& other);
    Variant& operator=(Variant&& other) noexcept;

    // The member named key, created empty when absent. An empty value turns
    // into an object first; any other non-object value is replaced by an
    // empty object. Members live in one array, so a reference to a member
    // stays valid only until the next member is added to the same object.
    Variant& operator[](const char* key);
    Variant& operator[](const std::string& key) { return (*this)[key.c_str()]; }

    Variant& operator=(const char* text);  // null stores ""
    Variant& operator=(const std::string& text);
    Variant& operator=(bool value);
    Variant& operator=(signed char value);
    Variant& operator=(unsigned char value);
    Variant& operator=(short value);
    Variant& operator=(unsigned short value);
    Variant& operator=(int value);
    Variant& operator=(unsigned int value);
    Variant& operator=(long value);
    Variant& operator=(unsigned long value);
    Variant& operator=(long long value);
    Variant& operator=(unsigned long long value);

    // Follows a "/"-separated chain of member names from this value and
    // returns the value found when its type is `type` (or belongs to the
    // group `type` names), null otherwise. strict: an empty name in the
    // chain ("a//b", "/a") finds nothing; otherwise empty names are skipped.
    const Variant* GetKeyChain(VariantType type, const char* keychain, bool strict) const;

    // Integer value (unsigned 64-bit values wrap); 0 for non-integers
    // (a boolean gives 0 or 1).
    operator long long() const;
    // The text; a reference to an empty text for non-texts.
    operator const std::string&() const;

    VariantType GetType() const { return type_; }
    bool IsEmpty() const { return type_ == VT_EMPTY; }
    bool IsBool() const { return type_ == VT_BOOL; }
    bool IsInteger() const { return (type_ & 0xF000u) == VT_INTEGER; }
    bool IsSigned() const;
    bool IsString() const { return type_ == VT_STRING; }
    bool IsObject() const { return type_ == VT_OBJECT; }

    bool AsBool() const;                  // false for non-booleans
    long long AsInt64() const;            // as operator long long
    unsigned long long AsUInt64() const;  // the integer's bits, zero- or sign-extended
    const std::string& AsString() const;  // as operator const std::string&

    // Object access; Size() is 0 for non-objects.
    std::size_t Size() const;
    const std::string& KeyAt(std::size_t index) const;
    const Variant& ValueAt(std::size_t index) const;
    const Variant* Find(const char* key) const;

    // Same type and value; objects compare members in order.
    bool operator==(const Variant& other) const;
    bool operator!=(const Variant& other) const { return !(*this == other); }

    // Name of a type code ("empty", "bool", "int32", "string", ...).
    static const char* TypeName(VariantType type);

private:
    struct Object;
    void Reset();
    Variant& SetInteger(VariantType type, unsigned long long bits);

    // The text lives inline so that a short text member costs no allocation
    // of its own; only the active member is ever constructed.
    union Value {
        Value() : u(0) {}
        ~Value() {}
        bool b;
        unsigned long long u;  // integers: the value's bits, extended to 64
        std::string s;
        Object* o;
    };

    VariantType type_;
    Value v_;
};

}  // namespace variant
}  // namespace pelk

#endif
