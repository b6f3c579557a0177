#include <gtest/gtest.h>

#include <future>

#include "channel/VirtualChannelSyncAdapter.h"
#include "support/ErrorOf.h"
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

// Payload decoding is the codec's; here: each answer keeps its tag, and each kind logs its line.
TEST_F(ResponseSignalsTest, EachAnswerIsEmittedWithItsTagAndItsLogLine) {
    const std::vector<ChangeNotificationPtr> changes{record(ChangeType::childInserted, "a"),
                                                     record(ChangeType::childRemoved, "b")};
    const std::vector<std::pair<ServerResponse, std::string>> cases{
        {ServerResponse::RequestSucceeded{}, "Got 'requestSucceeded' response (tag=%)."},
        {ServerResponse::SettingsFetched{Blob({1, 2})}, "Got 'settingsFetched' response (tag=%)."},
        {ServerResponse::SettingsUpdated{ChangeResult::waitToBeUpdated, 7},
         "Got 'settingsUpdated' response (tag=%)."},
        {ServerResponse::NoteChanges{changes, {"x/a", "x"}},
         "Got 'noteChanges' notification, # of changes = 2 (tag=%)."},
        {ServerResponse::SettingsDeleted{kId}, "Got 'settingsDeleted' response (tag=%)."},
    };
    std::vector<UUID> tags;
    for (const auto& [response, line] : cases) {
        tags.push_back(UUID::random());
        daemon->answer(client, tags.back(), response);
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(expectAnswer(tags[i]).description(), cases[i].first.description());
        auto line = cases[i].second;
        line.replace(line.find('%'), 1, tags[i].description());
        EXPECT_EQ(lines(LogLevel::debug, line), 1u) << line;
    }
}

// Failures are warnings naming the error; an error code the client does not know is a server
// error; an update result that is no ChangeResult is dropped with an error line.
TEST_F(ResponseSignalsTest, FailuresAndOutOfRangeNumbers) {
    auto missing = UUID::random();
    auto conflict = UUID::random();
    auto unknownError = UUID::random();
    auto updated = [&](const UUID& tag, std::int64_t raw) {
        daemon->sendRaw(client, "settingsUpdatedWithTag", [&](sd_bus_message* m) {
            appendTag(m, tag);
            ASSERT_GE(sd_bus_message_append(m, "xx", raw, std::int64_t{3}), 0);
        });
    };
    daemon->answer(client, missing, ServerResponse::RequestHasFailed{VKError::fileDoesNotExist});
    updated(UUID::random(), 5);
    updated(UUID::random(), -1);
    updated(conflict, 4);
    daemon->sendRaw(client, "requestHasFailedWithTag", [&](sd_bus_message* m) {
        appendTag(m, unknownError);
        ASSERT_GE(sd_bus_message_append(m, "x", std::int64_t{99}), 0);
    });

    auto failed = expectAnswer(missing);
    ASSERT_TRUE(failed.get<ServerResponse::RequestHasFailed>());
    EXPECT_EQ(failed.get<ServerResponse::RequestHasFailed>()->error, VKError::fileDoesNotExist);
    EXPECT_EQ(lines(LogLevel::warning,
                    "Got 'error=FileDoesNotExist' response (tag=" + missing.description() +
                        "); Error: A settings file does not exists (or cannot "
                        "be accessed)."),
              1u);

    // Neither invalid result is emitted: the conflict is the next answer.
    EXPECT_EQ(expectAnswer(conflict).description(),
              "settingsUpdated(synchronizeConflict, newRev=3)");
    EXPECT_EQ(lines(LogLevel::error, "Invalid result value (5) of 'settingsUpdated' response."),
              1u);
    EXPECT_EQ(lines(LogLevel::error, "Invalid result value (-1) of 'settingsUpdated' response."),
              1u);

    failed = expectAnswer(unknownError);
    ASSERT_TRUE(failed.get<ServerResponse::RequestHasFailed>());
    EXPECT_EQ(failed.get<ServerResponse::RequestHasFailed>()->error, VKError::serverError);
    EXPECT_EQ(lines(LogLevel::warning,
                    "Got 'error=ServerError' response (tag=" + unknownError.description() +
                        "); Error: Error on server side."),
              1u);

    // A caller whose answer arrives unreadable fails with serverError, not after its time-out
    // with connectionLost; the signal is logged as before.
    auto adapter = VirtualChannelSyncAdapter<VirtualChannelToServer>::make(
        transport->virtualChannel(), std::chrono::seconds(20));
    auto answeredUnreadably = [&](const std::function<void(const UUID&)>& answer) {
        auto call = std::async(std::launch::async, [&] {
            return test::errorOf([&] { adapter->sync(ClientRequest::DeleteSettings{"d", 1}); });
        });
        auto received = daemon->nextRequest();
        if (received && received->request)
            answer(received->request->tag);
        return call.get();
    };
    EXPECT_EQ(answeredUnreadably([&](const UUID& tag) { updated(tag, 7); }), VKError::serverError);
    EXPECT_EQ(answeredUnreadably([&](const UUID& tag) {
                  daemon->sendRaw(client, "settingsFetchedWithTag", [&](sd_bus_message* m) {
                      appendTag(m, tag);
                      ASSERT_GE(sd_bus_message_append(m, "s", "not bytes"), 0);
                  });
              }),
              VKError::serverError);
    EXPECT_EQ(lines(LogLevel::error, "Invalid result value (7) of 'settingsUpdated' response."),
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
