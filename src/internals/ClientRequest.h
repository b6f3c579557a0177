#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "internals/Blob.h"
#include "internals/ChangeNotification.h"
#include "velkor/UUID.h"

namespace velkor {

/// One of the six requests a client sends to the daemon. `domain` is always normalised (lower
/// case, not empty), `user` the numeric user an ownership stands for, `path` without outer "/".
class ClientRequest {
  public:
    struct CreateSettings {
        Blob data;
        std::string domain;
        std::uint32_t user;
    };
    struct FetchSettings {
        std::string domain;
        std::uint32_t user;
        std::string path;
        bool recursiveFetch;
    };
    struct UpdateSettings {
        ChangeNotificationPtr change;
    };
    struct ResolveSettings {
        UUID containerId;
        bool recursiveFetch;
    };
    struct DeleteSettings {
        std::string domain;
        std::uint32_t user;
    };
    struct SetHasSubscription {
        UUID containerId;
        bool hasSubscription;
    };

    using Payload = std::variant<CreateSettings, FetchSettings, UpdateSettings, ResolveSettings,
                                 DeleteSettings, SetHasSubscription>;

    template <typename T>
    requires std::is_constructible_v<Payload, T&&> ClientRequest(T&& payload)
        : payload_(std::forward<T>(payload)) {}  // NOLINT: a tagged union

    const Payload& payload() const { return payload_; }
    /// The case's position, 0 (createSettings) to 5 (setHasSubscription).
    std::size_t index() const { return payload_.index(); }

    template <typename T>
    const T* get() const {
        return std::get_if<T>(&payload_);
    }

    /// The text form used in log lines, e.g. "fetchSettings(501@a.b, path='x/y', recursive=false)".
    std::string description() const;

  private:
    Payload payload_;
};

}  // namespace velkor
