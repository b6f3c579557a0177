#pragma once

#include <string_view>

namespace velkor::basalt {

/// Whether `text` is well-formed UTF-8 as RFC 3629 defines it: no overlong forms, surrogates or
/// code points past U+10FFFF. Text in archives, keys and domains must be.
bool isUtf8(std::string_view text) noexcept;

}  // namespace velkor::basalt
