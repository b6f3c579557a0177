#pragma once

#include <string>
#include <string_view>

namespace velkor {

/// Whether `text` is plain ASCII, whose canonical form is itself.
bool isAsciiText(std::string_view text);

/// The canonical composition (Unicode NFC) of `text`: canonically equivalent texts, such as "é"
/// and "e" followed by U+0301, have the same one. Dictionary keys are compared by it, in the
/// library and in velkord. Text that is not valid UTF-8 is its own canonical form.
std::string canonicalText(std::string_view text);

}  // namespace velkor
