#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "dbus/BusLoop.h"
#include "dbus/Slot.h"
#include "monitor/DaemonOnlineCenter.h"

namespace velkor {

/// Daemon-online notifications on D-Bus: the daemon is online when its service name gains an
/// owner, as the bus itself announces with NameOwnerChanged. Only the bus can send that, so no
/// other process can make the library's connections tear down.
///
/// The centre has a bus connection and an event-loop thread of its own; observers are called on
/// that thread and must not block it for long. Observers may be added and disposed from any
/// thread; an observer already being called when it is disposed finishes that call. Each
/// observer's disposable keeps the centre alive; the last one gone closes its connection.
class DBusDaemonOnlineCenter final : public DaemonOnlineCenter,
                                     public std::enable_shared_from_this<DBusDaemonOnlineCenter> {
  public:
    /// Connects to the bus at `busAddress` (empty: the system bus), taking at most `timeout`
    /// (a bus that turns connections away for want of room is tried again meanwhile); each
    /// subscription then waits at most `timeout` for the bus. Both wait only for what is left
    /// of the deadline of the operation running on the calling thread, when one runs (see
    /// OperationDeadline). Gives none, with an error-level
    /// log line, when the bus cannot be reached.
    static std::shared_ptr<DBusDaemonOnlineCenter> make(
        const std::string& busAddress = {},
        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    ~DBusDaemonOnlineCenter() override;
    DBusDaemonOnlineCenter(const DBusDaemonOnlineCenter&) = delete;
    DBusDaemonOnlineCenter& operator=(const DBusDaemonOnlineCenter&) = delete;

    /// Subscribes to the announcements about `name` before returning, so that every owner it
    /// gains afterwards is reported. When the bus refuses the subscription the error is logged
    /// and the observer is never called.
    rx::DisposablePtr addObserver(const std::string& name, std::function<void()> callback) override;

  private:
    DBusDaemonOnlineCenter(dbus::BusConnection bus, std::chrono::milliseconds timeout);
    void start();
    void handleMessage(const dbus::Message& message);
    void removeObserver(std::uint64_t key);

    struct Observer {
        std::string name;
        std::shared_ptr<const std::function<void()>> callback;
    };
    /// One match per observed name, shared by its observers.
    struct Match {
        dbus::Slot slot;
        int observers = 0;
    };

    const std::chrono::milliseconds timeout_;
    dbus::BusLoop loop_;
    std::mutex mutex_;  // guards the fields below; taken before the loop's lock, never after
    std::map<std::uint64_t, Observer> observers_;
    std::map<std::string, Match> matches_;  // slots are released under the loop's lock
    std::uint64_t nextKey_ = 0;
};

}  // namespace velkor
