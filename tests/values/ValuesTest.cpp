#include "ValuesTesting.h"

namespace velkor::test {
namespace {

TEST(Values, EqualityByKindValueAndContainerId) {
    std::string composed, decomposed;  // longer than the decomposition buffer on the stack
    for (int i = 0; i < 100; ++i) {
        composed += "\u00e9\u00c5";
        decomposed += "e\u0301A\u030a";
    }
    auto data = [](std::vector<std::uint8_t> bytes) {
        return std::make_shared<VKData>(std::move(bytes));
    };
    auto dict = VKDictionary::make(), sameId = VKDictionary::make();
    sameId->set("k", num(1));  // content and revision do not count, only the id
    Access::setRevision(*sameId, 9);
    Access::setId(*sameId, dict->id());
    auto arrayWithId = VKArray::make(), zero = VKArray::make(), otherZero = VKArray::make();
    Access::setId(*arrayWithId, dict->id());
    Access::setId(*zero, UUID::zero());
    Access::setId(*otherZero, UUID::zero());
    auto proxy = FakeConnection::make()->decode(DaemonBlobWriter().proxy(dict->id()));

    // Texts are equal when canonically equivalent (marks of different classes in any order,
    // Hangul syllables and their letters), not when compatibility equivalent; invalid UTF-8
    // compares by its bytes.
    const struct {
        VKObjectPtr a, b;
        bool equal;
    } cases[] = {{num(1), VKNumber::withBool(true), true},
                 {num(1), num(2), false},
                 {num(1), str("1"), false},
                 {data({'1'}), str("1"), false},
                 {data({1, 2, 3}), data({1, 2, 3}), true},
                 {data({1, 2}), data({1, 2, 3}), false},
                 {str("caf\u00e9"), str("cafe\u0301"), true},
                 {str("cafe"), str("cafe\u0301"), false},
                 {str("a\u0323\u0301"), str("a\u0301\u0323"), true},
                 {str("a\u0301\u0300"), str("a\u0300\u0301"), false},
                 {str("\uac00"), str("\u1100\u1161"), true},
                 {str("caf\u00e9 caf\u00e9"), str("caf\u00e9 cafe\u0301"), true},
                 {str("caf\u00e9"), str("caf\u00e9\u0301"), false},
                 {str(composed), str(decomposed), true},
                 {str(composed + "e\u0301"), str(decomposed + "e\u0300"), false},
                 {str("\ufb01"), str("fi"), false},
                 {str("\xff\xfe"), str("\xff\xfe"), true},
                 {str("\xff\xfe"), str("\xff\xfd"), false},
                 {str("\xc3"), str("\xc3\xa9"), false},
                 {dict, VKDictionary::make(), false},
                 {dict, sameId, true},
                 {arrayWithId, dict, false},
                 {proxy, dict, false},
                 {zero, zero, true},
                 {zero, otherZero, false},
                 {dict, str(dict->id().description()), false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a->description() + " vs " + c.b->description());
        EXPECT_EQ(*c.a == *c.b, c.equal);
        EXPECT_EQ(*c.b == *c.a, c.equal);
    }
    EXPECT_TRUE(equalValues(nullptr, nullptr));
    EXPECT_FALSE(equalValues(num(1), nullptr) || equalValues(nullptr, num(1)));
}

TEST(Values, LocalContainersChangeOnlyForADifferentValueAndCheckTheirArguments) {
    auto array = VKArray::make();
    auto first = str("one");
    auto child = VKDictionary::make();
    array->append({first, child, str("c")});
    array->set(0, str("one"));  // an equal value is no change: the stored object stays
    EXPECT_EQ(array->get(0), first);
    array->set(0, num(1));
    first = array->get(0);
    array->set(0, VKNumber::withBool(true));
    EXPECT_EQ(array->get(0), first);
    // Another object with the id of the container there is an equal container too.
    auto twin = VKDictionary::make();
    Access::setId(*twin, child->id());
    array->set(1, twin);
    EXPECT_EQ(array->get(1), child);
    EXPECT_THAT(twin->getAllParents(), IsEmpty());
    auto next = VKArray::make();
    array->set(1, next);
    EXPECT_THAT(child->getAllParents(), IsEmpty());
    EXPECT_THAT(next->getAllParents(), ElementsAre(Pair(array->id(), array)));
    array->set(1, child);

    for (auto bad : std::vector<std::function<void()>>{
             [&] { array->insert(4, str("x")); }, [&] { array->set(3, str("x")); },
             [&] { array->remove(-1); }, [&] { array->move(0, 3); }, [&] { array->get(3); }})
        EXPECT_EQ(errorOf(bad), VKError::indexOutOfRange);
    EXPECT_EQ(errorOf([&] { child->set("none", VKObjectPtr()); }), VKError::invalidData);
    array->move(0, 2);
    array->move(5, 5);  // equal indexes: nothing, not even a check
    EXPECT_EQ(text(*array), "C,c,1@0");

    // Canonically equivalent keys are one key, which keeps the form it was first written in;
    // the Kelvin sign's canonical form is the letter K.
    const std::string composed = "caf\u00e9", decomposed = "cafe\u0301";
    child->set(decomposed, str("1"));
    child->set(composed, str("2"));
    child->set("\u212a", str("3"));
    EXPECT_EQ(text(*child), "cafe\u0301=2,\u212a=3@0");
    EXPECT_EQ(child->get("K")->description(), "3");
    EXPECT_EQ(child->get("missing"), nullptr);
    child->remove(composed);
    child->set(composed, str("4"));
    EXPECT_EQ(text(*child), "caf\u00e9=4,\u212a=3@0");
}

}  // namespace
}  // namespace velkor::test
