#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "connection/ConnectionImpl.h"
#include "internals/ContainerAccess.h"
#include "internals/InnerConnection.h"
#include "support/FakeDaemon.h"
#include "velkor/VKDictionaryBase.h"
#include "velkor/VKError.h"
#include "velkor/rx/Scheduler.h"

namespace velkor::test {

/// A dictionary that records the changes the daemon reports to it, and can make a change the
/// way the client dictionary does: holding its write lock while the daemon answers.
class RecordingDictionary final : public VKDictionaryBase {
  public:
    struct Applied {
        ChangeType type;
        std::string path;
        int sequence;
    };

    static std::shared_ptr<RecordingDictionary> make() {
        return std::make_shared<RecordingDictionary>(4);
    }
    explicit RecordingDictionary(std::size_t capacity) : VKDictionaryBase(capacity) {
        static constexpr ContainerHooks hooks{.handleChangeFromServer = &recordChange};
        detail::ContainerAccess::setHooks(*this, hooks);
    }

    std::string description() const override { return "dic(id=" + id().description() + ")"; }

    /// Records the change; a change for the key "throw" fails with invalidData.
    static void recordChange(VKContainer& self, const VKChangeNotification& change,
                             const std::string& path) {
        auto& dictionary = static_cast<RecordingDictionary&>(self);
        dictionary.withWriteItemsLock([&] {
            if (change.key == "throw")
                throw VKError(VKError::invalidData);
            std::lock_guard lock(dictionary.mutex);
            dictionary.applied.push_back({change.type, path, ++*dictionary.sequence});
        });
    }

    /// Publishes a change while holding the write lock; returns the daemon's verdict.
    std::pair<ChangeResult, std::int64_t> publishUnderWriteLock() {
        return withWriteItemsLock([&] {
            auto record = std::make_shared<VKChangeNotification>(
                ChangeType::childChanged, id(), revision(), 0, 0, "k", std::vector<std::uint8_t>{});
            auto result =
                detail::ContainerAccess::innerConnection(*this)->publishChangeNotification(record);
            publishedAt = ++*sequence;
            return result;
        });
    }

    std::vector<Applied> appliedChanges() const {
        std::lock_guard lock(mutex);
        return applied;
    }

    std::shared_ptr<std::atomic<int>> sequence = std::make_shared<std::atomic<int>>(0);
    int publishedAt = 0;

  private:
    mutable std::mutex mutex;
    std::vector<Applied> applied;
};

/// A connection over a FakeDaemon, built through the dependency container as the library does.
struct ConnectionHarness {
    explicit ConnectionHarness(rx::SchedulerPtr scheduler) {
        container.registerFactory<ConnectionToServer>(
            [d = daemon](const di::Resolver&) { return d; });
        connection = ConnectionImpl::make(*container.synchronize(), std::move(scheduler));
    }

    // The connection goes first, once the daemon's thread is idle: a callback there may hold the
    // connection's last reference, and the daemon's last one dropped on its own thread would
    // make its destructor join that very thread.
    ~ConnectionHarness() {
        connection->dispose();
        daemon->waitUntilIdle();
        connection.reset();
    }

    /// Registers `c` with the connection as a container of the settings file `root`.
    void attach(const std::shared_ptr<VKContainer>& c, const UUID& root) const {
        detail::ContainerAccess::setRootId(*c, root);
        connection->registryOfContainers().registerContainer(c);
    }

    std::shared_ptr<FakeDaemon> daemon = FakeDaemon::make();
    di::Container container;
    std::shared_ptr<ConnectionImpl> connection;
};

/// Polls `condition` for up to 10 seconds; for waiting on other threads' work in tests.
template <typename F>
bool eventually(F condition) {
    for (int i = 0; i < 10000; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

}  // namespace velkor::test
