#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ContainerTesting.h"

namespace velkor::test {
namespace {

using ::testing::ElementsAre;

TEST(LocalContainers, ChangesStayInMemoryAndKeepParentsRight) {
    auto array = VKArray::make();
    auto child = VKDictionary::make();
    EXPECT_EQ(array->append(str("a")), 0);
    EXPECT_EQ(array->append(child), 1);
    array->insert(2, str("c"));
    EXPECT_EQ(errorOf([&] { array->insert(4, str("x")); }), VKError::indexOutOfRange);
    EXPECT_EQ(errorOf([&] { array->set(3, str("x")); }), VKError::indexOutOfRange);
    EXPECT_EQ(errorOf([&] { array->remove(-1); }), VKError::indexOutOfRange);
    EXPECT_EQ(errorOf([&] { array->move(0, 3); }), VKError::indexOutOfRange);
    EXPECT_EQ(errorOf([&] { array->append(array); }), VKError::circularReferences);
    EXPECT_EQ(errorOf([&] { child->set("up", array); }), VKError::circularReferences);
    EXPECT_EQ(errorOf([&] { child->set("none", VKObjectPtr()); }), VKError::invalidData);
    array->move(0, 2);
    array->move(5, 5);  // equal indexes: nothing, not even a check
    EXPECT_EQ(array->get(0), child);
    EXPECT_EQ(array->get(2)->description(), "a");

    child->set("k", str("v"));
    child->remove("missing");
    EXPECT_TRUE(child->hasKey("k"));
    EXPECT_EQ(child->get("missing"), nullptr);
    // Canonically equivalent keys are one key, which keeps the form it was first written in;
    // the Kelvin sign's canonical form is the letter K.
    const std::string composed = "caf\u00e9", decomposed = "cafe\u0301";
    child->set(decomposed, str("1"));
    child->set(composed, str("2"));
    child->set("\u212a", str("3"));
    EXPECT_EQ(child->count(), 3u);
    EXPECT_TRUE(child->items().contains(decomposed));
    EXPECT_EQ(child->get(decomposed)->description(), "2");
    EXPECT_EQ(child->get("K")->description(), "3");
    child->remove(composed);
    EXPECT_FALSE(child->hasKey(decomposed));
    child->set(composed, str("4"));
    EXPECT_TRUE(child->items().contains(composed));
    child->removeAll();
    EXPECT_EQ(child->count(), 0u);

    array->remove(0);
    EXPECT_TRUE(child->getAllParents().empty());
    array->append(child);
    array->append(child);
    array->removeAll();
    EXPECT_EQ(array->count(), 0u);
    EXPECT_TRUE(child->getAllParents().empty());
}

}  // namespace
}  // namespace velkor::test
