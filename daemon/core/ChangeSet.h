#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "velkor/UUID.h"

namespace velkor::daemon {

/// What a request changed in the store: the containers it added or changed (items or
/// revision), those it removed, and the files it added or removed (by root). A container
/// removed after a change counts as removed only.
struct ChangeSet {
    std::unordered_set<UUID> written;
    std::unordered_set<UUID> removed;
    std::vector<UUID> filesAdded;
    std::vector<UUID> filesRemoved;

    bool empty() const {
        return written.empty() && removed.empty() && filesAdded.empty() && filesRemoved.empty();
    }
    void clear() { *this = {}; }
    void write(const UUID& id) {
        if (!removed.contains(id))
            written.insert(id);
    }
    void remove(const UUID& id) {
        written.erase(id);
        removed.insert(id);
    }
    /// Adds what a later request changed.
    void add(const ChangeSet& later) {
        for (const auto& id : later.written)
            write(id);
        for (const auto& id : later.removed)
            remove(id);
        filesAdded.insert(filesAdded.end(), later.filesAdded.begin(), later.filesAdded.end());
        filesRemoved.insert(filesRemoved.end(), later.filesRemoved.begin(),
                            later.filesRemoved.end());
    }
};

}  // namespace velkor::daemon
