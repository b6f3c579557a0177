#include <gtest/gtest.h>

#include "internals/ContainerAccess.h"
#include "support/DaemonBlobWriter.h"
#include "support/FakeInnerConnection.h"
#include "support/LogCapture.h"
#include "values/client/DeserializerOnClient.h"
#include "velkor/VKConversions.h"
#include "velkor/rx/ImmediateScheduler.h"

using namespace velkor;
using Access = velkor::detail::ContainerAccess;

namespace {

VKObjectPtr str(const char* s) {
    return std::make_shared<VKString>(s);
}
VKObjectPtr num(std::int64_t n) {
    return std::make_shared<VKNumber>(n);
}

}  // namespace

TEST(ArrayAccessors, FallBackToTheDefaultAndLogOnlyRealFailures) {
    test::LogCapture capture;
    auto array = VKArray::make({num(2), num(0), str("text")});
    ASSERT_EQ(array->count(), 3u);

    // A bad index is a failure, logged at error level; a value of another kind is not.
    EXPECT_EQ(array->get(5, 7), 7);
    EXPECT_EQ(array->get(2, 7), 7) << "a string where a number is asked for gives the default";
    EXPECT_TRUE(array->get(0, false)) << "any non-zero number is true";
    EXPECT_FALSE(array->get(1, true));
    EXPECT_EQ(array->get(2, "none"), "text");
    EXPECT_EQ(array->get(0, std::string("none")), "none");
    EXPECT_EQ(array->get(-1, false), false);
    EXPECT_EQ(capture->count(LogLevel::error, ""), 2u);

    EXPECT_TRUE(array->set(1, true));
    EXPECT_EQ(array->get(1, 0), 1) << "true is stored as the number 1";
    EXPECT_FALSE(array->set(9, "x"));
    EXPECT_EQ(capture->count(LogLevel::error, ""), 3u);
    EXPECT_TRUE(array->append(42));
    EXPECT_TRUE(array->append(false));
    EXPECT_TRUE(array->append("tail"));
    EXPECT_EQ(array->count(), 6u);
    EXPECT_EQ(array->get(3, 0), 42);
    EXPECT_EQ(array->get(4, true), false);
}

TEST(ArrayAccessors, SubscriptReadsAssignsAndRemoves) {
    test::LogCapture capture;
    auto array = VKArray::make({num(1), num(2)});
    auto& a = *array;
    VKObjectPtr first = a[0];
    EXPECT_EQ(first->description(), "1");
    a[1] = str("two");
    EXPECT_EQ(a.get(1, ""), "two");
    a[0] = nullptr;
    EXPECT_EQ(array->count(), 1u) << "assigning empty removes the item";
    VKObjectPtr missing = a[7];
    EXPECT_EQ(missing, nullptr);
    a[7] = nullptr;
    EXPECT_EQ(array->count(), 1u);
    EXPECT_EQ(capture->count(LogLevel::error, ""), 2u) << "both out-of-range uses are logged";
}

TEST(ArrayAccessors, AFailingLiteralKeepsTheElementsBeforeIt) {
    test::LogCapture capture;
    auto array = VKArray::make({num(1), str("b"), nullptr, num(4)});
    EXPECT_EQ(array->count(), 2u);
    EXPECT_EQ(capture->count(LogLevel::error, ""), 1u);
}

TEST(DictionaryAccessors, MissingKeysAreSilentAndBooleansAreNumbers) {
    test::LogCapture capture;
    auto dictionary = VKDictionary::make({{"n", num(5)}, {"s", str("x")}});
    EXPECT_EQ(dictionary->get("missing", 3), 3);
    EXPECT_EQ(dictionary->get("s", 3), 3);
    EXPECT_EQ(dictionary->get("n", 3), 5);
    EXPECT_EQ(dictionary->get("s", "d"), "x");
    EXPECT_TRUE(dictionary->set("flag", true));
    EXPECT_EQ(dictionary->get("flag", 0), 1);
    EXPECT_TRUE(dictionary->get("n", false));
    EXPECT_EQ(capture->count(LogLevel::error, ""), 0u);

    auto& d = *dictionary;
    d["n"] = nullptr;
    EXPECT_FALSE(dictionary->hasKey("n"));
    d["new"] = str("v");
    VKObjectPtr read = d["new"];
    EXPECT_EQ(read->description(), "v");

    // A container of another settings file cannot be placed here: the typed setter reports it.
    auto foreign = VKDictionary::make();
    Access::setRootId(*foreign, UUID::random());
    Access::setRootId(*dictionary, UUID::random());
    d["foreign"] = foreign;
    EXPECT_FALSE(dictionary->hasKey("foreign"));
    EXPECT_EQ(capture->count(LogLevel::error, "NotTheSameRoot"), 1u);
}

TEST(TypeTests, ProxiesAreContainersButNotArraysOrDictionaries) {
    auto connection = test::FakeInnerConnection::make(std::make_shared<rx::ImmediateScheduler>());
    auto decoder = DeserializerOnClient::make(test::DaemonBlobWriter().proxy(UUID::random()).blob(),
                                              connection);
    ASSERT_TRUE(decoder);
    auto proxy = decoder->decodeVKObject();
    ASSERT_NE(proxy, nullptr);
    EXPECT_TRUE(proxy->isContainer());
    EXPECT_NE(asContainer(proxy), nullptr);
    EXPECT_FALSE(proxy->isArray());
    EXPECT_EQ(asArray(proxy), nullptr);
    EXPECT_EQ(asDictionary(proxy), nullptr);
}
