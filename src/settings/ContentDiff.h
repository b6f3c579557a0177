#pragma once

#include <memory>
#include <string>
#include <vector>

#include "velkor/VKDictionary.h"
#include "velkor/VKObjectBase.h"

namespace velkor {

/// What differs between two versions of a settings file's root, by top-level key: what a
/// Settings handle reports when it opened the file again.
struct ContentDiff {
    std::vector<std::string> added;
    std::vector<std::string> removed;
    std::vector<std::string> changed;

    /// The keys of `after` that `before` lacks, those it lost, and those whose values differ in
    /// depth, each list sorted. An empty `before` (nothing held yet) makes every key new.
    static ContentDiff between(const std::shared_ptr<VKDictionary>& before,
                               const std::shared_ptr<VKDictionary>& after);

    /// Whether `a` and `b` hold the same content: equal scalars, or containers of one kind whose
    /// items are the same in depth. A proxy (a sub-tree never fetched) matches only the very
    /// container it stands for, by id.
    static bool sameContent(const VKObjectPtr& a, const VKObjectPtr& b);
};

}  // namespace velkor
