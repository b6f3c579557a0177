#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/Outcome.h"

namespace velkor::daemon {

/// Gathers the change records one request produces, one `noteChanges` message per client. Each
/// client's records keep the order in which they were added; clients come in the order in which
/// they first received a record.
class NoticeList {
  public:
    void add(std::string_view client, ChangeNotificationPtr record, std::string path);

    /// The messages gathered so far; the list is empty afterwards.
    std::vector<Notice> take();

  private:
    std::vector<Notice> notices_;
    std::unordered_map<std::string, std::size_t> indexOfClient_;
};

}  // namespace velkor::daemon
