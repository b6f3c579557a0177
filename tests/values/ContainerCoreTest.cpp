#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "TestContainers.h"
#include "basalt/QZLogger.h"
#include "internals/ChangeNotification.h"
#include "support/FakeInnerConnection.h"
#include "velkor/testing/VirtualTimeScheduler.h"

namespace velkor::test {
namespace {

using Report = FakeInnerConnection::SubscriptionReport;
using ::testing::ElementsAre;
using namespace std::chrono_literals;

TEST(ContainerCore, SubscriptionIsReportedOncePerTransition) {
    auto scheduler = std::make_shared<rx::VirtualTimeScheduler>();
    auto connection = FakeInnerConnection::make(scheduler);
    auto dict = TestDictionary::make();

    // Without a connection nothing is reported, also not once one is attached.
    dict->asObservable().subscribe()->dispose();
    EXPECT_TRUE(connection->subscriptionReports().empty());

    Access::setInnerConnection(*dict, connection);
    auto first = dict->asObservable().subscribe();
    auto second = dict->asObservable().subscribe();
    EXPECT_THAT(connection->subscriptionReports(), ElementsAre(Report{dict->id(), true}));
    first->dispose();
    EXPECT_EQ(connection->subscriptionReports().size(), 1u);
    second->dispose();
    EXPECT_THAT(connection->subscriptionReports(),
                ElementsAre(Report{dict->id(), true}, Report{dict->id(), false}));

    // A new first observer is reported again.
    auto third = dict->asObservable().subscribe();
    EXPECT_EQ(connection->subscriptionReports().size(), 3u);
    EXPECT_EQ(connection->subscriptionReports().back(), (Report{dict->id(), true}));

    // Detaching happens only from the connection the container is still attached to.
    EXPECT_FALSE(Access::clearInnerConnectionIf(*dict, FakeInnerConnection::make(scheduler).get()));
    EXPECT_TRUE(dict->onServer());
    EXPECT_TRUE(Access::clearInnerConnectionIf(*dict, connection.get()));
    EXPECT_FALSE(dict->onServer());

    // The stream does not keep the container alive; leaving after it is gone reports nothing.
    dict.reset();
    third->dispose();
    EXPECT_EQ(connection->subscriptionReports().size(), 3u);
}

TEST(ContainerCore, AFailedReportEndsTheStream) {
    auto scheduler = std::make_shared<rx::VirtualTimeScheduler>();
    auto connection = FakeInnerConnection::make(scheduler);
    auto dict = TestDictionary::make();
    Access::setInnerConnection(*dict, connection);
    // The report times out: the daemon may have taken it all the same.
    connection->interceptSubscriptionReports([](bool hasSubscription) {
        if (hasSubscription)
            throw VKError(VKError::connectionLost);
    });

    auto errorCode = [](rx::Error e) { return errorOf([&] { std::rethrow_exception(e); }); };
    std::vector<std::optional<VKError::Code>> errors;
    int values = 0;
    dict->asObservable().subscribe([&](const VKContainerChange&) { ++values; },
                                   [&](rx::Error e) { errors.push_back(errorCode(e)); });
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], VKError::connectionLost);

    // Later observers get the error at once, even once the daemon is back; nothing more is
    // sent for this container and no event gets through.
    connection->interceptSubscriptionReports(nullptr);
    dict->asObservable().subscribe({}, [&](rx::Error e) { errors.push_back(errorCode(e)); });
    EXPECT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[1], VKError::connectionLost);
    Access::postChangeNotification(*dict, VKContainerChange::DidDelete{}, *connection);
    scheduler->runAll();
    EXPECT_EQ(values, 0);
    // The report that failed is withdrawn, since it may have reached the daemon.
    EXPECT_THAT(connection->subscriptionReports(),
                ElementsAre(Report{dict->id(), true}, Report{dict->id(), false}));
}

TEST(ContainerCore, ASlowReportDoesNotHoldUpOtherObservers) {
    auto scheduler = std::make_shared<rx::VirtualTimeScheduler>();
    auto connection = FakeInnerConnection::make(scheduler);
    auto dict = TestDictionary::make();
    Access::setInnerConnection(*dict, connection);
    std::promise<void> reporting;
    std::promise<void> secondSubscribed;
    std::optional<std::future_status> firstReport;
    connection->interceptSubscriptionReports([&](bool hasSubscription) {
        if (hasSubscription) {
            reporting.set_value();
            firstReport = secondSubscribed.get_future().wait_for(30s);
        }
    });
    rx::DisposablePtr first;
    std::thread firstObserver([&] { first = dict->asObservable().subscribe(); });
    reporting.get_future().wait();
    auto second = dict->asObservable().subscribe();
    secondSubscribed.set_value();
    firstObserver.join();
    EXPECT_EQ(firstReport, std::future_status::ready)
        << "the second observer waited for the first one's report";
    first->dispose();
    second->dispose();
    EXPECT_THAT(connection->subscriptionReports(),
                ElementsAre(Report{dict->id(), true}, Report{dict->id(), false}));
}

TEST(ContainerCore, ReportsStayBalancedWhileObserversComeAndGoOnManyThreads) {
    auto scheduler = std::make_shared<rx::VirtualTimeScheduler>();
    auto connection = FakeInnerConnection::make(scheduler);
    auto dict = TestDictionary::make();
    Access::setInnerConnection(*dict, connection);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i)
                dict->asObservable().subscribe()->dispose();
        });
    }
    for (auto& thread : threads)
        thread.join();
    // The daemon is told true and false by turns, and finally false.
    auto reports = connection->subscriptionReports();
    ASSERT_FALSE(reports.empty());
    for (std::size_t i = 0; i < reports.size(); ++i)
        EXPECT_EQ(reports[i].hasSubscription, i % 2 == 0) << "report " << i;
    EXPECT_FALSE(reports.back().hasSubscription);
}

TEST(ContainerCore, EventsArriveOnTheSchedulerInPostingOrder) {
    auto scheduler = std::make_shared<rx::VirtualTimeScheduler>();
    auto connection = FakeInnerConnection::make(scheduler);
    auto dict = TestDictionary::make();
    std::vector<std::string> seen;
    auto subscription = dict->asObservable().subscribe(
        [&](const VKContainerChange& change) { seen.push_back(change.description()); });

    Access::postChangeNotification(*dict, VKContainerChange::DidDictionaryChildAdd{"a", num(1)},
                                   *connection);
    Access::postChangeNotification(*dict, VKContainerChange::DidDictionaryChildReplace{"a", num(1)},
                                   *connection);
    Access::postChangeNotification(*dict, VKContainerChange::DidRemoveAll{}, *connection);
    EXPECT_TRUE(seen.empty());  // never on the posting thread

    // Posted events still reach the observers when the container is gone by then.
    dict.reset();
    scheduler->runAll();
    EXPECT_THAT(seen, ElementsAre("didDictionaryChildAdd(key=a)",
                                  "didDictionaryChildReplace(key=a)", "didRemoveAll"));
    subscription->dispose();
}

TEST(ContainerCore, ExchangePublishesOneRecordAndReturnsTheVerdict) {
    static auto& logger = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Dictionary");
    auto scheduler = std::make_shared<rx::VirtualTimeScheduler>();
    auto connection = FakeInnerConnection::make(scheduler);

    struct Exchanging final : VKArrayBase {
        std::string description() const override { return "exchanging"; }
        std::pair<ChangeResult, std::int64_t> move(InnerConnection& c) {
            return Access::exchangeChange(*this, c, ChangeType::childMoved, 1, 4, {}, {}, logger,
                                          "Move item result: ");
        }
        std::pair<ChangeResult, std::int64_t> insert(InnerConnection& c) {
            return Access::exchangeChange(*this, c, ChangeType::childInserted, 0, 0, "key", {1, 2},
                                          logger, "Set item result: ");
        }
    };
    auto container = std::make_shared<Exchanging>();
    Access::setRevision(*container, 41);

    connection->answerChanges(ChangeResult::waitToBeUpdated, 42);
    auto [result, newRevision] = container->move(*connection);
    EXPECT_EQ(result, ChangeResult::waitToBeUpdated);
    EXPECT_EQ(newRevision, 42);
    EXPECT_EQ(container->revision(), 41);  // applying the verdict is the caller's
    ASSERT_EQ(connection->publishedChanges().size(), 1u);
    EXPECT_EQ(*connection->publishedChanges()[0],
              VKChangeNotification(ChangeType::childMoved, container->id(), 41, 1, 4, "", {}));

    connection->answerChanges(ChangeResult::synchronizeConflict, 0);
    std::tie(result, newRevision) = container->insert(*connection);
    EXPECT_EQ(result, ChangeResult::synchronizeConflict);
    EXPECT_EQ(
        *connection->publishedChanges()[1],
        VKChangeNotification(ChangeType::childInserted, container->id(), 41, 0, 0, "key", {1, 2}));

    // A failed publication propagates.
    connection->failChanges(VKError::connectionLost);
    EXPECT_EQ(errorOf([&] { container->insert(*connection); }), VKError::connectionLost);
}

TEST(ContainerCore, PrefetchVisitsEachAttachedContainerOnce) {
    auto scheduler = std::make_shared<rx::VirtualTimeScheduler>();
    auto connection = FakeInnerConnection::make(scheduler);

    // root holds left and right, both hold shared: a diamond.
    auto root = TestDictionary::make();
    auto left = TestDictionary::make();
    auto right = TestDictionary::make();
    auto shared = TestDictionary::make();
    root->set("left", left);
    root->set("right", right);
    left->set("shared", shared);
    right->set("shared", shared);

    // Nothing happens while local.
    root->prefetchContent(true);
    root->prefetchContent(false);
    EXPECT_EQ(root->prefetchVisits, 0);

    for (auto& c : {root, left, right, shared}) {
        Access::setInnerConnection(*c, connection);
    }
    root->prefetchContent(false);
    EXPECT_EQ(root->prefetchVisits, 1);
    EXPECT_EQ(left->prefetchVisits, 0);

    root->prefetchContent(true);
    EXPECT_EQ(root->prefetchVisits, 2);
    EXPECT_EQ(left->prefetchVisits, 1);
    EXPECT_EQ(right->prefetchVisits, 1);
    EXPECT_EQ(shared->prefetchVisits, 1);

    // A detached container is not entered.
    Access::setInnerConnection(*right, nullptr);
    root->prefetchContent(true);
    EXPECT_EQ(right->prefetchVisits, 1);
    EXPECT_EQ(shared->prefetchVisits, 2);
}

}  // namespace
}  // namespace velkor::test
