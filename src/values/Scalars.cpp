#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "velkor/VKScalars.h"

namespace velkor {

namespace {

bool isAscii(std::string_view s) {
    for (unsigned char c : s) {
        if (c >= 0x80)
            return false;
    }
    return true;
}

// The canonical decomposition (NFD) of a text as code points: into `small` when it fits, so
// that short texts cost no allocation, else into `large`. Nothing for invalid UTF-8.
std::optional<std::span<const utf8proc_int32_t>> decompose(std::string_view s,
                                                           std::span<utf8proc_int32_t> small,
                                                           std::vector<utf8proc_int32_t>& large) {
    const auto options = static_cast<utf8proc_option_t>(UTF8PROC_DECOMPOSE | UTF8PROC_STABLE);
    auto run = [&](std::span<utf8proc_int32_t> into) {
        return utf8proc_decompose(reinterpret_cast<const utf8proc_uint8_t*>(s.data()),
                                  static_cast<utf8proc_ssize_t>(s.size()), into.data(),
                                  static_cast<utf8proc_ssize_t>(into.size()), options);
    };
    utf8proc_ssize_t n = run(small);
    if (n < 0)
        return std::nullopt;
    if (static_cast<std::size_t>(n) <= small.size()) {
        return small.first(static_cast<std::size_t>(n));
    }
    large.resize(static_cast<std::size_t>(n));
    n = run(large);
    if (n < 0)
        return std::nullopt;
    return std::span<const utf8proc_int32_t>(large).first(static_cast<std::size_t>(n));
}

bool canonicallyEqual(const std::string& a, const std::string& b) {
    if (a == b)
        return true;
    // Skip the common prefix, back to the last ASCII character in it: an ASCII character is a
    // starter that nothing before it decomposes or reorders with, so the texts are equivalent
    // exactly when what follows it is.
    auto common = static_cast<std::size_t>(
        std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
    std::size_t start = common;
    while (start > 0 && static_cast<unsigned char>(a[start]) >= 0x80) {
        --start;
    }
    auto restA = std::string_view(a).substr(start);
    auto restB = std::string_view(b).substr(start);
    // ASCII has no decomposable characters, so different ASCII texts are never equivalent.
    if (isAscii(restA) && isAscii(restB))
        return false;
    std::array<utf8proc_int32_t, 64> smallA;
    std::array<utf8proc_int32_t, 64> smallB;
    std::vector<utf8proc_int32_t> largeA;
    std::vector<utf8proc_int32_t> largeB;
    auto da = decompose(restA, smallA, largeA);
    auto db = decompose(restB, smallB, largeB);
    if (!da || !db)
        return false;  // invalid UTF-8 is compared by its bytes only
    return std::ranges::equal(*da, *db);
}

}  // namespace

bool VKString::equal(const VKObjectBase& other) const {
    auto* o = dynamic_cast<const VKString*>(&other);
    return o != nullptr && canonicallyEqual(value_, o->value_);
}

bool VKNumber::equal(const VKObjectBase& other) const {
    auto* o = dynamic_cast<const VKNumber*>(&other);
    return o != nullptr && o->value_ == value_;
}

bool VKData::equal(const VKObjectBase& other) const {
    auto* o = dynamic_cast<const VKData*>(&other);
    return o != nullptr && o->value_ == value_;
}

}  // namespace velkor
