// The tool's JSON: settings values as JSON and back, imports onto existing trees, and the lines
// that watching prints; and the paths that name a place in a file.
#include <gtest/gtest.h>

#include <numeric>

#include "Base64.h"
#include "CommandError.h"
#include "EventJson.h"
#include "Importer.h"
#include "JsonMapping.h"
#include "SettingsPath.h"
#include "velkor/VKConversions.h"

using namespace velkor;
using namespace velkor::cli;
using Json = nlohmann::json;
using Change = VKContainerChange;

namespace {

VKObjectPtr fromText(const char* text) {
    return JsonMapping::fromJson(Json::parse(text));
}

// The status of the CommandError that `f` throws and whether its message holds `says`.
template <typename F>
void expectFailure(F&& f, ExitCode code, const std::string& says = {}) {
    try {
        f();
        ADD_FAILURE() << "no failure";
    } catch (const CommandError& e) {
        EXPECT_EQ(e.exitCode(), code);
        EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
    }
}

TEST(JsonTest, EveryKindOfValueSurvivesTheTripThroughTheLibraryAndTheRestAreRefused) {
    const auto document = R"({"name": "Zoë", "size": [640, [1, {"deep": {}}]], "list": [],
        "numbers": [-9223372036854775808, 9223372036854775807, true, false, "true"],
        "notData": {"$data": "AAAA", "other": 1}, "data": {"$data": "AP8="}})";
    auto expected = Json::parse(document);
    expected["numbers"][2] = 1;
    expected["numbers"][3] = 0;
    EXPECT_EQ(JsonMapping::toJson(fromText(document)), expected)
        << "booleans are stored as 1 and 0";

    // Byte strings: the standard base64 vectors, and every byte value.
    std::string all(256, '\0');
    std::iota(all.begin(), all.end(), '\0');
    const std::pair<std::string, std::string> vectors[] = {
        {"f", "Zg=="},        {"fo", "Zm8="},
        {"foo", "Zm9v"},      {"fooba", "Zm9vYmE="},
        {"\xFB\xFF", "+/8="}, {all, Base64::encode({all.begin(), all.end()})}};
    for (const auto& [plain, text] : vectors) {
        const Json json{{"$data", text}};
        auto data = asData(JsonMapping::fromJson(json));
        ASSERT_TRUE(data) << text;
        EXPECT_EQ(data->value(), std::vector<std::uint8_t>(plain.begin(), plain.end())) << text;
        EXPECT_EQ(JsonMapping::toJson(data), json);
    }

    auto invalid = std::make_shared<VKString>(std::string("a\xFFz"));
    EXPECT_EQ(JsonMapping::dump(JsonMapping::toJson(invalid)), "\"a\xEF\xBF\xBDz\"")
        << "invalid UTF-8 is replaced, not a failure";

    // Values that cannot be stored or shown are refused saying what and where.
    Json deep = 1;
    for (int i = 0; i <= JsonMapping::kMaxDepth; ++i)
        deep = Json::array({deep});
    const std::pair<Json, const char*> cases[] = {
        {Json::parse(R"({"a": [1, 2.5]})"), R"(at "/a/1": 2.5 is not an integer)"},
        {Json::parse(R"({"a/b": {"~": null}})"), R"(at "/a~1b/~0": null cannot be stored)"},
        {Json::parse("[9223372036854775808]"), R"(at "/0": 9223372036854775808 is outside)"},
        {Json::parse("1.0"), "cannot store the JSON value: 1.0 is not"},
        {Json::parse(R"({"x": {"$data": 5}})"), R"(at "/x": "$data" must hold a base64 string)"},
        {Json{{"$data", "Zg="}}, "not base64: base64 text of 3 characters"},
        {Json{{"$data", "Zm9-"}}, "a character outside base64 at offset 3"},
        {Json{{"$data", "A==="}}, "padding '=' before the end at offset 1"},
        {Json{{"$data", "Zh=="}}, "unused bits set in the character at offset 1"},
        {Json{{"$data", "Zm9="}}, "unused bits set in the character at offset 2"},
        {deep, "nested deeper than 512 levels"},
    };
    for (const auto& [json, says] : cases)
        expectFailure([&] { JsonMapping::fromJson(json); }, ExitCode::badInput, says);
    // One level more, built in the library, cannot be shown as JSON either.
    auto top = VKArray::make();
    top->append(JsonMapping::fromJson(deep[0]));
    expectFailure([&] { JsonMapping::toJson(top); }, ExitCode::refused);
}

TEST(JsonTest, ReadingRefusesRepeatedKeysAndIntegersOutsideTheRange) {
    const auto document = R"({"a": [1, {"b": [true, null, "x", -2, 3.5, {}]}], "c": {"d": []}})";
    EXPECT_EQ(JsonMapping::parse(document, "VALUE"), Json::parse(document));

    // A key given twice, byte for byte or in two canonically equivalent forms (the library's one
    // key), is refused whatever order the forms come in; so are integers that the parser would
    // otherwise make floating-point numbers.
    const std::string composed = "\xC3\xA9", decomposed = "e\xCC\x81";
    const std::pair<std::string, const char*> cases[] = {
        {R"({"x": 1, "x": 2})", R"(the top-level object holds the key "x" twice)"},
        {R"([0, {"a": [{"k": 1, "y": 2, "k": 1}]}])", R"(object at "/1/a/0" holds the key "k")"},
        {"{\"" + composed + "\": 1, \"" + decomposed + "\": 2}", "canonically equivalent"},
        {"{\"" + decomposed + "\": 1, \"" + composed + "\": 2}", "canonically equivalent"},
        {"[-9223372036854775809]", "-9223372036854775809 is outside the signed 64-bit"},
        {R"({"a": [18446744073709551616]})", R"(at "/a/0": 18446744073709551616 is outside)"},
        {"[1, 2,]", "bad JSON in VALUE (byte 7): parse error"},
    };
    for (const auto& [text, says] : cases)
        expectFailure([&] { JsonMapping::parse(text, "VALUE"); }, ExitCode::badInput, says);
}

TEST(JsonTest, ImportChangesOnlyWhatDiffersAndEventLinesShowTheValueNowInTheContainer) {
    auto root = asDictionary(fromText(
        R"({"keep": {"a": 1, "b": [1, 2, 3]}, "gone": 5, "kind": {"x": 1}, "list": [{"n": 1}]})"));
    auto keep = asDictionary(root->get("keep"));
    auto keptArray = keep->get("b");
    auto firstItem = asArray(root->get("list"))->get(0);
    const auto wanted = Json::parse(R"({"keep": {"a": 2, "b": [1, 2], "c": {"$data": "AQ=="}},
                                        "kind": [1], "list": [{"n": 2}, 3, []]})");
    ASSERT_TRUE(Importer::fits(root, wanted));
    Importer::replaceContents(root, wanted);
    EXPECT_EQ(JsonMapping::toJson(root), wanted);
    EXPECT_EQ(root->get("keep"), keep) << "fitting containers are updated in place";
    EXPECT_EQ(keep->get("b"), keptArray);
    EXPECT_EQ(asArray(root->get("list"))->get(0), firstItem);
    EXPECT_FALSE(Importer::fits(keep, Json::parse(R"({"$data": ""})")));

    // Event lines show the old value and the value now in the container. The events that watching
    // a dictionary shows end to end are left to the command-line tests.
    auto array = asArray(fromText(R"([10, {"z": [1]}])"));
    auto old = std::make_shared<VKString>("old");
    const std::pair<Change, const char*> cases[] = {
        {Change::DidDictionaryChildReplace{"absent", nullptr},
         R"({"event":"didDictionaryChildReplace","key":"absent","old":null,"path":"p","value":null})"},
        {Change::DidArrayChildAdd{1, array->get(1)},
         R"({"event":"didArrayChildAdd","index":1,"path":"p","value":{"z":[1]}})"},
        {Change::DidArrayChildReplace{0, old},
         R"({"event":"didArrayChildReplace","index":0,"old":"old","path":"p","value":10})"},
        {Change::DidArrayChildReplace{5, old},
         R"({"event":"didArrayChildReplace","index":5,"old":"old","path":"p","value":null})"},
        {Change::DidArrayChildRemove{3, fromText(R"({"$data": "AQI="})")},
         R"({"event":"didArrayChildRemove","index":3,"old":{"$data":"AQI="},"path":"p"})"},
        {Change::DidRemoveAll{}, R"({"event":"didRemoveAll","path":"p"})"},
    };
    for (const auto& [change, expected] : cases)
        EXPECT_EQ(JsonMapping::dump(EventJson::line(change, array, "p")), expected);
}

TEST(SettingsPathTest, PartsParentsAndIndexes) {
    const auto path = SettingsPath::parse("/window/size/0/");
    EXPECT_EQ(path.parts(), (std::vector<std::string>{"window", "size", "0"}));
    EXPECT_EQ(path.parent().text(), "window/size");
    for (const char* root : {"", "/", "///"})
        EXPECT_TRUE(SettingsPath::parse(root).isRoot()) << root;
    EXPECT_TRUE(SettingsPath().parent().isRoot());

    EXPECT_EQ(SettingsPath::index("007"), 7);
    EXPECT_EQ(SettingsPath::index("9223372036854775807"), INT64_MAX);
    for (const char* bad : {"", "-1", "+1", "1x", " 1", "0x1", "9223372036854775808"})
        EXPECT_FALSE(SettingsPath::index(bad)) << bad;
}

}  // namespace
