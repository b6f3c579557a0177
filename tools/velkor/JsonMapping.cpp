#include "JsonMapping.h"

#include <cstdint>
#include <limits>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "Base64.h"
#include "CommandError.h"
#include "internals/CanonicalText.h"
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

// Builds the document as Json::parse does, refusing what it would keep only in part or in
// another kind: an object that holds one key twice, byte for byte or in two canonically
// equivalent forms (which the library takes for one key), and an integer outside the signed
// 64-bit range (which the parser makes a floating-point number). Errors are thrown as
// CommandError (badInput), naming the source and the place.
class Reader : public nlohmann::json_sax<Json> {
  public:
    explicit Reader(std::string_view source) : source_(source) {}

    Json document() { return std::move(document_); }

    bool null() override { return add(nullptr); }
    bool boolean(bool value) override { return add(value); }
    bool number_integer(number_integer_t value) override { return add(value); }
    bool number_unsigned(number_unsigned_t value) override { return add(value); }
    bool number_float(number_float_t value, const string_t& text) override {
        if (text.find_first_of(".eE") == std::string::npos)
            throw unstorable(pointer(true), text + " is outside the signed 64-bit integer range");
        return add(value);
    }
    bool string(string_t& value) override { return add(std::move(value)); }
    bool binary(binary_t& value) override { return add(Json(std::move(value))); }

    bool start_object(std::size_t) override { return open(Json::object()); }
    bool key(string_t& key) override {
        auto& frame = open_.back();
        if (!frame.keys.insert(canonicalText(key)).second) {
            const bool twin = frame.value->contains(key);
            throw CommandError::badInput(
                "bad JSON in " + source_ + ": the " +
                (open_.size() == 1 ? std::string("top-level object")
                                   : "object at \"" + pointer(false, 1) + "\"") +
                " holds the key \"" + key + "\" twice" +
                (twin ? "" : " (in two canonically equivalent Unicode forms, which are one key)"));
        }
        frame.key = key;
        frame.slot = &(*frame.value)[key];
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Json::array()); }
    bool end_array() override { return close(); }

    bool parse_error(std::size_t byte, const std::string&, const Json::exception& e) override {
        // what() reads "[json.exception.parse_error.101] parse error at line 1, column 2: ...".
        std::string message = e.what();
        if (const auto start = message.find("] "); start != std::string::npos)
            message.erase(0, start + 2);
        // A number too large even for a double ("1e999") is out of range, not a parse error.
        const bool syntax = dynamic_cast<const Json::parse_error*>(&e) != nullptr;
        throw CommandError::badInput("bad JSON in " + source_ +
                                     (syntax ? " (byte " + std::to_string(byte) + ")" : "") + ": " +
                                     message);
    }

  private:
    // An object or array being read.
    struct Frame {
        Json* value;
        Json* slot = nullptr;        // an object's member whose value comes next
        std::string key;             // that member's key
        std::set<std::string> keys;  // an object's keys so far, in canonical form
    };

    // Puts `value` where the next value of the innermost open container goes.
    Json* place(Json value) {
        if (open_.empty()) {
            document_ = std::move(value);
            return &document_;
        }
        auto& frame = open_.back();
        if (frame.value->is_array()) {
            frame.value->push_back(std::move(value));
            return &frame.value->back();
        }
        *frame.slot = std::move(value);
        return frame.slot;
    }
    bool add(Json value) {
        place(std::move(value));
        return true;
    }
    bool open(Json container) {
        open_.push_back(Frame{place(std::move(container)), nullptr, {}, {}});
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    // The JSON pointer of the value being read, or of the container `up` levels above it;
    // `pending` when the value is not placed yet.
    std::string pointer(bool pending, std::size_t up = 0) const {
        std::string text;
        for (std::size_t i = 0; i + up < open_.size(); ++i) {
            const auto& frame = open_[i];
            if (frame.value->is_object()) {
                text += "/" + pointerToken(frame.key);
            } else {
                const bool placed = !pending || i + 1 < open_.size();
                text += "/" + std::to_string(frame.value->size() - (placed ? 1 : 0));
            }
        }
        return text;
    }

    std::string source_;
    Json document_;
    std::vector<Frame> open_;
};

}  // namespace

Json JsonMapping::parse(std::string_view text, std::string_view source) {
    Reader reader(source);
    Json::sax_parse(text, &reader);
    return reader.document();
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
