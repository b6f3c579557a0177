#include "core/NoticeList.h"

#include <utility>

namespace velkor::daemon {

void NoticeList::add(std::string_view client, ChangeNotificationPtr record, std::string path) {
    auto [entry, added] = indexOfClient_.try_emplace(std::string(client), notices_.size());
    if (added) {
        notices_.push_back(Notice{std::string(client), {}});
    }
    auto& changes = notices_[entry->second].changes;
    changes.changeNotifications.push_back(std::move(record));
    changes.changePaths.push_back(std::move(path));
}

std::vector<Notice> NoticeList::take() {
    indexOfClient_.clear();
    return std::exchange(notices_, {});
}

}  // namespace velkor::daemon
