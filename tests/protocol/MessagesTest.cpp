#include <gtest/gtest.h>

#include "internals/ChangeNotification.h"
#include "internals/ClientRequest.h"
#include "internals/ServerResponse.h"
#include "internals/Tagged.h"
#include "support/InMemoryKeyedArchive.h"
#include "support/LogCapture.h"

using namespace velkor;

namespace {

const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");
const UUID kTag = *UUID::parse("11111111-2222-4333-8444-555555555555");

ChangeNotificationPtr record(ChangeType t) {
    return std::make_shared<VKChangeNotification>(t, kId, 3, 1, 4, "k",
                                                  std::vector<std::uint8_t>{});
}

}  // namespace

TEST(VKErrorTest, RawValuesTextsAndConversion) {
    EXPECT_EQ(VKError::fromRawValue(13), VKError(VKError::notImplementedYet));
    EXPECT_FALSE(VKError::fromRawValue(14).has_value());
    EXPECT_FALSE(VKError::fromRawValue(-1).has_value());
    for (std::int64_t raw = 0; raw <= 13; ++raw) {
        auto e = VKError::fromRawValue(raw);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->rawValue(), raw);
        EXPECT_STREQ(e->what(), std::string(e->description()).c_str());
    }
    VKError lost = VKError::connectionLost;
    EXPECT_EQ(lost.description(), "ConnectionLost");
    EXPECT_EQ(lost.localizedDescription(), "Connection to the Settings server was lost.");
    EXPECT_EQ(VKError(VKError::fileDoesNotExist).localizedDescription(),
              "A settings file does not exists (or cannot be accessed).");
    EXPECT_EQ(VKError(VKError::cannotConnect).localizedDescription(),
              "Unable to connect to the Settings server (probably because it's not loaded).");
    EXPECT_EQ(VKError(VKError::indexOutOfRange).localizedDescription(),
              "An array index is out of range [0, count).");
    EXPECT_EQ(VKError(VKError::serverError).description(), "ServerError");
    EXPECT_NE(VKError(VKError::serverError), VKError(VKError::invalidData));
    EXPECT_EQ(std::hash<VKError>{}(VKError::synchronizeConflict), 10u);
}

TEST(ChangeEnums, RawValuesAndNames) {
    EXPECT_FALSE(changeTypeFromRawValue(0).has_value());
    EXPECT_FALSE(changeTypeFromRawValue(13).has_value());
    EXPECT_EQ(changeTypeFromRawValue(12), ChangeType::settingsDeleted);
    EXPECT_EQ(rawValue(ChangeType::childChanged), 1);
    EXPECT_EQ(caseName(ChangeType::containerAbandoned), "containerAbandoned");
    for (std::int64_t raw = 1; raw <= 12; ++raw) {
        EXPECT_EQ(rawValue(*changeTypeFromRawValue(raw)), raw);
    }
    EXPECT_FALSE(changeResultFromRawValue(5).has_value());
    EXPECT_FALSE(changeResultFromRawValue(-1).has_value());
    EXPECT_EQ(changeResultFromRawValue(4), ChangeResult::synchronizeConflict);
    EXPECT_EQ(caseName(ChangeResult::noRevisionIncrement), "noRevisionIncrement");
}

TEST(TextForms, RequestsAndResponsesPrintExactly) {
    EXPECT_EQ(
        ClientRequest(ClientRequest::CreateSettings{Blob({1, 2, 3}), "a.b", 501}).description(),
        "createSettings(501@a.b, 3 bytes)");
    EXPECT_EQ(ClientRequest(ClientRequest::FetchSettings{"a.b", 501, "x/y", false}).description(),
              "fetchSettings(501@a.b, path='x/y', recursive=false)");
    EXPECT_EQ(
        ClientRequest(ClientRequest::UpdateSettings{record(ChangeType::childMoved)}).description(),
        "updateSettings(childMoved)");
    EXPECT_EQ(ClientRequest(ClientRequest::ResolveSettings{kId, true}).description(),
              "resolveSettings(contId=0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF, recursive=true)");
    EXPECT_EQ(ClientRequest(ClientRequest::DeleteSettings{"prefs", 0}).description(),
              "deleteSettings(0@prefs)");
    EXPECT_EQ(
        ClientRequest(ClientRequest::SetHasSubscription{kId, false}).description(),
        "setHasSubscription(contId=0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF, hasSubscription=false)");

    EXPECT_EQ(
        ServerResponse(ServerResponse::RequestHasFailed{VKError::containerNotFound}).description(),
        "requestHasFailed(There was an attempt to resolve unknown server container.)");
    EXPECT_EQ(ServerResponse(ServerResponse::SettingsFetched{Blob()}).description(),
              "settingsFetched(0 bytes)");
    EXPECT_EQ(ServerResponse(ServerResponse::SettingsUpdated{ChangeResult::done, 7}).description(),
              "settingsUpdated(done, newRev=7)");
    EXPECT_EQ(ServerResponse(ServerResponse::SettingsDeleted{kId}).description(),
              "settingsDeleted(rootId=0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF)");
    EXPECT_EQ(ServerResponse(ServerResponse::RequestSucceeded{}).description(), "requestSucceeded");
    EXPECT_EQ(ServerResponse(ServerResponse::NoteChanges{{record(ChangeType::childInserted),
                                                          record(ChangeType::childRemoved)},
                                                         {"a/b", ""}})
                  .description(),
              "noteChanges([childInserted, childRemoved], [\"a/b\", \"\"])");
    EXPECT_EQ((Tagged<ClientRequest>{kTag, ClientRequest::DeleteSettings{"d", 1}}).description(),
              "(tag=11111111-2222-4333-8444-555555555555, deleteSettings(1@d))");
    EXPECT_EQ(record(ChangeType::childMoved)->description(), "childMoved");
}

TEST(ChangeRecordCoding, RoundTripsAllSevenFieldsInOrder) {
    VKChangeNotification original(ChangeType::childMoved, kId, -5, 1, 4, "ключ",
                                  std::vector<std::uint8_t>{0, 255, 7});
    test::InMemoryKeyedArchive archive;
    original.encode(archive);
    EXPECT_EQ(archive.keys,
              (std::vector<std::string>{"type", "id", "revision", "from", "to", "key", "data"}));
    EXPECT_EQ(std::get<std::int64_t>(archive.values["type"]), 5);
    auto decoded = VKChangeNotification::decode(archive);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(*decoded, original);
}

TEST(ChangeRecordCoding, MissingOptionalFieldsReadEmptyOrZero) {
    test::InMemoryKeyedArchive archive;
    archive.encodeInteger("type", rawValue(ChangeType::childRemoved));
    archive.encodeUuid("id", kId);
    archive.encodeText("data", "a string where bytes belong");  // wrong type reads as absent
    auto decoded = VKChangeNotification::decode(archive);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->type, ChangeType::childRemoved);
    EXPECT_EQ(decoded->revision, 0);
    EXPECT_EQ(decoded->from, 0);
    EXPECT_EQ(decoded->to, 0);
    EXPECT_TRUE(decoded->key.empty());
    EXPECT_TRUE(decoded->data.empty());
}

TEST(ChangeRecordCoding, BadTypeOrMissingIdFailsWithOneErrorLine) {
    auto attempt = [](auto mutate) {
        test::LogCapture capture;
        test::InMemoryKeyedArchive archive;
        VKChangeNotification(ChangeType::childChanged, kId, 1, 0, 0, "k", {}).encode(archive);
        mutate(archive);
        auto decoded = VKChangeNotification::decode(archive);
        EXPECT_EQ(
            capture->count(LogLevel::error, "Can't decode properties of VKChangeNotification."),
            1u);
        return decoded;
    };
    EXPECT_EQ(attempt([](auto& a) { a.values["type"] = std::int64_t{0}; }), nullptr);
    EXPECT_EQ(attempt([](auto& a) { a.values["type"] = std::int64_t{13}; }), nullptr);
    EXPECT_EQ(attempt([](auto& a) { a.erase("type"); }), nullptr);
    EXPECT_EQ(attempt([](auto& a) { a.erase("id"); }), nullptr);
    EXPECT_EQ(attempt([](auto& a) { a.values["id"] = std::string("not a uuid"); }), nullptr);
}
