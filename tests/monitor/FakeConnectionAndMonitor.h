#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <stdexcept>

#include "velkor/VKConnectionMonitor.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKError.h"
#include "velkor/rx/PublishSubject.h"
#include "velkor/rx/Variable.h"

namespace velkor::test {

/// A connection whose end the test triggers, whose openings give `root` or fail with
/// `openError` (with something else than a VKError when `foreignError` is set).
class FakeConnection final : public VKConnection {
  public:
    explicit FakeConnection(VKDictionaryPtr root = nullptr, std::optional<VKError> error = {},
                            bool foreign = false)
        : root(std::move(root)), openError(error), foreignError(foreign) {}
    rx::Observable<rx::Unit> asObservable() override { return lost.asObservable(); }
    void createSettings(const VKContainerPtr&, const std::string&, VKOwnership) override {}
    OpenResult openOrCreateSettings(const VKContainerPtr&, const std::string&,
                                    VKOwnership) override {
        ++opens;
        return {opened(), true};
    }
    VKObjectPtr getSetting(const std::string&, const std::string&, bool, VKOwnership) override {
        return opened();
    }
    void deleteSettings(const std::string&, VKOwnership) override { ++deletes; }
    void dispose() override { disposed = true; }
    bool isDisposed() const override { return disposed; }
    VKDictionaryPtr opened() const {
        if (whileOpening)
            whileOpening();
        if (openError)
            throw *openError;
        if (foreignError)
            throw std::runtime_error("not a VKError");
        return root;
    }
    /// The connection to the daemon ends.
    void lose() {
        completed = true;
        lost.onCompleted();
    }

    VKDictionaryPtr root;
    std::optional<VKError> openError;
    bool foreignError = false;
    std::function<void()> whileOpening;  // runs first in each opening
    rx::PublishSubject<rx::Unit> lost;
    std::atomic<bool> completed{false}, disposed{false};
    std::atomic<int> opens{0}, deletes{0};
};

/// A monitor that publishes the connections the test gives it.
class FakeMonitor final : public VKConnectionMonitor {
  public:
    rx::Observable<VKConnectionPtr> observableConnection() const override {
        return connection.asObservable();
    }
    void bootstrapSettings(const VKContainerPtr&, const std::string&, VKOwnership, std::int64_t,
                           std::uint32_t) override {}
    void dispose() override {}
    bool isDisposed() const override { return false; }
    /// Publishes a connection that opens `root`, or fails with `error` (none: foreign error).
    void publish(VKDictionaryPtr root, std::optional<VKError> error = {}) {
        connection.setValue(std::make_shared<FakeConnection>(root, error, !root && !error));
    }

    rx::Variable<VKConnectionPtr> connection{nullptr};
};

}  // namespace velkor::test
