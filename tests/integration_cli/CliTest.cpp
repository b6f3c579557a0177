#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/PrivateBus.h"
#include "support/TestDaemon.h"
#include "velkor/UUID.h"

extern char** environ;

using namespace velkor;
using namespace std::chrono_literals;
using Json = nlohmann::json;

namespace {

/// A program run with `input` as standard input and its output streams in memory files that the
/// test reads. It runs under timeout(1) and waits for output are bounded, so that a program that
/// hangs fails the test.
class Tool {
  public:
    struct Result {
        int status;  // the exit status; 137 when it hung and was killed
        std::string out, err;
    };

    explicit Tool(std::vector<std::string> argv, const std::string& input = {}) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int i = 0; i < 3; ++i) {
            fds_[i] = memfd_create("velkor-cli-test", MFD_CLOEXEC);
            posix_spawn_file_actions_adddup2(&actions, fds_[i], i);
        }
        EXPECT_EQ(pwrite(fds_[0], input.data(), input.size(), 0), ssize_t(input.size()));
        argv.insert(argv.begin(), {"timeout", "--signal=KILL", "60"});
        std::vector<char*> args;
        for (auto& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        EXPECT_EQ(posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Tool() {
        // timeout(1) passes the signal on and waits for the program.
        if (pid_ > 0 && kill(pid_, SIGTERM) == 0)
            waitpid(pid_, nullptr, 0);
        for (int fd : fds_)
            close(fd);
    }

    /// The next line of standard output (1) or error (2), without its newline; none if none comes
    /// within `patience`.
    std::optional<std::string> line(int stream, std::chrono::milliseconds patience = 10s) {
        const auto until = std::chrono::steady_clock::now() + patience;
        for (;; std::this_thread::sleep_for(5ms)) {
            const auto text = written(stream);
            const auto end = text.find('\n', read_[stream]);
            if (end != std::string::npos) {
                auto line = text.substr(read_[stream], end - read_[stream]);
                read_[stream] = end + 1;
                return line;
            }
            if (std::chrono::steady_clock::now() > until)
                return std::nullopt;
        }
    }
    /// Whether the line `note` comes on standard error.
    bool notes(const std::string& note) { return !errorsUntil(note, true).empty(); }
    /// The lines of standard error up to the first that is (`whole`) or holds `text`; none when
    /// no such line comes (`patience` is the longest wait for each line).
    std::vector<std::string> errorsUntil(const std::string& text, bool whole = false,
                                         std::chrono::milliseconds patience = 10s) {
        std::vector<std::string> lines;
        while (auto next = line(2, patience)) {
            lines.push_back(*next);
            if (whole ? *next == text : next->find(text) != std::string::npos)
                return lines;
        }
        return {};
    }
    Json event() { return Json::parse(line(1).value_or("none"), nullptr, false); }
    /// Sends `number` to timeout(1), which passes it on to the program; with `group`, to both at
    /// once (timeout(1) runs the program in a group of its own).
    void signal(int number, bool group = false) { kill(group ? -pid_ : pid_, number); }

    /// Waits for the program to end and gives what it wrote that was not read yet.
    Result finish() {
        int status = 0;
        waitpid(std::exchange(pid_, -1), &status, 0);
        return {WEXITSTATUS(status), written(1).substr(read_[1]), written(2).substr(read_[2])};
    }

  private:
    // Everything written to the stream, read through a file description of its own.
    std::string written(int stream) const {
        std::ifstream file("/proc/self/fd/" + std::to_string(fds_[stream]));
        return {std::istreambuf_iterator<char>(file), {}};
    }

    pid_t pid_ = -1;
    int fds_[3];  // standard input, output and error
    std::size_t read_[3] = {};
};

/// Expects `result` to have ended with `status` and to have said `says` on standard error.
void expectEnded(const Tool::Result& result, int status, const std::string& says) {
    EXPECT_EQ(result.status, status) << result.err;
    EXPECT_NE(result.err.find(says), std::string::npos) << result.err;
}

/// velkord on a private bus with a store of its own, and the velkor tool pointed at it.
class CliTest : public ::testing::Test {
  protected:
    CliTest() { start(); }
    ~CliTest() override {
        daemon_.reset();
        std::filesystem::remove_all(directory_);
    }
    void start(std::vector<std::string> arguments = {}) {
        std::filesystem::create_directories(directory_);
        daemon_ = std::make_unique<test::TestDaemon>(test::TestDaemon::Settings{
            VELKORD_PATH, bus_.address(), (directory_ / "settings.db").string(), arguments});
    }

    /// The tool's command line with `args`, as uid and gid 65534 (nobody) when `asNobody`.
    std::vector<std::string> command(std::vector<std::string> args, bool asNobody = false) {
        args.insert(args.begin(), {VELKOR_CLI_PATH, "--bus-address", bus_.address()});
        if (asNobody)
            args.insert(args.begin(),
                        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        return args;
    }
    Tool::Result velkor(const std::vector<std::string>& args, const std::string& input = {},
                        bool asNobody = false) {
        return Tool(command(args, asNobody), input).finish();
    }
    /// Runs the tool, expects it to succeed and gives its output.
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

TEST_F(CliTest, AnAdministratorEditsExportsAndImportsAFileAndIsToldWhatIsWrong) {
    const std::string app = "org.example.App";
    EXPECT_EQ(succeed({"set", app, "window/size", "[640, 480]"}), "");
    succeed({"set", app, "window/size/2", "-7"});  // the count appends
    succeed({"set", app, "flags/dark", "true"});
    EXPECT_EQ(succeed({"get", "org.example.app", "window/size"}), "[\n  640,\n  480,\n  -7\n]\n");
    EXPECT_EQ(succeed({"ls", app}), "flags\nwindow\n");
    EXPECT_EQ(succeed({"ls", app, "window/size"}), "0\n1\n2\n");
    succeed({"rm", app, "window/size/0"});
    succeed({"set", app, "flags", R"({"$data": "3q2+7w=="})"});  // a container replaced whole
    EXPECT_EQ(getJson({"get", "--user", std::to_string(getuid()), app}),
              Json::parse(R"({"flags": {"$data": "3q2+7w=="}, "window": {"size": [480, -7]}})"))
        << "options may follow the command";

    // Export and import keep byte strings, the extreme numbers and nested arrays; an import into
    // an existing file leaves it holding exactly the new document.
    auto document = Json::parse(R"({"bytes": {"$data": "AAECA/79/P8="}, "empty": {"$data": ""},
        "matrix": [[1, 2], [[3], []], [{"cell": {"$data": "/w=="}}]], "text": "a \"quoted\" ✓",
        "numbers": [-9223372036854775808, 9223372036854775807]})");
    succeed({"import", "org.example.copy"}, document.dump());
    const auto exported = succeed({"export", "org.example.copy"});
    EXPECT_EQ(Json::parse(exported), document);
    succeed({"import", app}, exported);
    EXPECT_EQ(succeed({"export", app}), exported);
    document["matrix"][1][0].push_back(4);
    document["matrix"][0].erase(1);
    document["matrix"][2][0] = 5;
    succeed({"import", app}, document.dump());
    EXPECT_EQ(getJson({"export", app}), document);
    succeed({"import", app}, "[[]]");  // a root of another kind replaces the file
    EXPECT_EQ(getJson({"export", app}), Json::parse("[[]]"));

    succeed({"delete", app});
    EXPECT_EQ(velkor({"get", app}).status, 2);

    // Errors and refusals end with their status and say what is wrong.
    ASSERT_EQ(getuid(), 0u) << "needs root, to run the tool as another user";
    succeed({"set", "org.example.app", "list", "[1, 2]"});
    succeed({"--shared", "set", "org.example.app", "ui", R"("dark")"});
    const struct {
        int status;
        std::string says;
        std::vector<std::string> args;
        std::string input = {};
    } cases[] = {
        // Missing file or value.
        {2, "get org.example.none: A settings file does not", {"get", "org.example.none"}},
        {2, "(FileDoesNotExist)", {"watch", "org.example.none"}},
        {2, "(PathDoesNotExist): nothing at \"nope\" (no key", {"get", "org.example.app", "nope"}},
        {2, "the array at \"list\" has 2 items", {"rm", "org.example.app", "list/2"}},
        {2, "the array at \"list\" has 2 items", {"ls", "org.example.app", "list/7"}},
        {2, "nothing at \"no\" (no key \"no\")", {"rm", "org.example.app", "no/such/x"}},
        {2, "\"list/0\" is a number", {"set", "org.example.app", "list/0/x", "1"}},
        // Bad input.
        {1, "(byte 14): parse error", {"set", "org.example.app", "k", "{\"a\": [1,\n 2,, 3]}"}},
        {1, "bad JSON in VALUE: number overflow", {"set", "org.example.app", "k", "[7e777]"}},
        {1, "in double quotes, e.g. '\"two words\"'", {"set", "org.example.app", "k", "two words"}},
        {1, "at the top level, not number", {"import", "org.example.app"}, "7"},
        {1, "is a number; it has no items", {"ls", "org.example.app", "list/0"}},
        {1, "bad path \"a//b\": empty part at byte 2", {"set", "org.example.app", "a//b", "1"}},
        {1, "set needs a PATH", {"set", "org.example.app", "", "1"}},
        {1, "rm needs a PATH", {"rm", "org.example.app", "/"}},
        {1, "VALUE is required", {"set", "org.example.app", "k"}},
        {1, "DOMAIN is empty", {"get", ""}},
        {1, "DOMAIN is 256 bytes long", {"set", std::string(256, 'd'), "k", "1"}},
        {1, "excludes", {"--user", "1", "--shared", "get", "x"}},
        {1, "not in range", {"--user", "4294967295", "get", "x"}},
        {1, "DOMAIN is not valid UTF-8", {"get", "org.\xff"}},
        {1, "part 2 is not valid UTF-8", {"set", "org.example.app", "a/k\xc3", "1"}},
    };
    for (const auto& c : cases) {
        auto result = velkor(c.args, c.input);
        SCOPED_TRACE(c.args[0] + (c.args.size() > 2 ? " " + c.args[2] : "") + ": " + result.err);
        expectEnded(result, c.status, c.says);
        EXPECT_EQ(result.out, "");
    }
    // Another user may not change the shared file; it reads it, and changes its own.
    EXPECT_EQ(velkor({"--shared", "set", "org.example.app", "ui", R"("x")"}, "", true).status, 2);
    EXPECT_EQ(getJson({"export", "org.example.app"}), Json::parse(R"({"list": [1, 2]})"))
        << "bad input and refused requests changed nothing";
    EXPECT_EQ(getJson({"--shared", "get", "org.example.app"}), Json::parse(R"({"ui": "dark"})"));
    EXPECT_EQ(velkor({"--shared", "get", "org.example.app", "ui"}, "", true).out, "\"dark\"\n");
    EXPECT_EQ(velkor({"set", "org.example.app", "mine", "3"}, "", true).status, 0);
    EXPECT_EQ(getJson({"--user", "65534", "get", "org.example.app"}),
              Json::parse(R"({"mine": 3})"));
}

TEST_F(CliTest, WatchPrintsChangesAcrossDaemonRestartsUntilInterruptedOrDeleted) {
    succeed({"set", "org.example.app", "window/width", "640"});
    Tool all(command({"watch", "org.example.app"}));
    Tool window(command({"watch", "org.example.app", "window"}));
    EXPECT_TRUE(all.notes("velkor: watching org.example.app"));
    EXPECT_TRUE(window.notes("velkor: watching org.example.app window"));

    succeed({"set", "org.example.app", "colour", R"("blue")"});
    EXPECT_EQ(all.event(), Json::parse(R"({"event": "didDictionaryChildAdd", "path": "",
                                              "key": "colour", "value": "blue"})"));
    succeed({"set", "org.example.app", "recent/files", R"(["a"])"});
    EXPECT_EQ(all.event()["key"], "recent");
    succeed({"set", "org.example.app", "recent/files/1", R"({"$data": "AQ=="})"});
    EXPECT_EQ(all.event(), Json::parse(R"({"event": "didDescendantChange",
                                 "path": "recent/files", "value": ["a", {"$data": "AQ=="}]})"));
    succeed({"rm", "org.example.app", "colour"});
    EXPECT_EQ(all.event(), Json::parse(R"({"event": "didDictionaryChildRemove", "path": "",
                                              "key": "colour", "old": "blue"})"));
    all.signal(SIGINT);
    auto interrupted = all.finish();
    EXPECT_EQ(interrupted.status, 0) << interrupted.err;
    EXPECT_EQ(interrupted.out, "");

    // The other watcher saw none of that, and follows the daemon across a restart.
    daemon_.reset();
    start();
    EXPECT_TRUE(window.notes("velkor: watching org.example.app window"));
    succeed({"set", "org.example.app", "window/height", "480"});
    EXPECT_EQ(window.event(), Json::parse(R"({"event": "didDictionaryChildAdd",
                                     "path": "window", "key": "height", "value": 480})"));
    succeed({"set", "org.example.app", "window/width", "800"});
    EXPECT_EQ(window.event(), Json::parse(R"({"event": "didDictionaryChildReplace",
                                "path": "window", "key": "width", "old": 640, "value": 800})"));
    succeed({"delete", "org.example.app"});
    EXPECT_EQ(window.event(), Json::parse(R"({"event": "didDelete", "path": "window"})"));
    expectEnded(window.finish(), 2, "the watched value was deleted");
}

// The daemon checks its limits change by change, so it may refuse an import part-way: the file
// is then put back as it was, and when even that is refused, its content is saved, not lost.
TEST_F(CliTest, AnImportTheDaemonRefusesLeavesTheFileAsItWas) {
    const std::string app = "org.example.app";
    succeed({"set", app, "keep", R"("important")"});
    succeed({"set", app, "bulk", Json(std::string(3000, 'b')).dump()});
    const auto before = getJson({"export", app});
    daemon_.reset();
    start({"--max-file-size", "4K"});
    const std::string big = Json(std::string(5000, 'y')).dump();
    for (const std::string& document : {R"({"z": 1, "c": )" + big + "}",
                                        R"({"keep": "x", "b": )" + big + "}", "[1, " + big + "]"}) {
        SCOPED_TRACE(document.substr(0, 20));
        expectEnded(velkor({"import", app}, document), 3, "as it was before the import");
        EXPECT_EQ(getJson({"export", app}), before);
    }

    // A file past today's limit cannot be created again once the import deleted it.
    succeed({"set", app, "bulk", Json(std::string(3900, 'b')).dump()});
    const auto larger = getJson({"export", app});
    daemon_.reset();
    start({"--max-file-size", "3K"});
    auto lost = velkor({"import", app}, "[" + big + "]");
    EXPECT_EQ(lost.status, 3) << lost.err;
    const std::string says = "its content before the import is in ";
    const auto at = lost.err.find(says);
    ASSERT_NE(at, std::string::npos) << lost.err;
    const std::string saved =
        lost.err.substr(at + says.size(), lost.err.find('\n', at) - at - says.size());
    std::ifstream file(saved);
    EXPECT_EQ(Json::parse(file, nullptr, false), larger);
    EXPECT_EQ(std::filesystem::status(saved).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::remove(saved);

    // A document past what the daemon takes in one request is stored in parts, into a new file
    // as into an existing one, also when the root changes kind; a new file the daemon refuses
    // part-way is not left half-filled.
    daemon_.reset();
    start({"--max-containers-per-request", "16", "--max-file-size", "64K"});
    Json many = Json::object(), nested = Json::array();
    for (int i = 0; i < 40; ++i) {
        many["k" + std::to_string(i)] = {{"v", {i, {{"x", i}}}}};
        nested.push_back(Json::array({Json{{"a", i}}}));
    }
    for (const auto& document : {many, Json{{"data", many}, {"list", nested}}, nested, many}) {
        succeed({"import", "org.example.many"}, document.dump());
        EXPECT_EQ(getJson({"export", "org.example.many"}), document);
    }
    Json large = Json::object();
    for (int i = 0; i < 40; ++i)
        large["k" + std::to_string(i)] = {{"text", std::string(4000, 'l')}};
    EXPECT_EQ(velkor({"import", "org.example.large"}, large.dump()).status, 3);
    expectEnded(velkor({"export", "org.example.large"}), 2, "does not exist");

    // A key spelt in another Unicode form is the same key: updated in place, keeping its form.
    const std::string composed = "caf\u00e9", decomposed = "cafe\u0301";
    succeed({"set", "org.example.forms", composed, "1"});
    succeed({"import", "org.example.forms"}, Json{{decomposed, 2}}.dump());
    EXPECT_EQ(succeed({"ls", "org.example.forms"}), composed + "\n");
    EXPECT_EQ(succeed({"get", "org.example.forms", composed}), "2\n");
}

// A watcher whose process stops for two seconds while 480 KiB of changes go by lags behind its
// 256 KiB budget; it is not cut off, and once it reads again it hears the latest value.
TEST_F(CliTest, AWatcherThatStopsForAWhileCatchesUpWithTheLatestValue) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The instrumented tool is too slow for its output to be read line by line in time; the
    // daemon's side runs under the sanitizers in the hostile-client scenarios.
    GTEST_SKIP() << "run in the optimised build only";
#endif
    daemon_.reset();
    start({"--max-unread-size", "256K"});
    succeed({"set", "org.example.busy", "v", "0"});
    Tool watcher(command({"watch", "org.example.busy"}));
    ASSERT_TRUE(watcher.notes("velkor: watching org.example.busy"));
    watcher.signal(SIGSTOP, true);
    const auto resume = std::chrono::steady_clock::now() + 2s;
    std::string value;
    for (int i = 1; i <= 20; ++i) {
        value = std::string(24 * 1024, char('a' + i)) + std::to_string(i);
        succeed({"set", "org.example.busy", "v", Json(value).dump()});
    }
    std::this_thread::sleep_until(resume);
    watcher.signal(SIGCONT, true);
    bool heard = false;
    for (Json event = watcher.event(); !heard && !event.is_discarded(); event = watcher.event())
        heard = event.value("value", Json()) == value;
    EXPECT_TRUE(heard);
    // It follows the changes after that too (a resync may repeat the latest value first).
    succeed({"set", "org.example.busy", "v", "1"});
    bool followed = false;
    for (Json event = watcher.event(); !followed && !event.is_discarded(); event = watcher.event())
        followed = event.value("value", Json()) == 1;
    EXPECT_TRUE(followed);
    EXPECT_EQ(daemon_->log().find("Cut off"), std::string::npos) << daemon_->log();
}

// Keys are one key in every canonically equivalent form: a watch by one spelling of a key ("é"
// decomposed) hears the changes of the key stored in another (precomposed), also further down.
// Like the other commands, watch reports output that cannot be written, and stops at once.
TEST_F(CliTest, WatchFindsTheWatchedKeyInEveryFormAndStopsWhenItsOutputCannotBeWritten) {
    const std::string composed = "\xC3\xA9", decomposed = "e\xCC\x81";
    succeed({"set", "org.example.app", composed, "1"});
    succeed({"set", "org.example.app", "n" + composed + "/inner/x", "1"});
    Tool item(command({"watch", "org.example.app", decomposed}));
    Tool below(command({"watch", "org.example.app", "n" + decomposed}));
    ASSERT_TRUE(item.notes("velkor: watching org.example.app " + decomposed));
    ASSERT_TRUE(below.notes("velkor: watching org.example.app n" + decomposed));

    // Events name the key as it is stored: precomposed, "\u00e9" in JSON.
    succeed({"set", "org.example.app", decomposed, "2"});
    EXPECT_EQ(item.event(), Json::parse(R"({"event": "didDictionaryChildReplace", "path": "",
                                            "key": "\u00e9", "old": 1, "value": 2})"));
    succeed({"set", "org.example.app", "n" + composed + "/inner/x", "2"});
    EXPECT_EQ(below.event(), Json::parse(R"({"event": "didDescendantChange",
                                    "path": "n\u00e9/inner", "value": {"x": 2}})"));

    succeed({"set", "org.example.app", "a", "1"});
    auto args = command({"watch", "org.example.app"});
    args.insert(args.begin(), {"sh", "-c", "exec \"$@\" > /dev/full", "sh"});
    Tool full(args);
    ASSERT_TRUE(full.notes("velkor: watching org.example.app"));
    succeed({"set", "org.example.app", "a", "2"});
    expectEnded(full.finish(), 3, "watch org.example.app: cannot write to standard output");
}

// A watch that started says once per loss that the daemon went away, although the library tries
// to reopen the file every 10 seconds; one that cannot reach a daemon at the start fails at once.
// With no daemon on the bus, whether a get goes out before or after the transport finds that out
// decides whether the tool reports CannotConnect or ConnectionLost.
TEST_F(CliTest, WatchSaysOnceThatTheDaemonWentAwayAndNeedsOneToStart) {
    test::PrivateBus empty;
    for (const auto& [command, says] :
         {std::pair("watch", "(CannotConnect)"), std::pair("get", "Connect")})
        expectEnded(
            Tool({VELKOR_CLI_PATH, "--bus-address", empty.address(), command, "x"}).finish(), 4,
            says);

    const std::string lost =
        "velkor: the connection to the daemon was lost; waiting for it to come back";
    succeed({"set", "org.example.app", "a", "1"});
    // --verbose shows the library's attempts to reopen the file.
    Tool watcher(command({"--verbose", "watch", "org.example.app"}));
    ASSERT_TRUE(watcher.notes("velkor: watching org.example.app"));
    daemon_.reset();
    ASSERT_TRUE(watcher.notes(lost));
    ASSERT_FALSE(
        watcher.errorsUntil("Can't open settings of domain='org.example.app' yet", false, 15s)
            .empty());
    start();
    const auto away = watcher.errorsUntil("velkor: watching org.example.app", true);
    ASSERT_FALSE(away.empty());
    EXPECT_EQ(std::count(away.begin(), away.end(), lost), 0);
    daemon_.reset();
    EXPECT_TRUE(watcher.notes(lost)) << "a second loss is told again";
}

}  // namespace
