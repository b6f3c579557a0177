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
    for (const auto& [key, value] : array.entries) {
        values.push_back(value.kind == ValueKind::number ? value.number : -1000);
    }
    return values;
}

}  // namespace

TEST_F(UpdateTest, DictionaryRevisionsAndTheMergeRule) {
    create(alice, dict(rootId, {{"a", num(1)}, {"b", num(2)}}, 5));
    fetch(bob);

    auto u = updated(set(alice, rootId, 5, "a", num(10)));
    EXPECT_EQ(u.changeResult, ChangeResult::done);
    EXPECT_EQ(u.newRevision, 6);

    // Bob still works from revision 5. Alice changed "a" since: his change of "a" conflicts and
    // he is told the current revision.
    u = updated(set(bob, rootId, 5, "a", num(11)));
    EXPECT_EQ(u.changeResult, ChangeResult::synchronizeConflict);
    EXPECT_EQ(u.newRevision, 6);
    // Nobody else changed "b": his change is merged.
    u = updated(set(bob, rootId, 5, "b", num(20)));
    EXPECT_EQ(u.changeResult, ChangeResult::waitToBeUpdated);
    EXPECT_EQ(u.newRevision, 7);

    // Alice, at 6, missed Bob's change of "b": her change of "b" conflicts, a new key merges.
    EXPECT_EQ(updated(set(alice, rootId, 6, "b", num(21))).changeResult,
              ChangeResult::synchronizeConflict);
    u = updated(set(alice, rootId, 6, "c", num(1), true));
    EXPECT_EQ(u.changeResult, ChangeResult::waitToBeUpdated);
    EXPECT_EQ(u.newRevision, 8);

    // Changes that alter nothing.
    u = updated(set(alice, rootId, 8, "a", num(10)));
    EXPECT_EQ(u.changeResult, ChangeResult::nothingChanged);
    EXPECT_EQ(u.newRevision, 8);
    u = updated(update(alice, ChangeType::childRemoved, rootId, 8, 0, 0, "zz"));
    EXPECT_EQ(u.changeResult, ChangeResult::nothingChanged);

    // A revision from the future, and removing everything from an old revision, conflict.
    EXPECT_EQ(updated(set(alice, rootId, 99, "a", num(1))).changeResult,
              ChangeResult::synchronizeConflict);
    EXPECT_EQ(updated(update(bob, ChangeType::childrenRemoved, rootId, 7, 0, 0, "")).changeResult,
              ChangeResult::synchronizeConflict);

    const Node top = fetched(fetch(alice));
    EXPECT_EQ(top.revision, 8);
    EXPECT_EQ(top.at("a").number, 10);
    EXPECT_EQ(top.at("b").number, 20);
    EXPECT_EQ(top.at("c").number, 1);

    // Canonically equivalent keys are one key, in the form first written, and the merge rule
    // speaks of that one key. The Kelvin sign's canonical form is the letter K.
    const std::string decomposed = "e\u0301", composed = "\u00e9";
    EXPECT_EQ(updated(set(alice, rootId, 8, decomposed, num(1), true)).newRevision, 9);
    EXPECT_EQ(updated(set(alice, rootId, 9, composed, num(2))).changeResult, ChangeResult::done);
    EXPECT_EQ(updated(set(bob, rootId, 9, composed, num(3))).changeResult,
              ChangeResult::synchronizeConflict);
    EXPECT_EQ(updated(set(alice, rootId, 10, "\u212a", num(4), true)).newRevision, 11);
    EXPECT_EQ(updated(set(alice, rootId, 11, "K", num(5))).changeResult, ChangeResult::done);
    const Node after = fetched(fetch(bob));
    EXPECT_EQ(after.count(), 5u);
    EXPECT_EQ(after.at(decomposed).number, 2);
    EXPECT_EQ(after.at("\u212a").number, 5);
    // The path of a fetch finds the key in any of its forms.
    EXPECT_EQ(fetched(fetch(bob, composed)).number, 2);
}

TEST_F(UpdateTest, MergeWindowRemembersWhoChangedEachKey) {
    create(alice, dict(rootId, {{"k", num(0)}}));

    EXPECT_EQ(updated(set(alice, rootId, 0, "k", num(1))).changeResult, ChangeResult::done);
    // Only Alice herself changed "k" since 0.
    EXPECT_EQ(updated(set(alice, rootId, 0, "k", num(2))).changeResult,
              ChangeResult::waitToBeUpdated);
    EXPECT_EQ(updated(set(bob, rootId, 1, "k", num(3))).changeResult,
              ChangeResult::synchronizeConflict);
    EXPECT_EQ(updated(set(bob, rootId, 2, "k", num(3))).changeResult, ChangeResult::done);
    EXPECT_EQ(updated(set(alice, rootId, 3, "k", num(4))).changeResult, ChangeResult::done);
    // "k" was last changed by Alice (4), but Bob changed it at 3: from revision 2 she missed it.
    EXPECT_EQ(updated(set(alice, rootId, 2, "k", num(5))).changeResult,
              ChangeResult::synchronizeConflict);

    // Removing everything starts the window afresh: older revisions can no longer merge.
    EXPECT_EQ(updated(update(alice, ChangeType::childrenRemoved, rootId, 4, 0, 0, "")).changeResult,
              ChangeResult::done);
    EXPECT_EQ(updated(set(bob, rootId, 4, "x", num(1), true)).changeResult,
              ChangeResult::synchronizeConflict);
    EXPECT_EQ(updated(set(bob, rootId, 5, "x", num(1), true)).changeResult, ChangeResult::done);

    // A restarted daemon knows no history: only the current revision is accepted.
    reopen();
    EXPECT_EQ(updated(set(alice, rootId, 5, "y", num(1), true)).changeResult,
              ChangeResult::synchronizeConflict);
    EXPECT_EQ(updated(set(alice, rootId, 6, "y", num(1), true)).newRevision, 7);
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
    EXPECT_EQ(content(), (std::vector<std::int64_t>{0, 10, 1, 2, 3}));
    EXPECT_EQ(updated(change(ChangeType::childAppended, 1, 0, 0, num(9))).newRevision, 2);
    EXPECT_EQ(updated(change(ChangeType::childChanged, 2, 0, 0, num(100))).newRevision, 3);
    EXPECT_EQ(updated(change(ChangeType::childRemoved, 3, 2, 2)).newRevision, 4);
    EXPECT_EQ(content(), (std::vector<std::int64_t>{100, 10, 2, 3, 9}));
    EXPECT_EQ(updated(change(ChangeType::childMoved, 4, 0, 3)).newRevision, 5);
    EXPECT_EQ(content(), (std::vector<std::int64_t>{10, 2, 3, 100, 9}));
    EXPECT_EQ(updated(change(ChangeType::childMoved, 5, 4, 0)).newRevision, 6);
    EXPECT_EQ(content(), (std::vector<std::int64_t>{9, 10, 2, 3, 100}));
    EXPECT_EQ(updated(change(ChangeType::childInserted, 6, 5, 5, num(7))).newRevision, 7);
    EXPECT_EQ(content(), (std::vector<std::int64_t>{9, 10, 2, 3, 100, 7}));

    EXPECT_EQ(updated(change(ChangeType::childChanged, 7, 1, 1, num(10))).changeResult,
              ChangeResult::nothingChanged);
    EXPECT_EQ(updated(change(ChangeType::childMoved, 7, 2, 2)).changeResult,
              ChangeResult::nothingChanged);

    for (auto [type, from, to] : {std::tuple{ChangeType::childChanged, 6, 6},
                                  {ChangeType::childChanged, -1, -1},
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
    EXPECT_EQ(updated(change(ChangeType::childAppended, 6, 0, 0, num(1))).changeResult,
              ChangeResult::synchronizeConflict);

    EXPECT_EQ(updated(change(ChangeType::childrenRemoved, 7, 0, 0)).newRevision, 8);
    EXPECT_EQ(updated(change(ChangeType::childrenRemoved, 8, 0, 0)).changeResult,
              ChangeResult::nothingChanged);
    EXPECT_EQ(updated(change(ChangeType::childInserted, 8, 0, 0, str("first"))).newRevision, 9);
    EXPECT_EQ(fetched(fetch(alice, "list/0")).text, "first");
}

TEST_F(UpdateTest, ChangesThatDoNotFitAreRefusedAndChangeNothing) {
    create(alice, dict(rootId, {{"a", num(1)}}));

    EXPECT_EQ(
        failure(update(alice, ChangeType::childAppended, rootId, 0, 0, 0, "", clientBlob(num(1)))),
        VKError::invalidData);
    EXPECT_EQ(failure(update(alice, ChangeType::childMoved, rootId, 0, 0, 1, "")),
              VKError::invalidData);
    for (auto type : {ChangeType::childrenReplaced, ChangeType::descendantChanged,
                      ChangeType::updateRevision, ChangeType::containerAbandoned,
                      ChangeType::containerDeleted, ChangeType::settingsDeleted}) {
        EXPECT_EQ(failure(update(alice, type, rootId, 0, 0, 0, "a")), VKError::invalidData)
            << caseName(type);
    }
    // A set without a value, with garbage, or with two values.
    EXPECT_EQ(failure(update(alice, ChangeType::childChanged, rootId, 0, 0, 0, "a")),
              VKError::invalidData);
    EXPECT_EQ(failure(update(alice, ChangeType::childChanged, rootId, 0, 0, 0, "a", {1, 2, 3})),
              VKError::invalidData);
    auto two = clientBlob(num(1));
    const auto second = clientBlob(num(2));
    two.insert(two.end(), second.begin() + 7, second.end());
    EXPECT_EQ(failure(update(alice, ChangeType::childChanged, rootId, 0, 0, 0, "a", two)),
              VKError::invalidData);
    EXPECT_EQ(failure(set(alice, newId(), 0, "a", num(1))), VKError::containerNotFound);
    // A key clients could not read back.
    EXPECT_EQ(failure(set(alice, rootId, 0, "\xC0\xAF", num(1), true)), VKError::invalidData);

    const Node top = fetched(fetch(alice));
    EXPECT_EQ(top.revision, 0);
    EXPECT_EQ(top.count(), 1u);
    EXPECT_EQ(top.at("a").number, 1);
}

TEST_F(UpdateTest, ValuesCarryNewContainersAndReferencesWithinTheFile) {
    const UUID sub = newId();
    create(alice, dict(rootId, {{"a", dict(sub, {{"x", num(1)}})}}));
    const UUID otherRoot = newId();
    create(alice, dict(otherRoot, {}), 1000, "org.example.other");

    const UUID fresh = newId();
    const UUID inner = newId();
    EXPECT_EQ(updated(set(alice, rootId, 0, "b",
                          dict(fresh, {{"y", arr(inner, {num(1), ref(sub)})}}, 3), true))
                  .changeResult,
              ChangeResult::done);
    // A second parent for an existing container.
    EXPECT_EQ(updated(set(alice, rootId, 1, "c", ref(sub), true)).changeResult, ChangeResult::done);
    EXPECT_EQ(fetched(fetch(alice, "c/x")).number, 1);
    const Node b = fetched(fetch(alice, "b", true));
    EXPECT_EQ(b.id, fresh);
    EXPECT_EQ(b.revision, 3);
    EXPECT_EQ(b.root, rootId);
    EXPECT_EQ(b.at("y").at(1).id, sub);
    EXPECT_EQ(b.at("y").at(1).kind, ValueKind::dictionary);
    EXPECT_EQ(b.at("y").at(1).root, rootId);

    // Closing a cycle, reaching into another file, naming unknown or existing ids.
    EXPECT_EQ(failure(set(alice, sub, 0, "loop", ref(rootId), true)), VKError::circularReferences);
    EXPECT_EQ(failure(set(alice, sub, 0, "self", ref(sub), true)), VKError::circularReferences);
    EXPECT_EQ(failure(update(alice, ChangeType::childAppended, inner, 0, 0, 0, "",
                             clientBlob(dict(newId(), {{"up", ref(fresh)}})))),
              VKError::circularReferences);
    EXPECT_EQ(failure(set(alice, rootId, 2, "d", ref(otherRoot), true)), VKError::notTheSameRoot);
    EXPECT_EQ(failure(set(alice, rootId, 2, "e", ref(newId()), true)), VKError::containerNotFound);
    EXPECT_EQ(failure(set(alice, rootId, 2, "f", dict(sub, {}), true)), VKError::invalidData);
    EXPECT_EQ(fetched(fetch(alice)).revision, 2);
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
    EXPECT_EQ(fetched(fetch(alice)).revision, 0);
    // Replacing and removing values make room.
    EXPECT_EQ(updated(set(alice, rootId, 0, "a", dat(std::string(30 * kKiB, 'y')))).newRevision, 1);
    EXPECT_EQ(
        updated(set(alice, rootId, 1, "b", dat(std::string(30 * kKiB, 'z')), true)).changeResult,
        ChangeResult::done);
    EXPECT_EQ(failure(set(alice, rootId, 2, "c", dat(big), true)), VKError::invalidData);
    updated(update(alice, ChangeType::childRemoved, rootId, 2, 0, 0, "a"));
    EXPECT_EQ(updated(set(alice, rootId, 3, "c", dat(big), true)).changeResult, ChangeResult::done);

    // A notice larger than an answer may be (a file limit above the answer limit) abandons the
    // container for its holder, which hears no more of it.
    reopen({.maxFileBytes = 1000 * kKiB, .maxAnswerBytes = 100 * kKiB});
    fetch(bob);
    const auto grown = set(alice, rootId, 4, "d", dat(std::string(150 * kKiB, 'w')), true);
    EXPECT_EQ(updated(grown).newRevision, 5);
    const auto abandoned = notesFor(grown, bob);
    ASSERT_EQ(abandoned.size(), 1u);
    EXPECT_EQ(abandoned[0].first->type, ChangeType::containerAbandoned);
    EXPECT_EQ(abandoned[0].first->id, rootId);
    EXPECT_EQ(abandoned[0].first->revision, 5);
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
    EXPECT_EQ(updated(set(alice, rootId, 7, "g", dict(newId(), {{"h", dict(newId(), {})}}), true))
                  .newRevision,
              8);
    EXPECT_EQ(failure(set(alice, rootId, 8, "i", dict(newId(), {}), true)), VKError::invalidData);
    EXPECT_EQ(updated(set(alice, rootId, 8, "g", dict(newId(), {}))).newRevision, 9);
    EXPECT_EQ(updated(set(alice, rootId, 9, "i", dict(newId(), {}), true)).newRevision, 10);
    EXPECT_EQ(failure(create(alice,
                             dict(newId(), {{"a", dict(newId(), {})},
                                            {"b", dict(newId(), {{"c", dict(newId(), {})}})}}),
                             1000, "org.example.other")),
              VKError::invalidData);
}
