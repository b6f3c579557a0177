#include <gtest/gtest.h>

#include "TestContainers.h"

namespace velkor::test {
namespace {

bool equalStrings(const std::string& a, const std::string& b) {
    return VKString(a) == VKString(b);
}

TEST(ValueEquality, ScalarsCompareByKindAndValue) {
    auto one = num(1);
    EXPECT_TRUE(*one == *one);
    EXPECT_TRUE(*VKNumber::withBool(true) == VKNumber(1));
    EXPECT_FALSE(VKNumber(1) == VKNumber(2));

    // Same text, different kinds.
    EXPECT_FALSE(VKNumber(1) == VKString("1"));
    EXPECT_FALSE(VKString("1") == VKNumber(1));
    EXPECT_FALSE(VKData({'1'}) == VKString("1"));

    EXPECT_TRUE(VKData({1, 2, 3}) == VKData({1, 2, 3}));
    EXPECT_FALSE(VKData({1, 2}) == VKData({1, 2, 3}));
    EXPECT_FALSE(VKData({1, 2, 4}) == VKData({1, 2, 3}));

    EXPECT_TRUE(equalValues(nullptr, nullptr));
    EXPECT_FALSE(equalValues(one, nullptr));
    EXPECT_FALSE(equalValues(nullptr, one));
    EXPECT_TRUE(equalValues(one, num(1)));
}

TEST(ValueEquality, StringsAreEqualWhenCanonicallyEquivalent) {
    EXPECT_TRUE(equalStrings("settings", "settings"));
    EXPECT_TRUE(equalStrings("", ""));
    EXPECT_FALSE(equalStrings("settings", "Settings"));
    EXPECT_FALSE(equalStrings("a", ""));

    // Precomposed e-acute against e followed by a combining acute accent, in both orders.
    EXPECT_TRUE(equalStrings("caf\u00e9", "cafe\u0301"));
    EXPECT_TRUE(equalStrings("cafe\u0301", "caf\u00e9"));
    // An ASCII text is not equivalent to a non-ASCII one that merely starts the same.
    EXPECT_FALSE(equalStrings("cafe", "cafe\u0301"));
    EXPECT_FALSE(equalStrings("caf\u00e9", "caf\u00e8"));
    // Combining marks of different classes may come in either order.
    EXPECT_TRUE(equalStrings("a\u0323\u0301", "a\u0301\u0323"));
    // Marks of the same class keep their order.
    EXPECT_FALSE(equalStrings("a\u0301\u0300", "a\u0300\u0301"));
    // A Hangul syllable and its conjoining letters.
    EXPECT_TRUE(equalStrings("\uac00", "\u1100\u1161"));
    // Differences after a common part, also one that ends inside a character's bytes.
    EXPECT_TRUE(equalStrings("caf\u00e9 caf\u00e9", "caf\u00e9 cafe\u0301"));
    EXPECT_TRUE(equalStrings("xa\u0301\u0323", "xa\u0323\u0301"));
    EXPECT_FALSE(equalStrings("caf\u00e9 a", "caf\u00e9 a\u0301"));
    EXPECT_FALSE(equalStrings("caf\u00e9", "caf\u00e9\u0301"));
    // Texts longer than the decomposition buffer on the stack.
    std::string composed;
    std::string decomposed;
    for (int i = 0; i < 100; ++i) {
        composed += "\u00e9\u00c5";
        decomposed += "e\u0301A\u030a";
    }
    EXPECT_TRUE(equalStrings(composed, decomposed));
    EXPECT_TRUE(equalStrings("<" + composed, "<" + decomposed));
    EXPECT_FALSE(equalStrings(composed + "e\u0301", decomposed + "e\u0300"));
    // Compatibility equivalents are different texts.
    EXPECT_FALSE(equalStrings("\ufb01", "fi"));
    // Invalid UTF-8 compares by its bytes.
    EXPECT_TRUE(equalStrings("\xff\xfe", "\xff\xfe"));
    EXPECT_FALSE(equalStrings("\xff\xfe", "\xff\xfd"));
    EXPECT_FALSE(equalStrings("\xc3", "\xc3\xa9"));
}

TEST(ValueEquality, ContainersCompareByNonZeroId) {
    auto a = TestDictionary::make();
    auto b = TestDictionary::make();
    EXPECT_FALSE(*a == *b);

    // Content and revision do not matter, only the id.
    a->set("k", num(1));
    Access::setRevision(*b, 9);
    Access::setId(*b, a->id());
    EXPECT_TRUE(*a == *b);
    EXPECT_TRUE(*b == *a);

    // A proxy equals the container it stands for only through the replacement rule, not here:
    // the kinds differ.
    auto proxy = TestProxy::make(a->id());
    EXPECT_FALSE(*proxy == *a);
    EXPECT_TRUE(*proxy == *TestProxy::make(a->id()));

    // An array and a dictionary with the same id are different values.
    auto array = TestArray::make();
    Access::setId(*array, a->id());
    EXPECT_FALSE(*array == *a);

    // A container without an id equals only itself.
    auto zero1 = TestArray::make();
    auto zero2 = TestArray::make();
    Access::setId(*zero1, UUID::zero());
    Access::setId(*zero2, UUID::zero());
    EXPECT_TRUE(*zero1 == *zero1);
    EXPECT_FALSE(*zero1 == *zero2);
    EXPECT_FALSE(*zero2 == *zero1);

    EXPECT_FALSE(*a == VKString(a->id().description()));
}

}  // namespace
}  // namespace velkor::test
