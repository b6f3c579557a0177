#include "../ValuesTesting.h"
#include "support/LogCapture.h"

namespace velkor::test {
namespace {

// The typed accessors never throw: they fall back to the default, and log only real failures
// (a bad index, a refused value), not a value of another kind or a missing key. Booleans are
// numbers; the subscript reads, assigns, and removes with an empty value.
TEST(Accessors, ArraysFallBackToTheDefaultAndLogOnlyRealFailures) {
    LogCapture log;
    auto array = VKArray::make({num(2), num(0), str("text")});
    EXPECT_EQ(array->get(5, 7), 7);
    EXPECT_EQ(array->get(2, 7), 7);
    EXPECT_TRUE(array->get(0, false));  // any non-zero number is true
    EXPECT_FALSE(array->get(1, true) || array->get(-1, false));
    EXPECT_EQ(array->get(2, "none"), "text");
    EXPECT_EQ(array->get(0, std::string("none")), "none");
    EXPECT_TRUE(array->set(1, true));
    EXPECT_FALSE(array->set(9, "x"));
    EXPECT_TRUE(array->append(42) && array->append(false) && array->append("tail"));
    EXPECT_EQ(log->count(LogLevel::error, ""), 3u);
    auto& a = *array;
    a[1] = str("two");
    a[0] = nullptr;
    a[7] = nullptr;
    EXPECT_EQ(static_cast<VKObjectPtr>(a[7]), nullptr);
    EXPECT_EQ(text(*array), "two,text,42,0,tail@0");
    // A failing literal keeps the elements before it.
    EXPECT_EQ(text(*VKArray::make({num(1), str("b"), nullptr, num(4)})), "1,b@0");
    EXPECT_EQ(log->count(LogLevel::error, ""), 6u);
}

TEST(Accessors, DictionariesTreatMissingKeysAsDefaultsAndBooleansAsNumbers) {
    LogCapture log;
    auto dictionary = VKDictionary::make({{"n", num(5)}, {"s", str("x")}});
    EXPECT_EQ(dictionary->get("missing", 3) + dictionary->get("s", 3), 6);
    EXPECT_EQ(dictionary->get("n", 3), 5);
    EXPECT_EQ(dictionary->get("s", "d"), "x");
    EXPECT_TRUE(dictionary->get("n", false));
    EXPECT_TRUE(dictionary->set("flag", true));
    auto& d = *dictionary;
    d["n"] = nullptr;
    d["new"] = str("v");
    EXPECT_EQ(static_cast<VKObjectPtr>(d["new"])->description(), "v");
    EXPECT_EQ(log->count(LogLevel::error, ""), 0u);
    // A container of another settings file, or of the same file through another connection,
    // cannot be placed here: the setter logs it.
    const UUID root = UUID::random();
    auto foreign = VKDictionary::make(), otherConnection = VKDictionary::make();
    Access::setRootId(*foreign, UUID::random());
    Access::setRootId(*otherConnection, root);
    Access::setInnerConnection(*otherConnection, FakeConnection::make());
    Access::setRootId(*dictionary, root);
    d["foreign"] = foreign;
    d["other"] = otherConnection;
    EXPECT_EQ(text(*dictionary), "flag=1,new=v,s=x@0");
    EXPECT_EQ(log->count(LogLevel::error, ""), 2u);
}

}  // namespace
}  // namespace velkor::test
