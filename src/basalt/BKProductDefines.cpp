#include "velkor/BKProductDefines.h"

namespace velkor {

BKProductDefines::BKProductDefines() : entries_{{kDaemonServiceName, kDefaultDaemonServiceName}} {}

BKProductDefines::BKProductDefines(std::map<int, std::string> entries)
    : entries_(std::move(entries)) {}

std::optional<std::string> BKProductDefines::lookup(int selector) const {
    auto it = entries_.find(selector);
    if (it == entries_.end())
        return std::nullopt;
    return it->second;
}

}  // namespace velkor
