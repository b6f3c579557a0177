#include "internals/CanonicalText.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace velkor {

bool isAsciiText(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

std::string canonicalText(std::string_view text) {
    if (isAsciiText(text)) {
        return std::string(text);
    }
    utf8proc_uint8_t* composed = nullptr;
    const auto options = static_cast<utf8proc_option_t>(UTF8PROC_COMPOSE | UTF8PROC_STABLE);
    const auto length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                     static_cast<utf8proc_ssize_t>(text.size()), &composed, options);
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(composed, &std::free);
    if (length < 0) {
        return std::string(text);
    }
    return std::string(reinterpret_cast<const char*>(composed), static_cast<std::size_t>(length));
}

}  // namespace velkor
