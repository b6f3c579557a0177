#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestContainers.h"
#include "support/FakeInnerConnection.h"
#include "velkor/rx/ImmediateScheduler.h"

namespace velkor::test {
namespace {

using ::testing::UnorderedElementsAre;

TEST(Parents, SelfAndAncestorsAreRefused) {
    auto a = TestDictionary::make();
    auto b = TestDictionary::make();
    auto c = TestDictionary::make();

    EXPECT_EQ(errorOf([&] { a->set("self", a); }), VKError::circularReferences);
    EXPECT_EQ(a->count(), 0u);
    EXPECT_TRUE(parentIds(*a).empty());

    a->set("b", b);
    b->set("c", c);
    EXPECT_EQ(errorOf([&] { c->set("a", a); }), VKError::circularReferences);
    EXPECT_EQ(errorOf([&] { c->set("b", b); }), VKError::circularReferences);
    EXPECT_EQ(c->count(), 0u);
    EXPECT_THAT(parentIds(*a), ::testing::IsEmpty());

    // A second parent is no cycle; placing it twice under one parent keeps one entry for it.
    a->set("c", c);
    EXPECT_THAT(parentIds(*c), UnorderedElementsAre(a->id(), b->id()));
    a->set("c2", c);
    EXPECT_EQ(entryCount(*c), 2u);
    EXPECT_THAT(parentIds(*c), UnorderedElementsAre(a->id(), b->id()));

    // While a still holds c in one place, a stays c's parent: a cycle through it is refused.
    a->remove("c");
    EXPECT_THAT(parentIds(*c), UnorderedElementsAre(a->id(), b->id()));
    b->remove("c");
    EXPECT_THAT(parentIds(*c), UnorderedElementsAre(a->id()));
    EXPECT_EQ(errorOf([&] { c->set("a", a); }), VKError::circularReferences);
    a->remove("c2");
    EXPECT_TRUE(parentIds(*c).empty());
    c->set("a", a);  // no longer a cycle
    EXPECT_THAT(parentIds(*a), UnorderedElementsAre(c->id()));
}

TEST(Parents, AncestorsOfAResolvedProxyCount) {
    // q holds proxy p; p was resolved into r. Then q is an ancestor of r.
    auto q = TestDictionary::make();
    auto r = TestDictionary::make();
    auto p = TestProxy::make(r->id());
    q->set("p", p);
    p->setRealContainer(r);

    EXPECT_THAT(parentIds(*r), UnorderedElementsAre(q->id()));
    EXPECT_EQ(errorOf([&] { r->set("q", q); }), VKError::circularReferences);

    // And further up: q's parent too.
    auto top = TestArray::make();
    top->append(q);
    EXPECT_EQ(errorOf([&] { r->set("top", top); }), VKError::circularReferences);
    // Something unrelated is fine.
    r->set("other", TestDictionary::make());

    // Once the proxy is gone, its ancestors no longer count.
    q->remove("p");
    p.reset();
    EXPECT_TRUE(parentIds(*r).empty());
    r->set("q", q);
}

TEST(Parents, RootsAndConnectionsMustMatch) {
    auto scheduler = std::make_shared<rx::ImmediateScheduler>();
    auto connection = FakeInnerConnection::make(scheduler);
    auto otherConnection = FakeInnerConnection::make(scheduler);
    const UUID root = UUID::random();

    auto settings = TestDictionary::make();
    Access::setRootId(*settings, root);
    Access::setInnerConnection(*settings, connection);

    // A new local container joins the settings file it is placed into.
    auto local = TestDictionary::make();
    EXPECT_TRUE(local->rootId().isZero());
    settings->set("local", local);
    EXPECT_EQ(local->rootId(), root);

    // A parent without a root accepts any child.
    auto building = TestArray::make();
    building->append(settings);
    EXPECT_TRUE(building->rootId().isZero());

    // Another settings file.
    auto foreign = TestDictionary::make();
    Access::setRootId(*foreign, UUID::random());
    Access::setInnerConnection(*foreign, connection);
    EXPECT_EQ(errorOf([&] { settings->set("foreign", foreign); }), VKError::notTheSameRoot);
    EXPECT_TRUE(parentIds(*foreign).empty());

    // The same root through another connection, or through none.
    auto elsewhere = TestDictionary::make();
    Access::setRootId(*elsewhere, root);
    Access::setInnerConnection(*elsewhere, otherConnection);
    EXPECT_EQ(errorOf([&] { settings->set("elsewhere", elsewhere); }), VKError::notTheSameRoot);
    EXPECT_FALSE(Access::sameConnection(*settings, *elsewhere));
    Access::setInnerConnection(*elsewhere, nullptr);
    EXPECT_EQ(errorOf([&] { settings->set("elsewhere", elsewhere); }), VKError::notTheSameRoot);
    // Both detached with the same root: allowed.
    Access::setInnerConnection(*settings, nullptr);
    EXPECT_TRUE(Access::sameConnection(*settings, *elsewhere));
    settings->set("elsewhere", elsewhere);
    EXPECT_EQ(settings->count(), 2u);

    // The adoption of step one stays even when the cycle check then fails.
    auto newcomer = TestDictionary::make();
    newcomer->set("settings", settings);
    EXPECT_TRUE(newcomer->rootId().isZero());
    EXPECT_EQ(errorOf([&] { settings->set("newcomer", newcomer); }), VKError::circularReferences);
    EXPECT_EQ(newcomer->rootId(), root);
}

TEST(Parents, RemovingAndListingParents) {
    auto child = TestDictionary::make();
    auto kept = TestDictionary::make();
    kept->set("child", child);

    // A parent recorded without holding the child, then destroyed: its entry stays, dead.
    {
        auto gone = TestDictionary::make();
        Access::addParent(*child, gone, true);
        EXPECT_EQ(parentIds(*child).size(), 2u);
    }
    EXPECT_THAT(parentIds(*child), UnorderedElementsAre(kept->id()));
    EXPECT_EQ(entryCount(*child), 2u);

    // Removing an id that is not there changes nothing and reports the current count.
    std::size_t left = ParentsOfContainerBase::lock().sync(
        [&] { return Access::parents(*child).removeParent(UUID::random()); });
    EXPECT_EQ(left, 2u);
    left = ParentsOfContainerBase::lock().sync(
        [&] { return Access::parents(*child).removeParent(kept->id()); });
    EXPECT_EQ(left, 1u);
    EXPECT_TRUE(parentIds(*child).empty());
}

}  // namespace
}  // namespace velkor::test
