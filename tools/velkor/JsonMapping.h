#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "velkor/VKObjectBase.h"

namespace velkor::cli {

/// Settings values as JSON and back:
///
/// | Value      | JSON                                   |
/// |------------|----------------------------------------|
/// | dictionary | object                                 |
/// | array      | array                                  |
/// | number     | integer (signed 64-bit)                |
/// | string     | string                                 |
/// | data       | `{"$data": "<base64>"}`                |
///
/// JSON booleans are stored as the numbers 1 and 0 (the library's booleans) and so read back as
/// integers. Floating-point numbers, integers outside the signed 64-bit range and null cannot be
/// stored and are refused. An object whose only member is "$data" is always a byte string, so a
/// dictionary whose only key is "$data" does not survive a round trip through JSON.
class JsonMapping {
  public:
    /// Containers nested deeper than this are refused both ways, as the daemon refuses them.
    static constexpr int kMaxDepth = 512;

    JsonMapping() = delete;

    /// Parses `text`, which came from `source` (e.g. "VALUE", "standard input"). Throws
    /// CommandError (badInput) saying what is wrong and where: line, column and byte offset for
    /// bad JSON. Also refused, with the JSON pointer of their place: an object that holds a key
    /// twice, byte for byte or in two canonically equivalent Unicode forms (one key for the
    /// library), and an integer outside the signed 64-bit range.
    static nlohmann::json parse(std::string_view text, std::string_view source);

    /// The JSON form of `value`; null for no value. Containers are read in full, fetching the
    /// sub-containers not fetched yet (the library's errors propagate).
    static nlohmann::json toJson(const VKObjectPtr& value);

    /// A new local value (not attached to any settings file) for `json`. Throws CommandError
    /// (badInput) for a value that cannot be stored, naming its place as a JSON pointer (e.g.
    /// "/window/size/0").
    static VKObjectPtr fromJson(const nlohmann::json& json);

    /// Whether `json` stands for a byte string: an object whose only member is "$data".
    static bool isData(const nlohmann::json& json);

    /// `json` as text: on one line, or indented by `indent` spaces; invalid UTF-8 in strings is
    /// replaced by U+FFFD rather than failing.
    static std::string dump(const nlohmann::json& json, int indent = -1);
};

}  // namespace velkor::cli
