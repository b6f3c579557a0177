#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <vector>

#include "basalt/ArchiveFormat.h"
#include "basalt/ArchiveItem.h"
#include "basalt/BKUnarchiverWrapper.h"

namespace velkor::basalt {

// Readable failure messages for item comparisons.
inline void PrintTo(const ArchiveItem& item, std::ostream* os) {
    switch (item.type) {
        case ArchiveItem::Type::integer:
            *os << "integer " << item.value;
            break;
        case ArchiveItem::Type::text:
            *os << "text \"" << item.text << "\"";
            break;
        case ArchiveItem::Type::bytes:
            *os << "bytes[" << item.bytes.size() << "]";
            break;
    }
}

}  // namespace velkor::basalt

namespace velkor::test {

/// The magic followed by `items`, in a heap block of exactly that size, so that AddressSanitizer
/// reports any read past its end.
inline std::vector<std::uint8_t> archiveOf(std::initializer_list<std::uint8_t> items) {
    std::vector<std::uint8_t> blob(basalt::archiveMagic.begin(), basalt::archiveMagic.end());
    blob.insert(blob.end(), items.begin(), items.end());
    return std::vector<std::uint8_t>(blob.begin(), blob.end());
}

/// What a reader makes of a whole blob: the items up to the first none, and how it stopped.
struct ReadResult {
    std::vector<basalt::ArchiveItem> items;
    bool atEnd = false;
    bool failed = false;
};

inline ReadResult readAll(std::span<const std::uint8_t> blob) {
    ReadResult result;
    auto reader = basalt::BKUnarchiverWrapper::createWithData(blob);
    if (!reader) {
        ADD_FAILURE() << "not an archive";
        return result;
    }
    while (auto item = basalt::BKUnarchiverWrapper::decodeObject(*reader)) {
        result.items.push_back(*item);
    }
    // Once it has said none it keeps saying so.
    EXPECT_FALSE(basalt::BKUnarchiverWrapper::decodeObject(*reader).has_value());
    result.atEnd = reader->atEnd();
    result.failed = reader->failed();
    return result;
}

}  // namespace velkor::test
