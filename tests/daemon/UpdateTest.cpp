#include <optional>

#include "DaemonTesting.h"
#include "core/BlobDecoder.h"

using namespace velkor;
using namespace velkor::test;

namespace {

class UpdateTest : public StoreTest {
  protected:
    UUID rootId = newId();
};

constexpr auto conflict = ChangeResult::synchronizeConflict;
constexpr auto merged = ChangeResult::waitToBeUpdated;
constexpr auto unchanged = ChangeResult::nothingChanged;
constexpr std::size_t kKiB = 1024;

}  // namespace

TEST_F(UpdateTest, RevisionsAndTheMergeRule) {
    create(alice, dict(rootId, {{"a", num(1)}, {"b", num(2)}}, 5));
    EXPECT_EQ(doneAt(set(alice, rootId, 5, "a", num(10))), 6);
    // Bob still works from 5: Alice changed "a" since, so his change of it conflicts and he is
    // told the current revision; nobody changed "b", so his change of it is merged.
    auto u = updated(set(bob, rootId, 5, "a", num(11)));
    EXPECT_EQ(std::tuple(u.changeResult, u.newRevision), std::tuple(conflict, 6));
    u = updated(set(bob, rootId, 5, "b", num(20)));
    EXPECT_EQ(std::tuple(u.changeResult, u.newRevision), std::tuple(merged, 7));
    // Alice, at 6, missed Bob's change of "b"; her own change of "a" since 5 does not count.
    EXPECT_EQ(result(set(alice, rootId, 6, "b", num(21))), conflict);
    EXPECT_EQ(result(set(alice, rootId, 5, "a", num(12))), merged);
    EXPECT_EQ(result(set(alice, rootId, 8, "a", num(12))), unchanged);
    EXPECT_EQ(result(update(alice, ChangeType::childRemoved, rootId, 8, 0, 0, "zz")), unchanged);
    // The window remembers every writer of a key, not only the last one.
    EXPECT_EQ(doneAt(set(bob, rootId, 8, "a", num(13))), 9);
    EXPECT_EQ(doneAt(set(alice, rootId, 9, "a", num(14))), 10);
    EXPECT_EQ(result(set(alice, rootId, 8, "a", num(15))), conflict);
    EXPECT_EQ(result(set(alice, rootId, 99, "a", num(1))), conflict);  // from the future
    EXPECT_EQ(fetched(fetch(alice)),
              daemonBlob(dict(rootId, {{"a", num(14)}, {"b", num(20)}}, 10), rootId));

    // Removing everything starts the window afresh: older revisions can no longer merge.
    EXPECT_EQ(result(update(bob, ChangeType::childrenRemoved, rootId, 9, 0, 0, "")), conflict);
    EXPECT_EQ(doneAt(update(alice, ChangeType::childrenRemoved, rootId, 10, 0, 0, "")), 11);
    EXPECT_EQ(result(set(bob, rootId, 10, "x", num(1), true)), conflict);

    // Canonically equivalent keys are one key, in the form first written, and the merge rule
    // speaks of that one key. The Kelvin sign's canonical form is the letter K.
    const std::string decomposed = "e\u0301", composed = "\u00e9";
    EXPECT_EQ(doneAt(set(alice, rootId, 11, decomposed, num(1), true)), 12);
    EXPECT_EQ(doneAt(set(alice, rootId, 12, composed, num(2))), 13);
    EXPECT_EQ(result(set(bob, rootId, 12, composed, num(3))), conflict);
    EXPECT_EQ(doneAt(set(alice, rootId, 13, "\u212a", num(4), true)), 14);
    EXPECT_EQ(doneAt(set(alice, rootId, 14, "K", num(5))), 15);
    EXPECT_EQ(fetched(fetch(bob)),
              daemonBlob(dict(rootId, {{decomposed, num(2)}, {"\u212a", num(5)}}, 15), rootId));
    EXPECT_EQ(fetched(fetch(bob, composed)), daemonBlob(num(2)));

    // A restarted daemon knows no history: only the current revision is accepted.
    reopen();
    EXPECT_EQ(result(set(alice, rootId, 14, "y", num(1), true)), conflict);
    EXPECT_EQ(doneAt(set(alice, rootId, 15, "y", num(1), true)), 16);
}

// The merge windows of all dictionaries together record a bounded number of keys: past it, the
// window changed least recently goes, and changes against revisions before it are conflicts.
TEST_F(UpdateTest, MergeWindowsTogetherStayWithinTheirBound) {
    reopen({.maxMergeKeys = 8});
    const UUID inner = newId();
    create(alice, dict(rootId, {{"d", dict(inner, {})}}));
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(doneAt(set(alice, rootId, i, "k" + std::to_string(i), num(i), true)), i + 1);
    // The inner dictionary's fourth key passes the bound of eight: the root's window goes.
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(doneAt(set(alice, inner, i, "k" + std::to_string(i), num(i), true)), i + 1);
    EXPECT_EQ(result(set(bob, rootId, 4, "z", num(1), true)), conflict);
    EXPECT_EQ(result(set(bob, inner, 3, "z", num(1), true)), merged);
}

TEST_F(UpdateTest, ArrayChangesApplyAtTheirIndexes) {
    const UUID list = newId();
    create(alice, dict(rootId, {{"list", arr(list, {num(0), num(1), num(2), num(3)})}}));
    auto change = [&](ChangeType type, std::int64_t revision, std::int64_t from, std::int64_t to,
                      std::optional<std::int64_t> value = std::nullopt) {
        return update(alice, type, list, revision, from, to, "",
                      value ? clientBlob(num(*value)) : std::vector<std::uint8_t>{});
    };
    auto holds = [&](std::vector<Node> items, std::int64_t revision) {
        EXPECT_EQ(fetched(resolve(alice, list)), daemonBlob(arr(list, items, revision), rootId));
    };
    // What Bob, who holds the list, hears of a change: the record at its indexes, an append at
    // the index it landed at.
    fetch(bob, "", true);
    auto heard = [&](const daemon::Outcome& o) {
        const auto notes = notesFor(o, bob);
        EXPECT_EQ(notes.size(), 1u);
        const auto& r = *notes.at(0).first;
        return std::tuple(r.type, r.from, r.to, r.revision, notes.at(0).second);
    };

    EXPECT_EQ(heard(change(ChangeType::childInserted, 0, 1, 1, 10)),
              std::tuple(ChangeType::childInserted, 1, 1, 1, "list"));
    EXPECT_EQ(heard(change(ChangeType::childAppended, 1, 0, 0, 9)),
              std::tuple(ChangeType::childAppended, 5, 5, 2, "list"));
    EXPECT_EQ(doneAt(change(ChangeType::childChanged, 2, 0, 0, 100)), 3);
    EXPECT_EQ(heard(change(ChangeType::childRemoved, 3, 2, 2)),
              std::tuple(ChangeType::childRemoved, 2, 2, 4, "list"));
    holds({num(100), num(10), num(2), num(3), num(9)}, 4);
    EXPECT_EQ(heard(change(ChangeType::childMoved, 4, 0, 3)),
              std::tuple(ChangeType::childMoved, 0, 3, 5, "list"));
    EXPECT_EQ(doneAt(change(ChangeType::childMoved, 5, 4, 0)), 6);
    EXPECT_EQ(doneAt(change(ChangeType::childInserted, 6, 5, 5, 7)), 7);
    holds({num(9), num(10), num(2), num(3), num(100), num(7)}, 7);
    EXPECT_EQ(result(change(ChangeType::childChanged, 7, 1, 1, 10)), unchanged);
    EXPECT_EQ(result(change(ChangeType::childMoved, 7, 2, 2)), unchanged);

    for (auto [type, from, to] : {std::tuple{ChangeType::childChanged, 6, 6},
                                  {ChangeType::childInserted, 7, 7},
                                  {ChangeType::childInserted, -1, -1},
                                  {ChangeType::childRemoved, 6, 6},
                                  {ChangeType::childMoved, 0, 6},
                                  {ChangeType::childMoved, -1, 0}}) {
        const bool value = type == ChangeType::childChanged || type == ChangeType::childInserted;
        EXPECT_EQ(failure(change(type, 7, from, to, value ? std::optional(0) : std::nullopt)),
                  VKError::indexOutOfRange)
            << caseName(type) << " " << from << " " << to;
    }
    // Any array change against an older revision conflicts.
    EXPECT_EQ(result(change(ChangeType::childAppended, 6, 0, 0, 1)), conflict);
    EXPECT_EQ(doneAt(change(ChangeType::childrenRemoved, 7, 0, 0)), 8);
    EXPECT_EQ(result(change(ChangeType::childrenRemoved, 8, 0, 0)), unchanged);
    holds({}, 8);
}

TEST_F(UpdateTest, ChangesThatDoNotFitAreRefusedAndChangeNothing) {
    const UUID sub = newId(), otherRoot = newId();
    const Node a = dict(sub, {{"x", num(1)}});
    create(alice, dict(rootId, {{"a", a}}));
    create(alice, dict(otherRoot, {}), 1000, "org.example.other");

    // Records a client never sends to a dictionary, a set with garbage for its value.
    std::vector<daemon::Outcome> refused;
    for (auto type :
         {ChangeType::childAppended, ChangeType::childMoved, ChangeType::containerDeleted})
        refused.push_back(update(alice, type, rootId, 0, 0, 1, "a", clientBlob(num(1))));
    refused.push_back(update(alice, ChangeType::childChanged, rootId, 0, 0, 0, "a", {1, 2, 3}));
    refused.push_back(set(alice, rootId, 0, "\xC0\xAF", num(1), true));  // not UTF-8
    refused.push_back(set(alice, rootId, 0, "f", dict(sub, {}), true));  // an id already used
    for (const auto& o : refused)
        EXPECT_EQ(failure(o), VKError::invalidData);
    EXPECT_EQ(failure(set(alice, newId(), 0, "a", num(1))), VKError::containerNotFound);
    // Closing a cycle, reaching into another file, naming unknown ids.
    EXPECT_EQ(failure(set(alice, sub, 0, "loop", ref(rootId), true)), VKError::circularReferences);
    EXPECT_EQ(failure(set(alice, sub, 0, "b", dict(newId(), {{"up", ref(sub)}}), true)),
              VKError::circularReferences);
    EXPECT_EQ(failure(set(alice, rootId, 0, "d", ref(otherRoot), true)), VKError::notTheSameRoot);
    EXPECT_EQ(failure(set(alice, rootId, 0, "e", ref(newId()), true)), VKError::containerNotFound);
    EXPECT_EQ(fetched(fetch(alice, "", true)), daemonBlob(dict(rootId, {{"a", a}}), rootId));

    // Values carry new containers, and references to containers of the same file.
    const UUID fresh = newId(), y = newId();
    EXPECT_EQ(doneAt(set(alice, rootId, 0, "b", dict(fresh, {{"y", arr(y, {ref(sub)})}}, 3), true)),
              1);
    EXPECT_EQ(doneAt(set(alice, rootId, 1, "c", ref(sub), true)), 2);
    EXPECT_EQ(fetched(fetch(alice, "c/x")), daemonBlob(num(1)));
    EXPECT_EQ(fetched(fetch(alice, "b", true)),
              daemonBlob(dict(fresh, {{"y", arr(y, {a})}}, 3), rootId));
}

TEST_F(UpdateTest, FilesStayWithinTheirSizeLimitAndNoticesWithinTheAnswerLimit) {
    reopen({.maxFileBytes = 100 * kKiB, .maxAnswerBytes = 100 * kKiB});
    const std::string big(60 * kKiB, 'x');
    const Node b = dat(std::string(30 * kKiB, 'z'));

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
    EXPECT_EQ(doneAt(set(alice, rootId, 0, "a", dat(std::string(30 * kKiB, 'y')))), 1);
    EXPECT_EQ(doneAt(set(alice, rootId, 1, "b", b, true)), 2);
    EXPECT_EQ(failure(set(alice, rootId, 2, "c", dat(big), true)), VKError::invalidData);
    EXPECT_EQ(doneAt(update(alice, ChangeType::childRemoved, rootId, 2, 0, 0, "a")), 3);
    EXPECT_EQ(doneAt(set(alice, rootId, 3, "c", dat(big), true)), 4);

    // A notice larger than an answer may be (a file limit above the answer limit) abandons the
    // container for its holder, which hears no more of it.
    reopen({.maxFileBytes = 1000 * kKiB, .maxAnswerBytes = 100 * kKiB});
    fetch(bob);
    const auto grown = set(alice, rootId, 4, "d", dat(std::string(150 * kKiB, 'w')), true);
    EXPECT_EQ(doneAt(grown), 5);
    const auto abandoned = notesFor(grown, bob);
    ASSERT_EQ(abandoned.size(), 1u);
    EXPECT_EQ(std::tuple(abandoned[0].first->type, abandoned[0].first->id),
              std::tuple(ChangeType::containerAbandoned, rootId));
    EXPECT_TRUE(recipients(set(alice, rootId, 5, "e", num(1), true)).empty());

    // Under today's limits that file is too large to send whole; its values are still read one
    // by one, and changes that shrink it are taken.
    reopen({.maxFileBytes = 100 * kKiB, .maxAnswerBytes = 100 * kKiB});
    EXPECT_EQ(failure(fetch(alice)), VKError::invalidFileData);
    EXPECT_EQ(fetched(fetch(alice, "c")), daemonBlob(dat(big)));
    EXPECT_EQ(failure(set(alice, rootId, 6, "f", num(1), true)), VKError::invalidData);
    EXPECT_EQ(doneAt(update(alice, ChangeType::childRemoved, rootId, 6, 0, 0, "d")), 7);
    EXPECT_EQ(fetched(fetch(alice)),
              daemonBlob(dict(rootId, {{"b", b}, {"c", dat(big)}, {"e", num(1)}}, 7), rootId));

    // The number of containers is bounded the same way.
    reopen({.maxFileContainers = 3});
    EXPECT_EQ(doneAt(set(alice, rootId, 7, "g", dict(newId(), {{"h", dict(newId(), {})}}), true)),
              8);
    EXPECT_EQ(failure(set(alice, rootId, 8, "i", dict(newId(), {}), true)), VKError::invalidData);
    EXPECT_EQ(doneAt(set(alice, rootId, 8, "g", dict(newId(), {}))), 9);
    EXPECT_EQ(failure(create(alice, nested(4), 1000, "org.example.other")), VKError::invalidData);

    // A file's size is counted to the byte, however its containers came: with the file, with a
    // change, after a file was deleted.
    reopen({.maxFileBytes = 1000});
    ASSERT_NE(remove(alice).answer.get<ServerResponse::SettingsDeleted>(), nullptr);
    const UUID exact = newId();
    // 64 + (40 + 1 + 100) = 205 bytes.
    ASSERT_TRUE(succeeded(create(alice, dict(exact, {{"k", dat(std::string(100, 'b'))}}))));
    // A dictionary holding n bytes under "x" adds 64 + (40 + 1) + (40 + 1 + n) = 146 + n.
    const auto holding = [](std::size_t n) {
        return dict(newId(), {{"x", dat(std::string(n, 'c'))}});
    };
    EXPECT_EQ(failure(set(alice, exact, 0, "c", holding(650), true)), VKError::invalidData);
    EXPECT_EQ(doneAt(set(alice, exact, 0, "c", holding(649), true)), 1);
    EXPECT_EQ(failure(set(alice, exact, 1, "d", num(1), true)), VKError::invalidData);

    // A container abandoned for a notice over the answer limit is told with its path.
    reopen({.maxFileBytes = 1000 * kKiB, .maxAnswerBytes = 100 * kKiB});
    const UUID inner = newId();
    EXPECT_EQ(doneAt(set(alice, exact, 1, "s", dict(inner, {}), true)), 2);
    fetch(bob, "s");
    const auto over =
        notesFor(set(alice, inner, 0, "v", dat(std::string(150 * kKiB, 'w')), true), bob);
    ASSERT_EQ(over.size(), 1u);
    EXPECT_EQ(std::tuple(over[0].first->type, over[0].first->id, over[0].second),
              std::tuple(ChangeType::containerAbandoned, inner, std::string("s")));
}

// One user's files together stay within the user limits, whichever of them grows: counted to
// the same rule as a file, again after a restart, and with room made by removals and deletions.
// However small its files, a user has only so many. Other users are not bounded by either
// limit, nor is root.
TEST_F(UpdateTest, AUsersFilesTogetherStayWithinTheUserLimit) {
    reopen({.maxUserBytes = 100 * kKiB});
    const std::string big(60 * kKiB, 'x'), small(30 * kKiB, 'y');
    const std::string otherDomain = "org.example.other";
    ASSERT_TRUE(succeeded(create(alice, dict(rootId, {{"a", dat(big)}}))));

    // A second file that would pass the total is refused whole, though within the file limit.
    const UUID other = newId();
    EXPECT_EQ(failure(create(alice, dict(other, {{"a", dat(big)}}), 1000, otherDomain)),
              VKError::invalidData);
    EXPECT_EQ(failure(fetch(alice, "", false, 1000, otherDomain)), VKError::fileDoesNotExist);
    ASSERT_TRUE(succeeded(create(alice, dict(other, {{"a", dat(small)}}), 1000, otherDomain)));
    // Growing either file past the total stores nothing.
    EXPECT_EQ(failure(set(alice, other, 0, "b", dat(small), true)), VKError::invalidData);
    EXPECT_EQ(failure(set(alice, rootId, 0, "b", dict(newId(), {{"x", dat(small)}}), true)),
              VKError::invalidData);
    EXPECT_EQ(fetched(fetch(alice)), daemonBlob(dict(rootId, {{"a", dat(big)}}), rootId));

    // Another user has a total of its own; root may pass a user's.
    EXPECT_TRUE(succeeded(create(eve, dict(newId(), {{"a", dat(big)}}), 1001)));
    EXPECT_EQ(doneAt(set(root, other, 0, "b", dat(small), true)), 1);
    // Past it, the user's changes that grow a file are refused and those that shrink one taken.
    EXPECT_EQ(failure(set(alice, rootId, 0, "n", num(1), true)), VKError::invalidData);
    EXPECT_EQ(doneAt(update(alice, ChangeType::childRemoved, other, 1, 0, 0, "a")), 2);

    // A restart counts the total afresh from the files.
    reopen({.maxUserBytes = 100 * kKiB});
    EXPECT_EQ(failure(set(alice, other, 2, "c", dat(small), true)), VKError::invalidData);
    // Deleting a file makes room.
    ASSERT_NE(remove(alice).answer.get<ServerResponse::SettingsDeleted>(), nullptr);
    EXPECT_EQ(doneAt(set(alice, other, 2, "c", dat(small), true)), 3);

    // The number of files, with alice's one counted afresh after a restart.
    reopen({.maxUserFiles = 2});
    auto empty = [] { return dict(newId(), {}); };
    ASSERT_TRUE(succeeded(create(alice, empty())));
    EXPECT_EQ(failure(create(alice, empty(), 1000, "org.example.c")), VKError::invalidData);
    EXPECT_EQ(failure(fetch(alice, "", false, 1000, "org.example.c")), VKError::fileDoesNotExist);
    EXPECT_TRUE(succeeded(create(eve, empty(), 1001, "org.example.c")));
    EXPECT_TRUE(succeeded(create(root, empty(), 1000, "org.example.c")));
    ASSERT_NE(remove(alice).answer.get<ServerResponse::SettingsDeleted>(), nullptr);
    EXPECT_EQ(failure(create(alice, empty(), 1000, "org.example.d")), VKError::invalidData);
    ASSERT_NE(remove(alice, 1000, "org.example.c").answer.get<ServerResponse::SettingsDeleted>(),
              nullptr);
    EXPECT_TRUE(succeeded(create(alice, empty(), 1000, "org.example.d")));
}

// Two changes can make a file deeper than one blob may nest: a recursive fetch then sends the
// containers past that depth as proxies, which are fetched on their own.
TEST_F(UpdateTest, ARecursiveFetchOfAFileDeeperThanABlobNestsEndsInProxies) {
    constexpr std::size_t deepest = daemon::BlobDecoder::maxNesting, half = deepest - 100;
    std::vector<UUID> ids(2 * half);
    std::ranges::generate(ids, newId);
    // Dictionaries ids[from, to), each holding the next under "c", the last holding `end`;
    // ids[raised] at revision 1.
    auto chain = [&](std::size_t from, std::size_t to, std::optional<Node> end = {},
                     std::size_t raised = SIZE_MAX) {
        Node tree = dict(ids[to - 1], {}, to - 1 == raised);
        if (end)
            tree.entries.emplace_back("c", *end);
        for (auto i = to - 1; i-- > from;)
            tree = dict(ids[i], {{"c", tree}}, i == raised);
        return tree;
    };
    ASSERT_TRUE(succeeded(create(alice, chain(0, half))));
    ASSERT_EQ(updated(set(alice, ids[half - 1], 0, "c", chain(half, 2 * half), true)).newRevision,
              1);

    EXPECT_EQ(fetched(fetch(alice, "", true)),
              daemonBlob(chain(0, deepest, ref(ids[deepest]), half - 1), ids[0]));
    EXPECT_EQ(fetched(resolve(alice, ids[deepest], true)),
              daemonBlob(chain(deepest, 2 * half), ids[0]));
}
