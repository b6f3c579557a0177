#pragma once

#include <optional>
#include <string>
#include <type_traits>

#include "velkor/VKScalars.h"

namespace velkor {

/// What a typed getter makes of `value`, read where it stands under its container's read lock:
/// `convert` of the number (of the string, for a getter of text), or none for a value of another
/// kind. A scalar never changes and its container holds it meanwhile, so the read takes no
/// reference to it and writes nothing that other threads' reads share. A scalar's kind names
/// its class, as the encoder takes it. `unfetched` tells a container not fetched yet, which the
/// getter fetches as get does.
template <typename Result, typename Convert>
std::optional<Result> scalarInPlace(const VKObjectBase& value, Convert convert, bool& unfetched) {
    constexpr bool text = std::is_same_v<Result, std::string>;
    using Scalar = std::conditional_t<text, VKString, VKNumber>;
    if (value.kind() == (text ? VKObjectBase::Kind::string : VKObjectBase::Kind::number)) {
        return convert(static_cast<const Scalar&>(value));
    }
    unfetched = value.kind() == VKObjectBase::Kind::containerProxy;
    return std::nullopt;
}

}  // namespace velkor
