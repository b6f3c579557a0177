#include "JsonMapping.h"

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "Base64.h"
#include "CommandError.h"
#include "velkor/VKConversions.h"

namespace velkor::cli {

namespace {

using Json = nlohmann::json;

constexpr const char* kDataKey = "$data";

// A JSON pointer's escaping of one reference token.
std::string pointerToken(const std::string& key) {
    std::string token;
    for (char c : key) {
        if (c == '~')
            token += "~0";
        else if (c == '/')
            token += "~1";
        else
            token += c;
    }
    return token;
}

CommandError unstorable(const std::string& pointer, const std::string& what) {
    const std::string place = pointer.empty() ? "" : " at \"" + pointer + "\"";
    return CommandError::badInput("cannot store the JSON value" + place + ": " + what);
}

void checkDepth(int depth, const std::string& pointer) {
    if (depth >= JsonMapping::kMaxDepth) {
        throw unstorable(
            pointer, "nested deeper than " + std::to_string(JsonMapping::kMaxDepth) + " levels");
    }
}

VKObjectPtr valueFromJson(const Json& json, const std::string& pointer, int depth) {
    switch (json.type()) {
        case Json::value_t::object: {
            checkDepth(depth, pointer);
            if (JsonMapping::isData(json)) {
                const auto& text = json.at(kDataKey);
                if (!text.is_string())
                    throw unstorable(pointer, "\"$data\" must hold a base64 string");
                try {
                    return std::make_shared<VKData>(
                        Base64::decode(text.get_ref<const std::string&>()));
                } catch (const std::invalid_argument& e) {
                    throw unstorable(pointer, std::string("\"$data\" is not base64: ") + e.what());
                }
            }
            auto dictionary = VKDictionary::make(json.size());
            for (const auto& [key, item] : json.items()) {
                dictionary->set(key,
                                valueFromJson(item, pointer + "/" + pointerToken(key), depth + 1));
            }
            return dictionary;
        }
        case Json::value_t::array: {
            checkDepth(depth, pointer);
            auto array = VKArray::make(json.size());
            for (std::size_t i = 0; i < json.size(); ++i)
                array->append(valueFromJson(json[i], pointer + "/" + std::to_string(i), depth + 1));
            return array;
        }
        case Json::value_t::string:
            return std::make_shared<VKString>(json.get<std::string>());
        case Json::value_t::boolean:
            return VKNumber::withBool(json.get<bool>());
        case Json::value_t::number_integer:
            return std::make_shared<VKNumber>(json.get<std::int64_t>());
        case Json::value_t::number_unsigned: {
            const auto value = json.get<std::uint64_t>();
            if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                throw unstorable(
                    pointer, std::to_string(value) + " is outside the signed 64-bit integer range");
            }
            return std::make_shared<VKNumber>(static_cast<std::int64_t>(value));
        }
        case Json::value_t::number_float:
            throw unstorable(pointer, json.dump() +
                                          " is not an integer (floating-point numbers cannot be "
                                          "stored; numbers are signed 64-bit integers)");
        case Json::value_t::null:
            throw unstorable(pointer, "null cannot be stored");
        default:
            throw unstorable(pointer, "binary JSON values cannot be stored");
    }
}

Json valueToJson(const VKObjectPtr& value, int depth) {
    if (!value)
        return nullptr;
    if (value->isContainer() && depth >= JsonMapping::kMaxDepth) {
        throw CommandError(ExitCode::refused, "the settings are nested deeper than " +
                                                  std::to_string(JsonMapping::kMaxDepth) +
                                                  " levels; they cannot be shown as JSON");
    }
    if (auto number = asNumber(value))
        return number->value();
    if (auto string = asString(value))
        return string->value();
    if (auto data = asData(value))
        return Json{{kDataKey, Base64::encode(data->value())}};
    if (auto array = asArray(value)) {
        Json json = Json::array();
        // Reading by index fetches containers that arrived as proxies.
        const auto count = static_cast<std::int64_t>(array->count());
        for (std::int64_t i = 0; i < count; ++i)
            json.push_back(valueToJson(array->get(i), depth + 1));
        return json;
    }
    if (auto dictionary = asDictionary(value)) {
        Json json = Json::object();
        for (const auto& [key, item] : dictionary->items())
            json[key] = valueToJson(item->isContainer() ? dictionary->get(key) : item, depth + 1);
        return json;
    }
    throw CommandError(ExitCode::refused, "a container of the settings could not be fetched");
}

}  // namespace

Json JsonMapping::parse(std::string_view text, std::string_view source) {
    // what() reads "[json.exception.parse_error.101] parse error at line 1, column 2: ...".
    const auto withoutId = [](const Json::exception& e) {
        std::string message = e.what();
        const auto start = message.find("] ");
        return start == std::string::npos ? message : message.substr(start + 2);
    };
    try {
        return Json::parse(text);
    } catch (const Json::parse_error& e) {
        throw CommandError::badInput("bad JSON in " + std::string(source) + " (byte " +
                                     std::to_string(e.byte) + "): " + withoutId(e));
    } catch (const Json::exception& e) {
        // A number too large even for a double ("1e999") is out of range, not a parse error.
        throw CommandError::badInput("bad JSON in " + std::string(source) + ": " + withoutId(e));
    }
}

Json JsonMapping::toJson(const VKObjectPtr& value) {
    return valueToJson(value, 0);
}

VKObjectPtr JsonMapping::fromJson(const Json& json) {
    return valueFromJson(json, "", 0);
}

bool JsonMapping::isData(const Json& json) {
    return json.is_object() && json.size() == 1 && json.contains(kDataKey);
}

std::string JsonMapping::dump(const Json& json, int indent) {
    return json.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace velkor::cli
