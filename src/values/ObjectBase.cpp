#include "velkor/VKObjectBase.h"

namespace velkor {

std::optional<VKObjectBase::Kind> VKObjectBase::kindFromRawValue(std::int64_t raw) {
    // One unsigned comparison refuses negative values too.
    if (static_cast<std::uint64_t>(raw) >= 6)
        return std::nullopt;
    return static_cast<Kind>(raw);
}

std::string_view VKObjectBase::kindDescription(Kind kind) {
    static constexpr std::string_view names[] = {"number", "string",     "data",
                                                 "array",  "dictionary", "proxy"};
    return names[static_cast<int>(kind)];
}

bool operator==(const VKObjectBase& a, const VKObjectBase& b) {
    if (&a == &b)
        return true;
    if (a.kind() != b.kind())
        return false;
    return a.equal(b);
}

bool equalValues(const VKObjectPtr& a, const VKObjectPtr& b) {
    if (!a || !b)
        return !a && !b;
    return *a == *b;
}

}  // namespace velkor
