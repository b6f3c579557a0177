#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "dbus/BusConnection.h"
#include "dbus/Message.h"
#include "dbus/ResponseCodec.h"
#include "internals/ClientRequest.h"

namespace velkor::test {

/// A client of velkord for tests and benchmarks, on sd-bus without a loop thread: the calling
/// thread sends requests and reads the answers itself, so that a test drives several clients
/// from one thread in a known order. Like the library's transport, it takes answer signals only
/// from the owner of the service name when the client was made.
///
/// Answers are signals whose tag this client sent and has not had answered yet; every other
/// signal is a notification. Use from one thread at a time.
class DaemonClient {
  public:
    // Long: under ThreadSanitizer a daemon busy with large messages takes many seconds to come
    // back, and a test that expects no answer says how long it waits.
    static constexpr auto kPatience = std::chrono::seconds(60);
    static constexpr const char* kService = "org.velkor.SettingsDaemon";

    /// How requests travel: to the service name on the bus, or on a direct channel of the
    /// client's own (asked for on the bus, which the client then leaves).
    enum class Path { bus, direct };

    /// Connects to the bus at `address`, and through it to a direct channel when `path` says so.
    /// Throws dbus::BusError when the bus cannot be reached, std::runtime_error when nobody owns
    /// `service` or it gives no channel.
    explicit DaemonClient(const std::string& address, const std::string& service = kService,
                          Path path = Path::bus);

    dbus::BusConnection& bus() { return bus_; }
    std::string uniqueName() const { return bus_.uniqueName(); }

    /// Sends `request` under a fresh tag and gives the tag.
    UUID send(const ClientRequest& request);
    /// Sends a call built by hand (malformed ones included); when `tag` is given, a signal with
    /// that tag counts as its answer.
    void sendRaw(const dbus::Message& call, std::optional<UUID> tag = std::nullopt);
    /// Sends a signal to the daemon, which serves none: the cheapest message there is. Throws
    /// dbus::BusError once the connection has closed.
    void sendNoise();
    /// Writes straight to its socket the start of a method call whose body declares `body`
    /// bytes, then filler, until `bytes` in all are written or nothing more could be for
    /// `patience`; gives how many were. The connection is of no further use for messages.
    std::size_t sendHalfAMessage(std::uint32_t body, std::size_t bytes,
                                 std::chrono::milliseconds patience);

    /// The answer with `tag`, waiting at most `patience` (notifications meanwhile are kept);
    /// none when it does not come.
    std::optional<dbus::ReceivedResponse> answer(const UUID& tag,
                                                 std::chrono::milliseconds patience = kPatience) {
        return next(tag, patience);
    }
    /// `send` then `answer`.
    std::optional<dbus::ReceivedResponse> request(const ClientRequest& request,
                                                  std::chrono::milliseconds patience = kPatience) {
        return next(send(request), patience);
    }
    /// The next notification, waiting at most `patience`; none when none comes.
    std::optional<dbus::ReceivedResponse> notification(
        std::chrono::milliseconds patience = kPatience) {
        return next(std::nullopt, patience);
    }

    /// Calls a method and waits for its reply: the D-Bus error name it answers with, or empty
    /// for a normal reply. Signals that arrive meanwhile are kept.
    std::string callForError(const dbus::Message& call);

    /// How many signals of the daemon this connection has received: those addressed to it and,
    /// with a match rule added on `bus()`, any others the bus lets it see.
    std::size_t signalsReceived() const { return signalsReceived_; }

  private:
    /// The answer with `tag`, or the next notification without one.
    std::optional<dbus::ReceivedResponse> next(std::optional<UUID> tag,
                                               std::chrono::milliseconds patience);

    dbus::BusConnection bus_;
    std::string service_;
    std::string daemon_;
    std::unordered_set<UUID> waiting_;
    std::unordered_map<UUID, dbus::ReceivedResponse> answers_;
    std::deque<dbus::ReceivedResponse> notifications_;
    std::size_t signalsReceived_ = 0;
};

}  // namespace velkor::test
