#include <gtest/gtest.h>

#include <numeric>

#include "OfflineBus.h"
#include "dbus/BusError.h"
#include "dbus/RequestCodec.h"
#include "dbus/ResponseCodec.h"
#include "internals/SettingsService.h"

using namespace velkor;
using dbus::ReceivedResponse;
using dbus::Refusal;
using dbus::RequestCodec;
using dbus::ResponseCodec;
using Reason = Refusal::Reason;

namespace {

const UUID kTag = *UUID::parse("11111111-2222-4333-8444-555555555555");
const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");
const std::string kDaemon = "org.velkor.SettingsDaemon";
using Fill = std::function<void(sd_bus_message*)>;

void tag(sd_bus_message* m) {
    ASSERT_GE(sd_bus_message_append_array(m, 'y', kTag.bytes().data(), 16), 0);
}
void bytes(sd_bus_message* m, std::size_t count) {
    std::vector<std::uint8_t> b(count, 0xAB);
    ASSERT_GE(sd_bus_message_append_array(m, 'y', b.data(), b.size()), 0);
}

ChangeNotificationPtr record(ChangeType type, std::string key) {
    return std::make_shared<const VKChangeNotification>(type, kId, -7, 3, 9, std::move(key),
                                                        std::vector<std::uint8_t>{0, 1, 255});
}

class CodecTest : public ::testing::Test {
  protected:
    /// A sealed call (or signal) of `member` on `interface`, its arguments added by `fill`.
    dbus::Message message(bool signal, const char* interface, const char* member, const Fill& fill,
                          const char* path = dbus_names::kObjectPath) {
        sd_bus_message* raw = nullptr;
        auto* bus = offline.bus().get();
        EXPECT_GE(signal ? sd_bus_message_new_signal(bus, &raw, path, interface, member)
                         : sd_bus_message_new_method_call(bus, &raw, kDaemon.c_str(), path,
                                                          interface, member),
                  0);
        dbus::Message m(raw);
        fill(raw);
        offline.seal(m);
        return m;
    }
    dbus::Message call(const char* member, const Fill& fill) {
        return message(false, dbus_names::kRequestInterface, member, fill);
    }
    dbus::Message answer(const char* member, const Fill& fill) {
        return message(true, dbus_names::kResponseInterface, member, fill);
    }

    template <typename Parsed>
    static std::optional<Refusal> refusal(const Parsed& parsed) {
        if (const auto* r = std::get_if<Refusal>(&parsed))
            return *r;
        return std::nullopt;
    }

    test::OfflineBus offline;
};

}  // namespace

TEST_F(CodecTest, EveryRequestTravelsAsAOneWayCallAndReadsBack) {
    std::vector<std::uint8_t> tree(300);
    std::iota(tree.begin(), tree.end(), 0);
    auto change = record(ChangeType::childMoved, "kéy");
    const ClientRequest requests[] = {
        ClientRequest::CreateSettings{Blob(tree), "a.b", 501},
        ClientRequest::CreateSettings{Blob(), "", 1},
        ClientRequest::FetchSettings{"ünïcode.dömain", 0xFFFFFFFF, "x/y", true},
        ClientRequest::UpdateSettings{change},
        ClientRequest::ResolveSettings{kId, false},
        ClientRequest::DeleteSettings{"a.b", 0},
        ClientRequest::SetHasSubscription{kId, true},
    };
    for (const auto& request : requests) {
        auto call = RequestCodec::build(offline.bus(), kDaemon, kTag, request);
        offline.seal(call);
        EXPECT_EQ(call.destination(), kDaemon);
        EXPECT_EQ(call.path(), "/org/velkor/SettingsDaemon");
        EXPECT_EQ(call.interface(), "org.velkor.SettingsRequestService");
        EXPECT_EQ(sd_bus_message_get_expect_reply(call.get()), 0) << call.member();
        // Parsing reads from the start, whatever was read before.
        ASSERT_GE(sd_bus_message_skip(call.get(), "ay"), 0);
        auto parsed = RequestCodec::parse(call);
        const auto* read = std::get_if<Tagged<ClientRequest>>(&parsed);
        ASSERT_NE(read, nullptr) << refusal(parsed)->detail;
        EXPECT_EQ(read->tag, kTag);
        EXPECT_EQ(read->payload.description(), request.description());
        if (const auto* c = read->payload.get<ClientRequest::CreateSettings>()) {
            EXPECT_EQ(c->data, request.get<ClientRequest::CreateSettings>()->data);
        }
        if (const auto* u = read->payload.get<ClientRequest::UpdateSettings>()) {
            EXPECT_EQ(*u->change, *change);
        }
    }
    // What cannot travel is refused while building.
    using std::string_literals::operator""s;
    for (const ClientRequest& bad :
         {ClientRequest(ClientRequest::DeleteSettings{"a\0b"s, 1}),
          ClientRequest(ClientRequest::FetchSettings{"a", 1, "\xff", false}),
          ClientRequest(ClientRequest::UpdateSettings{nullptr}),
          ClientRequest(ClientRequest::UpdateSettings{record(ChangeType::childChanged, "\xc3")})})
        EXPECT_THROW(RequestCodec::build(offline.bus(), kDaemon, kTag, bad), dbus::BusError);
    EXPECT_THROW(RequestCodec::build(offline.bus(), "not a bus name", kTag,
                                     ClientRequest::DeleteSettings{"a.b", 1}),
                 dbus::BusError);
}

// The daemon answers a refused call with the error name; where the tag could be read, it also
// answers under the tag so that the caller is not left waiting.
TEST_F(CodecTest, MalformedCallsAreRefusedWithTheTagWhereItCanBeRead) {
    auto none = [](sd_bus_message*) {};
    struct Case {
        dbus::Message call;
        Reason reason;
        const char* errorName;
        bool tagged;
    };
    const Case cases[] = {
        {message(false, dbus_names::kRequestInterface, "deleteSettingsWithTag", none, "/elsewhere"),
         Reason::notForUs, SD_BUS_ERROR_UNKNOWN_OBJECT, false},
        {message(false, "org.example.Other", "deleteSettingsWithTag", none), Reason::notForUs,
         SD_BUS_ERROR_UNKNOWN_INTERFACE, false},
        {call("dropEverythingWithTag", none), Reason::unknownMember, SD_BUS_ERROR_UNKNOWN_METHOD,
         false},
        // fetchSettingsWithTag is "aysusb": a missing boolean, a signed user.
        {call("fetchSettingsWithTag",
              [](auto m) {
                  tag(m);
                  sd_bus_message_append(m, "sus", "a.b", 1u, "x");
              }),
         Reason::wrongSignature, SD_BUS_ERROR_INVALID_ARGS, false},
        {call("fetchSettingsWithTag",
              [](auto m) {
                  tag(m);
                  sd_bus_message_append(m, "sisb", "a.b", 1, "x", 1);
              }),
         Reason::wrongSignature, SD_BUS_ERROR_INVALID_ARGS, false},
        {call("deleteSettingsWithTag",
              [](auto m) {
                  bytes(m, 15);
                  sd_bus_message_append(m, "su", "a.b", 1u);
              }),
         Reason::invalidArgument, SD_BUS_ERROR_INVALID_ARGS, false},
        {call("resolveSettingsWithTag",
              [](auto m) {
                  tag(m);
                  bytes(m, 17);
                  sd_bus_message_append(m, "b", 1);
              }),
         Reason::invalidArgument, SD_BUS_ERROR_INVALID_ARGS, true},
    };
    for (const auto& c : cases) {
        auto refused = refusal(RequestCodec::parse(c.call));
        ASSERT_TRUE(refused) << c.call.member();
        EXPECT_EQ(refused->reason, c.reason) << refused->detail;
        EXPECT_STREQ(refused->errorName, c.errorName);
        EXPECT_EQ(refused->tag, c.tagged ? std::optional(kTag) : std::nullopt);
    }
    // A signal is no request, whatever its member.
    auto signal = message(true, dbus_names::kRequestInterface, "deleteSettingsWithTag", none);
    EXPECT_EQ(refusal(RequestCodec::parse(signal))->reason, Reason::notForUs);
}

TEST_F(CodecTest, EveryAnswerTravelsAsAUnicastSignalAndReadsBack) {
    auto first = record(ChangeType::childInserted, "a");
    auto second = record(ChangeType::settingsDeleted, "");
    const ServerResponse responses[] = {
        ServerResponse::RequestHasFailed{VKError::fileDoesNotExist},
        ServerResponse::SettingsFetched{Blob(std::vector<std::uint8_t>{1, 2, 3})},
        ServerResponse::SettingsUpdated{ChangeResult::waitToBeUpdated, -3},
        ServerResponse::SettingsDeleted{kId},
        ServerResponse::NoteChanges{{first, second}, {"p/q", ""}},
        ServerResponse::NoteChanges{{}, {}},
        ServerResponse::RequestSucceeded{},
    };
    for (const auto& response : responses) {
        auto signal = ResponseCodec::build(offline.bus(), ":1.42", kTag, response);
        offline.seal(signal);
        EXPECT_EQ(signal.type(), SD_BUS_MESSAGE_SIGNAL);
        EXPECT_EQ(signal.destination(), ":1.42");
        EXPECT_EQ(signal.interface(), "org.velkor.SettingsResponseService");
        auto parsed = ResponseCodec::parse(signal);
        const auto* received = std::get_if<ReceivedResponse>(&parsed);
        ASSERT_TRUE(received && received->response);
        EXPECT_EQ(received->tag, kTag);
        EXPECT_EQ(received->response->description(), response.description());
        const auto* notes = received->response->get<ServerResponse::NoteChanges>();
        if (notes && !notes->changeNotifications.empty()) {
            ASSERT_EQ(notes->changeNotifications.size(), 2u);
            EXPECT_EQ(*notes->changeNotifications[0], *first);
            EXPECT_EQ(*notes->changeNotifications[1], *second);
        }
    }
    EXPECT_THROW(ResponseCodec::build(offline.bus(), ":1.42", kTag,
                                      ServerResponse::NoteChanges{{nullptr}, {"p"}}),
                 dbus::BusError);
}

// Unknown error codes are server errors, unknown update results no response; both keep their raw
// value and tag, so that the caller is answered.
TEST_F(CodecTest, UnknownNumbersInAnswersKeepTheirRawValue) {
    auto received = [&](const char* member, const char* types, std::int64_t raw) {
        auto parsed = ResponseCodec::parse(answer(member, [&](auto m) {
            tag(m);
            sd_bus_message_append(m, types, raw, std::int64_t{7});
        }));
        EXPECT_TRUE(std::holds_alternative<ReceivedResponse>(parsed));
        auto r = std::get<ReceivedResponse>(parsed);
        EXPECT_EQ(r.rawValue, raw);
        EXPECT_EQ(r.tag, kTag);
        return r.response;
    };
    for (std::int64_t code : {std::int64_t{14}, std::int64_t{-1}, INT64_MIN, std::int64_t{13}}) {
        auto failed = received("requestHasFailedWithTag", "x", code);
        ASSERT_TRUE(failed);
        EXPECT_EQ(failed->get<ServerResponse::RequestHasFailed>()->error,
                  VKError(code == 13 ? VKError::notImplementedYet : VKError::serverError));
    }
    for (std::int64_t raw : {std::int64_t{5}, std::int64_t{-1}, std::int64_t{4}})
        EXPECT_EQ(received("settingsUpdatedWithTag", "xx", raw).has_value(), raw == 4);
}

TEST_F(CodecTest, MalformedAnswersAreRefusedWithTheTagWhereItCanBeRead) {
    auto refused = [&](const char* member, const Fill& fill) {
        auto r = refusal(ResponseCodec::parse(answer(member, fill)));
        EXPECT_TRUE(r) << member;
        return r.value_or(Refusal{});
    };
    auto shortTag = refused("requestSucceededWithTag", [](auto m) { bytes(m, 15); });
    EXPECT_EQ(shortTag.reason, Reason::invalidArgument);
    EXPECT_FALSE(shortTag.tag);
    auto shortRoot = refused("settingsDeletedWithTag", [](auto m) {
        tag(m);
        bytes(m, 15);
    });
    EXPECT_EQ(shortRoot.reason, Reason::invalidArgument);
    EXPECT_EQ(shortRoot.tag, kTag);
    // Paths not parallel to the changes, and a change that does not decode.
    auto unpaired = refused("noteChangesWithTag", [](auto m) {
        tag(m);
        sd_bus_message_append(m, "aa{sv}as", 0, 1, "orphan/path");
    });
    EXPECT_EQ(unpaired.tag, kTag);
    EXPECT_EQ(refused("noteChangesWithTag",
                      [](auto m) {
                          tag(m);
                          sd_bus_message_append(m, "aa{sv}as", 1, 1, "type", "x", std::int64_t{1},
                                                1, "p");
                      })
                  .tag,
              kTag);
    EXPECT_EQ(
        refused("requestSucceededWithTag", [](auto m) { sd_bus_message_append(m, "s", "tag"); })
            .reason,
        Reason::wrongSignature);
    EXPECT_EQ(refused("somethingElseWithTag", tag).reason, Reason::unknownMember);
    // A call is no answer, whatever its member.
    auto asCall = message(false, dbus_names::kResponseInterface, "requestSucceededWithTag", tag);
    EXPECT_EQ(refusal(ResponseCodec::parse(asCall))->reason, Reason::notForUs);
}
