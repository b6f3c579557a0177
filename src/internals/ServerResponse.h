#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "internals/Blob.h"
#include "internals/ChangeNotification.h"
#include "velkor/UUID.h"
#include "velkor/VKError.h"

namespace velkor {

/// One of the six answers or notifications the daemon sends.
class ServerResponse {
  public:
    struct RequestHasFailed {
        VKError error;
    };
    struct SettingsFetched {
        Blob data;
    };
    struct SettingsUpdated {
        ChangeResult changeResult;
        std::int64_t newRevision;
    };
    struct SettingsDeleted {
        UUID rootId;
    };
    struct NoteChanges {
        std::vector<ChangeNotificationPtr> changeNotifications;
        std::vector<std::string> changePaths;  ///< parallel to changeNotifications
    };
    struct RequestSucceeded {};

    using Payload = std::variant<RequestHasFailed, SettingsFetched, SettingsUpdated,
                                 SettingsDeleted, NoteChanges, RequestSucceeded>;

    template <typename T>
    requires std::is_constructible_v<Payload, T&&> ServerResponse(T&& payload)
        : payload_(std::forward<T>(payload)) {}  // NOLINT: a tagged union

    const Payload& payload() const { return payload_; }
    std::size_t index() const { return payload_.index(); }

    template <typename T>
    const T* get() const {
        return std::get_if<T>(&payload_);
    }

    /// The text form used in log lines, e.g. "settingsUpdated(done, newRev=7)".
    std::string description() const;

  private:
    Payload payload_;
};

}  // namespace velkor
