#include "bus/DaemonService.h"

#include <cstring>
#include <exception>
#include <variant>

#include "basalt/QZLogger.h"
#include "core/BlobDecoder.h"
#include "core/LogThrottle.h"
#include "dbus/BusError.h"
#include "dbus/NameOwnerChanged.h"
#include "dbus/RequestCodec.h"
#include "dbus/TaggedMember.h"
#include "internals/SettingsService.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.Service");

/// Whether `bytes` more would pass `limit` with `waiting` bytes waiting; one request may always
/// wait alone, however large.
bool overWaitingBytes(std::size_t waiting, std::size_t bytes, std::size_t limit) {
    return waiting > 0 && waiting + bytes > limit;
}

}  // namespace

DaemonService::DaemonService(dbus::BusConnection bus, Store& store, EventLoop& loop,
                             std::string serviceName, ServiceLimits limits, bool directChannels)
    : loop_(loop),
      store_(store),
      bus_(std::move(bus)),
      serviceName_(std::move(serviceName)),
      limits_(limits),
      sender_(bus_, loop, limits_),
      batch_(loop, store, sender_, limits_),
      callers_(
          bus_,
          [this](const Caller& caller, Tagged<ClientRequest> request) {
              batch_.add(caller, std::move(request));
          },
          [this](const std::string& client, const UUID& tag) {
              batch_.refuse(client, tag, VKError::invalidData);
          }),
      directChannels_(directChannels),
      channels_(
          bus_, loop, limits_,
          [this](const dbus::Message& call, const std::string& client) {
              handleCall(call, client);
          },
          [this](const std::string& client, std::uint32_t uid, dbus::BusConnection& peer,
                 int socket) {
              callers_.addKnown(client, uid);
              sender_.addPeer(client, peer, socket);
              sender_.setUser(client, uid);
              sender_.serve(peer, client, dbus_names::kRequestInterface);
          },
          [this](const std::string& client) { clientLeft(client); }) {
    sender_.onStalled([this](const std::string& client, bool onDirectChannel) {
        // A channel is closed: its library reconnects and fetches anew. velkord can't close a
        // client's bus connection, so it stops sending it anything but answers.
        if (onDirectChannel)
            channels_.cutOff(client);
        else
            batch_.stalled(client);
    });
    requestHandler_ = [this](const dbus::Message& call) {
        handleCall(call, std::string(call.sender()));
    };
}

bool DaemonService::start() {
    sd_bus* bus = bus_.get();
    // A lost connection ends the loop with status 1; on a stop signal the service releases its
    // name and flushes its answers itself (finish), so sd-bus must not close the bus first.
    dbus::BusError::check(sd_bus_set_exit_on_disconnect(bus, 1), "Setting exit on disconnect");
    dbus::BusError::check(sd_bus_set_close_on_exit(bus, 0), "Keeping the bus open on exit");

    // Both before the name: no request and no departure of a client can come unseen.
    sd_bus_slot* raw = nullptr;
    dbus::BusError::check(
        sd_bus_match_signal(bus, &raw, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus", "NameOwnerChanged", onNameOwnerChanged, this),
        "Watching clients leave the bus");
    departures_ = dbus::Slot(raw);
    object_ = serveObject(bus, requestHandler_);
    statusSlot_ = serveStatus(bus, status_);
    sender_.serve(bus_, {}, dbus_names::kRequestInterface);
    if (directChannels_)
        channels_.start();
    dbus::BusError::check(sd_bus_attach_event(bus, loop_.get(), SD_EVENT_PRIORITY_NORMAL),
                          "Attaching the bus to the event loop");

    if (!bus_.requestName(serviceName_))
        return false;
    log.info("Serving %@ as %@%@.", serviceName_, bus_.uniqueName(),
             directChannels_ ? ", with direct channels" : " on the bus alone");
    return true;
}

void DaemonService::serveAlso(Store& store, std::function<bool(const ClientRequest&)> routes) {
    std::lock_guard lock(workerMutex_);
    worker_ = std::make_unique<StoreWorker>(loop_, store);
    batch_.serveAlso(*worker_, std::move(routes));
}

void DaemonService::postNotices(std::vector<Notice> notices) {
    std::lock_guard lock(workerMutex_);
    if (worker_)
        worker_->post([this, notices = std::move(notices)] { batch_.deliver(notices); });
}

int DaemonService::run() {
    bool failed = false;
    try {
        loop_.run();
    } catch (const dbus::BusError& e) {
        log.error("The event loop failed: %@", e.what());
        failed = true;
    }
    if (sd_bus_is_open(bus_.get()) <= 0) {
        log.error("The bus connection was lost.");
        failed = true;
    }
    finish();
    {
        std::lock_guard lock(workerMutex_);
        worker_.reset();
    }
    return failed ? 1 : 0;
}

void DaemonService::handleCall(const dbus::Message& call, const std::string& sender) {
    // A blob or value past the decoder's limit is refused as it is read, without a copy.
    auto parsed = dbus::RequestCodec::parse(call, BlobDecoder::maxBlobSize);
    if (const auto* refusal = std::get_if<dbus::Refusal>(&parsed)) {
        refuse(call, sender, *refusal);
        return;
    }
    if (sender.empty()) {
        log.warning("Ignored a request without a sender.");
        return;
    }
    if (sd_bus_message_get_expect_reply(call.get()) > 0)
        sd_bus_reply_method_return(call.get(), nullptr);
    auto& request = std::get<Tagged<ClientRequest>>(parsed);
    // A payload past the decoder's limit in all, or a domain no domain is as long as, is
    // refused now rather than kept until its turn.
    const std::size_t bytes = payloadBytes(request.payload);
    if (bytes > BlobDecoder::maxBlobSize || domainBytes(request.payload) > kMaxDomainBytes) {
        if (std::size_t held = 0; LogThrottle::shared().allow(sender, held)) {
            log.warning(
                "Refused a request from %@ (uid %@): it carries %d bytes, %d of them its "
                "domain.%@",
                sender, uidText(sender), bytes, domainBytes(request.payload),
                LogThrottle::heldNote(held));
        }
        batch_.refuse(sender, request.tag, VKError::invalidData);
        return;
    }
    const auto uid = callers_.uidOf(sender);
    if (callers_.waiting(sender) + batch_.waiting(sender) >= limits_.maxWaitingRequests ||
        overWaitingBytes(batch_.waitingBytes(sender), bytes, limits_.maxWaitingBytes) ||
        (uid &&
         overWaitingBytes(batch_.userWaitingBytes(*uid), bytes, limits_.maxUserWaitingBytes))) {
        // Answering a client that does not read would only queue more for it.
        if (!sender_.lagging(sender) && !sender_.congested())
            sender_.send(sender, request.tag,
                         ServerResponse::RequestHasFailed{VKError::serverError});
        if (std::size_t held = 0; LogThrottle::shared().allow(sender, held)) {
            log.warning(
                "Refused a request from %@ (uid %@): %d of its requests (%d bytes) wait "
                "already.%@",
                sender, uidText(sender), batch_.waiting(sender), batch_.waitingBytes(sender),
                LogThrottle::heldNote(held));
        }
        return;
    }
    callers_.submit(sender, std::move(request));
}

std::string DaemonService::uidText(const std::string& client) const {
    auto uid = callers_.uidOf(client);
    return uid ? std::to_string(*uid) : "not known yet";
}

void DaemonService::refuse(const dbus::Message& call, const std::string& sender,
                           const dbus::Refusal& refusal) {
    try {
        bus_.replyWithError(call, refusal.errorName, refusal.detail);
    } catch (const dbus::BusError& e) {
        log.error("Can't answer a refused call from %@: %@", sender, e.what());
    }
    if (refusal.reason == dbus::Refusal::Reason::notForUs) {
        log.debug("Refused a call from %@: %@", sender, refusal);
        return;
    }
    if (std::size_t held = 0; LogThrottle::shared().allow(sender, held)) {
        log.warning("Refused a call from %@ (uid %@): %@%@", sender, uidText(sender), refusal,
                    LogThrottle::heldNote(held));
    }
    auto tag = refusal.tag ? refusal.tag : dbus::leadingTag(call);
    if (!tag || sender.empty())
        return;
    // Answered after the client's requests that wait, for its uid or their turn, as they
    // arrived first.
    if (!callers_.holdRefusal(sender, *tag))
        batch_.refuse(sender, *tag, VKError::invalidData);
}

int DaemonService::onNameOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error*) {
    try {
        auto change = dbus::NameOwnerChanged::parse(dbus::Message(sd_bus_message_ref(signal)));
        // A unique name losing its owner: that connection has left the bus.
        if (change && change->name.starts_with(':') && !change->oldOwner.empty() &&
            change->newOwner.empty())
            static_cast<DaemonService*>(userdata)->clientLeft(change->name);
    } catch (const std::exception& e) {
        log.error("Handling a client's departure failed: %@", e.what());
    }
    return 0;
}

void DaemonService::clientLeft(const std::string& uniqueName) {
    // The sender keeps books of anyone it answered or charged, and the batch holds the refusals
    // of one that lags behind, requests or not; sent later, they would open its books again.
    const bool sentRequests = callers_.forget(uniqueName);
    // Its last requests are applied before its holdings go, or they would hold on forever.
    batch_.clientLeft(uniqueName);
    sender_.forget(uniqueName);
    if (sentRequests) {
        store_.clientGone(uniqueName);
        if (worker_)
            worker_->clientGone(uniqueName);
    }
}

void DaemonService::finish() {
    sd_bus* bus = bus_.get();
    // Without the loop, sd-bus would call exit() on a disconnect; the store must close first.
    sd_bus_set_exit_on_disconnect(bus, 0);
    sd_bus_detach_event(bus);
    batch_.flushAll();
    if (sd_bus_is_open(bus) <= 0) {
        channels_.flush(std::chrono::steady_clock::now() + kDrainTime);
        return;
    }
    // Requests that reached the bus before the name was released are delivered to us before
    // the bus's answer to the release, so draining after it answers every one of them.
    if (int r = sd_bus_release_name(bus, serviceName_.c_str()); r < 0)
        log.warning("Can't release %@: %@", serviceName_, dbus::BusError("ReleaseName", -r).what());
    drain();
    channels_.drain(std::chrono::steady_clock::now() + kDrainTime);
    batch_.flushAll();
    if (int r = sd_bus_flush(bus); r < 0)
        log.warning("Can't write out the last answers: %@", dbus::BusError("Flush", -r).what());
    channels_.flush(std::chrono::steady_clock::now() + kDrainTime);
    log.info("Released %@; every request received has been answered.", serviceName_);
}

void DaemonService::drain() {
    sd_bus* bus = bus_.get();
    const auto deadline = std::chrono::steady_clock::now() + kDrainTime;
    for (auto now = std::chrono::steady_clock::now(); now < deadline;
         now = std::chrono::steady_clock::now()) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0)
            return;
        if (r > 0)
            continue;
        if (callers_.lookupsPending() == 0)
            return;
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        sd_bus_wait(bus, static_cast<std::uint64_t>(left.count()));
    }
}

}  // namespace velkor::daemon
