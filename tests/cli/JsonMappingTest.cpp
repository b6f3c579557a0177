#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "CommandError.h"
#include "JsonMapping.h"
#include "velkor/VKConversions.h"

using namespace velkor;
using namespace velkor::cli;
using Json = nlohmann::json;

namespace {

// The message and status of the CommandError that `f` throws; empty when it throws none.
template <typename F>
std::pair<std::string, ExitCode> failure(F&& f) {
    try {
        f();
    } catch (const CommandError& e) {
        return {e.what(), e.exitCode()};
    }
    return {"", ExitCode::success};
}

Json nestedArrays(int levels) {
    Json json = 1;
    for (int i = 0; i < levels; ++i)
        json = Json::array({json});
    return json;
}

TEST(JsonMappingTest, EveryKindOfValueSurvivesTheTripThroughTheLibrary) {
    const auto document = Json::parse(R"({
        "name": "Zoë",
        "size": [640, 480, [1, [2, {"deep": {"$data": "AP8="}}]]],
        "limits": {"min": -9223372036854775808, "max": 9223372036854775807},
        "icon": {"$data": ""},
        "empty": {},
        "list": [],
        "notData": {"$data": "AAAA", "other": 1}
    })");
    auto value = JsonMapping::fromJson(document);

    auto root = asDictionary(value);
    ASSERT_TRUE(root);
    EXPECT_FALSE(root->onServer());
    auto deep = asArray(asArray(asArray(root->get("size"))->get(2))->get(1));
    ASSERT_TRUE(deep);
    auto bytes = asData(asDictionary(deep->get(1))->get("deep"));
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->value(), (std::vector<std::uint8_t>{0x00, 0xFF}));
    EXPECT_EQ(asNumber(asDictionary(root->get("limits"))->get("min"))->value(),
              std::numeric_limits<std::int64_t>::min());
    EXPECT_TRUE(asDictionary(root->get("notData"))) << "a second member makes it a dictionary";

    EXPECT_EQ(JsonMapping::toJson(value), document);
}

TEST(JsonMappingTest, BooleansAreStoredAsNumbersAndOtherScalarsAsThemselves) {
    auto array = asArray(JsonMapping::fromJson(Json::parse(R"([true, false, "true", 0])")));
    ASSERT_TRUE(array);
    EXPECT_EQ(asNumber(array->get(0))->value(), 1);
    EXPECT_EQ(asNumber(array->get(1))->value(), 0);
    EXPECT_EQ(JsonMapping::toJson(array), Json::parse(R"([1, 0, "true", 0])"));
    EXPECT_EQ(JsonMapping::toJson(nullptr), Json());
}

TEST(JsonMappingTest, ValuesThatCannotBeStoredAreRefusedWithTheirPlace) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {R"({"a": [1, 2.5]})", {"\"/a/1\"", "2.5", "floating-point"}},
        {R"({"a/b": {"~": null}})", {"\"/a~1b/~0\"", "null"}},
        {R"([18446744073709551615])", {"\"/0\"", "outside the signed 64-bit"}},
        {R"([-1e300])", {"\"/0\"", "floating-point"}},
        {R"({"x": {"$data": 5}})", {"\"/x\"", "base64 string"}},
        {R"({"x": {"$data": "AP8"}})", {"\"/x\"", "not base64", "multiple of 4"}},
        {R"(1.0)", {"cannot store the JSON value: 1.0"}},
    };
    for (const auto& [text, expected] : cases) {
        auto [message, code] = failure([&] { JsonMapping::fromJson(Json::parse(text)); });
        EXPECT_EQ(code, ExitCode::badInput) << text;
        for (const auto& part : expected)
            EXPECT_NE(message.find(part), std::string::npos) << text << " gave: " << message;
    }
}

TEST(JsonMappingTest, NestingIsLimitedBothWays) {
    EXPECT_NO_THROW(JsonMapping::fromJson(nestedArrays(JsonMapping::kMaxDepth)));
    auto [message, code] =
        failure([] { JsonMapping::fromJson(nestedArrays(JsonMapping::kMaxDepth + 1)); });
    EXPECT_EQ(code, ExitCode::badInput);
    EXPECT_NE(message.find("deeper than 512"), std::string::npos) << message;

    // A tree built in the library, deeper than JSON output allows.
    auto top = VKArray::make();
    auto current = top;
    for (int i = 0; i < JsonMapping::kMaxDepth; ++i) {
        auto inner = VKArray::make();
        current->append(inner);
        current = inner;
    }
    EXPECT_EQ(failure([&] { JsonMapping::toJson(top); }).second, ExitCode::refused);
}

TEST(JsonMappingTest, ParseErrorsSayWhatAndWhere) {
    auto [message, code] = failure([] { JsonMapping::parse("{\"a\": [1,\n 2,, 3]}", "VALUE"); });
    EXPECT_EQ(code, ExitCode::badInput);
    EXPECT_NE(message.find("bad JSON in VALUE (byte 14)"), std::string::npos) << message;
    EXPECT_NE(message.find("line 2, column 4"), std::string::npos) << message;
    EXPECT_EQ(message.find("json.exception"), std::string::npos) << message;

    EXPECT_EQ(failure([] { JsonMapping::parse("\"\xFF\"", "standard input"); }).second,
              ExitCode::badInput);
    auto [overflow, overflowCode] = failure([] { JsonMapping::parse("[7e777]", "VALUE"); });
    EXPECT_EQ(overflowCode, ExitCode::badInput);
    EXPECT_NE(overflow.find("bad JSON in VALUE: number overflow parsing '7e777'"),
              std::string::npos)
        << overflow;
    EXPECT_EQ(JsonMapping::parse(" [1] ", "VALUE"), Json::array({1}));
}

TEST(JsonMappingTest, OutputReplacesInvalidUtf8InsteadOfFailing) {
    auto value = std::make_shared<VKString>(std::string("a\xFFz"));
    EXPECT_EQ(JsonMapping::dump(JsonMapping::toJson(value)), "\"a\xEF\xBF\xBDz\"");
    EXPECT_EQ(JsonMapping::dump(Json::parse(R"({"b": [1]})"), 2), "{\n  \"b\": [\n    1\n  ]\n}");
}

}  // namespace
