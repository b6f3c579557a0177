#include "channel/XpcChannelToServer.h"

#include "basalt/QZLogger.h"
#include "channel/DirectChannel.h"
#include "dbus/BusError.h"
#include "dbus/ResponseCodec.h"
#include "dbus/TaggedMember.h"
#include "utils/OperationDeadline.h"
#include "utils/Overloaded.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.ServerXpcChannel");
    return log;
}

}  // namespace

std::shared_ptr<XpcChannelToServer> XpcChannelToServer::make(const std::string& machServiceName,
                                                             const std::string& busAddress,
                                                             std::chrono::milliseconds timeout) {
    std::shared_ptr<XpcChannelToServer> transport(new XpcChannelToServer(machServiceName, timeout));
    transport->connect(busAddress);
    return transport;
}

XpcChannelToServer::XpcChannelToServer(std::string machServiceName,
                                       std::chrono::milliseconds timeout)
    : virtualChannel_(std::make_shared<VirtualChannelToServer>()),
      machServiceName_(std::move(machServiceName)),
      timeout_(timeout) {
    logger().trace("Constructing XpcChannelToServer(machServiceName='%@')....", machServiceName_);
}

XpcChannelToServer::~XpcChannelToServer() {
    logger().trace("Destructing XpcChannelToServer...");
    closeConnection();
    logger().trace("XpcChannelToServer destructed.");
}

std::string XpcChannelToServer::connectionDescription() {
    std::lock_guard lock(fieldsMutex_);
    return description_;
}

void XpcChannelToServer::connect(const std::string& busAddress) {
    // Within the deadline of the operation that builds the transport (a monitor's first
    // connection shares one with the monitor's own bus connection), else within the time-out.
    auto failure = openBus(busAddress, OperationDeadline::current(timeout_));

    logger().debug("Resuming server connection (%@).", connectionDescription());
    std::shared_ptr<dbus::BusLoop> loop;
    {
        std::lock_guard lock(fieldsMutex_);
        loop = xpcConnection_;
        // Requests pushed from now on wait for the daemon's answer about a direct channel.
        choosingPath_ = loop && !failure;
    }
    if (loop && !failure)
        start(*loop);

    subscribeToRequests();

    if (failure) {
        handleRequestServiceError(*failure);
    } else {
        askForPath(*loop);
    }
    logger().trace("XpcChannelToServer constructed.");
}

std::optional<std::string> XpcChannelToServer::openBus(
    const std::string& busAddress, std::chrono::steady_clock::time_point deadline) {
    std::shared_ptr<dbus::BusLoop> loop;
    try {
        auto bus = dbus::BusConnection::open(busAddress, deadline);
        uniqueName_ = bus.uniqueName();
        loop = std::make_shared<dbus::BusLoop>(std::move(bus));
    } catch (const dbus::BusError& e) {
        std::lock_guard lock(fieldsMutex_);
        description_ = machServiceName_ + " via no bus connection";
        return std::string(e.what());
    }
    {
        std::lock_guard lock(fieldsMutex_);
        description_ = machServiceName_ + " via " + uniqueName_;
        xpcConnection_ = loop;
    }

    // The loop has not started: these calls wait for the bus driver's answers, each for what is
    // left of the time-out. The match comes first, so that no change of owner falls between it
    // and the question.
    std::optional<std::string> failure;
    try {
        loop->withBus([&](dbus::BusConnection& bus) {
            auto left = [&] {
                auto rest = std::chrono::ceil<std::chrono::microseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (rest.count() <= 0)
                    throw dbus::BusError("Asking the bus about the settings daemon", ETIMEDOUT);
                return rest;
            };
            bus.setCallTimeout(left());
            auto match = bus.addMatch(dbus::NameOwnerChanged::matchRule(machServiceName_));
            // The match lives as long as the connection.
            dbus::BusError::check(sd_bus_slot_set_floating(match.get(), 1), "Keeping a match rule");
            bus.setCallTimeout(left());
            if (auto owner = bus.nameOwner(machServiceName_)) {
                owner_ = ServiceNameOwner(*owner);
                return;
            }
            bus.setCallTimeout(left());
            if (!bus.isActivatable(machServiceName_)) {
                failure = "The settings daemon '" + machServiceName_ +
                          "' is neither on the bus nor activatable.";
            }
        });
    } catch (const dbus::BusError& e) {
        failure = e.what();
    }
    return failure;
}

void XpcChannelToServer::start(dbus::BusLoop& loop) {
    std::weak_ptr<XpcChannelToServer> weak = weak_from_this();
    loop.start(
        [weak](const dbus::Message& message) {
            if (auto self = weak.lock())
                self->handleMessage(message);
        },
        [weak] {
            if (auto self = weak.lock())
                self->handleInvalidation();
        });
}

void XpcChannelToServer::askForPath(dbus::BusLoop& loop) {
    std::weak_ptr<XpcChannelToServer> weak = weak_from_this();
    try {
        loop.withBus([&](dbus::BusConnection& bus) {
            askForDirectChannel(bus, machServiceName_, timeout_, [weak](DirectChannelOffer offer) {
                if (auto self = weak.lock())
                    self->takePath(std::move(offer));
            });
        });
    } catch (const dbus::BusError& e) {
        takePath(std::string(e.what()));
    }
}

void XpcChannelToServer::takePath(DirectChannelOffer offer) {
    std::weak_ptr<XpcChannelToServer> weak = weak_from_this();
    auto onError = [weak](const std::string& description) {
        if (auto self = weak.lock())
            self->handleRequestServiceError(description);
    };
    std::shared_ptr<dbus::BusLoop> channel;
    std::string why;
    if (auto* connection = std::get_if<dbus::BusConnection>(&offer)) {
        try {
            channel = std::make_shared<dbus::BusLoop>(std::move(*connection));
        } catch (const dbus::BusError& e) {
            why = e.what();
        }
    } else {
        why = std::get<std::string>(offer);
    }

    std::shared_ptr<RequestServiceProxy> service;
    std::shared_ptr<dbus::BusLoop> bus;  // let go when the channel replaces it
    std::vector<Tagged<ClientRequest>> held;
    {
        std::lock_guard lock(fieldsMutex_);
        if (isClosed() || !xpcConnection_)
            return;  // a channel offered meanwhile is released unused
        if (channel) {
            // The channel's loop succeeds the bus loop, which is the one running this: it stops
            // once this returns. Both happen under the lock, so that closing meanwhile stops the
            // one that runs. The channel's loss is the daemon's loss from now on.
            direct_ = true;
            description_ = machServiceName_ + " via a direct channel of " + uniqueName_;
            bus = std::exchange(xpcConnection_, channel);
            start(*channel);
            bus->stop();
            // A direct channel has one receiver: its calls carry no destination.
            service = std::make_shared<RequestServiceProxy>(channel, std::string(), onError);
        } else {
            service =
                std::make_shared<RequestServiceProxy>(xpcConnection_, machServiceName_, onError);
        }
        requestService_ = service;
        choosingPath_ = false;
        held.swap(held_);
    }
    if (channel) {
        logger().info("Reaching %@ through a direct channel.", machServiceName_);
    } else {
        logger().info("Reaching %@ through the bus: %@", connectionDescription(), why);
    }
    for (const auto& request : held)
        send(*service, request.tag, request.payload);
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
    logger().trace("Closing server connection (%@)...", connectionDescription());

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
        held_.clear();
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
        if (isClosed())
            return;
        if (choosingPath_) {
            held_.push_back({tag, payload});
            return;
        }
        service = requestService_;
    }
    if (service)
        send(*service, tag, payload);
}

void XpcChannelToServer::send(RequestServiceProxy& service, const UUID& tag,
                              const ClientRequest& payload) {
    if (auto reason = service.send(tag, payload)) {
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
        logger().warning("Server connection (%@) interrupted.", connectionDescription());
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
    logger().debug("Server connection (%@) invalidated.", connectionDescription());
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
