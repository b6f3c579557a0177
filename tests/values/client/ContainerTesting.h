#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "connection/ConnectionImpl.h"
#include "internals/ContainerAccess.h"
#include "support/DaemonBlobWriter.h"
#include "support/ErrorOf.h"
#include "support/FakeDaemon.h"
#include "values/client/DeserializerOnClient.h"
#include "velkor/VKArray.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKError.h"
#include "velkor/VKScalars.h"
#include "velkor/testing/VirtualTimeScheduler.h"

namespace velkor::test {

using Access = detail::ContainerAccess;

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

/// Decodes `blob` on `connection` as the connection decodes the daemon's answers.
template <typename T = VKObjectBase>
std::shared_ptr<T> decodeOn(const std::shared_ptr<InnerConnection>& connection, const Blob& blob) {
    auto decoder = DeserializerOnClient::make(blob, connection);
    return decoder ? std::dynamic_pointer_cast<T>(decoder->decodeVKObject()) : nullptr;
}

/// The texts of the events one container's observers receive.
class EventLog {
  public:
    explicit EventLog(const VKContainer& container)
        : subscription_(container.asObservable().subscribe([this](const VKContainerChange& e) {
              std::lock_guard lock(mutex_);
              events_.push_back(e);
          })) {}
    ~EventLog() { subscription_->dispose(); }

    std::vector<std::string> texts() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& e : events_)
            out.push_back(e.description());
        return out;
    }
    std::vector<VKContainerChange> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<VKContainerChange> events_;
    rx::DisposablePtr subscription_;
};

/// A ConnectionImpl over a FakeDaemon, built through the dependency container as the library
/// builds it; container events wait on a virtual-time scheduler until the test delivers them.
struct DaemonConnection {
    DaemonConnection() {
        services.registerFactory<ConnectionToServer>(
            [d = daemon](const di::Resolver&) { return d; });
        connection = ConnectionImpl::make(*services.synchronize(), scheduler);
        marker = decode<VKDictionary>(DaemonBlobWriter().dictionary(markerId, markerId, 0, 0));
    }
    /// Events still waiting keep the scheduler and the connection's event queue alive: they are
    /// delivered once no more can come.
    // The connection goes first, once the daemon's thread is idle (see ConnectionHarness).
    ~DaemonConnection() {
        connection->dispose();
        scheduler->runAll();
        daemon->waitUntilIdle();
        marker.reset();
        connection.reset();
    }

    template <typename T = VKObjectBase>
    std::shared_ptr<T> decode(const DaemonBlobWriter& writer) {
        return decodeOn<T>(connection, writer.blob());
    }

    /// Waits until every message pushed so far has been handled (a last record for a marker
    /// container is), then delivers the container events they posted.
    void settle() {
        const std::int64_t revision = marker->revision() + 1;
        daemon->pushNoteChanges({record(ChangeType::updateRevision, markerId, revision)}, {});
        for (int i = 0; i < 10000 && marker->revision() != revision; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        scheduler->runAll();
    }

    /// Answers every update with `result` and `newRevision`.
    void answerUpdates(ChangeResult result, std::int64_t newRevision) {
        daemon->setHandler([=](const ClientRequest& r) -> std::optional<ServerResponse> {
            if (r.get<ClientRequest::UpdateSettings>()) {
                return ServerResponse::SettingsUpdated{result, newRevision};
            }
            return ServerResponse::RequestSucceeded{};
        });
    }

    /// The change records the daemon received.
    std::vector<ChangeNotificationPtr> updates() const {
        std::vector<ChangeNotificationPtr> out;
        for (const auto& r : daemon->requests()) {
            if (auto* u = r.payload.get<ClientRequest::UpdateSettings>())
                out.push_back(u->change);
        }
        return out;
    }

    std::shared_ptr<rx::VirtualTimeScheduler> scheduler =
        std::make_shared<rx::VirtualTimeScheduler>();
    std::shared_ptr<FakeDaemon> daemon = FakeDaemon::make();
    di::Container services;
    std::shared_ptr<ConnectionImpl> connection;
    UUID markerId = UUID::random();
    std::shared_ptr<VKDictionary> marker;
};

}  // namespace velkor::test
