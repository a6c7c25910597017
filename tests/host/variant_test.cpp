#include <gtest/gtest.h>
#include <pelk/variant.h>

#include <climits>
#include <string>
#include <utility>

using pelk::variant::Variant;
using namespace pelk::variant;

namespace
{

Variant sample_payload()
{
    Variant p;
    p["ifname"] = "eth0";
    p["index"] = 3;
    p["flags"] = 0x11043u;
    p["family"] = static_cast<unsigned char>(2);
    p["mtu"] = static_cast<unsigned short>(1500);
    p["address"] = std::string("10.0.0.2");
    return p;
}

TEST(HostVariant, DefaultIsEmptyAndIndexingMakesAnObject)
{
    Variant v;
    EXPECT_TRUE(v.IsEmpty());
    EXPECT_EQ(v.Size(), 0u);
    Variant& member = v["a"];
    EXPECT_TRUE(v.IsObject());
    EXPECT_TRUE(member.IsEmpty());
    EXPECT_EQ(v.Size(), 1u);
    EXPECT_EQ(&v["a"], &v.ValueAt(0)) << "an existing member is returned, not a new one";
    EXPECT_EQ(v.Size(), 1u);
}

TEST(HostVariant, IndexingAScalarReplacesItWithAnObject)
{
    Variant v;
    v = "text";
    v["k"] = 1;
    EXPECT_TRUE(v.IsObject());
    EXPECT_EQ(v.Size(), 1u);
    Variant n;
    n = 42;
    n["k"];
    EXPECT_TRUE(n.IsObject());
    EXPECT_EQ(n.AsInt64(), 0);
}

TEST(HostVariant, MembersKeepInsertionOrder)
{
    Variant p = sample_payload();
    const char* keys[] = {"ifname", "index", "flags", "family", "mtu", "address"};
    ASSERT_EQ(p.Size(), 6u);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(p.KeyAt(i), keys[i]);
    p["index"] = 9;  // reassigning does not move the member
    EXPECT_EQ(p.KeyAt(1), "index");
    EXPECT_EQ(p.KeyAt(6), "") << "out of range";
    EXPECT_TRUE(p.ValueAt(6).IsEmpty());
}

TEST(HostVariant, TypedAssignmentsKeepWidthAndSignedness)
{
    struct Row {
        Variant v;
        VariantType type;
        long long value;
        bool is_signed;
    };
    Variant a, b, c, d, e, f, g, h;
    a = static_cast<signed char>(-5);
    b = static_cast<unsigned char>(250);
    c = static_cast<short>(-30000);
    d = static_cast<unsigned short>(65535);
    e = INT_MIN;
    f = 4000000000u;
    g = LLONG_MIN;
    h = 18446744073709551615ull;
    const Row rows[] = {
        {a, VT_INT8, -5, true},         {b, VT_UINT8, 250, false},    {c, VT_INT16, -30000, true},
        {d, VT_UINT16, 65535, false},   {e, VT_INT32, INT_MIN, true}, {f, VT_UINT32, 4000000000LL, false},
        {g, VT_INT64, LLONG_MIN, true}, {h, VT_UINT64, -1, false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.v.GetType(), r.type) << Variant::TypeName(r.type);
        EXPECT_TRUE(r.v.IsInteger());
        EXPECT_EQ(static_cast<long long>(r.v), r.value) << Variant::TypeName(r.type);
        EXPECT_EQ(r.v.IsSigned(), r.is_signed) << Variant::TypeName(r.type);
    }
    EXPECT_EQ(f.AsUInt64(), 4000000000ull) << "unsigned values are zero-extended";
    EXPECT_EQ(h.AsUInt64(), 18446744073709551615ull);
    EXPECT_EQ(a.AsUInt64(), static_cast<unsigned long long>(-5LL));
}

TEST(HostVariant, TextAndBoolValues)
{
    Variant v;
    v = static_cast<const char*>(nullptr);
    EXPECT_TRUE(v.IsString());
    EXPECT_EQ(v.AsString(), "");
    v = "abc";
    const std::string& s = v;
    EXPECT_EQ(s, "abc");
    EXPECT_EQ(static_cast<long long>(v), 0) << "a text is not an integer";
    v = true;
    EXPECT_TRUE(v.AsBool());
    EXPECT_EQ(static_cast<long long>(v), 1);
    EXPECT_EQ(v.AsString(), "") << "a non-text reads as the empty text";
    v = 5;
    EXPECT_FALSE(v.AsBool());
}

TEST(HostVariant, CopiesAreIndependent)
{
    Variant original = sample_payload();
    original["nested"]["deep"] = "x";
    Variant copy(original);
    EXPECT_EQ(copy, original);
    copy["ifname"] = "wlan0";
    copy["nested"]["deep"] = "y";
    copy["added"] = 1;
    EXPECT_EQ(original["ifname"].AsString(), "eth0");
    EXPECT_EQ(original["nested"]["deep"].AsString(), "x");
    EXPECT_EQ(original.Size(), 7u);
    EXPECT_NE(copy, original);

    Variant assigned;
    assigned = 5;
    assigned = original;
    EXPECT_EQ(assigned, original);
    assigned["nested"]["deep"] = "z";
    EXPECT_EQ(original["nested"]["deep"].AsString(), "x");
}

TEST(HostVariant, MoveLeavesTheSourceEmpty)
{
    Variant source = sample_payload();
    const Variant expected = source;
    Variant moved(std::move(source));
    EXPECT_TRUE(source.IsEmpty());
    EXPECT_EQ(moved, expected);

    Variant target;
    target = "old";
    target = std::move(moved);
    EXPECT_TRUE(moved.IsEmpty());
    EXPECT_EQ(target, expected);

    Variant text;
    text = "a long text that does not fit any small buffer inside std::string";
    Variant other(std::move(text));
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_EQ(other.AsString(), "a long text that does not fit any small buffer inside std::string");
}

TEST(HostVariant, AssigningFromOwnMemberIsSafe)
{
    Variant v;
    v["inner"]["leaf"] = 7;
    v["other"] = "x";
    v = v["inner"];
    ASSERT_TRUE(v.IsObject());
    EXPECT_EQ(v.Size(), 1u);
    EXPECT_EQ(v["leaf"].AsInt64(), 7);
    v = std::move(v["leaf"]);
    EXPECT_EQ(v.GetType(), VT_INT32);
    EXPECT_EQ(v.AsInt64(), 7);
}

TEST(HostVariant, EqualityComparesTypeValueAndOrder)
{
    Variant a, b;
    a = 1;
    b = 1u;
    EXPECT_NE(a, b) << "same number, other type";
    Variant x, y;
    x["p"] = 1;
    x["q"] = 2;
    y["q"] = 2;
    y["p"] = 1;
    EXPECT_NE(x, y) << "members compare in order";
    EXPECT_EQ(Variant(), Variant());
}

class HostVariantKeyChain : public ::testing::Test
{
protected:
    void SetUp() override
    {
        tree["network"]["iface"] = "eth0";
        tree["network"]["mtu"] = static_cast<unsigned short>(1400);
        tree["network"]["dhcp"] = true;
        tree["network"]["ipv4"]["address"] = "10.0.0.2";
        tree["count"] = -3;
    }
    Variant tree;
};

TEST_F(HostVariantKeyChain, FindsByGroupAndExactCode)
{
    const Variant* mtu = tree.GetKeyChain(VT_INTEGER, "network/mtu", true);
    ASSERT_NE(mtu, nullptr);
    EXPECT_EQ(static_cast<long long>(*mtu), 1400);
    EXPECT_EQ(tree.GetKeyChain(VT_UINT16, "network/mtu", true), mtu);
    EXPECT_EQ(tree.GetKeyChain(VT_INT32, "network/mtu", true), nullptr) << "other exact width";
    ASSERT_NE(tree.GetKeyChain(VT_STRING, "network/ipv4/address", true), nullptr);
    EXPECT_EQ(static_cast<const std::string&>(*tree.GetKeyChain(VT_STRING, "network/ipv4/address", true)), "10.0.0.2");
    EXPECT_NE(tree.GetKeyChain(VT_OBJECT, "network/ipv4", true), nullptr);
    EXPECT_NE(tree.GetKeyChain(VT_BOOL, "network/dhcp", true), nullptr);
    EXPECT_EQ(tree.GetKeyChain(VT_INTEGER, "count", true)->AsInt64(), -3);
}

TEST_F(HostVariantKeyChain, WrongTypeOrMissingFindsNothing)
{
    EXPECT_EQ(tree.GetKeyChain(VT_INTEGER, "network/iface", true), nullptr);
    EXPECT_EQ(tree.GetKeyChain(VT_STRING, "network/mtu", true), nullptr);
    EXPECT_EQ(tree.GetKeyChain(VT_INTEGER, "network/dhcp", true), nullptr) << "a boolean is no integer";
    EXPECT_EQ(tree.GetKeyChain(VT_STRING, "network/missing", true), nullptr);
    EXPECT_EQ(tree.GetKeyChain(VT_STRING, "network/iface/deeper", true), nullptr) << "through a non-object";
    EXPECT_EQ(tree.GetKeyChain(VT_STRING, "Network/iface", true), nullptr) << "names are case-sensitive";
    EXPECT_EQ(tree.GetKeyChain(VT_STRING, nullptr, true), nullptr);
    Variant empty;
    EXPECT_EQ(empty.GetKeyChain(VT_STRING, "a", true), nullptr);
}

TEST_F(HostVariantKeyChain, StrictRefusesEmptyNamesOthersSkipThem)
{
    const char* chains[] = {"network//iface", "/network/iface", "network/iface/"};
    for (const char* chain : chains) {
        EXPECT_EQ(tree.GetKeyChain(VT_STRING, chain, true), nullptr) << chain;
        const Variant* found = tree.GetKeyChain(VT_STRING, chain, false);
        ASSERT_NE(found, nullptr) << chain;
        EXPECT_EQ(found->AsString(), "eth0");
    }
    EXPECT_EQ(tree.GetKeyChain(VT_OBJECT, "", true), nullptr);
    EXPECT_EQ(tree.GetKeyChain(VT_OBJECT, "", false), &tree);
}

}  // namespace
