#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bus/CallerDirectory.h"
#include "bus/DirectChannels.h"
#include "bus/EventLoop.h"
#include "bus/ObjectVtables.h"
#include "bus/RequestBatch.h"
#include "bus/ResponseSender.h"
#include "bus/ServiceLimits.h"
#include "bus/StatusVtable.h"
#include "bus/StoreWorker.h"
#include "core/Store.h"
#include "dbus/BusConnection.h"
#include "dbus/Message.h"
#include "dbus/Refusal.h"
#include "dbus/Slot.h"

namespace velkor::daemon {

/// velkord on the bus. It owns the service name, serves org.velkor.SettingsRequestService at
/// /org/velkor/SettingsDaemon as one-way methods, and sends every answer and notification as a
/// signal of org.velkor.SettingsResponseService addressed to one client's unique name: answers
/// under the tag of their request, notifications under a fresh tag.
///
/// Everything runs on the event loop's thread: a request is parsed, waits for its sender's uid
/// when that is not known yet (CallerDirectory), waits in its client's queue (RequestBatch) and
/// is answered once the batch that takes it has been committed. A client with
/// `ServiceLimits::maxWaitingRequests` requests waiting has further requests refused
/// (`serverError`), or dropped unanswered when it is over its unread budget. When a client
/// leaves the bus, its holdings in the store are dropped.
///
/// Unless turned off, velkord also hands out direct channels (see DirectChannels): a client on one
/// is served exactly as on the bus, under the uid fixed when it got the channel, except that it
/// is cut off, rather than kept waiting, once it lags behind and reads nothing for
/// `maxStallTime`.
///
/// The object is registered with sd-bus vtables, so that `Introspect`, `Peer` and `Properties`
/// behave as on any D-Bus service and sd-bus checks each request's signature.
///
/// Refused calls: a call with the wrong signature, an unknown member or arguments that do not
/// decode is answered with a D-Bus error when the caller expects a reply, and with
/// `requestHasFailed(invalidData)` under its tag when a tag can be read from it. A valid request
/// whose caller expects a reply (the protocol's calls are one-way) gets an empty reply at once,
/// so that the caller does not wait for nothing; its real answer still comes as a signal.
class DaemonService {
  public:
    /// How long stopping waits at most for requests that had already arrived to be answered.
    static constexpr std::chrono::seconds kDrainTime{2};

    /// `bus` is connected and does not own `serviceName` yet; `store` and `loop` outlive the
    /// service.
    DaemonService(dbus::BusConnection bus, Store& store, EventLoop& loop, std::string serviceName,
                  ServiceLimits limits = {}, bool directChannels = true);
    DaemonService(const DaemonService&) = delete;
    DaemonService& operator=(const DaemonService&) = delete;

    /// Has `store` serve the requests `routes` picks, on a thread of its own (see StoreWorker);
    /// called before `start`. `store` outlives `run`.
    void serveAlso(Store& store, std::function<bool(const ClientRequest&)> routes);
    /// What org.velkor.SettingsDaemonStatus reports; called before `start`.
    void setStatus(DaemonStatus status) { status_ = std::move(status); }
    /// From any thread: sends notices that the second store produced by itself (another
    /// machine's changes). Dropped once the service has stopped.
    void postNotices(std::vector<Notice> notices);

    /// Starts listening for requests and for clients leaving the bus, then asks for the service
    /// name. False when another connection owns the name. Throws BusError.
    bool start();

    /// Serves until a stop signal or the loss of the bus connection; then answers every request
    /// already received, releases the name and writes out every queued answer. Gives the exit
    /// status: 0 after a stop signal, 1 when the bus connection was lost or the loop failed.
    int run();

  private:
    static int onNameOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error* error);
    /// Handles a call of the request interface from `sender` (a unique name on the bus, or a
    /// direct channel's name).
    void handleCall(const dbus::Message& call, const std::string& sender);
    void refuse(const dbus::Message& call, const std::string& sender, const dbus::Refusal& refusal);
    void clientLeft(const std::string& uniqueName);
    /// The uid of a client for the log: a number, or "not known yet".
    std::string uidText(const std::string& client) const;
    /// What is left to do after the loop: answers, name, queued output.
    void finish();
    /// Dispatches what has already arrived, and waits for the uids still asked of the bus.
    void drain();

    EventLoop& loop_;
    Store& store_;
    dbus::BusConnection bus_;
    std::string serviceName_;
    ServiceLimits limits_;
    ResponseSender sender_;
    RequestBatch batch_;
    CallerDirectory callers_;
    bool directChannels_;
    DirectChannels channels_;
    CallHandler requestHandler_;
    std::vector<dbus::Slot> object_;
    dbus::Slot departures_;
    DaemonStatus status_;
    dbus::Slot statusSlot_;
    // Guards the worker's end against notices posted from the second store's thread.
    std::mutex workerMutex_;
    std::unique_ptr<StoreWorker> worker_;
};

}  // namespace velkor::daemon
