#include <atomic>
#include <thread>

#include "../ValuesTesting.h"
#include "support/LogCapture.h"
#include "support/OnThreads.h"

namespace velkor::test {
namespace {

using namespace std::chrono_literals;

// The typed accessors of arrays and dictionaries never throw: they fall back to the default, and
// log only real failures (a bad index, a refused value), not a value of another kind or a
// missing key. Booleans are numbers; the subscript reads, assigns, and removes with an empty
// value.
TEST(Accessors, TypedAccessorsFallBackToTheDefaultAndLogOnlyRealFailures) {
    LogCapture log;
    auto array = VKArray::make({num(2), num(0), str("text")});
    EXPECT_EQ(array->get(5, 7), 7);
    EXPECT_EQ(array->get(2, 7), 7);
    EXPECT_TRUE(array->get(0, false));  // any non-zero number is true
    EXPECT_FALSE(array->get(1, true) || array->get(-1, false));
    EXPECT_EQ(array->get(2, "none"), "text");
    EXPECT_EQ(array->get(0, std::string("none")), "none");
    EXPECT_TRUE(array->set(1, true));
    EXPECT_FALSE(array->set(9, "x"));
    EXPECT_TRUE(array->append(42) && array->append(false) && array->append("tail"));
    EXPECT_EQ(log->count(LogLevel::error, ""), 3u);
    auto& a = *array;
    a[1] = str("two");
    a[0] = nullptr;
    a[7] = nullptr;
    EXPECT_EQ(static_cast<VKObjectPtr>(a[7]), nullptr);
    EXPECT_EQ(text(*array), "two,text,42,0,tail@0");
    // A failing literal keeps the elements before it.
    EXPECT_EQ(text(*VKArray::make({num(1), str("b"), nullptr, num(4)})), "1,b@0");
    EXPECT_EQ(log->count(LogLevel::error, ""), 6u);

    // Dictionaries: a missing key gives the default as a value of another kind does, unlogged.
    log->clear();
    auto dictionary = VKDictionary::make({{"n", num(5)}, {"s", str("x")}});
    EXPECT_EQ(dictionary->get("missing", 3) + dictionary->get("s", 3), 6);
    EXPECT_EQ(dictionary->get("n", 3), 5);
    EXPECT_EQ(dictionary->get("s", "d"), "x");
    EXPECT_TRUE(dictionary->get("n", false));
    EXPECT_TRUE(dictionary->set("flag", true));
    auto& d = *dictionary;
    d["n"] = nullptr;
    d["new"] = str("v");
    EXPECT_EQ(static_cast<VKObjectPtr>(d["new"])->description(), "v");
    EXPECT_EQ(log->count(LogLevel::error, ""), 0u);
    // A container of another settings file, or of the same file through another connection,
    // cannot be placed here: the setter logs it.
    const UUID root = UUID::random();
    auto foreign = VKDictionary::make(), otherConnection = VKDictionary::make();
    Access::setRootId(*foreign, UUID::random());
    Access::setRootId(*otherConnection, root);
    Access::setInnerConnection(*otherConnection, FakeConnection::make());
    Access::setRootId(*dictionary, root);
    d["foreign"] = foreign;
    d["other"] = otherConnection;
    EXPECT_EQ(text(*dictionary), "flag=1,new=v,s=x@0");
    EXPECT_EQ(log->count(LogLevel::error, ""), 2u);
    // Keys are found in either canonical spelling; data and containers are another type.
    d["caf\u00e9"] = num(8);
    d["data"] = std::make_shared<VKData>(std::vector<std::uint8_t>{1});
    d["child"] = VKDictionary::make({{"n", num(1)}});
    EXPECT_EQ(dictionary->get("cafe\u0301", 0), 8);
    EXPECT_EQ(dictionary->get("data", 4) + dictionary->get("child", 4), 8);
    EXPECT_EQ(dictionary->get("child", "d") + dictionary->get("n", "d"), "dd");
    EXPECT_EQ(log->count(LogLevel::error, ""), 2u);
}

// Readers on several threads, typed and not, beside a writer that sets two keys in turn with
// ever larger numbers (the second as text) and now and then removes everything: every read
// gives a state the writer made. A key's number never goes back, the text is never a mix of
// two, and no copy of the entries holds the second key ahead of the first.
TEST(Accessors, ReadsBesideAWriterSeeOnlyWholeStates) {
    auto dictionary = VKDictionary::make();
    const auto textOf = [](std::int64_t n) { return std::to_string(n) + std::string(40, 'x'); };
    std::atomic<bool> stop{false};
    std::atomic<int> impossible{0};
    std::atomic<std::int64_t> written{0};
    std::thread writer([&] {
        for (std::int64_t n = 0; !stop; written = ++n) {
            EXPECT_TRUE(dictionary->set("a", n) && dictionary->set("b", textOf(n)));
            if (n % 50 == 49) {
                dictionary->removeAll();
                std::this_thread::sleep_for(1ms);  // readers alone for a while
            }
        }
    });
    onThreads(3, [&](int t) {
        std::int64_t last = -1;
        for (int i = 0; i < 3000 || written < 300; ++i) {
            const std::int64_t a = dictionary->get("a", -1);
            impossible += a != -1 && a < last;
            last = std::max(last, a);
            const std::string b = dictionary->get("b", "");
            impossible += !b.empty() && b != textOf(std::stoll(b));
            if (t == 2) {
                const auto items = dictionary->items();
                if (items.count("b")) {  // "b" holds what "a" held, or one less
                    const auto a = items.count("a") ? asNumber(items.at("a"))->value() : -1;
                    const auto behind = a - std::stoll(asString(items.at("b"))->value());
                    impossible += behind != 0 && behind != 1;
                }
            } else if (auto value = dictionary->get("a")) {
                impossible += !value->isNumber();
            }
        }
    });
    stop = true;
    writer.join();
    EXPECT_EQ(impossible.load(), 0);
}

}  // namespace
}  // namespace velkor::test
