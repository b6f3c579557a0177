#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dispatch/SerialActionQueue.h"
#include "internals/ContainerAccess.h"
#include "internals/InnerConnection.h"
#include "registry/RegistryOfContainers.h"
#include "support/DaemonBlobWriter.h"
#include "support/ErrorOf.h"
#include "values/client/DeserializerOnClient.h"
#include "values/client/ParentsOfContainer.h"
#include "velkor/VKArray.h"
#include "velkor/VKConversions.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKScalars.h"
#include "velkor/testing/VirtualTimeScheduler.h"

namespace velkor::test {

using Access = detail::ContainerAccess;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

inline VKObjectPtr str(std::string text) {
    return std::make_shared<VKString>(std::move(text));
}
inline VKObjectPtr num(std::int64_t value) {
    return std::make_shared<VKNumber>(value);
}
inline ChangeNotificationPtr record(ChangeType type, const UUID& id, std::int64_t revision,
                                    std::int64_t from = 0, std::int64_t to = 0,
                                    std::string key = {}, std::vector<std::uint8_t> data = {}) {
    return std::make_shared<VKChangeNotification>(type, id, revision, from, to, std::move(key),
                                                  std::move(data));
}

/// The daemon's side of a connection, for containers: it records what they ask (a container's
/// id with the flag reported, or with whether a proxy was resolved recursively; the change
/// records) and answers through the functions the test sets before containers use them. Events
/// wait on a virtual-time scheduler until the test delivers them. The settings operations are
/// not for containers.
class FakeConnection final : public InnerConnection {
  public:
    static std::shared_ptr<FakeConnection> make() {
        std::shared_ptr<FakeConnection> c(new FakeConnection);
        c->registry.setConnection(c);
        c->self_ = c;
        return c;
    }
    /// Decodes a daemon blob as the connection decodes the daemon's answers.
    template <typename T = VKObjectBase>
    std::shared_ptr<T> decode(const DaemonBlobWriter& writer) {
        auto decoder = DeserializerOnClient::make(writer.blob(), self_.lock());
        return decoder ? std::dynamic_pointer_cast<T>(decoder->decodeVKObject()) : nullptr;
    }
    /// Hands reported changes to their containers as the connection does (record i with path
    /// i; one of no container here is missed), then delivers the events they posted; gives how
    /// many records were refused.
    int report(const std::vector<ChangeNotificationPtr>& records,
               const std::vector<std::string>& paths = {}) {
        int refused = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const std::string path = i < paths.size() ? paths[i] : "";
            if (auto c = registry.findForReport(records[i]->id, records[i]->revision))
                refused += errorOf([&] {
                               Access::handleChangeFromServer(*c, *records[i], path);
                           }).has_value();
        }
        scheduler->runAll();
        return refused;
    }

    // Without a function, changes are done at revision 1 and proxies are not found; what
    // reportSubscription throws is the report's failure.
    std::function<std::pair<ChangeResult, std::int64_t>(const VKChangeNotification&)> publish;
    std::function<std::shared_ptr<VKContainer>(const UUID&)> resolve;
    std::function<void(bool)> reportSubscription;
    std::vector<ChangeNotificationPtr> changes;
    std::vector<std::pair<UUID, bool>> subscriptions, resolves;
    std::vector<std::function<void()>> afterPushes;
    std::chrono::nanoseconds timeout = std::chrono::seconds(5);  // what one operation may take
    std::shared_ptr<rx::VirtualTimeScheduler> scheduler =
        std::make_shared<rx::VirtualTimeScheduler>();
    RegistryOfContainers registry;

    RegistryOfContainers& registryOfContainers() override { return registry; }
    void unregisterContainer(const UUID& id) override { registry.unregister(id); }
    void unregisterContainer(const UUID& id,
                             const std::weak_ptr<const VKContainerBase>& container) override {
        registry.unregisterIfSame(id, container);
    }
    std::pair<ChangeResult, std::int64_t> publishChangeNotification(
        const ChangeNotificationPtr& change) override {
        add(changes, change);
        return publish ? publish(*change) : std::pair(ChangeResult::done, std::int64_t{1});
    }
    std::shared_ptr<VKContainer> resolveContainerProxy(const UUID& id, bool recursive) override {
        add(resolves, {id, recursive});
        return resolve ? resolve(id) : throw VKError(VKError::containerNotFound);
    }
    void setHasSubscription(const UUID& id, bool hasSubscription) override {
        add(subscriptions, {id, hasSubscription});
        if (reportSubscription)
            reportSubscription(hasSubscription);
    }
    void schedule(std::function<void()> action) override { events_->add(std::move(action)); }
    void scheduleAfterPushes(std::function<void()> action, std::chrono::milliseconds) override {
        add(afterPushes, std::move(action));
    }
    /// Runs what was scheduled after the pushes, as the connection's thread for them does.
    void runAfterPushes() {
        std::vector<std::function<void()>> actions;
        {
            std::lock_guard lock(mutex_);
            actions.swap(afterPushes);
        }
        for (auto& action : actions)
            action();
    }
    std::chrono::nanoseconds requestTimeout() const override { return timeout; }
    rx::Observable<rx::Unit> asObservable() override { return {}; }
    void createSettings(const std::shared_ptr<VKContainer>&, const std::string&,
                        VKOwnership) override {
        throw VKError(VKError::notImplementedYet);
    }
    OpenResult openOrCreateSettings(const std::shared_ptr<VKContainer>&, const std::string&,
                                    VKOwnership) override {
        throw VKError(VKError::notImplementedYet);
    }
    VKObjectPtr getSetting(const std::string&, const std::string&, bool, VKOwnership) override {
        throw VKError(VKError::notImplementedYet);
    }
    void deleteSettings(const std::string&, VKOwnership) override {
        throw VKError(VKError::notImplementedYet);
    }
    void dispose() override {}
    bool isDisposed() const override { return false; }

  private:
    FakeConnection() = default;
    template <typename T>
    void add(std::vector<T>& log, T entry) {
        std::lock_guard lock(mutex_);
        log.push_back(std::move(entry));
    }
    std::mutex mutex_;
    std::weak_ptr<FakeConnection> self_;
    std::shared_ptr<dispatch::SerialActionQueue> events_ =
        dispatch::SerialActionQueue::make(scheduler);
};

/// The events a container's observers receive, as they are delivered.
struct EventLog {
    explicit EventLog(const VKContainer& c)
        : subscription(c.observe([this](const VKContainerChange& e) { events.push_back(e); })) {}
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& e : events)
            out.push_back(e.description());
        return out;
    }
    std::vector<VKContainerChange> events;
    Subscription subscription;
};

/// Items and revision as text: "a,b,c@5" for an array, "k=v,n=1@5" for a dictionary (by key);
/// containers read "C".
inline std::string text(const VKContainer& c) {
    std::vector<std::pair<std::string, VKObjectPtr>> items;
    if (auto* array = dynamic_cast<const VKArray*>(&c)) {
        for (const auto& v : array->items())
            items.emplace_back("", v);
    } else {
        for (const auto& [k, v] : dynamic_cast<const VKDictionary&>(c).items())
            items.emplace_back(k + "=", v);
        std::sort(items.begin(), items.end(), [](auto& x, auto& y) { return x.first < y.first; });
    }
    std::string out;
    for (const auto& [k, v] : items)
        out += (out.empty() ? "" : ",") + k + (v->isContainer() ? "C" : v->description());
    return out + "@" + std::to_string(c.revision());
}

/// How many parent entries `c` keeps, dead ones included.
inline std::size_t entryCount(const VKContainer& c) {
    return ParentsOfContainerBase::lock().sync([&] { return Access::parents(c).count(); });
}

}  // namespace velkor::test
