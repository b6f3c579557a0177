#include <future>
#include <thread>

#include "ValuesTesting.h"
#include "support/OnThreads.h"

namespace velkor::test {
namespace {

// The daemon is told when a container gets its first observer (true) and loses its last one
// (false); a report may fail or take its time.
struct ContainerCore : ::testing::Test {
    ContainerCore() { Access::setInnerConnection(*dict, connection); }
    std::vector<bool> reports() const {
        std::vector<bool> flags;
        for (const auto& [id, flag] : connection->subscriptions)
            flags.push_back(id == dict->id() && flag);
        return flags;
    }
    std::shared_ptr<FakeConnection> connection = FakeConnection::make();
    std::shared_ptr<VKDictionary> dict = VKDictionary::make();
};

TEST_F(ContainerCore, AFailedReportEndsTheStreamAndIsWithdrawn) {
    // The report times out: the daemon may have taken it all the same.
    connection->reportSubscription = [](bool has) {
        if (has)
            throw VKError(VKError::connectionLost);
    };
    std::vector<std::optional<VKError::Code>> errors;
    auto ended = dict->asObservable();
    for (int i = 0; i < 2; ++i) {  // a later observer of that stream gets the error at once
        ended.subscribe(
            [](const VKContainerChange&) { FAIL(); },
            [&](rx::Error e) { errors.push_back(errorOf([&] { std::rethrow_exception(e); })); });
        connection->reportSubscription = nullptr;
    }
    EXPECT_THAT(errors, ElementsAre(VKError::connectionLost, VKError::connectionLost));
    EXPECT_THAT(reports(), ElementsAre(true, false));
    // A later observer of the container gets a new stream, and the daemon is told again.
    EventLog later(*dict);
    Access::postChangeNotification(*dict, VKContainerChange::DidDelete{}, *connection);
    connection->scheduler->runAll();
    EXPECT_THAT(later.texts(), ElementsAre("didDelete"));
    EXPECT_THAT(reports(), ElementsAre(true, false, true));
}

TEST_F(ContainerCore, ASlowReportHoldsUpNoOtherObserverAndReportsStayBalanced) {
    std::promise<void> reporting, secondSubscribed;
    std::optional<std::future_status> firstReport;
    connection->reportSubscription = [&](bool has) {
        if (has) {
            reporting.set_value();
            firstReport = secondSubscribed.get_future().wait_for(std::chrono::seconds(30));
        }
    };
    rx::DisposablePtr first;
    std::thread firstObserver([&] { first = dict->asObservable().subscribe(); });
    reporting.get_future().wait();
    auto second = dict->asObservable().subscribe();
    secondSubscribed.set_value();
    firstObserver.join();
    EXPECT_EQ(firstReport, std::future_status::ready) << "the second observer waited";
    first->dispose();
    second->dispose();
    EXPECT_THAT(reports(), ElementsAre(true, false));

    // Observers coming and going on many threads keep the reports balanced.
    connection->reportSubscription = nullptr;
    onThreads(4, [&](int) {
        for (int i = 0; i < 300; ++i)
            dict->asObservable().subscribe()->dispose();
    });
    auto flags = reports();  // true and false by turns, false last
    ASSERT_EQ(flags.size() % 2, 0u);
    for (std::size_t i = 0; i < flags.size(); ++i)
        EXPECT_EQ(flags[i], i % 2 == 0) << "report " << i;
    // Detaching happens only from the connection the container is still attached to.
    EXPECT_FALSE(Access::clearInnerConnectionIf(*dict, FakeConnection::make().get()));
    EXPECT_TRUE(Access::clearInnerConnectionIf(*dict, connection.get()));
}

}  // namespace
}  // namespace velkor::test
