#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "dbus/BusError.h"
#include "dbus/NameOwnerChanged.h"
#include "dbus/RequestCodec.h"
#include "dbus/ResponseCodec.h"
#include "internals/SettingsService.h"

using namespace velkor;
using namespace velkor::dbus;
using Reason = Refusal::Reason;

namespace {

const UUID kTag = *UUID::parse("11111111-2222-4333-8444-555555555555");
const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");
const std::string kDaemon = "org.velkor.SettingsDaemon";
using Fill = std::function<void(sd_bus_message*)>;

/// Appends the tag, or `count` bytes that are none.
sd_bus_message* tagged(sd_bus_message* m, std::size_t count = 16) {
    std::vector<std::uint8_t> b(count, 0xAB);
    if (count == 16)
        b.assign(kTag.bytes().begin(), kTag.bytes().end());
    EXPECT_GE(sd_bus_message_append_array(m, 'y', b.data(), b.size()), 0);
    return m;
}

ChangeNotificationPtr record(ChangeType type, std::string key) {
    return std::make_shared<const VKChangeNotification>(type, kId, -7, 3, 9, std::move(key),
                                                        std::vector<std::uint8_t>{0, 1, 255});
}

/// Messages built on a started sd-bus connection over one end of a socket pair
/// that nobody reads, and sealed as sending would, so that they read like
/// received ones: no bus runs.
class MessagesTest : public ::testing::Test {
  protected:
    MessagesTest() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        peer_ = fds[1];
        sd_bus* raw = nullptr;
        sd_bus_new(&raw);
        bus_ = std::make_unique<dbus::BusConnection>(raw);
        EXPECT_GE(sd_bus_set_fd(raw, fds[0], fds[0]), 0);
        EXPECT_GE(sd_bus_start(raw), 0);
    }
    ~MessagesTest() override {
        close(peer_);  // first: nobody will read what the connection would flush
        bus_.reset();
    }

    void seal(const dbus::Message& message) {
        ASSERT_GE(sd_bus_message_seal(message.get(), ++cookie_, 0), 0);
    }
    /// A sealed call (or signal) of `member` on `interface`, its arguments added
    /// by `fill`.
    dbus::Message message(bool signal, const char* interface, const char* member, const Fill& fill,
                          const char* path = dbus_names::kObjectPath) {
        sd_bus_message* raw = nullptr;
        EXPECT_GE(signal ? sd_bus_message_new_signal(bus_->get(), &raw, path, interface, member)
                         : sd_bus_message_new_method_call(bus_->get(), &raw, kDaemon.c_str(), path,
                                                          interface, member),
                  0);
        dbus::Message m(raw);
        fill(raw);
        seal(m);
        return m;
    }

    std::unique_ptr<dbus::BusConnection> bus_;
    int peer_ = -1;
    std::uint64_t cookie_ = 0;
};

}  // namespace

// Requests travel as one-way calls, read from the start whatever was read of them before; what
// cannot travel is refused while building, and malformed messages when read.
TEST_F(MessagesTest, RequestsTravelOneWayAndWhatCannotTravelOrBeReadIsRefused) {
    auto change = record(ChangeType::childMoved, "kéy");
    auto update = RequestCodec::build(*bus_, kDaemon, kTag, ClientRequest::UpdateSettings{change});
    seal(update);
    EXPECT_EQ(sd_bus_message_get_expect_reply(update.get()), 0);
    ASSERT_GE(sd_bus_message_skip(update.get(), "ay"), 0);
    auto parsed = RequestCodec::parse(update);
    const auto* request = std::get_if<Tagged<ClientRequest>>(&parsed);
    ASSERT_TRUE(request && request->payload.get<ClientRequest::UpdateSettings>());
    EXPECT_EQ(request->tag, kTag);
    EXPECT_EQ(*request->payload.get<ClientRequest::UpdateSettings>()->change, *change);

    using std::string_literals::operator""s;
    for (const ClientRequest& bad :
         {ClientRequest(ClientRequest::DeleteSettings{"a\0b"s, 1}),
          ClientRequest(ClientRequest::FetchSettings{"a", 1, "\xff", false}),
          ClientRequest(ClientRequest::UpdateSettings{nullptr}),
          ClientRequest(ClientRequest::UpdateSettings{record(ChangeType::childChanged, "\xc3")})})
        EXPECT_THROW(RequestCodec::build(*bus_, kDaemon, kTag, bad), dbus::BusError);
    EXPECT_THROW(
        RequestCodec::build(*bus_, "not a bus name", kTag, ClientRequest::DeleteSettings{"a.b", 1}),
        dbus::BusError);
    EXPECT_THROW(
        ResponseCodec::build(*bus_, ":1.42", kTag, ServerResponse::NoteChanges{{nullptr}, {"p"}}),
        dbus::BusError);

    // A refused call is answered with the error name and, where its tag could be read, under the
    // tag so that the caller is not left waiting; a refused answer keeps its tag where it can be
    // read for the same reason.
    struct Case {
        dbus::Message message;
        Reason reason;
        bool tagged;
        const char* errorName = nullptr;
    };
    const char* requests = dbus_names::kRequestInterface;
    auto call = [&](const char* member, const Fill& fill) {
        return message(false, requests, member, fill);
    };
    auto answer = [&](const char* member, const Fill& fill) {
        return message(true, dbus_names::kResponseInterface, member, fill);
    };
    auto none = [](sd_bus_message*) {};
    const Case calls[] = {
        {message(false, requests, "deleteSettingsWithTag", none, "/elsewhere"), Reason::notForUs,
         false, SD_BUS_ERROR_UNKNOWN_OBJECT},
        {message(false, "org.example.Other", "deleteSettingsWithTag", none), Reason::notForUs,
         false, SD_BUS_ERROR_UNKNOWN_INTERFACE},
        {call("dropEverythingWithTag", none), Reason::unknownMember, false,
         SD_BUS_ERROR_UNKNOWN_METHOD},
        // fetchSettingsWithTag is "aysusb": here a signed user.
        {call("fetchSettingsWithTag",
              [](auto m) { sd_bus_message_append(tagged(m), "sisb", "a.b", 1, "x", 1); }),
         Reason::wrongSignature, false, SD_BUS_ERROR_INVALID_ARGS},
        {call("deleteSettingsWithTag",
              [](auto m) { sd_bus_message_append(tagged(m, 15), "su", "a.b", 1u); }),
         Reason::invalidArgument, false, SD_BUS_ERROR_INVALID_ARGS},
        {call("resolveSettingsWithTag",
              [](auto m) { sd_bus_message_append(tagged(tagged(m), 17), "b", 1); }),
         Reason::invalidArgument, true, SD_BUS_ERROR_INVALID_ARGS},
        {message(true, requests, "deleteSettingsWithTag", none), Reason::notForUs, false,
         SD_BUS_ERROR_NOT_SUPPORTED},
    };
    for (const auto& c : calls) {
        auto parsed = RequestCodec::parse(c.message);
        const auto* refused = std::get_if<Refusal>(&parsed);
        ASSERT_TRUE(refused) << c.message.member();
        EXPECT_EQ(refused->reason, c.reason) << refused->detail;
        EXPECT_STREQ(refused->errorName, c.errorName);
        EXPECT_EQ(refused->tag, c.tagged ? std::optional(kTag) : std::nullopt);
    }
    const Case answers[] = {
        {answer("settingsDeletedWithTag", [](auto m) { tagged(tagged(m), 15); }),
         Reason::invalidArgument, true},
        // Paths not parallel to the changes, and a change that does not decode.
        {answer("noteChangesWithTag",
                [](auto m) { sd_bus_message_append(tagged(m), "aa{sv}as", 0, 1, "orphan/path"); }),
         Reason::invalidArgument, true},
        {answer("noteChangesWithTag",
                [](auto m) {
                    sd_bus_message_append(tagged(m), "aa{sv}as", 1, 1, "type", "x", std::int64_t{1},
                                          1, "p");
                }),
         Reason::invalidArgument, true},
        {message(false, dbus_names::kResponseInterface, "requestSucceededWithTag",
                 [](auto m) { tagged(m); }),
         Reason::notForUs, false},
    };
    for (const auto& c : answers) {
        auto parsed = ResponseCodec::parse(c.message);
        const auto* refused = std::get_if<Refusal>(&parsed);
        ASSERT_TRUE(refused) << c.message.member();
        EXPECT_EQ(refused->reason, c.reason) << c.message.member();
        EXPECT_EQ(refused->tag.has_value(), c.tagged) << c.message.member();
    }

    // Unknown error codes are server errors, unknown update results no response; both keep their
    // raw value and tag, so that the caller is answered.
    auto received = [&](const char* member, const char* types, std::int64_t raw) {
        auto parsed = ResponseCodec::parse(answer(member, [&](auto m) {
            sd_bus_message_append(tagged(m), types, raw, std::int64_t{7});
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

    // Any peer can broadcast a look-alike of the bus's announcement of a name's new owner; only the
    // bus driver's, complete, is taken.
    auto announcement = [&](const char* sender, const char* types) {
        return dbus::NameOwnerChanged::parse(message(
            true, "org.freedesktop.DBus", "NameOwnerChanged",
            [&](sd_bus_message* raw) {
                sd_bus_message_set_sender(raw, sender);
                sd_bus_message_append(raw, types, kDaemon.c_str(), ":1.7", "");
            },
            "/org/freedesktop/DBus"));
    };
    EXPECT_TRUE(announcement("org.freedesktop.DBus", "sss").has_value());
    EXPECT_FALSE(announcement(":1.9", "sss").has_value());
    EXPECT_FALSE(announcement("org.freedesktop.DBus", "ss").has_value());
}
