#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "settings/ContentDiff.h"
#include "support/ErrorOf.h"
#include "support/LogCapture.h"
#include "velkor/Settings.h"
#include "velkor/VKArray.h"
#include "velkor/VKScalars.h"
#include "velkor/rx/PublishSubject.h"
#include "velkor/rx/Variable.h"

using namespace velkor;
using velkor::test::errorOf;

namespace {

using Keys = std::vector<std::string>;

VKObjectPtr num(std::int64_t n) {
    return std::make_shared<VKNumber>(n);
}

VKDictionaryPtr dictionary(std::initializer_list<std::pair<std::string, VKObjectPtr>> items) {
    auto result = VKDictionary::make();
    for (const auto& [key, value] : items)
        result->set(key, value);
    return result;
}

// Values are compared in depth: equal sub-trees in different containers are unchanged, a change
// two levels down marks its top-level key, and a different kind is a change.
TEST(ContentDiff, TellsTopLevelKeysAddedRemovedAndChangedInDepth) {
    auto before = dictionary({{"kept", num(1)},
                              {"retyped", num(1)},
                              {"removed", num(1)},
                              {"nested", dictionary({{"x", dictionary({{"y", num(1)}})}})},
                              {"list", VKArray::make({num(1), num(2)})}});
    auto after = dictionary({{"kept", num(1)},
                             {"retyped", std::make_shared<VKString>("1")},
                             {"added", num(1)},
                             {"nested", dictionary({{"x", dictionary({{"y", num(2)}})}})},
                             {"list", VKArray::make({num(1), num(2)})}});

    auto diff = ContentDiff::between(before, after);
    EXPECT_EQ(diff.added, Keys{"added"});
    EXPECT_EQ(diff.removed, Keys{"removed"});
    EXPECT_EQ(diff.changed, (Keys{"nested", "retyped"}));

    // Nothing held before: every key is new.
    EXPECT_EQ(ContentDiff::between(nullptr, after).added,
              (Keys{"added", "kept", "list", "nested", "retyped"}));
}

/// A connection that opens one given root, or fails with a given error (none: not a VKError).
class FakeConnection final : public VKConnection {
  public:
    explicit FakeConnection(VKDictionaryPtr root, std::optional<VKError> error = {})
        : root_(std::move(root)), error_(error) {}
    rx::Observable<rx::Unit> asObservable() override { return lost_.asObservable(); }
    void createSettings(const VKContainerPtr&, const std::string&, VKOwnership) override {}
    OpenResult openOrCreateSettings(const VKContainerPtr&, const std::string&,
                                    VKOwnership) override {
        if (error_)
            throw *error_;
        if (!root_)
            throw std::runtime_error("not a VKError");
        return {root_, true};
    }
    VKObjectPtr getSetting(const std::string&, const std::string&, bool, VKOwnership) override {
        if (error_)
            throw *error_;
        return root_;
    }
    void deleteSettings(const std::string&, VKOwnership) override {}
    void dispose() override {}
    bool isDisposed() const override { return false; }

  private:
    VKDictionaryPtr root_;
    std::optional<VKError> error_;
    rx::PublishSubject<rx::Unit> lost_;
};

class FakeMonitor final : public VKConnectionMonitor {
  public:
    rx::Observable<VKConnectionPtr> observableConnection() const override {
        return connection.asObservable();
    }
    using VKConnectionMonitor::bootstrapSettings;
    void bootstrapSettings(const VKContainerPtr&, const std::string&, VKOwnership, std::int64_t,
                           std::uint32_t) override {}
    void dispose() override {}
    bool isDisposed() const override { return false; }
    rx::Variable<VKConnectionPtr> connection{nullptr};
};

VKConnectionPtr opening(VKDictionaryPtr root) {
    return std::make_shared<FakeConnection>(std::move(root));
}

VKConnectionPtr failing(std::optional<VKError> error) {
    return std::make_shared<FakeConnection>(nullptr, error);
}

// Opening is refused only for the daemon's refusals; a daemon away is waited for. Later
// failures, of any kind, reach the observers, and the next connection opens the file again.
TEST(SettingsHandle, OpeningFailuresAreThrownFirstAndReportedLater) {
    test::LogCapture logs;
    auto monitor = std::make_shared<FakeMonitor>();
    monitor->connection.setValue(failing(VKError::fileDoesNotExist));
    EXPECT_EQ(errorOf([&] { (void)Settings::open(monitor, "app"); }), VKError::fileDoesNotExist);
    monitor->connection.setValue(failing(VKError::connectionLost));
    auto settings = Settings::open(monitor, "app");
    EXPECT_EQ(settings->current(), nullptr);

    std::vector<std::optional<VKError>> lost;
    std::vector<VKDictionaryPtr> reloaded;
    Subscription watching = settings->observe([&](const Settings::Event& e) {
        if (const auto* event = std::get_if<Settings::Lost>(&e))
            lost.push_back(event->error);
        if (const auto* event = std::get_if<Settings::Reloaded>(&e))
            reloaded.push_back(event->root);
    });
    monitor->connection.setValue(failing(std::nullopt));
    auto root = dictionary({});
    monitor->connection.setValue(opening(root));
    EXPECT_EQ(lost, std::vector<std::optional<VKError>>{VKError(VKError::serverError)});
    EXPECT_EQ(reloaded, std::vector<VKDictionaryPtr>{root});
    EXPECT_EQ(settings->current(), root);
}

// Connections published from several threads while observers come and go and the handle is
// disposed; run under ThreadSanitizer. Afterwards a last publication still reaches the observers
// in order.
TEST(SettingsHandle, PublicationsObserversAndDisposalRace) {
    test::LogCapture logs;
    for (int round = 0; round < 20; ++round) {
        auto monitor = std::make_shared<FakeMonitor>();
        auto settings = Settings::open(monitor, "app");
        std::atomic<int> events{0};
        auto count = [&](const Settings::Event&) { ++events; };
        Subscription kept = settings->observe(count);
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 30; ++i) {
                    monitor->connection.setValue(
                        (i + t) % 3 == 0 ? nullptr : opening(dictionary({{"n", num(i)}})));
                }
            });
        }
        threads.emplace_back([&] {
            for (int i = 0; i < 30; ++i) {
                Subscription passing = settings->observe(count);
                (void)settings->current();
            }
        });
        for (auto& thread : threads)
            thread.join();

        auto last = dictionary({{"last", num(1)}});
        Settings::Event seen = Settings::Lost{};
        Subscription watching = settings->observe([&](const Settings::Event& e) { seen = e; });
        monitor->connection.setValue(opening(last));
        EXPECT_EQ(settings->current(), last);
        const auto* reloaded = std::get_if<Settings::Reloaded>(&seen);
        ASSERT_NE(reloaded, nullptr);
        EXPECT_EQ(reloaded->root, last);

        std::thread publisher([&] { monitor->connection.setValue(opening(last)); });
        settings->dispose();
        publisher.join();
        EXPECT_EQ(settings->current(), nullptr);
        EXPECT_GT(events.load(), 0);
    }
}

}  // namespace
