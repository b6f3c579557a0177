#include "core/NoticeFit.h"

#include <unordered_set>

#include "basalt/QZLogger.h"
#include "core/ChangeRecords.h"
#include "core/LogThrottle.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.SettingsStore");

}  // namespace

void fitNotices(std::vector<Notice>& notices, std::size_t maxBytes, ClientHoldings& holdings) {
    for (auto& notice : notices) {
        const auto bytes = messageBytes(ServerResponse(notice.changes));
        if (bytes <= maxBytes) {
            continue;
        }
        ServerResponse::NoteChanges abandoned;
        std::unordered_set<UUID> seen;
        const auto& records = notice.changes.changeNotifications;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const auto& record = records[i];
            if (!seen.insert(record->id).second) {
                continue;
            }
            holdings.release(notice.clientId, record->id);
            abandoned.changeNotifications.push_back(
                ChangeRecords::make(ChangeType::containerAbandoned, record->id, record->revision));
            // The container's path, which its records carried.
            abandoned.changePaths.push_back(std::move(notice.changes.changePaths[i]));
        }
        if (std::size_t held = 0; LogThrottle::shared().allow(notice.clientId, held)) {
            log.warning(
                "A notice of %d bytes for %@ passes the limit of %d; it abandons %d "
                "containers instead.%@",
                bytes, notice.clientId, maxBytes, seen.size(), LogThrottle::heldNote(held));
        }
        notice.changes = std::move(abandoned);
    }
}

}  // namespace velkor::daemon
