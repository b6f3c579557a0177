#include <gtest/gtest.h>

#include <numeric>

#include "OfflineBus.h"
#include "dbus/BusError.h"
#include "dbus/RequestCodec.h"
#include "internals/SettingsService.h"

using namespace velkor;
using dbus::Refusal;
using dbus::RequestCodec;

namespace {

const UUID kTag = *UUID::parse("11111111-2222-4333-8444-555555555555");
const UUID kId = *UUID::parse("0F2C6A1E-ABCD-4EF0-8123-456789ABCDEF");
const std::string kDaemon = "org.velkor.SettingsDaemon";

class RequestCodecTest : public ::testing::Test {
  protected:
    static const ClientRequest& accepted(const RequestCodec::Parsed& parsed) {
        if (const auto* refusal = std::get_if<Refusal>(&parsed))
            ADD_FAILURE() << "refused: " << refusal->detail;
        const auto& tagged = std::get<Tagged<ClientRequest>>(parsed);
        EXPECT_EQ(tagged.tag, kTag);
        return tagged.payload;
    }

    /// A call of `member` on the request interface, with arguments added by `fill`.
    template <typename F>
    dbus::Message rawCall(const char* member, F fill, const char* path = dbus_names::kObjectPath,
                          const char* interface = dbus_names::kRequestInterface) {
        sd_bus_message* raw = nullptr;
        EXPECT_GE(sd_bus_message_new_method_call(offline.bus().get(), &raw, kDaemon.c_str(), path,
                                                 interface, member),
                  0);
        dbus::Message call(raw);
        fill(raw);
        offline.seal(call);
        return call;
    }

    static Refusal refused(const RequestCodec::Parsed& parsed) {
        EXPECT_TRUE(std::holds_alternative<Refusal>(parsed));
        return std::holds_alternative<Refusal>(parsed)
                   ? std::get<Refusal>(parsed)
                   : Refusal{Refusal::Reason::notForUs, "", "accepted", {}};
    }

    test::OfflineBus offline;
};

void appendBytes(sd_bus_message* m, std::size_t count) {
    std::vector<std::uint8_t> bytes(count, 0xAB);
    ASSERT_GE(sd_bus_message_append_array(m, 'y', bytes.data(), bytes.size()), 0);
}

}  // namespace

TEST_F(RequestCodecTest, EveryRequestTravelsAsItsOneWayCallAndReadsBack) {
    std::vector<std::uint8_t> tree(300);
    std::iota(tree.begin(), tree.end(), 0);
    auto change = std::make_shared<const VKChangeNotification>(
        ChangeType::childMoved, kId, -7, 3, 9, "kéy", std::vector<std::uint8_t>{0, 1, 255});
    const ClientRequest requests[] = {
        ClientRequest::CreateSettings{Blob(tree), "a.b", 501},
        ClientRequest::CreateSettings{Blob(), "", 1},  // empty blob and texts survive too
        ClientRequest::FetchSettings{"ünïcode.dömain", 0xFFFFFFFF, "x/y", true},
        ClientRequest::UpdateSettings{change},
        ClientRequest::ResolveSettings{kId, false},
        ClientRequest::DeleteSettings{"a.b", 0},
        ClientRequest::SetHasSubscription{kId, true},
    };
    for (const auto& request : requests) {
        auto call = RequestCodec::build(offline.bus(), kDaemon, kTag, request);
        offline.seal(call);
        EXPECT_EQ(call.type(), SD_BUS_MESSAGE_METHOD_CALL);
        EXPECT_EQ(call.destination(), kDaemon);
        EXPECT_EQ(call.path(), "/org/velkor/SettingsDaemon");
        EXPECT_EQ(call.interface(), "org.velkor.SettingsRequestService");
        EXPECT_EQ(sd_bus_message_get_expect_reply(call.get()), 0) << call.member();

        // Parsing reads from the start, whatever was read before.
        const void* tag = nullptr;
        std::size_t size = 0;
        ASSERT_GE(sd_bus_message_read_array(call.get(), 'y', &tag, &size), 0);
        auto parsed = RequestCodec::parse(call);
        const auto& read = accepted(parsed);
        EXPECT_EQ(read.description(), request.description());
        if (const auto* c = read.get<ClientRequest::CreateSettings>()) {
            EXPECT_EQ(c->data, request.get<ClientRequest::CreateSettings>()->data);
        }
        if (const auto* u = read.get<ClientRequest::UpdateSettings>()) {
            ASSERT_NE(u->change, nullptr);
            EXPECT_EQ(*u->change, *change);
        }
    }
}

TEST_F(RequestCodecTest, ValuesThatCannotTravelAreRefusedWhenBuilding) {
    using std::string_literals::operator""s;
    EXPECT_THROW(RequestCodec::build(offline.bus(), kDaemon, kTag,
                                     ClientRequest::DeleteSettings{"a\0b"s, 1}),
                 dbus::BusError);
    EXPECT_THROW(RequestCodec::build(offline.bus(), kDaemon, kTag,
                                     ClientRequest::FetchSettings{"a.b", 1, "bad\xff", false}),
                 dbus::BusError);
    EXPECT_THROW(
        RequestCodec::build(offline.bus(), kDaemon, kTag, ClientRequest::UpdateSettings{nullptr}),
        dbus::BusError);
    auto badKey = std::make_shared<const VKChangeNotification>(
        ChangeType::childChanged, kId, 0, 0, 0, "\xc3", std::vector<std::uint8_t>{});
    EXPECT_THROW(
        RequestCodec::build(offline.bus(), kDaemon, kTag, ClientRequest::UpdateSettings{badKey}),
        dbus::BusError);
    EXPECT_THROW(RequestCodec::build(offline.bus(), "not a bus name", kTag,
                                     ClientRequest::DeleteSettings{"a.b", 1}),
                 dbus::BusError);
}

TEST_F(RequestCodecTest, MessagesOfOtherKindsOrPlacesAreNotForUs) {
    auto otherPath = rawCall(
        "deleteSettingsWithTag", [](auto) {}, "/elsewhere");
    auto r = refused(RequestCodec::parse(otherPath));
    EXPECT_EQ(r.reason, Refusal::Reason::notForUs);
    EXPECT_STREQ(r.errorName, SD_BUS_ERROR_UNKNOWN_OBJECT);

    auto otherInterface = rawCall(
        "deleteSettingsWithTag", [](auto) {}, dbus_names::kObjectPath, "org.example.Other");
    r = refused(RequestCodec::parse(otherInterface));
    EXPECT_EQ(r.reason, Refusal::Reason::notForUs);
    EXPECT_STREQ(r.errorName, SD_BUS_ERROR_UNKNOWN_INTERFACE);

    sd_bus_message* raw = nullptr;
    ASSERT_GE(sd_bus_message_new_signal(offline.bus().get(), &raw, dbus_names::kObjectPath,
                                        dbus_names::kRequestInterface, "deleteSettingsWithTag"),
              0);
    dbus::Message signal(raw);
    offline.seal(signal);
    EXPECT_EQ(refused(RequestCodec::parse(signal)).reason, Refusal::Reason::notForUs);

    auto unknown = rawCall("dropEverythingWithTag", [](auto) {});
    r = refused(RequestCodec::parse(unknown));
    EXPECT_EQ(r.reason, Refusal::Reason::unknownMember);
    EXPECT_STREQ(r.errorName, SD_BUS_ERROR_UNKNOWN_METHOD);
}

TEST_F(RequestCodecTest, ArgumentsOfAnotherSignatureAreRefused) {
    // fetchSettingsWithTag is "aysusb": a missing boolean, a signed user, an extra argument.
    auto missing = rawCall("fetchSettingsWithTag", [](sd_bus_message* m) {
        appendBytes(m, 16);
        sd_bus_message_append(m, "sus", "a.b", 1u, "x");
    });
    auto signedUser = rawCall("fetchSettingsWithTag", [](sd_bus_message* m) {
        appendBytes(m, 16);
        sd_bus_message_append(m, "sisb", "a.b", 1, "x", 1);
    });
    auto extra = rawCall("fetchSettingsWithTag", [](sd_bus_message* m) {
        appendBytes(m, 16);
        sd_bus_message_append(m, "susbs", "a.b", 1u, "x", 1, "more");
    });
    auto tagAsText = rawCall("deleteSettingsWithTag", [](sd_bus_message* m) {
        sd_bus_message_append(m, "ssu", "11111111-2222-4333-8444-555555555555", "a.b", 1u);
    });
    for (const auto* call : {&missing, &signedUser, &extra, &tagAsText}) {
        auto r = refused(RequestCodec::parse(*call));
        EXPECT_EQ(r.reason, Refusal::Reason::wrongSignature) << r.detail;
        EXPECT_STREQ(r.errorName, SD_BUS_ERROR_INVALID_ARGS);
        EXPECT_FALSE(r.tag.has_value());
    }
}

TEST_F(RequestCodecTest, UuidsMustBeExactlySixteenBytes) {
    auto shortTag = rawCall("deleteSettingsWithTag", [](sd_bus_message* m) {
        appendBytes(m, 15);
        sd_bus_message_append(m, "su", "a.b", 1u);
    });
    auto r = refused(RequestCodec::parse(shortTag));
    EXPECT_EQ(r.reason, Refusal::Reason::invalidArgument);
    EXPECT_FALSE(r.tag.has_value());

    // A bad container id is refused with the tag, so that the sender can be told.
    for (std::size_t size : {0u, 15u, 17u}) {
        auto badId = rawCall("resolveSettingsWithTag", [&](sd_bus_message* m) {
            sd_bus_message_append_array(m, 'y', kTag.bytes().data(), 16);
            appendBytes(m, size);
            sd_bus_message_append(m, "b", 1);
        });
        r = refused(RequestCodec::parse(badId));
        EXPECT_EQ(r.reason, Refusal::Reason::invalidArgument);
        EXPECT_EQ(r.tag, kTag);
    }
}
