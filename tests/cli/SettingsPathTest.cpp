#include <gtest/gtest.h>

#include "CommandError.h"
#include "SettingsPath.h"

using namespace velkor::cli;

namespace {

TEST(SettingsPathTest, PartsPrefixesAndAncestry) {
    const auto path = SettingsPath::parse("/window/size/0/");
    EXPECT_EQ(path.parts(), (std::vector<std::string>{"window", "size", "0"}));
    EXPECT_EQ(path.text(), "window/size/0");
    EXPECT_EQ(path.last(), "0");
    EXPECT_EQ(path.parent().text(), "window/size");
    EXPECT_EQ(path.prefix(1).text(), "window");
    EXPECT_EQ(path.prefix(9).text(), "window/size/0");

    EXPECT_TRUE(path.isBelow(SettingsPath()));
    EXPECT_TRUE(path.isBelow(SettingsPath::parse("window")));
    EXPECT_FALSE(path.isBelow(path));
    EXPECT_FALSE(SettingsPath::parse("windows/size").isBelow(SettingsPath::parse("window")));

    for (const char* root : {"", "/", "///"}) {
        EXPECT_TRUE(SettingsPath::parse(root).isRoot()) << root;
        EXPECT_EQ(SettingsPath::parse(root).text(), "");
    }
    EXPECT_TRUE(SettingsPath().parent().isRoot());
    EXPECT_EQ(SettingsPath::parse("a b/ü").parts(), (std::vector<std::string>{"a b", "ü"}));
}

TEST(SettingsPathTest, AnEmptyPartInsideIsRefusedWithItsOffset) {
    try {
        SettingsPath::parse("/a//b");
        ADD_FAILURE() << "parsed";
    } catch (const CommandError& e) {
        EXPECT_EQ(e.exitCode(), ExitCode::badInput);
        EXPECT_NE(std::string(e.what()).find("\"/a//b\": empty part at byte 3"), std::string::npos)
            << e.what();
    }
}

TEST(SettingsPathTest, IndexesAreDecimalDigitsWithinRange) {
    EXPECT_EQ(SettingsPath::index("0"), 0);
    EXPECT_EQ(SettingsPath::index("007"), 7);
    EXPECT_EQ(SettingsPath::index("9223372036854775807"), INT64_MAX);
    for (const char* bad : {"", "-1", "+1", "1x", " 1", "0x1", "9223372036854775808"})
        EXPECT_FALSE(SettingsPath::index(bad)) << bad;
}

}  // namespace
