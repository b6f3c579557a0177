// Importer on local trees: the same calls that `import` makes on settings opened from the
// daemon, without one.
#include <gtest/gtest.h>

#include "Importer.h"
#include "JsonMapping.h"
#include "velkor/VKConversions.h"

using namespace velkor;
using namespace velkor::cli;
using Json = nlohmann::json;

namespace {

VKContainerPtr tree(const char* text) {
    return asContainer(JsonMapping::fromJson(Json::parse(text)));
}

TEST(ImporterTest, ImportChangesOnlyWhatDiffersAndKeepsFittingContainers) {
    auto root = tree(R"({
        "keep": {"a": 1, "b": [1, 2, 3]},
        "gone": 5,
        "kind": {"x": 1},
        "list": [{"n": 1}, 2]
    })");
    auto keep = asDictionary(asDictionary(root)->get("keep"));
    auto keptArray = asArray(keep->get("b"));
    auto firstItem = asDictionary(asArray(asDictionary(root)->get("list"))->get(0));
    const auto wanted = Json::parse(R"({
        "keep": {"a": 2, "b": [1, 2], "c": {"$data": "AQ=="}},
        "kind": [1],
        "list": [{"n": 2}, 2, 3, []]
    })");

    ASSERT_TRUE(Importer::fits(root, wanted));
    Importer::replaceContents(root, wanted);

    EXPECT_EQ(JsonMapping::toJson(root), wanted);
    auto dictionary = asDictionary(root);
    EXPECT_EQ(dictionary->get("keep"), keep) << "a fitting dictionary is updated in place";
    EXPECT_EQ(keep->get("b"), keptArray) << "a fitting array is updated in place";
    EXPECT_EQ(asArray(dictionary->get("list"))->get(0), firstItem);
    EXPECT_TRUE(asArray(dictionary->get("kind"))) << "a dictionary became an array";

    EXPECT_FALSE(Importer::fits(keep, Json::parse(R"({"$data": ""})")));
    EXPECT_FALSE(Importer::fits(keep, Json::array()));
    EXPECT_FALSE(Importer::fits(std::make_shared<VKNumber>(1), Json::object()));
}

}  // namespace
