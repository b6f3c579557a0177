// Feeds arbitrary text to what the velkor tool does with its input: JSON parsing, the mapping to
// settings values and back, and the base64 decoder. A refusal must be a CommandError for bad
// input; what is accepted must come back as the same JSON (booleans as 1 and 0), and decoded
// base64 must encode to text of the same length that decodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "Base64.h"
#include "CommandError.h"
#include "FuzzSupport.h"
#include "JsonMapping.h"

using velkor::cli::Base64;
using velkor::cli::CommandError;
using velkor::cli::ExitCode;
using velkor::cli::JsonMapping;
using Json = nlohmann::json;

using velkor::fuzz::check;

namespace {

// `json` as the tool stores it: booleans become 1 and 0.
Json stored(const Json& json) {
    if (json.is_boolean())
        return json.get<bool>() ? 1 : 0;
    if (!json.is_structured())
        return json;
    Json copy = json;
    for (auto& item : copy)
        item = stored(item);
    return copy;
}

void checkBase64(std::string_view text) {
    try {
        const auto bytes = Base64::decode(text);
        const auto encoded = Base64::encode(bytes);
        check(encoded.size() == text.size());
        check(Base64::decode(encoded) == bytes);
    } catch (const std::invalid_argument&) {
    }
}

void checkJson(std::string_view text) {
    Json json;
    velkor::VKObjectPtr value;
    try {
        json = JsonMapping::parse(text, "fuzz input");
        value = JsonMapping::fromJson(json);
    } catch (const CommandError& e) {
        check(e.exitCode() == ExitCode::badInput);
        return;
    }
    const Json back = JsonMapping::toJson(value);
    check(back == stored(json));
    JsonMapping::dump(back, 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkBase64(text);
    checkJson(text);
    return 0;
}
