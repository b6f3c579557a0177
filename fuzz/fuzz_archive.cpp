// Reads every item of an arbitrary blob, checks that each item lies inside the blob, and that
// writing the items again gives an archive that reads back as the same items.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "FuzzSupport.h"
#include "basalt/ArchiveWriter.h"
#include "basalt/BKUnarchiverWrapper.h"

using velkor::basalt::ArchiveItem;
using velkor::basalt::ArchiveWriter;
using velkor::basalt::BKUnarchiverWrapper;

using velkor::fuzz::check;
using velkor::fuzz::inside;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> blob(data, size);
    auto reader = BKUnarchiverWrapper::createWithData(blob);
    if (!reader)
        return 0;

    std::vector<ArchiveItem> items;
    ArchiveWriter writer;
    while (auto item = BKUnarchiverWrapper::decodeObject(*reader)) {
        check(inside({reinterpret_cast<const std::uint8_t*>(item->text.data()), item->text.size()},
                     blob));
        check(inside(item->bytes, blob));
        switch (item->type) {
            case ArchiveItem::Type::integer:
                writer.encodeInteger(item->value);
                break;
            case ArchiveItem::Type::text:
                writer.encodeText(item->text);
                break;
            case ArchiveItem::Type::bytes:
                writer.encodeBytes(item->bytes);
                break;
        }
        items.push_back(*item);
    }
    check(reader->atEnd() != reader->failed());
    check(!BKUnarchiverWrapper::decodeObject(*reader).has_value());

    const std::vector<std::uint8_t> rewritten = writer.takeArchiverData();
    auto again = BKUnarchiverWrapper::createWithData(rewritten);
    check(again.has_value());
    for (const auto& expected : items) {
        auto item = BKUnarchiverWrapper::decodeObject(*again);
        check(item.has_value() && *item == expected);
    }
    check(!BKUnarchiverWrapper::decodeObject(*again).has_value() && again->atEnd());
    // A well-formed input in shortest form is exactly what the writer produces.
    if (reader->atEnd() && rewritten.size() == size)
        check(std::equal(rewritten.begin(), rewritten.end(), data));
    return 0;
}
