#include <gtest/gtest.h>

#include "OfflineBus.h"
#include "dbus/BusError.h"
#include "dbus/ResponseCodec.h"
#include "internals/SettingsService.h"

using namespace velkor;
using dbus::ReceivedResponse;
using dbus::Refusal;
using dbus::ResponseCodec;

namespace {

const UUID kTag = *UUID::parse("11111111-2222-4333-8444-555555555555");
const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");
const std::string kClient = ":1.42";

ChangeNotificationPtr record(ChangeType type, std::string key) {
    return std::make_shared<const VKChangeNotification>(type, kId, 5, 1, 2, std::move(key),
                                                        std::vector<std::uint8_t>{1, 2});
}

class ResponseCodecTest : public ::testing::Test {
  protected:
    ReceivedResponse roundTrip(const ServerResponse& response) {
        auto signal = ResponseCodec::build(offline.bus(), kClient, kTag, response);
        offline.seal(signal);
        auto parsed = ResponseCodec::parse(signal);
        if (const auto* refusal = std::get_if<Refusal>(&parsed))
            ADD_FAILURE() << "refused: " << refusal->detail;
        auto received = std::get<ReceivedResponse>(parsed);
        EXPECT_EQ(received.tag, kTag);
        EXPECT_EQ(received.kind, response.index());
        return received;
    }

    /// An answer signal `member` with the arguments added by `fill`, after the tag if `tagged`.
    template <typename F>
    dbus::Message rawSignal(const char* member, F fill, bool tagged = true) {
        sd_bus_message* raw = nullptr;
        EXPECT_GE(sd_bus_message_new_signal(offline.bus().get(), &raw, dbus_names::kObjectPath,
                                            dbus_names::kResponseInterface, member),
                  0);
        dbus::Message signal(raw);
        if (tagged)
            sd_bus_message_append_array(raw, 'y', kTag.bytes().data(), 16);
        fill(raw);
        offline.seal(signal);
        return signal;
    }

    ReceivedResponse accepted(const dbus::Message& signal) {
        auto parsed = ResponseCodec::parse(signal);
        EXPECT_TRUE(std::holds_alternative<ReceivedResponse>(parsed));
        return std::holds_alternative<ReceivedResponse>(parsed)
                   ? std::get<ReceivedResponse>(parsed)
                   : ReceivedResponse{UUID(), 99, 0, std::nullopt};
    }

    test::OfflineBus offline;
};

}  // namespace

TEST_F(ResponseCodecTest, EveryAnswerTravelsAsAUnicastSignalAndReadsBack) {
    const ServerResponse responses[] = {
        ServerResponse::RequestHasFailed{VKError::fileDoesNotExist},
        ServerResponse::SettingsFetched{Blob(std::vector<std::uint8_t>{1, 2, 3})},
        ServerResponse::SettingsUpdated{ChangeResult::waitToBeUpdated, -3},
        ServerResponse::SettingsDeleted{kId},
        ServerResponse::NoteChanges{
            {record(ChangeType::childInserted, "a"), record(ChangeType::descendantChanged, "")},
            {"x/y", ""}},
        ServerResponse::RequestSucceeded{},
    };
    for (const auto& response : responses) {
        auto signal = ResponseCodec::build(offline.bus(), kClient, kTag, response);
        offline.seal(signal);
        EXPECT_EQ(signal.type(), SD_BUS_MESSAGE_SIGNAL);
        EXPECT_EQ(signal.destination(), kClient);
        EXPECT_EQ(signal.path(), "/org/velkor/SettingsDaemon");
        EXPECT_EQ(signal.interface(), "org.velkor.SettingsResponseService");

        auto received = roundTrip(response);
        ASSERT_TRUE(received.response.has_value());
        EXPECT_EQ(received.response->description(), response.description());
    }

    // The descriptions carry every field but the raw values and the records of notes.
    EXPECT_EQ(roundTrip(responses[0]).rawValue, 3);
    EXPECT_EQ(roundTrip(responses[2]).rawValue, 2);
    auto first = record(ChangeType::childInserted, "a");
    auto second = record(ChangeType::settingsDeleted, "b");
    auto notes = roundTrip(ServerResponse::NoteChanges{{first, second}, {"p/q", "r"}});
    const auto* n = notes.response->get<ServerResponse::NoteChanges>();
    ASSERT_EQ(n->changeNotifications.size(), 2u);
    EXPECT_EQ(*n->changeNotifications[0], *first);
    EXPECT_EQ(*n->changeNotifications[1], *second);
    EXPECT_EQ(n->changePaths, (std::vector<std::string>{"p/q", "r"}));

    auto none = roundTrip(ServerResponse::NoteChanges{{}, {}});
    EXPECT_TRUE(none.response->get<ServerResponse::NoteChanges>()->changeNotifications.empty());
}

TEST_F(ResponseCodecTest, UnknownErrorCodesAndUpdateResultsKeepTheirRawValue) {
    for (std::int64_t code : {std::int64_t{14}, std::int64_t{-1}, INT64_MIN, std::int64_t{13}}) {
        auto received = accepted(rawSignal("requestHasFailedWithTag", [&](sd_bus_message* m) {
            sd_bus_message_append(m, "x", code);
        }));
        EXPECT_EQ(received.rawValue, code);
        ASSERT_TRUE(received.response.has_value());
        EXPECT_EQ(received.response->get<ServerResponse::RequestHasFailed>()->error,
                  VKError(code == 13 ? VKError::notImplementedYet : VKError::serverError));
    }
    // An update result that is no ChangeResult carries no response.
    for (std::int64_t raw : {std::int64_t{5}, std::int64_t{-1}, std::int64_t{4}}) {
        auto received = accepted(rawSignal("settingsUpdatedWithTag", [&](sd_bus_message* m) {
            sd_bus_message_append(m, "xx", raw, std::int64_t{7});
        }));
        EXPECT_EQ(received.kind, 2u);
        EXPECT_EQ(received.rawValue, raw);
        EXPECT_EQ(received.response.has_value(), raw == 4);
    }
}

TEST_F(ResponseCodecTest, MalformedAnswersAreRefused) {
    auto refusal = [](const dbus::Message& signal) {
        auto parsed = ResponseCodec::parse(signal);
        EXPECT_TRUE(std::holds_alternative<Refusal>(parsed));
        return std::holds_alternative<Refusal>(parsed) ? std::get<Refusal>(parsed)
                                                       : Refusal{{}, "", "accepted", {}};
    };
    // Tags first: text, then 15 bytes.
    auto textTag = rawSignal(
        "requestSucceededWithTag", [](sd_bus_message* m) { sd_bus_message_append(m, "s", "tag"); },
        false);
    EXPECT_EQ(refusal(textTag).reason, Refusal::Reason::wrongSignature);

    std::uint8_t fifteen[15] = {};
    auto shortTag = rawSignal(
        "requestSucceededWithTag",
        [&](sd_bus_message* m) { sd_bus_message_append_array(m, 'y', fifteen, sizeof fifteen); },
        false);
    auto r = refusal(shortTag);
    EXPECT_EQ(r.reason, Refusal::Reason::invalidArgument);
    EXPECT_FALSE(r.tag.has_value());

    auto shortRoot = rawSignal("settingsDeletedWithTag", [&](sd_bus_message* m) {
        sd_bus_message_append_array(m, 'y', fifteen, sizeof fifteen);
    });
    r = refusal(shortRoot);
    EXPECT_EQ(r.reason, Refusal::Reason::invalidArgument);
    EXPECT_EQ(r.tag, kTag);

    auto int32Code = rawSignal("requestHasFailedWithTag",
                               [](sd_bus_message* m) { sd_bus_message_append(m, "i", 3); });
    EXPECT_EQ(refusal(int32Code).reason, Refusal::Reason::wrongSignature);

    // Paths not parallel to the changes, and a change that does not decode.
    auto unpaired = rawSignal("noteChangesWithTag", [](sd_bus_message* m) {
        sd_bus_message_append(m, "aa{sv}", 0);
        sd_bus_message_append(m, "as", 1, "orphan/path");
    });
    EXPECT_EQ(refusal(unpaired).reason, Refusal::Reason::invalidArgument);
    auto undecodable = rawSignal("noteChangesWithTag", [](sd_bus_message* m) {
        sd_bus_message_append(m, "aa{sv}", 1, 1, "type", "x", std::int64_t{1});
        sd_bus_message_append(m, "as", 1, "p");
    });
    EXPECT_EQ(refusal(undecodable).reason, Refusal::Reason::invalidArgument);

    EXPECT_THROW(ResponseCodec::build(offline.bus(), kClient, kTag,
                                      ServerResponse::NoteChanges{{nullptr}, {"p"}}),
                 dbus::BusError);

    auto unknown = rawSignal("somethingElseWithTag", [](sd_bus_message*) {});
    EXPECT_EQ(refusal(unknown).reason, Refusal::Reason::unknownMember);

    sd_bus_message* call = nullptr;
    ASSERT_GE(
        sd_bus_message_new_method_call(offline.bus().get(), &call, ":1.1", dbus_names::kObjectPath,
                                       dbus_names::kResponseInterface, "requestSucceededWithTag"),
        0);
    dbus::Message asCall(call);
    sd_bus_message_append_array(call, 'y', kTag.bytes().data(), 16);
    offline.seal(asCall);
    EXPECT_EQ(refusal(asCall).reason, Refusal::Reason::notForUs);
}
