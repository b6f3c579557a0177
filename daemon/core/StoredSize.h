#pragma once

#include <cstddef>
#include <string_view>

#include "core/IncomingTree.h"

namespace velkor::daemon {

/// How the store counts the size of a settings file: 64 bytes per container, and per item
/// 40 bytes, its key's bytes and, for strings and data, the value's bytes. Each count is at
/// least what the item or container takes in an answer, so a file's size bounds the answer
/// that sends all of it. The store keeps each file's size up to date in the temporary table
/// `file_sizes` (see `StoreSchema`), by the same rule.
struct StoredSize {
    static constexpr std::size_t kPerContainer = 64;
    static constexpr std::size_t kPerItem = 40;

    /// The size an item with `key` (empty in an array) and `value` adds to a file.
    static std::size_t ofItem(std::string_view key, const IncomingValue& value) {
        const bool bytes = value.kind == ValueKind::string || value.kind == ValueKind::data;
        return kPerItem + key.size() + (bytes ? value.bytes.size() : 0);
    }

    /// The size the containers a client blob writes in full add to a file.
    static std::size_t of(const IncomingTree& tree) {
        std::size_t size = 0;
        for (const auto& c : tree.containers) {
            size += kPerContainer;
            for (std::size_t i = 0; i < c.values.size(); ++i)
                size += ofItem(c.keys.empty() ? std::string_view() : c.keys[i], c.values[i]);
        }
        return size;
    }
};

}  // namespace velkor::daemon
