#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestContainers.h"

namespace velkor::test {
namespace {

using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

TEST(Primitives, ArraySetReportsWhetherTheItemChanged) {
    auto array = TestArray::make();
    auto first = str("one");
    array->append(first);

    // The very object: no change.
    auto r = array->set(0, first);
    EXPECT_FALSE(r.changed);
    EXPECT_EQ(r.oldValue, first);

    // An equal value: no change, and the stored object stays the old one.
    r = array->set(0, str("one"));
    EXPECT_FALSE(r.changed);
    EXPECT_EQ(r.oldValue, first);
    EXPECT_EQ(array->at(0), first);

    // A number made from true equals the number 1.
    array->set(0, num(1));
    r = array->set(0, VKNumber::withBool(true));
    EXPECT_FALSE(r.changed);

    // A different value of another kind.
    auto child = TestDictionary::make();
    r = array->set(0, child);
    EXPECT_TRUE(r.changed);
    EXPECT_TRUE(*r.oldValue == VKNumber(1));
    EXPECT_EQ(array->at(0), child);
    EXPECT_THAT(parentIds(*child), UnorderedElementsAre(array->id()));

    // Setting the same container again touches no parent set.
    r = array->set(0, child);
    EXPECT_FALSE(r.changed);
    EXPECT_THAT(parentIds(*child), UnorderedElementsAre(array->id()));

    // A container replacing a container: the new one is attached, the old one detached.
    auto next = TestArray::make();
    r = array->set(0, next);
    EXPECT_TRUE(r.changed);
    EXPECT_EQ(r.oldValue, child);
    EXPECT_THAT(parentIds(*child), IsEmpty());
    EXPECT_THAT(parentIds(*next), UnorderedElementsAre(array->id()));

    // Another object with the same id is an equal container: no change, the old one stays.
    auto twin = TestArray::make();
    Access::setId(*twin, next->id());
    r = array->set(0, twin);
    EXPECT_FALSE(r.changed);
    EXPECT_EQ(array->at(0), next);
    EXPECT_THAT(parentIds(*twin), IsEmpty());

    // A refused container leaves items and parents as they were.
    EXPECT_EQ(errorOf([&] { array->set(0, array); }), VKError::circularReferences);
    EXPECT_EQ(array->at(0), next);
    EXPECT_THAT(parentIds(*next), UnorderedElementsAre(array->id()));
    EXPECT_THAT(parentIds(*array), IsEmpty());
    auto outer = TestArray::make();
    outer->append(array);
    auto leaf = TestDictionary::make();
    next->append(leaf);
    EXPECT_EQ(errorOf([&] { next->set(0, outer); }), VKError::circularReferences);
    EXPECT_EQ(next->at(0), leaf);
    EXPECT_THAT(parentIds(*leaf), UnorderedElementsAre(next->id()));
    EXPECT_THAT(parentIds(*outer), IsEmpty());
}

TEST(Primitives, DictionaryPrimitives) {
    auto dict = TestDictionary::make();
    auto child = TestArray::make();

    // A new key holding a container: attached, stored, changed without an old value.
    auto r = dict->set("child", child);
    EXPECT_TRUE(r.changed);
    EXPECT_EQ(r.oldValue, nullptr);
    EXPECT_THAT(parentIds(*child), UnorderedElementsAre(dict->id()));

    // An equal string keeps the stored object.
    auto stored = str("caf\u00e9");
    dict->set("name", stored);
    r = dict->set("name", str("cafe\u0301"));
    EXPECT_FALSE(r.changed);
    EXPECT_EQ(r.oldValue, stored);
    EXPECT_EQ(dict->get("name"), stored);

    // Replacing the container by a scalar detaches it.
    r = dict->set("child", num(3));
    EXPECT_TRUE(r.changed);
    EXPECT_EQ(r.oldValue, child);
    EXPECT_THAT(parentIds(*child), IsEmpty());

    // A refused container under a new key stores nothing.
    auto outer = TestDictionary::make();
    outer->set("dict", dict);
    EXPECT_EQ(errorOf([&] { dict->set("outer", outer); }), VKError::circularReferences);
    EXPECT_EQ(dict->get("outer"), nullptr);
    EXPECT_EQ(dict->count(), 2u);

    // Removing.
    r = dict->remove("missing");
    EXPECT_FALSE(r.changed);
    EXPECT_EQ(r.oldValue, nullptr);
    dict->set("child", child);
    r = dict->remove("child");
    EXPECT_TRUE(r.changed);
    EXPECT_EQ(r.oldValue, child);
    EXPECT_THAT(parentIds(*child), IsEmpty());

    // Removing everything detaches every container, also one held under two keys.
    dict->set("a", child);
    dict->set("b", child);
    auto other = TestDictionary::make();
    dict->set("c", other);
    dict->removeAll();
    EXPECT_EQ(dict->count(), 0u);
    EXPECT_THAT(parentIds(*child), IsEmpty());
    EXPECT_THAT(parentIds(*other), IsEmpty());
    EXPECT_EQ(entryCount(*child), 0u);
}

TEST(Primitives, AProxyGivesWayToItsResolvedContainer) {
    auto real = TestDictionary::make();
    auto proxy = TestProxy::make(real->id());
    proxy->setRealContainer(real);

    auto array = TestArray::make();
    array->append(proxy);
    auto dict = TestDictionary::make();
    dict->set("p", proxy);
    EXPECT_THAT(parentIds(*proxy), UnorderedElementsAre(array->id(), dict->id()));

    // Not a change: the place moves from the proxy to the real container.
    auto r = array->set(0, real);
    EXPECT_FALSE(r.changed);
    EXPECT_EQ(r.oldValue, proxy);
    EXPECT_EQ(array->at(0), real);
    r = dict->set("p", real);
    EXPECT_FALSE(r.changed);
    EXPECT_EQ(r.oldValue, proxy);
    EXPECT_EQ(dict->get("p"), real);
    EXPECT_THAT(parentIds(*real), UnorderedElementsAre(array->id(), dict->id()));
    EXPECT_EQ(entryCount(*proxy), 0u);

    // Any other container replaces an unresolved proxy as a change, even one with its id.
    auto unresolved = TestProxy::make(UUID::random());
    dict->set("q", unresolved);
    auto sameId = TestDictionary::make();
    Access::setId(*sameId, unresolved->id());
    r = dict->set("q", sameId);
    EXPECT_TRUE(r.changed);
    EXPECT_EQ(r.oldValue, unresolved);
    EXPECT_EQ(dict->get("q"), sameId);

    // Values are not compared when a proxy is replaced by a container: another proxy object
    // for the same id is a change too.
    dict->set("r", unresolved);
    auto again = TestProxy::make(unresolved->id());
    r = dict->set("r", again);
    EXPECT_TRUE(r.changed);
    EXPECT_EQ(dict->get("r"), again);
    // So is a scalar in its place.
    r = dict->set("r", str("x"));
    EXPECT_TRUE(r.changed);
    EXPECT_EQ(r.oldValue, again);
}

TEST(Primitives, DestructionDetachesChildrenAndProxyLinks) {
    auto child = TestDictionary::make();
    auto keeper = TestArray::make();
    keeper->append(child);
    {
        auto array = TestArray::make();
        auto dict = TestDictionary::make(3);
        array->append(child);
        array->append(str("x"));
        dict->set("c", child);
        EXPECT_THAT(parentIds(*child), UnorderedElementsAre(keeper->id(), array->id(), dict->id()));
    }
    EXPECT_THAT(parentIds(*child), UnorderedElementsAre(keeper->id()));
    EXPECT_EQ(entryCount(*child), 1u);

    // A proxy that goes clears the real container's link back to it, but not a newer link.
    auto real = TestDictionary::make();
    auto parent = TestDictionary::make();
    auto proxy = TestProxy::make(real->id());
    parent->set("p", proxy);
    proxy->setRealContainer(real);
    EXPECT_THAT(parentIds(*real), UnorderedElementsAre(parent->id()));
    parent->remove("p");
    proxy.reset();
    // Cleared, not merely expired: the link is equivalent to an empty one.
    auto link = ParentsOfContainerBase::lock().sync([&] { return Access::parents(*real).proxy(); });
    std::weak_ptr<VKContainer> none;
    EXPECT_FALSE(link.owner_before(none) || none.owner_before(link));

    auto older = TestProxy::make(real->id());
    auto newer = TestProxy::make(real->id());
    older->setRealContainer(real);
    newer->setRealContainer(real);
    older.reset();
    EXPECT_EQ(
        ParentsOfContainerBase::lock().sync([&] { return Access::parents(*real).proxy().lock(); }),
        newer);

    // The proxy held the real container: when it goes last, the real one goes too.
    std::weak_ptr<VKContainer> weakReal = real;
    real.reset();
    EXPECT_FALSE(weakReal.expired());
    newer.reset();
    EXPECT_TRUE(weakReal.expired());
}

}  // namespace
}  // namespace velkor::test
