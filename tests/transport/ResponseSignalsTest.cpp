#include <gtest/gtest.h>

#include "support/TransportFixture.h"

using namespace velkor;
using velkor::test::TransportFixture;

namespace {

const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");

ChangeNotificationPtr record(ChangeType type, std::string key) {
    return std::make_shared<const VKChangeNotification>(type, kId, 5, 1, 2, std::move(key),
                                                        std::vector<std::uint8_t>{1, 2});
}

void appendTag(sd_bus_message* m, const UUID& tag) {
    ASSERT_GE(sd_bus_message_append_array(m, 'y', tag.bytes().data(), 16), 0);
}

class ResponseSignalsTest : public TransportFixture {
  protected:
    void SetUp() override {
        TransportFixture::SetUp();
        client = clientName();
    }

    /// The next answer the transport emits, which must carry `tag`.
    ServerResponse expectAnswer(const UUID& tag) {
        auto answer = answers->next();
        if (!answer) {
            ADD_FAILURE() << "no answer emitted";
            return ServerResponse::RequestSucceeded{};
        }
        EXPECT_EQ(answer->tag, tag);
        return answer->payload;
    }

    /// Sends a valid answer behind whatever was sent before and checks that it is the next one
    /// emitted: nothing sent before it was emitted.
    void expectNothingEmittedBefore() {
        auto marker = UUID::random();
        daemon->answer(client, marker, ServerResponse::RequestSucceeded{});
        expectAnswer(marker);
    }

    std::string client;
};

TEST_F(ResponseSignalsTest, EachAnswerSignalBecomesItsTaggedResponseWithItsLogLine) {
    std::vector<std::uint8_t> bytes{0xD9, 0xD9, 0xF8, 0x43, 0x42, 0x4F, 0x52, 0x01};
    std::vector<ChangeNotificationPtr> changes{record(ChangeType::childInserted, "a"),
                                               record(ChangeType::childRemoved, "b")};
    UUID tags[6] = {UUID::random(), UUID::random(), UUID::random(),
                    UUID::random(), UUID::random(), UUID::random()};

    daemon->answer(client, tags[0], ServerResponse::RequestHasFailed{VKError::fileDoesNotExist});
    daemon->answer(client, tags[1], ServerResponse::RequestSucceeded{});
    daemon->answer(client, tags[2], ServerResponse::SettingsFetched{Blob(bytes)});
    daemon->answer(client, tags[3],
                   ServerResponse::SettingsUpdated{ChangeResult::waitToBeUpdated, 7});
    daemon->answer(client, tags[4], ServerResponse::NoteChanges{changes, {"x/a", "x"}});
    daemon->answer(client, tags[5], ServerResponse::SettingsDeleted{kId});

    auto failed = expectAnswer(tags[0]);
    ASSERT_TRUE(failed.get<ServerResponse::RequestHasFailed>());
    EXPECT_EQ(failed.get<ServerResponse::RequestHasFailed>()->error, VKError::fileDoesNotExist);
    EXPECT_TRUE(expectAnswer(tags[1]).get<ServerResponse::RequestSucceeded>());
    auto fetched = expectAnswer(tags[2]);
    ASSERT_TRUE(fetched.get<ServerResponse::SettingsFetched>());
    EXPECT_EQ(fetched.get<ServerResponse::SettingsFetched>()->data, Blob(bytes));
    EXPECT_EQ(expectAnswer(tags[3]).description(), "settingsUpdated(waitToBeUpdated, newRev=7)");
    auto noted = expectAnswer(tags[4]);
    ASSERT_TRUE(noted.get<ServerResponse::NoteChanges>());
    const auto& note = *noted.get<ServerResponse::NoteChanges>();
    ASSERT_EQ(note.changeNotifications.size(), 2u);
    EXPECT_EQ(*note.changeNotifications[0], *changes[0]);
    EXPECT_EQ(*note.changeNotifications[1], *changes[1]);
    EXPECT_EQ(note.changePaths, (std::vector<std::string>{"x/a", "x"}));
    auto deleted = expectAnswer(tags[5]);
    ASSERT_TRUE(deleted.get<ServerResponse::SettingsDeleted>());
    EXPECT_EQ(deleted.get<ServerResponse::SettingsDeleted>()->rootId, kId);

    auto t = [&](int i) { return tags[i].description(); };
    EXPECT_EQ(lines(LogLevel::warning, "Got 'error=FileDoesNotExist' response (tag=" + t(0) +
                                           "); Error: A settings file does not exists (or cannot "
                                           "be accessed)."),
              1u);
    EXPECT_EQ(lines(LogLevel::debug, "Got 'requestSucceeded' response (tag=" + t(1) + ")."), 1u);
    EXPECT_EQ(lines(LogLevel::debug, "Got 'settingsFetched' response (tag=" + t(2) + ")."), 1u);
    EXPECT_EQ(lines(LogLevel::debug, "Got 'settingsUpdated' response (tag=" + t(3) + ")."), 1u);
    EXPECT_EQ(lines(LogLevel::debug,
                    "Got 'noteChanges' notification, # of changes = 2 (tag=" + t(4) + ")."),
              1u);
    EXPECT_EQ(lines(LogLevel::debug, "Got 'settingsDeleted' response (tag=" + t(5) + ")."), 1u);
}

TEST_F(ResponseSignalsTest, OutOfRangeNumbersAndEmptyChangeLists) {
    auto conflict = UUID::random();
    auto five = UUID::random();
    auto minusOne = UUID::random();
    auto unknownError = UUID::random();
    auto empty = UUID::random();
    auto updated = [&](const UUID& tag, std::int64_t raw) {
        daemon->sendRaw(client, "settingsUpdatedWithTag", [&](sd_bus_message* m) {
            appendTag(m, tag);
            ASSERT_GE(sd_bus_message_append(m, "xx", raw, std::int64_t{3}), 0);
        });
    };
    updated(five, 5);
    updated(minusOne, -1);
    updated(conflict, 4);
    daemon->sendRaw(client, "requestHasFailedWithTag", [&](sd_bus_message* m) {
        appendTag(m, unknownError);
        ASSERT_GE(sd_bus_message_append(m, "x", std::int64_t{99}), 0);
    });
    daemon->answer(client, empty, ServerResponse::NoteChanges{{}, {}});

    // Neither invalid result is emitted: the conflict is the first answer.
    auto first = expectAnswer(conflict);
    ASSERT_TRUE(first.get<ServerResponse::SettingsUpdated>());
    EXPECT_EQ(first.get<ServerResponse::SettingsUpdated>()->changeResult,
              ChangeResult::synchronizeConflict);
    EXPECT_EQ(first.get<ServerResponse::SettingsUpdated>()->newRevision, 3);
    EXPECT_EQ(lines(LogLevel::error, "Invalid result value (5) of 'settingsUpdated' response."),
              1u);
    EXPECT_EQ(lines(LogLevel::error, "Invalid result value (-1) of 'settingsUpdated' response."),
              1u);

    auto failed = expectAnswer(unknownError);
    ASSERT_TRUE(failed.get<ServerResponse::RequestHasFailed>());
    EXPECT_EQ(failed.get<ServerResponse::RequestHasFailed>()->error, VKError::serverError);
    EXPECT_EQ(lines(LogLevel::warning,
                    "Got 'error=ServerError' response (tag=" + unknownError.description() +
                        "); Error: Error on server side."),
              1u);

    auto noted = expectAnswer(empty);
    ASSERT_TRUE(noted.get<ServerResponse::NoteChanges>());
    EXPECT_TRUE(noted.get<ServerResponse::NoteChanges>()->changeNotifications.empty());
    EXPECT_EQ(lines(LogLevel::debug, "Got 'noteChanges' notification, # of changes = 0 (tag=" +
                                         empty.description() + ")."),
              1u);
}

TEST_F(ResponseSignalsTest, ArgumentsOfTheWrongTypeAreIgnoredAndLogged) {
    auto tag = UUID::random();
    // requestSucceededWithTag with one argument too many.
    daemon->sendRaw(client, "requestSucceededWithTag", [&](sd_bus_message* m) {
        appendTag(m, tag);
        ASSERT_GE(sd_bus_message_append(m, "s", "extra"), 0);
    });
    // settingsFetchedWithTag with its blob as a string.
    daemon->sendRaw(client, "settingsFetchedWithTag", [&](sd_bus_message* m) {
        appendTag(m, tag);
        ASSERT_GE(sd_bus_message_append(m, "s", "not bytes"), 0);
    });
    // A tag that is not 16 bytes.
    daemon->sendRaw(client, "requestSucceededWithTag", [&](sd_bus_message* m) {
        ASSERT_GE(sd_bus_message_append_array(m, 'y', tag.bytes().data(), 15), 0);
    });
    // A change record without an id.
    daemon->sendRaw(client, "noteChangesWithTag", [&](sd_bus_message* m) {
        appendTag(m, tag);
        ASSERT_GE(sd_bus_message_append(m, "aa{sv}as", 1, 1, "type", "x", std::int64_t{2}, 1, "k"),
                  0);
    });
    // A member the interface does not have.
    daemon->sendRaw(client, "settingsExplodedWithTag",
                    [&](sd_bus_message* m) { appendTag(m, tag); });

    expectNothingEmittedBefore();
    EXPECT_EQ(linesStartingWith(LogLevel::error, "Ignoring invalid 'requestSucceededWithTag'"), 2u);
    EXPECT_EQ(linesStartingWith(LogLevel::error, "Ignoring invalid 'settingsFetchedWithTag'"), 1u);
    EXPECT_EQ(linesStartingWith(LogLevel::error, "Ignoring invalid 'noteChangesWithTag'"), 1u);
    EXPECT_EQ(linesStartingWith(LogLevel::error, "Ignoring invalid 'settingsExplodedWithTag'"), 1u);
    // None of it ends the transport.
    EXPECT_EQ(answers->completions(), 0);
}

}  // namespace
