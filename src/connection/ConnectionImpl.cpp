#include "connection/ConnectionImpl.h"

#include <utf8proc.h>

#include "basalt/QZLogger.h"
#include "internals/ContainerAccess.h"
#include "velkor/VKContainer.h"
#include "velkor/rx/SerialEventLoopScheduler.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Connection");
    return log;
}

// Lower-cases ASCII directly and everything else through utf8proc; text that is not valid UTF-8
// keeps its non-ASCII bytes as they are.
std::string lowercased(const std::string& text) {
    std::string out = text;
    bool ascii = true;
    for (auto& c : out) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            ascii = false;
        } else if (u >= 'A' && u <= 'Z') {
            c = static_cast<char>(u - 'A' + 'a');
        }
    }
    if (ascii)
        return out;
    utf8proc_uint8_t* mapped = nullptr;
    auto n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                          static_cast<utf8proc_ssize_t>(text.size()), &mapped,
                          static_cast<utf8proc_option_t>(UTF8PROC_CASEFOLD | UTF8PROC_STABLE));
    if (n < 0)
        return out;
    std::string folded(reinterpret_cast<char*>(mapped), static_cast<std::size_t>(n));
    std::free(mapped);
    return folded;
}

}  // namespace

std::shared_ptr<ConnectionImpl> ConnectionImpl::make(const di::Resolver& resolver,
                                                     rx::SchedulerPtr scheduler,
                                                     std::chrono::nanoseconds requestTimeout) {
    auto transport = resolver.resolve<ConnectionToServer>();
    if (!transport) {
        logger().error(
            "Can't construct connection: no transport (ConnectionToServer) is registered.");
        return nullptr;
    }
    std::shared_ptr<ConnectionImpl> connection(
        new ConnectionImpl(std::move(transport), std::move(scheduler), requestTimeout));
    connection->subscribeToChannel();
    return connection;
}

ConnectionImpl::ConnectionImpl(std::shared_ptr<ConnectionToServer> transport,
                               rx::SchedulerPtr scheduler, std::chrono::nanoseconds requestTimeout)
    : id_(UUID::random()),
      scheduler_(std::move(scheduler)),
      requestTimeout_(requestTimeout),
      events_(dispatch::SerialActionQueue::make(scheduler_)),
      notifications_(std::make_shared<rx::SerialEventLoopScheduler>("VKNotifications")),
      connectionToServer_(std::move(transport)) {
    logger().trace("Constructing connection (id=%@)...", id_);
    serverSyncChannel_ = SyncAdapter::make(connectionToServer_->virtualChannel(), requestTimeout);
}

void ConnectionImpl::subscribeToChannel() {
    std::weak_ptr<ConnectionImpl> weak = shared_from_this();
    subscriptions_.virtualChannelEvents = connectionToServer_->virtualChannel()->events().subscribe(
        {},
        [weak](rx::Error) {
            if (auto self = weak.lock())
                self->connectedSubject_.onCompleted();
        },
        [weak] {
            if (auto self = weak.lock())
                self->connectedSubject_.onCompleted();
        });
    subscriptions_.syncChannelNotifications =
        serverSyncChannel_->notificationsSubject.asObservable().subscribe(
            [weak](const ServerResponse& message) {
                auto self = weak.lock();
                if (!self)
                    return;
                self->notifications_->schedule([weak, message] {
                    auto connection = weak.lock();
                    if (connection && !connection->isDisposed()) {
                        connection->handleNotification(message);
                    }
                });
            });
    registryOfContainers_.setConnection(weak);
    logger().trace("Connection constructed (id=%@).", id_);
}

ConnectionImpl::~ConnectionImpl() {
    logger().trace("Destructing connection (id=%@)...", id_);
    dispose();
    logger().trace("Connection destructed (id=%@).", id_);
}

ConnectionImpl::Params ConnectionImpl::normalizeParams(const std::string& domain,
                                                       VKOwnership ownership,
                                                       const std::string& path) {
    if (domain.empty()) {
        logger().error("Domain can't be empty.");
        throw VKError(VKError::invalidData);
    }
    auto first = path.find_first_not_of('/');
    std::string trimmed;
    if (first != std::string::npos) {
        auto last = path.find_last_not_of('/');
        trimmed = path.substr(first, last - first + 1);
    }
    return Params{lowercased(domain), ownership.userNumber(), std::move(trimmed)};
}

void ConnectionImpl::throwIfShutDown() const {
    if (shutdown_.flag.load(std::memory_order_acquire)) {
        logger().error("Connetion has been lost.");
        throw VKError(VKError::connectionLost);
    }
}

bool ConnectionImpl::atomicSetShutdown() {
    return shutdown_.lock.sync([&] { return !shutdown_.flag.exchange(true); });
}

void ConnectionImpl::deleteSettings(const std::string& domain, VKOwnership ownership) {
    throwIfShutDown();
    auto params = normalizeParams(domain, ownership, {});
    logger().debug("Deleting settings file for domain='%@', user=%d...", params.domain,
                   params.user);
    auto answer = send(ClientRequest::DeleteSettings{params.domain, params.user});
    if (auto* failed = answer.get<ServerResponse::RequestHasFailed>()) {
        logger().error("Delete settings failed with: %@", failed->error);
        throw failed->error;
    }
    if (auto* deleted = answer.get<ServerResponse::SettingsDeleted>()) {
        handleSettingsDeleted(deleted->rootId, false);
        lookupMapOfContainers_.withLock([&](LookupMapOfContainers::Map& map) {
            map.unregister(params.domain, params.user, std::string());
        });
        return;
    }
    logger().error("Delete settings failed. Unexpected response: %@", answer);
    throw VKError(VKError::serverError);
}

void ConnectionImpl::handleSettingsDeleted(const UUID& rootId, bool postNotifications) {
    logger().debug("Settings (rootId=%@) have been deleted (notify=%@).", rootId,
                   postNotifications ? "true" : "false");
    auto detached = registryOfContainers_.unregisterHavingRootId(rootId);
    if (!postNotifications)
        return;
    for (const auto& container : detached) {
        detail::ContainerAccess::postChangeNotification(*container, VKContainerChange::DidDelete{},
                                                        *this);
    }
}

void ConnectionImpl::unregisterContainer(const UUID& id) {
    registryOfContainers_.unregister(id);
    // Reached from container destructors, which must never wait for the lookup map's lock.
    lookupMapOfContainers_.forgetDestroyed(id);
}

void ConnectionImpl::unregisterContainer(const UUID& id,
                                         const std::weak_ptr<const VKContainerBase>& container) {
    if (registryOfContainers_.unregisterIfSame(id, container)) {
        lookupMapOfContainers_.forgetDestroyed(id);
    }
}

void ConnectionImpl::schedule(std::function<void()> action) {
    events_->add(std::move(action));
}

void ConnectionImpl::scheduleAfterPushes(std::function<void()> action,
                                         std::chrono::milliseconds delay) {
    std::weak_ptr<ConnectionImpl> weak = shared_from_this();
    auto run = [weak, action = std::move(action)] {
        auto connection = weak.lock();
        if (connection && !connection->isDisposed()) {
            action();
        }
    };
    if (delay.count() > 0) {
        notifications_->scheduleAfter(delay, std::move(run));
    } else {
        notifications_->schedule(std::move(run));
    }
}

void ConnectionImpl::dispose() {
    if (!atomicSetShutdown())
        return;
    logger().debug("Shutting down connection (id=%@)...", id_);
    if (subscriptions_.syncChannelNotifications) {
        subscriptions_.syncChannelNotifications->dispose();
    }
    if (subscriptions_.virtualChannelEvents) {
        subscriptions_.virtualChannelEvents->dispose();
    }
    serverSyncChannel_->shutdown();
    registryOfContainers_.shutdown();
    logger().debug("Connection was shut down (id=%@).", id_);
}

}  // namespace velkor
