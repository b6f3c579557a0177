#include <gtest/gtest.h>

#include "SettingsPath.h"

using namespace velkor::cli;

namespace {

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
