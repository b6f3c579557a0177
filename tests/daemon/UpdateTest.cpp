#include "DaemonTesting.h"

using namespace velkor;
using namespace velkor::test;

namespace {

class UpdateTest : public StoreTest {
  protected:
    UUID rootId = newId();
};

std::vector<std::int64_t> numbers(const Node& array) {
    std::vector<std::int64_t> values;
    for (const auto& [key, value] : array.entries)
        values.push_back(value.number);
    return values;
}

}  // namespace

TEST_F(UpdateTest, RevisionsAndTheMergeRule) {
    create(alice, dict(rootId, {{"a", num(1)}, {"b", num(2)}}, 5));
    EXPECT_EQ(updated(set(alice, rootId, 5, "a", num(10))).newRevision, 6);
    // Bob still works from 5: Alice changed "a" since, so his change of it conflicts and he is
    // told the current revision; nobody changed "b", so his change of it is merged.
    auto u = updated(set(bob, rootId, 5, "a", num(11)));
    EXPECT_EQ(std::tuple(u.changeResult, u.newRevision),
              std::tuple(ChangeResult::synchronizeConflict, 6));
    u = updated(set(bob, rootId, 5, "b", num(20)));
    EXPECT_EQ(std::tuple(u.changeResult, u.newRevision),
              std::tuple(ChangeResult::waitToBeUpdated, 7));
    // Alice, at 6, missed Bob's change of "b"; her own change of "a" since 5 does not count.
    EXPECT_EQ(result(set(alice, rootId, 6, "b", num(21))), ChangeResult::synchronizeConflict);
    EXPECT_EQ(result(set(alice, rootId, 5, "a", num(12))), ChangeResult::waitToBeUpdated);
    EXPECT_EQ(result(set(alice, rootId, 8, "a", num(12))), ChangeResult::nothingChanged);
    EXPECT_EQ(result(update(alice, ChangeType::childRemoved, rootId, 8, 0, 0, "zz")),
              ChangeResult::nothingChanged);
    // The window remembers every writer of a key, not only the last one.
    EXPECT_EQ(result(set(bob, rootId, 8, "a", num(13))), ChangeResult::done);
    EXPECT_EQ(result(set(alice, rootId, 9, "a", num(14))), ChangeResult::done);
    EXPECT_EQ(result(set(alice, rootId, 8, "a", num(15))), ChangeResult::synchronizeConflict);
    // A revision from the future conflicts.
    EXPECT_EQ(result(set(alice, rootId, 99, "a", num(1))), ChangeResult::synchronizeConflict);
    const Node top = fetched(fetch(alice));
    EXPECT_EQ(std::tuple(top.revision, top.at("a").number, top.at("b").number),
              std::tuple(10, 14, 20));

    // Removing everything starts the window afresh: older revisions can no longer merge.
    EXPECT_EQ(result(update(bob, ChangeType::childrenRemoved, rootId, 9, 0, 0, "")),
              ChangeResult::synchronizeConflict);
    EXPECT_EQ(result(update(alice, ChangeType::childrenRemoved, rootId, 10, 0, 0, "")),
              ChangeResult::done);
    EXPECT_EQ(result(set(bob, rootId, 10, "x", num(1), true)), ChangeResult::synchronizeConflict);

    // Canonically equivalent keys are one key, in the form first written, and the merge rule
    // speaks of that one key. The Kelvin sign's canonical form is the letter K.
    const std::string decomposed = "e\u0301", composed = "\u00e9";
    EXPECT_EQ(updated(set(alice, rootId, 11, decomposed, num(1), true)).newRevision, 12);
    EXPECT_EQ(result(set(alice, rootId, 12, composed, num(2))), ChangeResult::done);
    EXPECT_EQ(result(set(bob, rootId, 12, composed, num(3))), ChangeResult::synchronizeConflict);
    EXPECT_EQ(updated(set(alice, rootId, 13, "\u212a", num(4), true)).newRevision, 14);
    EXPECT_EQ(result(set(alice, rootId, 14, "K", num(5))), ChangeResult::done);
    const Node after = fetched(fetch(bob));
    EXPECT_EQ(after.count(), 2u);
    EXPECT_EQ(after.at(decomposed).number, 2);
    EXPECT_EQ(after.at("\u212a").number, 5);
    EXPECT_EQ(fetched(fetch(bob, composed)).number, 2);

    // A restarted daemon knows no history: only the current revision is accepted.
    reopen();
    EXPECT_EQ(result(set(alice, rootId, 14, "y", num(1), true)), ChangeResult::synchronizeConflict);
    EXPECT_EQ(updated(set(alice, rootId, 15, "y", num(1), true)).newRevision, 16);
}

TEST_F(UpdateTest, ArrayChangesApplyAtTheirIndexes) {
    const UUID list = newId();
    create(alice, dict(rootId, {{"list", arr(list, {num(0), num(1), num(2), num(3)})}}));
    auto change = [&](ChangeType type, std::int64_t revision, std::int64_t from, std::int64_t to,
                      std::optional<Node> value = std::nullopt) {
        return update(alice, type, list, revision, from, to, "",
                      value ? clientBlob(*value) : std::vector<std::uint8_t>{});
    };
    auto content = [&] { return numbers(fetched(resolve(alice, list))); };

    EXPECT_EQ(updated(change(ChangeType::childInserted, 0, 1, 1, num(10))).newRevision, 1);
    EXPECT_EQ(updated(change(ChangeType::childAppended, 1, 0, 0, num(9))).newRevision, 2);
    EXPECT_EQ(updated(change(ChangeType::childChanged, 2, 0, 0, num(100))).newRevision, 3);
    EXPECT_EQ(updated(change(ChangeType::childRemoved, 3, 2, 2)).newRevision, 4);
    EXPECT_EQ(content(), (std::vector<std::int64_t>{100, 10, 2, 3, 9}));
    EXPECT_EQ(updated(change(ChangeType::childMoved, 4, 0, 3)).newRevision, 5);
    EXPECT_EQ(updated(change(ChangeType::childMoved, 5, 4, 0)).newRevision, 6);
    EXPECT_EQ(updated(change(ChangeType::childInserted, 6, 5, 5, num(7))).newRevision, 7);
    EXPECT_EQ(content(), (std::vector<std::int64_t>{9, 10, 2, 3, 100, 7}));
    EXPECT_EQ(result(change(ChangeType::childChanged, 7, 1, 1, num(10))),
              ChangeResult::nothingChanged);
    EXPECT_EQ(result(change(ChangeType::childMoved, 7, 2, 2)), ChangeResult::nothingChanged);

    for (auto [type, from, to] : {std::tuple{ChangeType::childChanged, 6, 6},
                                  {ChangeType::childInserted, 7, 7},
                                  {ChangeType::childInserted, -1, -1},
                                  {ChangeType::childRemoved, 6, 6},
                                  {ChangeType::childMoved, 0, 6},
                                  {ChangeType::childMoved, -1, 0}}) {
        const bool value = type == ChangeType::childChanged || type == ChangeType::childInserted;
        EXPECT_EQ(
            failure(change(type, 7, from, to, value ? std::optional<Node>(num(0)) : std::nullopt)),
            VKError::indexOutOfRange)
            << caseName(type) << " " << from << " " << to;
    }
    // Any array change against an older revision conflicts.
    EXPECT_EQ(result(change(ChangeType::childAppended, 6, 0, 0, num(1))),
              ChangeResult::synchronizeConflict);
    EXPECT_EQ(updated(change(ChangeType::childrenRemoved, 7, 0, 0)).newRevision, 8);
    EXPECT_EQ(result(change(ChangeType::childrenRemoved, 8, 0, 0)), ChangeResult::nothingChanged);
    EXPECT_EQ(content(), std::vector<std::int64_t>{});
}

TEST_F(UpdateTest, ChangesThatDoNotFitAreRefusedAndChangeNothing) {
    const UUID sub = newId();
    create(alice, dict(rootId, {{"a", dict(sub, {{"x", num(1)}})}}));
    const UUID otherRoot = newId();
    create(alice, dict(otherRoot, {}), 1000, "org.example.other");

    EXPECT_EQ(
        failure(update(alice, ChangeType::childAppended, rootId, 0, 0, 0, "", clientBlob(num(1)))),
        VKError::invalidData);
    for (auto type :
         {ChangeType::childMoved, ChangeType::childrenReplaced, ChangeType::descendantChanged,
          ChangeType::updateRevision, ChangeType::containerAbandoned, ChangeType::containerDeleted,
          ChangeType::settingsDeleted}) {
        EXPECT_EQ(failure(update(alice, type, rootId, 0, 0, 1, "a")), VKError::invalidData)
            << caseName(type);
    }
    // A set without a value, with garbage, or with two values; a key clients could not read.
    auto two = clientBlob(num(1));
    const auto second = clientBlob(num(2));
    two.insert(two.end(), second.begin() + 7, second.end());
    for (const auto& data : {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{1, 2, 3}, two})
        EXPECT_EQ(failure(update(alice, ChangeType::childChanged, rootId, 0, 0, 0, "a", data)),
                  VKError::invalidData);
    EXPECT_EQ(failure(set(alice, rootId, 0, "\xC0\xAF", num(1), true)), VKError::invalidData);
    EXPECT_EQ(failure(set(alice, newId(), 0, "a", num(1))), VKError::containerNotFound);
    // Closing a cycle, reaching into another file, naming unknown or existing ids.
    EXPECT_EQ(failure(set(alice, sub, 0, "loop", ref(rootId), true)), VKError::circularReferences);
    EXPECT_EQ(failure(set(alice, sub, 0, "b", dict(newId(), {{"up", ref(sub)}}), true)),
              VKError::circularReferences);
    EXPECT_EQ(failure(set(alice, rootId, 0, "d", ref(otherRoot), true)), VKError::notTheSameRoot);
    EXPECT_EQ(failure(set(alice, rootId, 0, "e", ref(newId()), true)), VKError::containerNotFound);
    EXPECT_EQ(failure(set(alice, rootId, 0, "f", dict(sub, {}), true)), VKError::invalidData);
    const Node top = fetched(fetch(alice, "", true));
    EXPECT_EQ(std::tuple(top.revision, top.count(), top.at("a").at("x").number),
              std::tuple(0, 1u, 1));

    // Values carry new containers, and references to containers of the same file.
    const UUID fresh = newId();
    EXPECT_EQ(
        result(set(alice, rootId, 0, "b", dict(fresh, {{"y", arr(newId(), {ref(sub)})}}, 3), true)),
        ChangeResult::done);
    EXPECT_EQ(result(set(alice, rootId, 1, "c", ref(sub), true)), ChangeResult::done);
    EXPECT_EQ(fetched(fetch(alice, "c/x")).number, 1);
    const Node b = fetched(fetch(alice, "b", true));
    EXPECT_EQ(std::tuple(b.id, b.revision, b.root), std::tuple(fresh, 3, rootId));
    EXPECT_EQ(std::tuple(b.at("y").at(0).kind, b.at("y").at(0).id),
              std::tuple(ValueKind::dictionary, sub));
}

TEST_F(UpdateTest, FilesStayWithinTheirSizeLimitAndNoticesWithinTheAnswerLimit) {
    constexpr std::size_t kKiB = 1024;
    reopen({.maxFileBytes = 100 * kKiB, .maxAnswerBytes = 100 * kKiB});
    const std::string big(60 * kKiB, 'x');

    // A tree larger than a file may be is refused whole.
    EXPECT_EQ(failure(create(alice, dict(rootId, {{"a", dat(big)}, {"b", dat(big)}}))),
              VKError::invalidData);
    EXPECT_EQ(failure(fetch(alice)), VKError::fileDoesNotExist);
    create(alice, dict(rootId, {{"a", dat(big)}}));
    fetch(bob);

    // Changes that would pass the limit, a value or a container holding it, store nothing and
    // tell nobody.
    auto refused = set(alice, rootId, 0, "b", dat(big), true);
    EXPECT_EQ(failure(refused), VKError::invalidData);
    EXPECT_TRUE(refused.notices.empty());
    EXPECT_EQ(failure(set(alice, rootId, 0, "b", dict(newId(), {{"x", dat(big)}}), true)),
              VKError::invalidData);
    // Replacing and removing values make room.
    EXPECT_EQ(updated(set(alice, rootId, 0, "a", dat(std::string(30 * kKiB, 'y')))).newRevision, 1);
    EXPECT_EQ(result(set(alice, rootId, 1, "b", dat(std::string(30 * kKiB, 'z')), true)),
              ChangeResult::done);
    EXPECT_EQ(failure(set(alice, rootId, 2, "c", dat(big), true)), VKError::invalidData);
    updated(update(alice, ChangeType::childRemoved, rootId, 2, 0, 0, "a"));
    EXPECT_EQ(result(set(alice, rootId, 3, "c", dat(big), true)), ChangeResult::done);

    // A notice larger than an answer may be (a file limit above the answer limit) abandons the
    // container for its holder, which hears no more of it.
    reopen({.maxFileBytes = 1000 * kKiB, .maxAnswerBytes = 100 * kKiB});
    fetch(bob);
    const auto grown = set(alice, rootId, 4, "d", dat(std::string(150 * kKiB, 'w')), true);
    EXPECT_EQ(updated(grown).newRevision, 5);
    const auto abandoned = notesFor(grown, bob);
    ASSERT_EQ(abandoned.size(), 1u);
    EXPECT_EQ(std::tuple(abandoned[0].first->type, abandoned[0].first->id),
              std::tuple(ChangeType::containerAbandoned, rootId));
    EXPECT_TRUE(recipients(set(alice, rootId, 5, "e", num(1), true)).empty());

    // Under today's limits that file is too large to send whole; its values are still read one
    // by one, and changes that shrink it are taken.
    reopen({.maxFileBytes = 100 * kKiB, .maxAnswerBytes = 100 * kKiB});
    EXPECT_EQ(failure(fetch(alice)), VKError::invalidFileData);
    EXPECT_EQ(fetched(fetch(alice, "c")).text, big);
    EXPECT_EQ(failure(set(alice, rootId, 6, "f", num(1), true)), VKError::invalidData);
    EXPECT_EQ(updated(update(alice, ChangeType::childRemoved, rootId, 6, 0, 0, "d")).newRevision,
              7);
    EXPECT_EQ(fetched(fetch(alice)).count(), 3u);

    // The number of containers is bounded the same way.
    reopen({.maxFileContainers = 3});
    EXPECT_EQ(result(set(alice, rootId, 7, "g", dict(newId(), {{"h", dict(newId(), {})}}), true)),
              ChangeResult::done);
    EXPECT_EQ(failure(set(alice, rootId, 8, "i", dict(newId(), {}), true)), VKError::invalidData);
    EXPECT_EQ(updated(set(alice, rootId, 8, "g", dict(newId(), {}))).newRevision, 9);
    Node four = dict(newId(), {});
    for (int i = 0; i < 3; ++i)
        four = dict(newId(), {{"c", four}});
    EXPECT_EQ(failure(create(alice, four, 1000, "org.example.other")), VKError::invalidData);
}
