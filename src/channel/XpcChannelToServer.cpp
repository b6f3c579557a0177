#include "channel/XpcChannelToServer.h"

#include "basalt/QZLogger.h"
#include "channel/DirectChannel.h"
#include "dbus/BusError.h"
#include "dbus/ResponseCodec.h"
#include "dbus/TaggedMember.h"
#include "utils/Overloaded.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.ServerXpcChannel");
    return log;
}

}  // namespace

std::shared_ptr<XpcChannelToServer> XpcChannelToServer::make(const std::string& machServiceName,
                                                             const std::string& busAddress) {
    std::shared_ptr<XpcChannelToServer> transport(new XpcChannelToServer(machServiceName));
    transport->connect(busAddress);
    return transport;
}

XpcChannelToServer::XpcChannelToServer(std::string machServiceName)
    : virtualChannel_(std::make_shared<VirtualChannelToServer>()),
      machServiceName_(std::move(machServiceName)) {
    logger().trace("Constructing XpcChannelToServer(machServiceName='%@')....", machServiceName_);
}

XpcChannelToServer::~XpcChannelToServer() {
    logger().trace("Destructing XpcChannelToServer...");
    closeConnection();
    logger().trace("XpcChannelToServer destructed.");
}

void XpcChannelToServer::connect(const std::string& busAddress) {
    auto failure = openBus(busAddress);

    std::weak_ptr<XpcChannelToServer> weak = weak_from_this();
    logger().debug("Resuming server connection (%@).", description_);
    std::shared_ptr<dbus::BusLoop> loop;
    {
        std::lock_guard lock(fieldsMutex_);
        loop = xpcConnection_;
    }
    if (loop && !failure) {
        loop->start(
            [weak](const dbus::Message& message) {
                if (auto self = weak.lock())
                    self->handleMessage(message);
            },
            [weak] {
                if (auto self = weak.lock())
                    self->handleInvalidation();
            });
    }

    subscribeToRequests();

    if (failure) {
        handleRequestServiceError(*failure);
    } else {
        // A direct channel has one receiver: its calls carry no destination.
        auto service = std::make_shared<RequestServiceProxy>(
            loop, direct_ ? std::string() : machServiceName_,
            [weak](const std::string& description) {
                if (auto self = weak.lock())
                    self->handleRequestServiceError(description);
            });
        std::lock_guard lock(fieldsMutex_);
        if (!isClosed())
            requestService_ = std::move(service);
    }
    logger().trace("XpcChannelToServer constructed.");
}

std::optional<std::string> XpcChannelToServer::openBus(const std::string& busAddress) {
    std::shared_ptr<dbus::BusLoop> loop;
    try {
        auto bus = dbus::BusConnection::open(busAddress);
        uniqueName_ = bus.uniqueName();
        loop = std::make_shared<dbus::BusLoop>(std::move(bus));
    } catch (const dbus::BusError& e) {
        description_ = machServiceName_ + " via no bus connection";
        return std::string(e.what());
    }
    description_ = machServiceName_ + " via " + uniqueName_;
    {
        std::lock_guard lock(fieldsMutex_);
        xpcConnection_ = loop;
    }

    // The loop has not started: these calls may wait for the bus driver's answers. The match
    // comes first, so that no change of owner falls between it and the question.
    std::optional<std::string> failure;
    try {
        loop->withBus([&](dbus::BusConnection& bus) {
            auto match = bus.addMatch(dbus::NameOwnerChanged::matchRule(machServiceName_));
            // The match lives as long as the connection.
            dbus::BusError::check(sd_bus_slot_set_floating(match.get(), 1), "Keeping a match rule");
            if (auto owner = bus.nameOwner(machServiceName_)) {
                owner_ = ServiceNameOwner(*owner);
            } else if (!bus.isActivatable(machServiceName_)) {
                failure = "The settings daemon '" + machServiceName_ +
                          "' is neither on the bus nor activatable.";
            }
        });
    } catch (const dbus::BusError& e) {
        failure = e.what();
    }
    if (!failure)
        tryDirectChannel(loop);
    return failure;
}

void XpcChannelToServer::tryDirectChannel(std::shared_ptr<dbus::BusLoop>& loop) {
    auto offer = loop->withBus(
        [&](dbus::BusConnection& bus) { return openDirectChannel(bus, machServiceName_); });
    if (auto* why = std::get_if<std::string>(&offer)) {
        logger().info("Reaching %@ through the bus: %@", description_, *why);
        return;
    }
    // The bus connection goes with its loop, which never started; the channel's loss is the
    // daemon's loss from now on.
    loop = std::make_shared<dbus::BusLoop>(std::move(std::get<dbus::BusConnection>(offer)));
    direct_ = true;
    description_ = machServiceName_ + " via a direct channel of " + uniqueName_;
    {
        std::lock_guard lock(fieldsMutex_);
        xpcConnection_ = loop;
    }
    logger().info("Reaching %@ through a direct channel.", machServiceName_);
}

void XpcChannelToServer::subscribeToRequests() {
    std::weak_ptr<XpcChannelToServer> weak = weak_from_this();
    auto subscription = virtualChannel_->requestSubject.asObservable().subscribe(
        [weak](const Tagged<ClientRequest>& message) {
            if (auto self = weak.lock())
                self->routeClientRequestMessage(message.tag, message.payload);
        },
        {},
        [weak] {
            if (auto self = weak.lock())
                self->closeConnection();
        });
    {
        std::lock_guard lock(fieldsMutex_);
        if (!isClosed()) {
            requestSubscription_ = std::move(subscription);
            return;
        }
    }
    // Closed meanwhile (by the loop thread): nothing keeps the subscription.
    if (subscription)
        subscription->dispose();
}

bool XpcChannelToServer::isClosed() {
    return shutdown_.lock.sync([&] { return shutdown_.flag; });
}

void XpcChannelToServer::closeConnection() {
    if (!shutdown_.lock.sync([&] { return !std::exchange(shutdown_.flag, true); }))
        return;
    logger().trace("Closing server connection (%@)...", description_);

    rx::DisposablePtr subscription;
    {
        std::lock_guard lock(fieldsMutex_);
        subscription = std::move(requestSubscription_);
    }
    if (subscription)
        subscription->dispose();

    virtualChannel_->responseSubject.onCompleted();

    std::shared_ptr<dbus::BusLoop> connection;
    std::shared_ptr<RequestServiceProxy> service;
    {
        std::lock_guard lock(fieldsMutex_);
        connection = std::move(xpcConnection_);
        service = std::move(requestService_);
    }
    // No handler runs after this (called from a handler, the loop ends when it returns). The
    // bus connection is released with its last holder, which flushes what is still queued.
    if (connection)
        connection->stop();
}

void XpcChannelToServer::routeClientRequestMessage(const UUID& tag, const ClientRequest& payload) {
    std::shared_ptr<RequestServiceProxy> service;
    {
        // Closing empties the request service only after completing the channel; a request
        // pushed once the flag is set goes nowhere even so.
        std::lock_guard lock(fieldsMutex_);
        if (!isClosed())
            service = requestService_;
    }
    if (!service)
        return;
    if (auto reason = service->send(tag, payload)) {
        // A value that D-Bus cannot carry is the request's fault, not the connection's.
        logger().error("Can't send %@ to the settings daemon: %@", payload, *reason);
        emit(tag, ServerResponse::RequestHasFailed{VKError::invalidData});
    }
}

void XpcChannelToServer::handleMessage(const dbus::Message& message) {
    const bool answer = message.type() == SD_BUS_MESSAGE_SIGNAL &&
                        message.interface() == dbus_names::kResponseInterface;
    if (direct_) {
        if (answer)
            handleAnswer(message);
        return;
    }
    if (auto change = dbus::NameOwnerChanged::parse(message)) {
        if (change->name == machServiceName_)
            handleOwnerChange(*change);
        return;
    }
    // Answers are unicast signals; a broadcast one is meant for nobody in particular.
    if (answer && message.destination() == uniqueName_)
        handleAnswer(message);
}

void XpcChannelToServer::handleOwnerChange(const dbus::NameOwnerChanged& change) {
    if (owner_.apply(change.oldOwner, change.newOwner) == ServiceNameOwner::Change::lost) {
        logger().warning("Server connection (%@) interrupted.", description_);
        closeConnection();
    }
}

void XpcChannelToServer::handleAnswer(const dbus::Message& signal) {
    if (!direct_ && !owner_.isOwner(signal.sender())) {
        logger().warning("Ignoring '%@' signal from %@, which does not own '%@'.", signal.member(),
                         signal.sender(), machServiceName_);
        return;
    }
    auto parsed = dbus::ResponseCodec::parse(signal);
    if (auto* refusal = std::get_if<dbus::Refusal>(&parsed)) {
        logger().error("Ignoring invalid '%@' signal from the settings daemon: %@", signal.member(),
                       refusal->detail);
        if (auto tag = refusal->tag ? refusal->tag : dbus::leadingTag(signal))
            emitUnreadable(*tag);
        return;
    }
    auto& received = std::get<dbus::ReceivedResponse>(parsed);
    if (!received.response) {
        // Only an update whose result is no ChangeResult has none; its revision goes with it.
        settingsUpdatedWithTag(received.tag, received.rawValue, 0);
        return;
    }
    // Decoded once: the answer reaches the channel as the codec read it.
    deliver(received.tag, std::move(*received.response));
}

void XpcChannelToServer::handleInvalidation() {
    logger().debug("Server connection (%@) invalidated.", description_);
    closeConnection();
}

void XpcChannelToServer::handleRequestServiceError(const std::string& description) {
    logger().error("Error with settings request service: %@", description);
    closeConnection();
}

void XpcChannelToServer::emit(const UUID& tag, ServerResponse response) {
    virtualChannel_->responseSubject.onNext(Tagged<ServerResponse>{tag, std::move(response)});
}

void XpcChannelToServer::emitUnreadable(const UUID& tag) {
    virtualChannel_->unreadableResponseSubject.onNext(tag);
}

void XpcChannelToServer::deliver(const UUID& tag, ServerResponse response) {
    std::visit(Overloaded{
                   [&](const ServerResponse::RequestHasFailed& r) {
                       logger().warning("Got 'error=%@' response (tag=%@); Error: %@",
                                        r.error.description(), tag, r.error.localizedDescription());
                   },
                   [&](const ServerResponse::RequestSucceeded&) {
                       logger().debug("Got 'requestSucceeded' response (tag=%@).", tag);
                   },
                   [&](const ServerResponse::SettingsFetched&) {
                       logger().debug("Got 'settingsFetched' response (tag=%@).", tag);
                   },
                   [&](const ServerResponse::SettingsUpdated&) {
                       logger().debug("Got 'settingsUpdated' response (tag=%@).", tag);
                   },
                   [&](const ServerResponse::NoteChanges& r) {
                       logger().debug("Got 'noteChanges' notification, # of changes = %d (tag=%@).",
                                      r.changeNotifications.size(), tag);
                   },
                   [&](const ServerResponse::SettingsDeleted&) {
                       logger().debug("Got 'settingsDeleted' response (tag=%@).", tag);
                   },
               },
               response.payload());
    emit(tag, std::move(response));
}

void XpcChannelToServer::requestHasFailedWithTag(const UUID& tag, std::int64_t errorCode) {
    deliver(tag, ServerResponse::RequestHasFailed{
                     VKError::fromRawValue(errorCode).value_or(VKError::serverError)});
}

void XpcChannelToServer::requestSucceededWithTag(const UUID& tag) {
    deliver(tag, ServerResponse::RequestSucceeded{});
}

void XpcChannelToServer::settingsFetchedWithTag(const UUID& tag, const Blob& data) {
    deliver(tag, ServerResponse::SettingsFetched{data});
}

void XpcChannelToServer::settingsUpdatedWithTag(const UUID& tag, std::int64_t rawResult,
                                                std::int64_t newRevision) {
    auto result = changeResultFromRawValue(rawResult);
    if (!result) {
        logger().debug("Got 'settingsUpdated' response (tag=%@).", tag);
        logger().error("Invalid result value (%d) of 'settingsUpdated' response.", rawResult);
        emitUnreadable(tag);
        return;
    }
    deliver(tag, ServerResponse::SettingsUpdated{*result, newRevision});
}

void XpcChannelToServer::noteChangesWithTag(const UUID& tag,
                                            const std::vector<ChangeNotificationPtr>& changes,
                                            const std::vector<std::string>& paths) {
    deliver(tag, ServerResponse::NoteChanges{changes, paths});
}

void XpcChannelToServer::settingsDeletedWithTag(const UUID& tag, const UUID& rootId) {
    deliver(tag, ServerResponse::SettingsDeleted{rootId});
}

}  // namespace velkor
