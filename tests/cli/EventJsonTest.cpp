#include <gtest/gtest.h>

#include "EventJson.h"
#include "JsonMapping.h"
#include "velkor/VKConversions.h"

using namespace velkor;
using namespace velkor::cli;
using Json = nlohmann::json;
using Change = VKContainerChange;

namespace {

TEST(EventJsonTest, EveryEventBecomesOneLineWithItsPlaceAndValues) {
    auto dictionary = asDictionary(JsonMapping::fromJson(Json::parse(R"({"k": "new"})")));
    auto array = asArray(JsonMapping::fromJson(Json::parse(R"([10, {"z": [1]}])")));
    auto old = std::make_shared<VKString>("old");
    auto bytes = std::make_shared<VKData>(std::vector<std::uint8_t>{1, 2});

    const std::pair<Change, const char*> cases[] = {
        {Change::DidDictionaryChildAdd{"k", bytes},
         R"({"event":"didDictionaryChildAdd","key":"k","path":"p","value":{"$data":"AQI="}})"},
        {Change::DidDictionaryChildReplace{"k", old},
         R"({"event":"didDictionaryChildReplace","key":"k","old":"old","path":"p","value":"new"})"},
        {Change::DidDictionaryChildReplace{"absent", nullptr},
         R"({"event":"didDictionaryChildReplace","key":"absent","old":null,"path":"p","value":null})"},
        {Change::DidDictionaryChildRemove{"k", old},
         R"({"event":"didDictionaryChildRemove","key":"k","old":"old","path":"p"})"},
        {Change::DidArrayChildAdd{1, array->get(1)},
         R"({"event":"didArrayChildAdd","index":1,"path":"p","value":{"z":[1]}})"},
        {Change::DidArrayChildReplace{0, old},
         R"({"event":"didArrayChildReplace","index":0,"old":"old","path":"p","value":10})"},
        {Change::DidArrayChildReplace{5, old},
         R"({"event":"didArrayChildReplace","index":5,"old":"old","path":"p","value":null})"},
        {Change::DidArrayChildRemove{3, bytes},
         R"({"event":"didArrayChildRemove","index":3,"old":{"$data":"AQI="},"path":"p"})"},
        {Change::DidDescendantChange{array, "a/b"},
         R"({"event":"didDescendantChange","path":"a/b","value":[10,{"z":[1]}]})"},
        {Change::DidRemoveAll{}, R"({"event":"didRemoveAll","path":"p"})"},
        {Change::DidDelete{}, R"({"event":"didDelete","path":"p"})"},
    };
    for (const auto& [change, expected] : cases) {
        const bool ofArray = std::holds_alternative<Change::DidArrayChildReplace>(change.payload());
        VKContainerPtr container = ofArray ? VKContainerPtr(array) : VKContainerPtr(dictionary);
        EXPECT_EQ(JsonMapping::dump(EventJson::line(change, container, "p")), expected)
            << change.description();
    }
}

}  // namespace
