#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "basalt/BKPThreadMutexLock.h"
#include "channel/ConnectionToServer.h"
#include "channel/DirectChannel.h"
#include "channel/RequestServiceProxy.h"
#include "channel/ServiceNameOwner.h"
#include "dbus/BusLoop.h"
#include "dbus/NameOwnerChanged.h"
#include "internals/SettingsService.h"
#include "velkor/rx/Disposable.h"

namespace velkor {

/// The transport between the library and the settings daemon over D-Bus. It owns one bus
/// connection, driven by one event-loop thread, and the in-process channel that the connection
/// talks to:
/// - each (tag, request) pushed into the channel becomes one one-way method call to the daemon's
///   service name (see RequestServiceProxy);
/// - each answer signal that the daemon addresses to this connection becomes one (tag, answer)
///   emitted from the channel, on the loop thread.
///
/// Paths: the transport first asks the daemon for a direct channel (see askForDirectChannel), a
/// peer-to-peer connection of its own; requests, answers and notices then travel there, and the
/// bus connection is let go. A daemon that offers none, or does not answer within the time-out,
/// is reached over the bus as before. The question does not hold up construction: requests
/// pushed meanwhile are held and sent, in order, on the path chosen once the daemon answers, so
/// that they wait for the hand-out within their own time-outs, never on top of them. The path
/// chosen is logged at info level ("Reaching <service> through a direct channel." or "... through
/// the bus: <why>").
///
/// On the bus, answers are taken only from the current owner of the service name (any peer can
/// address a signal to us); on a direct channel only the daemon can send. Either way answers are
/// taken only with exactly their member's argument types; anything else is logged
/// and ignored, except that an unreadable answer from the owner whose tag could be read is
/// reported under that tag, so that its caller fails at once. The transport retries no request
/// and times none out: a lost daemon closes it, and the connection monitor builds a new one.
///
/// It closes, once, on the first of: the client completing the channel; the service name's owner
/// going away or changing (an interruption, seen on the bus path); the connection closing (an
/// invalidation: on a direct channel, the daemon stopping or cutting us off); a failure to send;
/// destruction. A daemon that is neither on the bus nor activatable when the
/// transport is built closes it at once, so that callers fail without waiting for their
/// time-out; an activatable one is started by the bus on the first request. Closing completes
/// the channel's answers and stops the loop; requests pushed afterwards are dropped.
///
/// Log lines show the bus connection as "<service name> via <our unique name>", e.g.
/// "org.velkor.SettingsDaemon via :1.42" ("... via no bus connection" when the bus could not be
/// reached).
///
/// Construction waits only for the bus (connecting, which is tried again while the bus turns
/// connections away for want of room, and the bus driver's answers about the service name), and
/// for no longer than the time-out in all.
///
/// Threads: requests are sent on the threads that push them, through the loop's lock; nothing
/// ever blocks the loop thread. The handlers hold the transport weakly.
class XpcChannelToServer final : public ConnectionToServer,
                                 public SettingsResponseService,
                                 public std::enable_shared_from_this<XpcChannelToServer> {
  public:
    /// How long construction may take, and how long the daemon has to hand out a direct channel:
    /// a connection's request time-out.
    static constexpr std::chrono::milliseconds kDefaultTimeout{5000};

    /// Connects to the daemon named `machServiceName` on the bus at `busAddress` (empty: the
    /// system bus, DBUS_SYSTEM_BUS_ADDRESS when set), taking at most `timeout`, or what is left
    /// of the deadline of the operation running on this thread (see OperationDeadline). Never
    /// fails: a transport that cannot reach the daemon is returned closed.
    static std::shared_ptr<XpcChannelToServer> make(
        const std::string& machServiceName, const std::string& busAddress = {},
        std::chrono::milliseconds timeout = kDefaultTimeout);
    ~XpcChannelToServer() override;
    XpcChannelToServer(const XpcChannelToServer&) = delete;
    XpcChannelToServer& operator=(const XpcChannelToServer&) = delete;

    std::shared_ptr<VirtualChannelToServer> virtualChannel() override { return virtualChannel_; }

    /// Closes the transport; only the first call, from whatever thread, does anything.
    void closeConnection();

    /// Sends one request to the daemon; dropped when the transport is closed. A request whose
    /// values cannot travel on D-Bus is answered at once with requestHasFailed(invalidData).
    void routeClientRequestMessage(const UUID& tag, const ClientRequest& payload);

    /// The bus connection as log lines show it.
    std::string connectionDescription();

    // The daemon's six answer signals, one call each: each logs and emits one (tag, answer)
    // from the channel. Received signals take the shorter way of deliver(), with the same log
    // lines, so that each is decoded once.
    void requestHasFailedWithTag(const UUID& tag, std::int64_t errorCode) override;
    void requestSucceededWithTag(const UUID& tag) override;
    void settingsFetchedWithTag(const UUID& tag, const Blob& data) override;
    void settingsUpdatedWithTag(const UUID& tag, std::int64_t rawResult,
                                std::int64_t newRevision) override;
    void noteChangesWithTag(const UUID& tag, const std::vector<ChangeNotificationPtr>& changes,
                            const std::vector<std::string>& paths) override;
    void settingsDeletedWithTag(const UUID& tag, const UUID& rootId) override;

  private:
    XpcChannelToServer(std::string machServiceName, std::chrono::milliseconds timeout);
    /// The construction steps that need the transport's weak self.
    void connect(const std::string& busAddress);
    /// Opens the bus connection, follows the service name and reads its owner, by `deadline`.
    /// Gives why the daemon cannot be reached, or nothing.
    std::optional<std::string> openBus(const std::string& busAddress,
                                       std::chrono::steady_clock::time_point deadline);
    /// Starts `loop` with this transport's handlers.
    void start(dbus::BusLoop& loop);
    /// Asks the daemon for a direct channel on the bus connection of `loop`; takePath follows.
    void askForPath(dbus::BusLoop& loop);
    /// Moves to the direct channel offered, or stays on the bus, and sends the requests held
    /// meanwhile. On the bus loop's thread, or on the constructing one when the question could
    /// not be sent.
    void takePath(DirectChannelOffer offer);
    /// Sends one request on `service`.
    void send(RequestServiceProxy& service, const UUID& tag, const ClientRequest& payload);
    void subscribeToRequests();

    // On the loop thread.
    void handleMessage(const dbus::Message& message);
    void handleOwnerChange(const dbus::NameOwnerChanged& change);
    void handleAnswer(const dbus::Message& signal);
    void handleInvalidation();

    void handleRequestServiceError(const std::string& description);
    void emit(const UUID& tag, ServerResponse response);
    /// Logs an answer as the daemon's signal of its kind is logged, and emits it.
    void deliver(const UUID& tag, ServerResponse response);
    /// An answer under `tag` arrived but could not be read: its caller fails at once.
    void emitUnreadable(const UUID& tag);
    bool isClosed();

    const std::shared_ptr<VirtualChannelToServer> virtualChannel_;
    const std::string machServiceName_;
    const std::chrono::milliseconds timeout_;
    // Set before the loop starts, read-only afterwards.
    std::string uniqueName_;
    ServiceNameOwner owner_;  // the bus loop thread's once it runs
    std::atomic<bool> direct_{false};

    std::mutex fieldsMutex_;  // guards the fields below
    std::string description_;
    std::shared_ptr<dbus::BusLoop> xpcConnection_;
    std::shared_ptr<RequestServiceProxy> requestService_;
    rx::DisposablePtr requestSubscription_;
    // While the daemon has not answered whether it hands out a direct channel, requests wait
    // here, in the order they were pushed.
    bool choosingPath_ = false;
    std::vector<Tagged<ClientRequest>> held_;

    struct {
        bool flag = false;
        basalt::BKPThreadMutexLock lock;
    } shutdown_;
};

}  // namespace velkor
