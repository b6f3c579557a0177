#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "core/Caller.h"
#include "dbus/BusConnection.h"
#include "dbus/Slot.h"
#include "internals/ClientRequest.h"
#include "internals/Tagged.h"

namespace velkor::daemon {

/// The uid of each client, by unique name: asked of the bus once, when the client's first
/// request arrives, and kept until the client leaves the bus. Unique names are never reused on a
/// bus, so a cached uid cannot come to stand for another process.
///
/// The question goes to the bus without waiting for the answer, so that the event loop keeps
/// serving other clients meanwhile; the client's requests wait here, in arrival order, and are
/// handed on when the answer comes. A question the bus leaves unanswered past sd-bus's time-out
/// is asked again, up to `kMaxAttempts` times in all. When the bus cannot tell (the client has
/// already left), or never answers, the requests are dropped: there is nobody left to answer.
///
/// Used on the event loop's thread only.
class CallerDirectory {
  public:
    /// Receives each request whose sender's uid is known, in the order of each sender's requests.
    using Ready = std::function<void(const Caller&, Tagged<ClientRequest>)>;
    /// Receives each refused call held back (`holdRefusal`), in its place among the requests.
    using Refused = std::function<void(const std::string& client, const UUID& tag)>;

    /// How many times one client's uid is asked of a bus that does not answer.
    static constexpr int kMaxAttempts = 3;

    CallerDirectory(dbus::BusConnection& bus, Ready ready, Refused refused = {});
    CallerDirectory(const CallerDirectory&) = delete;
    CallerDirectory& operator=(const CallerDirectory&) = delete;

    /// Hands (`sender`, `request`) on at once when the sender's uid is known; otherwise after the
    /// bus has answered.
    void submit(const std::string& sender, Tagged<ClientRequest> request);

    /// Holds the refusal of a call of `sender`'s (under `tag`) behind its requests that wait
    /// for its uid, so that it does not overtake them. False when none wait: refuse it now.
    bool holdRefusal(const std::string& sender, const UUID& tag);

    /// Records a client whose uid is known without asking the bus (a direct channel's).
    void addKnown(const std::string& client, std::uint32_t uid);

    /// Forgets a client that has left the bus, with any requests still waiting for its uid. True
    /// when the client had sent requests, so that it may hold something in the store.
    bool forget(const std::string& uniqueName);

    /// The uid of `client`, when the bus has told it.
    std::optional<std::uint32_t> uidOf(const std::string& client) const {
        auto it = clients_.find(client);
        return it == clients_.end() ? std::nullopt : it->second->uid;
    }

    /// How many requests of `sender` wait for its uid.
    std::size_t waiting(const std::string& sender) const {
        auto it = clients_.find(sender);
        return it == clients_.end() ? 0 : it->second->waiting.size();
    }

    /// How many questions to the bus are still unanswered.
    std::size_t lookupsPending() const { return lookupsPending_; }

  private:
    /// A request, or the refusal of a call (none).
    using Waiting = Tagged<std::optional<ClientRequest>>;
    struct Client {
        CallerDirectory* directory;
        std::string name;
        std::optional<std::uint32_t> uid;
        std::deque<Waiting> waiting;
        dbus::Slot lookup;
        int attempts = 0;  ///< questions that went unanswered
    };

    void ask(Client& client);
    static int onAnswer(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    void answered(Client& client, sd_bus_message* reply);

    dbus::BusConnection& bus_;
    Ready ready_;
    Refused refused_;
    std::unordered_map<std::string, std::unique_ptr<Client>> clients_;
    std::size_t lookupsPending_ = 0;
};

}  // namespace velkor::daemon
