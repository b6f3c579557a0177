#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestContainers.h"
#include "support/FakeInnerConnection.h"
#include "velkor/Subscription.h"
#include "velkor/rx/ImmediateScheduler.h"
#include "velkor/rx/PublishSubject.h"

namespace velkor::test {
namespace {

using Report = FakeInnerConnection::SubscriptionReport;
using ::testing::ElementsAre;

TEST(Subscription, EndsWhenDestroyedAndFollowsMovesAndRelease) {
    rx::PublishSubject<int> subject;
    std::vector<int> seen;
    auto record = [&seen](int tag) {
        return [&seen, tag](const int& v) { seen.push_back(tag * v); };
    };

    {
        Subscription a = scoped(subject.asObservable().subscribe(record(1)));
        EXPECT_TRUE(a.active());
        subject.onNext(1);
        Subscription b = std::move(a);  // moved: still one subscription
        EXPECT_FALSE(a.active());       // NOLINT(bugprone-use-after-move): moved-from is empty
        subject.onNext(2);
        b = scoped(subject.asObservable().subscribe(record(10)));  // the first one ends here
        subject.onNext(3);
    }
    subject.onNext(4);  // nobody listens any more
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 30}));

    // release() hands the subscription over without ending it.
    seen.clear();
    rx::DisposablePtr kept;
    {
        Subscription c = scoped(subject.asObservable().subscribe(record(1)));
        kept = c.release();
        EXPECT_FALSE(c.active());
    }
    subject.onNext(5);
    kept->dispose();
    subject.onNext(6);
    EXPECT_EQ(seen, (std::vector<int>{5}));

    // dispose() ends it at once; a stream that ended by itself leaves it inactive.
    Subscription d = scoped(subject.asObservable().subscribe(record(1)));
    d.dispose();
    subject.onNext(7);
    EXPECT_FALSE(d.active());
    Subscription e = scoped(subject.asObservable().subscribe(record(1)));
    subject.onCompleted();
    EXPECT_FALSE(e.active());
    EXPECT_EQ(seen, (std::vector<int>{5}));
}

TEST(Subscription, AContainersScopedObserverTellsTheDaemonWhenItGoes) {
    auto connection = FakeInnerConnection::make(std::make_shared<rx::ImmediateScheduler>());
    auto dict = TestDictionary::make();
    Access::setInnerConnection(*dict, connection);

    {
        auto watching = dict->observe([](const VKContainerChange&) {});
        EXPECT_THAT(connection->subscriptionReports(), ElementsAre(Report{dict->id(), true}));
    }
    EXPECT_THAT(connection->subscriptionReports(),
                ElementsAre(Report{dict->id(), true}, Report{dict->id(), false}));

    // A released observer stays subscribed until its handle is disposed.
    rx::DisposablePtr handle = dict->observe([](const VKContainerChange&) {}).release();
    EXPECT_EQ(connection->subscriptionReports().size(), 3u);
    handle->dispose();
    EXPECT_EQ(connection->subscriptionReports().back(), (Report{dict->id(), false}));
    Access::setInnerConnection(*dict, nullptr);
}

}  // namespace
}  // namespace velkor::test
