#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CliProcess.h"
#include "support/PrivateBus.h"
#include "support/TestDaemon.h"
#include "velkor/UUID.h"
#include "velkor/Version.h"

using namespace velkor;
using test::CliProcess;
using Json = nlohmann::json;
using Stream = CliProcess::Stream;

namespace {

/// velkord on a private bus with a store of its own, and the velkor tool pointed at it.
class CliTest : public ::testing::Test {
  protected:
    CliTest() {
        std::filesystem::create_directories(directory_);
        start();
    }
    ~CliTest() override {
        daemon_.reset();
        std::filesystem::remove_all(directory_);
    }

    void start() {
        daemon_ = std::make_unique<test::TestDaemon>(test::TestDaemon::Settings{
            VELKORD_PATH, bus_.address(), (directory_ / "settings.db").string()});
    }
    /// Stops the daemon and starts another on the same store.
    void restart() {
        daemon_.reset();
        start();
    }

    /// The command line of the tool with `args`, on the test's bus; as uid and gid 65534
    /// (nobody) when `asNobody`.
    std::vector<std::string> command(const std::vector<std::string>& args,
                                     bool asNobody = false) const {
        std::vector<std::string> argv;
        if (asNobody)
            argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        argv.insert(argv.end(), {VELKOR_CLI_PATH, "--bus-address", bus_.address()});
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    CliProcess::Result velkor(const std::vector<std::string>& args, const std::string& input = {}) {
        return CliProcess::run(command(args), input);
    }
    CliProcess::Result asNobody(const std::vector<std::string>& args) {
        return CliProcess::run(command(args, true));
    }

    /// Runs the tool and expects it to succeed.
    std::string succeed(const std::vector<std::string>& args, const std::string& input = {}) {
        auto result = velkor(args, input);
        EXPECT_EQ(result.status, 0) << args[0] << ": " << result.err;
        return result.out;
    }
    Json getJson(const std::vector<std::string>& args) {
        return Json::parse(succeed(args), nullptr, false);
    }

    test::PrivateBus bus_;
    std::filesystem::path directory_ =
        std::filesystem::temp_directory_path() / ("velkor-cli-" + UUID::random().description());
    std::unique_ptr<test::TestDaemon> daemon_;
};

/// Reads standard error until the line `expected` comes, or fails.
void expectNote(CliProcess& process, const std::string& expected) {
    while (auto line = process.nextLine(Stream::err)) {
        if (*line == expected)
            return;
    }
    ADD_FAILURE() << "no line: " << expected;
}

/// The next line on standard output as JSON; null, and a failure, when none comes.
Json nextEvent(CliProcess& process) {
    auto line = process.nextLine(Stream::out);
    EXPECT_TRUE(line) << "no event";
    return line ? Json::parse(*line, nullptr, false) : Json();
}

TEST_F(CliTest, EveryCommandOnOneSettingsFile) {
    const std::string domain = "org.example.App";
    EXPECT_EQ(succeed({"set", domain, "window/size", "[640, 480]"}), "");
    succeed({"set", domain, "window/size/2", "-7"});  // the count appends
    succeed({"set", domain, "window/title", R"("Zoë")"});
    succeed({"set", domain, "flags/dark", "true"});

    EXPECT_EQ(succeed({"get", "org.example.app", "window/size"}), "[\n  640,\n  480,\n  -7\n]\n");
    EXPECT_EQ(getJson({"get", domain, "window/title"}), "Zoë");
    EXPECT_EQ(getJson({"get", domain, "flags/dark"}), 1);
    EXPECT_EQ(succeed({"ls", domain}), "flags\nwindow\n");
    EXPECT_EQ(succeed({"ls", domain, "window"}), "size\ntitle\n");
    EXPECT_EQ(succeed({"ls", domain, "window/size"}), "0\n1\n2\n");

    succeed({"rm", domain, "window/size/0"});
    succeed({"rm", domain, "window/title"});
    succeed({"set", domain, "flags", R"({"$data": "3q2+7w=="})"});  // a container replaced whole
    const auto expected = Json::parse(R"({"flags": {"$data": "3q2+7w=="},
                                          "window": {"size": [480, -7]}})");
    EXPECT_EQ(getJson({"export", domain}), expected);
    EXPECT_EQ(getJson({"get", domain}), expected);
    EXPECT_EQ(getJson({"--user", std::to_string(getuid()), "get", domain}), expected);
    EXPECT_EQ(getJson({"get", "--user", std::to_string(getuid()), domain}), expected)
        << "options may follow the command";

    succeed({"delete", domain});
    EXPECT_EQ(velkor({"get", domain}).status, 2);
}

TEST_F(CliTest, ExportThenImportKeepsByteStringsAndNestedArrays) {
    const auto document = Json::parse(R"({
        "bytes": {"$data": "AAECA/79/P8="}, "empty": {"$data": ""},
        "matrix": [[1, 2], [[3], []], [{"cell": {"$data": "/w=="}}]],
        "text": "a \"quoted\" ✓", "numbers": [-9223372036854775808, 0, 9223372036854775807],
        "yes": true
    })");
    succeed({"import", "org.example.source"}, document.dump());
    const auto exported = succeed({"export", "org.example.source"});
    auto expected = document;
    expected["yes"] = 1;
    EXPECT_EQ(Json::parse(exported), expected);

    succeed({"import", "org.example.copy"}, exported);
    EXPECT_EQ(succeed({"export", "org.example.copy"}), exported);

    // Into an existing file: in place, to exactly the new contents.
    auto changed = expected;
    changed["matrix"][1][0].push_back(4);
    changed.erase("empty");
    changed["new"] = Json::array({Json{{"$data", "AQ=="}}});
    succeed({"import", "org.example.copy"}, changed.dump());
    EXPECT_EQ(getJson({"export", "org.example.copy"}), changed);

    // A root of another kind replaces the file.
    succeed({"import", "org.example.copy"}, R"([{"$data": "AQI="}, [[]]])");
    EXPECT_EQ(getJson({"export", "org.example.copy"}), Json::parse(R"([{"$data": "AQI="}, [[]]])"));
}

TEST_F(CliTest, ErrorPathsEndWithTheirStatusAndSayWhatIsWrong) {
    succeed({"set", "org.example.app", "list", "[1, 2]"});
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::vector<std::string> says;
    };
    const Case cases[] = {
        // Missing file.
        {{"get", "org.example.none"},
         "",
         2,
         {"velkor: get org.example.none: A settings file does not exists (or cannot be accessed). "
          "(FileDoesNotExist)"}},
        {{"rm", "org.example.none", "a"}, "", 2, {"(FileDoesNotExist)"}},
        {{"delete", "org.example.none"}, "", 2, {"(FileDoesNotExist)"}},
        {{"watch", "org.example.none"}, "", 2, {"(FileDoesNotExist)"}},
        // Missing path.
        {{"get", "org.example.app", "nope"}, "", 2, {"(PathDoesNotExist)"}},
        {{"ls", "org.example.app", "list/5"}, "", 2, {"(PathDoesNotExist)"}},
        {{"rm", "org.example.app", "list/2"}, "", 2, {"the array at \"list\" has 2 items"}},
        {{"set", "org.example.app", "list/0/x", "1"}, "", 2, {"\"list/0\" is a number"}},
        // Bad input (the details of the messages are the JSON mapping's and the path's tests).
        {{"set", "org.example.app", "k", R"({"a": )"}, "", 1, {"bad JSON in VALUE"}},
        {{"import", "org.example.app"}, "{\n  \"a\": [1,\n}", 1, {"bad JSON in standard input"}},
        {{"import", "org.example.app"}, "7", 1, {"JSON object or array", "not number"}},
        {{"ls", "org.example.app", "list/0"}, "", 1, {"is a number; it has no items"}},
        {{"set", "org.example.app", "", "1"}, "", 1, {"set needs a PATH"}},
        {{"set", "org.example.app", "k"}, "", 1, {"VALUE is required"}},
        {{"--user", "1", "--shared", "get", "x"}, "", 1, {"excludes"}},
        {{"frobnicate"}, "", 1, {}},
    };
    for (const auto& c : cases) {
        auto result = velkor(c.args, c.input);
        const auto shown = c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(result.status, c.status) << shown << ": " << result.err;
        EXPECT_EQ(result.out, "") << shown;
        for (const auto& text : c.says)
            EXPECT_NE(result.err.find(text), std::string::npos) << shown << ": " << result.err;
    }
    // Bad input changed nothing.
    EXPECT_EQ(succeed({"ls", "org.example.app"}), "list\n");

    // No daemon on the bus.
    test::PrivateBus empty;
    auto lost = CliProcess::run({VELKOR_CLI_PATH, "--bus-address", empty.address(), "get", "x"});
    // The first connection closes as soon as the transport finds no daemon; whether the request
    // goes out before or after that decides which of the two connection errors the tool reports.
    EXPECT_EQ(lost.status, 4) << lost.err;
    EXPECT_TRUE(lost.err.find("(ConnectionLost)") != std::string::npos ||
                lost.err.find("(CannotConnect)") != std::string::npos)
        << lost.err;
}

TEST_F(CliTest, AccessToOtherUsersFilesIsRefused) {
    ASSERT_EQ(getuid(), 0u) << "needs root, to run the tool as another user";
    succeed({"set", "org.example.app", "secret", "1"});
    succeed({"--shared", "set", "org.example.app", "theme", R"("dark")"});

    // uid 65534 reads the shared file, changes nothing of it and reaches no file of root's.
    auto shared = asNobody({"--shared", "get", "org.example.app", "theme"});
    EXPECT_EQ(shared.status, 0) << shared.err;
    EXPECT_EQ(shared.out, "\"dark\"\n");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--shared", "set", "org.example.app", "theme", R"("light")"},
             {"--shared", "rm", "org.example.app", "theme"},
             {"--user", "0", "get", "org.example.app"},
             {"--user", "0", "set", "org.example.app", "secret", "2"},
             {"--user", "0", "delete", "org.example.app"}}) {
        auto refused = asNobody(args);
        EXPECT_EQ(refused.status, 2) << args[1] << ": " << refused.err;
        EXPECT_NE(refused.err.find("(FileDoesNotExist)"), std::string::npos) << refused.err;
    }
    EXPECT_EQ(getJson({"export", "org.example.app"}), Json::parse(R"({"secret": 1})"));
    EXPECT_EQ(getJson({"--shared", "get", "org.example.app"}), Json::parse(R"({"theme": "dark"})"));

    // Its own file it may change.
    auto own = asNobody({"set", "org.example.app", "mine", "3"});
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_EQ(getJson({"--user", "65534", "get", "org.example.app"}),
              Json::parse(R"({"mine": 3})"));
}

TEST_F(CliTest, WatchPrintsTheChangesOtherProcessesMake) {
    succeed({"set", "org.example.app", "volume", "1"});
    CliProcess watch(command({"watch", "org.example.app"}));
    expectNote(watch, "velkor: watching org.example.app");

    succeed({"set", "org.example.app", "colour", R"("blue")"});
    EXPECT_EQ(nextEvent(watch), Json::parse(R"({"event": "didDictionaryChildAdd", "path": "",
                                                "key": "colour", "value": "blue"})"));
    succeed({"set", "org.example.app", "recent/files", R"(["a"])"});
    EXPECT_EQ(nextEvent(watch)["key"], "recent");
    succeed({"set", "org.example.app", "recent/files/1", R"({"$data": "AQ=="})"});
    EXPECT_EQ(nextEvent(watch),
              Json::parse(R"({"event": "didDescendantChange", "path": "recent/files",
                              "value": ["a", {"$data": "AQ=="}]})"));
    succeed({"rm", "org.example.app", "colour"});
    EXPECT_EQ(nextEvent(watch), Json::parse(R"({"event": "didDictionaryChildRemove", "path": "",
                                                "key": "colour", "old": "blue"})"));

    watch.signal(SIGINT);
    auto ended = watch.finish();
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_EQ(ended.out, "");
}

TEST_F(CliTest, WatchFollowsTheDaemonAcrossRestartsUntilItsValueIsDeleted) {
    succeed({"set", "org.example.app", "window/width", "640"});
    CliProcess watch(command({"watch", "org.example.app", "window"}));
    expectNote(watch, "velkor: watching org.example.app window");

    restart();
    expectNote(watch, "velkor: watching org.example.app window");
    succeed({"set", "org.example.app", "window/height", "480"});
    EXPECT_EQ(nextEvent(watch), Json::parse(R"({"event": "didDictionaryChildAdd",
                                                "path": "window", "key": "height", "value": 480})"));
    succeed({"set", "org.example.app", "unwatched", "1"});
    succeed({"set", "org.example.app", "window/width", "800"});
    EXPECT_EQ(nextEvent(watch)["old"], 640) << "nothing from outside the watched value";

    succeed({"delete", "org.example.app"});
    EXPECT_EQ(nextEvent(watch), Json::parse(R"({"event": "didDelete", "path": "window"})"));
    auto ended = watch.finish();
    EXPECT_EQ(ended.status, 2);
    EXPECT_NE(ended.err.find("the watched value was deleted"), std::string::npos) << ended.err;
}

TEST_F(CliTest, HelpForEveryCommandAndTheVersion) {
    auto help = velkor({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* command : {"get", "set", "rm", "delete", "ls", "export", "import", "watch"}) {
        EXPECT_NE(help.out.find(std::string("  ") + command + " "), std::string::npos) << command;
        auto own = velkor({command, "--help"});
        EXPECT_EQ(own.status, 0) << command;
        EXPECT_NE(own.out.find(std::string("velkor ") + command), std::string::npos) << own.out;
    }
    EXPECT_EQ(succeed({"--version"}), std::string("velkor ") + versionString() + "\n");
}

}  // namespace
