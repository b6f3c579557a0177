#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "internals/Blob.h"
#include "internals/ChangeNotification.h"
#include "internals/ClientRequest.h"
#include "velkor/UUID.h"

namespace velkor {

/// Names under which the daemon is reached on D-Bus.
namespace dbus_names {
inline constexpr const char* kObjectPath = "/org/velkor/SettingsDaemon";
inline constexpr const char* kRequestInterface = "org.velkor.SettingsRequestService";
inline constexpr const char* kResponseInterface = "org.velkor.SettingsResponseService";
/// Where a client asks for a direct channel: `openDirectChannel() -> h`, a socket on which the
/// two interfaces above then travel peer to peer.
inline constexpr const char* kChannelInterface = "org.velkor.SettingsChannelService";
inline constexpr const char* kOpenChannelMember = "openDirectChannel";
}  // namespace dbus_names

/// The requests a client sends to the daemon: one-way calls whose answer comes later through
/// SettingsResponseService with the same tag.
class SettingsRequestService {
  public:
    virtual ~SettingsRequestService() = default;

    virtual void createSettingsWithTag(const UUID& tag, const Blob& data, const std::string& domain,
                                       std::uint32_t user) = 0;
    virtual void fetchSettingsWithTag(const UUID& tag, const std::string& domain,
                                      std::uint32_t user, const std::string& path,
                                      bool recursiveFetch) = 0;
    virtual void updateSettingsWithTag(const UUID& tag, const ChangeNotificationPtr& change) = 0;
    virtual void resolveSettingsWithTag(const UUID& tag, const UUID& containerId,
                                        bool recursiveFetch) = 0;
    virtual void deleteSettingsWithTag(const UUID& tag, const std::string& domain,
                                       std::uint32_t user) = 0;
    virtual void setHasSubscriptionWithTag(const UUID& tag, const UUID& containerId,
                                           bool hasSubscription) = 0;

    /// Selector names of the six calls, in request order.
    static constexpr const char* kSelectors[] = {
        "createSettingsWithTag:with:domain:user:",
        "fetchSettingsWithTag:domain:user:path:recursiveFetch:",
        "updateSettingsWithTag:change:",
        "resolveSettingsWithTag:containerId:recursiveFetch:",
        "deleteSettingsWithTag:domain:user:",
        "setHasSubscriptionWithTag:containerId:hasSubscription:",
    };
    /// D-Bus member names of the six calls, in request order.
    static constexpr const char* kMembers[] = {
        "createSettingsWithTag",  "fetchSettingsWithTag",  "updateSettingsWithTag",
        "resolveSettingsWithTag", "deleteSettingsWithTag", "setHasSubscriptionWithTag",
    };
    /// D-Bus signatures of the six calls, in request order.
    static constexpr const char* kSignatures[] = {
        "ayaysu", "aysusb", "aya{sv}", "ayayb", "aysu", "ayayb",
    };
};

/// The answers and notifications the daemon sends to a client: one-way calls, each carrying the
/// tag of the request it answers (notifications carry a fresh tag).
class SettingsResponseService {
  public:
    virtual ~SettingsResponseService() = default;

    virtual void requestHasFailedWithTag(const UUID& tag, std::int64_t errorCode) = 0;
    virtual void requestSucceededWithTag(const UUID& tag) = 0;
    virtual void settingsFetchedWithTag(const UUID& tag, const Blob& data) = 0;
    virtual void settingsUpdatedWithTag(const UUID& tag, std::int64_t rawResult,
                                        std::int64_t newRevision) = 0;
    virtual void noteChangesWithTag(const UUID& tag,
                                    const std::vector<ChangeNotificationPtr>& changes,
                                    const std::vector<std::string>& paths) = 0;
    virtual void settingsDeletedWithTag(const UUID& tag, const UUID& rootId) = 0;

    /// Selector names of the six calls, in answer order.
    static constexpr const char* kSelectors[] = {
        "requestHasFailedWithTag:errorCode:",
        "settingsFetchedWithTag:with:",
        "settingsUpdatedWithTag:rawResult:newRevision:",
        "settingsDeletedWithTag:rootId:",
        "noteChangesWithTag:changes:paths:",
        "requestSucceededWithTag:",
    };
    /// D-Bus member names of the six signals, in answer order.
    static constexpr const char* kMembers[] = {
        "requestHasFailedWithTag", "settingsFetchedWithTag", "settingsUpdatedWithTag",
        "settingsDeletedWithTag",  "noteChangesWithTag",     "requestSucceededWithTag",
    };
    /// D-Bus signatures of the six signals, in answer order.
    static constexpr const char* kSignatures[] = {
        "ayx", "ayay", "ayxx", "ayay", "ayaa{sv}as", "ay",
    };
};

/// Makes the one call of `service` that carries `request`.
void routeRequest(SettingsRequestService& service, const UUID& tag, const ClientRequest& request);

}  // namespace velkor
