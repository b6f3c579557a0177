#include "DaemonBusTesting.h"
#include "dbus/MessageWriter.h"
#include "internals/SettingsService.h"

using namespace velkor;
using namespace velkor::test;

namespace {

constexpr std::size_t kHuge = 20 * 1024 * 1024;  // past the daemon's 16 MiB limit on blobs

class MalformedCallsTest : public DaemonBusTest {
  protected:
    MalformedCallsTest() : attacker(connect()), victim(connect()) {}

    /// A call to the daemon, one-way unless `expectReply`.
    dbus::Message call(const char* member, bool expectReply = false,
                       const char* interface = dbus_names::kRequestInterface,
                       const char* path = dbus_names::kObjectPath) {
        sd_bus_message* raw = nullptr;
        EXPECT_GE(sd_bus_message_new_method_call(attacker->bus().get(), &raw, kService.c_str(),
                                                 path, interface, member),
                  0);
        sd_bus_message_set_expect_reply(raw, expectReply ? 1 : 0);
        return dbus::Message(raw);
    }

    /// Sends a one-way call whose arguments `write` appends after a fresh tag; the answer. The
    /// wait is long: under ThreadSanitizer, receiving a message of tens of megabytes alone takes
    /// sd-bus many seconds (it grows its buffer by reallocation as the message comes in).
    template <typename F>
    std::string answerTo(const char* member, F&& write) {
        auto message = call(member);
        const UUID tag = UUID::random();
        dbus::MessageWriter out(message.get());
        out.uuid(tag);
        write(out);
        attacker->sendRaw(message, tag);
        return text(attacker->answer(tag, std::chrono::minutes(2)));
    }

    /// The victim, another client, is still served properly.
    void victimIsServed() {
        EXPECT_EQ(text(victim->request(ClientRequest::SetHasSubscription{victimRoot, true})),
                  "requestSucceeded");
    }

    std::unique_ptr<DaemonClient> attacker;
    std::unique_ptr<DaemonClient> victim;
    UUID victimRoot = newId();
};

}  // namespace

TEST_F(MalformedCallsTest, BadCallsGetAnErrorOrInvalidDataAndTheDaemonServesOthersOn) {
    ASSERT_EQ(text(victim->request(createRequest(dict(victimRoot, {}), 1000, "org.example.app"))),
              "requestSucceeded");

    EXPECT_EQ(attacker->callForError(call("dropSettingsWithTag", true)),
              "org.freedesktop.DBus.Error.UnknownMethod");
    // Wrong signatures: no arguments at all, and the arguments of another member.
    EXPECT_EQ(attacker->callForError(call("createSettingsWithTag", true)),
              "org.freedesktop.DBus.Error.InvalidArgs");
    {
        auto message = call("fetchSettingsWithTag", true);
        dbus::MessageWriter out(message.get());
        out.uuid(UUID::random());
        out.bytes(std::vector<std::uint8_t>(3, 1));
        out.text("org.example.app");
        out.uint32(1000);
        EXPECT_EQ(attacker->callForError(message), "org.freedesktop.DBus.Error.InvalidArgs");
    }
    victimIsServed();
    {
        // A tag of a megabyte, where 16 bytes belong.
        auto message = call("resolveSettingsWithTag", true);
        dbus::MessageWriter out(message.get());
        out.bytes(std::vector<std::uint8_t>(1024 * 1024, 0xAB));
        out.uuid(victimRoot);
        out.boolean(true);
        EXPECT_EQ(attacker->callForError(message), "org.freedesktop.DBus.Error.InvalidArgs");
    }
    // The standard interfaces answer as on any service: here, a Get without its arguments.
    EXPECT_EQ(attacker->callForError(call("Get", true, "org.freedesktop.DBus.Properties")),
              "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(attacker->callForError(call("Frobnicate", true, "org.example.Unknown")),
              "org.freedesktop.DBus.Error.UnknownMethod");
    EXPECT_EQ(attacker->callForError(call("fetchSettingsWithTag", true,
                                          dbus_names::kRequestInterface, "/org/velkor/Other")),
              "org.freedesktop.DBus.Error.UnknownObject");
    victimIsServed();

    // A valid request whose caller waits for a reply gets an empty one, and its answer.
    {
        auto message = call("setHasSubscriptionWithTag", true);
        const UUID tag = UUID::random();
        dbus::MessageWriter out(message.get());
        out.uuid(tag);
        out.uuid(victimRoot);
        out.boolean(false);
        attacker->sendRaw(message, tag);
        EXPECT_EQ(text(attacker->answer(tag)), "requestSucceeded");
    }

    // An unknown member and a wrong signature, one-way: answered under the tag they carry.
    EXPECT_EQ(answerTo("dropSettingsWithTag", [](dbus::MessageWriter&) {}), kInvalidData);
    EXPECT_EQ(answerTo("createSettingsWithTag", [](dbus::MessageWriter& out) { out.text("x"); }),
              kInvalidData);
    // Garbage instead of a blob, and a blob past the limit.
    EXPECT_EQ(answerTo("createSettingsWithTag",
                       [](dbus::MessageWriter& out) {
                           out.bytes(std::vector<std::uint8_t>{0xD9, 0xD9, 0xF8, 0x43, 0x42, 0x4F,
                                                               0x52, 0xFF, 0x00, 0x13});
                           out.text("org.example.garbage");
                           out.uint32(1000);
                       }),
              kInvalidData);
    victimIsServed();
    EXPECT_EQ(answerTo("createSettingsWithTag",
                       [](dbus::MessageWriter& out) {
                           out.bytes(std::vector<std::uint8_t>(kHuge, 0x01));
                           out.text("org.example.huge");
                           out.uint32(1000);
                       }),
              kInvalidData);
    // Change records: without an id, with a value past the limit, with a hundred thousand keys.
    EXPECT_EQ(answerTo("updateSettingsWithTag",
                       [](dbus::MessageWriter& out) {
                           out.openContainer('a', "{sv}");
                           out.openContainer('e', "sv");
                           out.text("type");
                           out.openContainer('v', "x");
                           out.int64(1);
                           out.closeContainer();
                           out.closeContainer();
                           out.closeContainer();
                       }),
              kInvalidData);
    EXPECT_EQ(answerTo("updateSettingsWithTag",
                       [&](dbus::MessageWriter& out) {
                           out.record(VKChangeNotification(ChangeType::childInserted, victimRoot, 0,
                                                           0, 0, "big",
                                                           std::vector<std::uint8_t>(kHuge, 0x02)));
                       }),
              kInvalidData);
    EXPECT_EQ(answerTo("updateSettingsWithTag",
                       [](dbus::MessageWriter& out) {
                           out.openContainer('a', "{sv}");
                           for (int i = 0; i < 100000; ++i) {
                               out.openContainer('e', "sv");
                               out.text("junk" + std::to_string(i));
                               out.openContainer('v', "x");
                               out.int64(i);
                               out.closeContainer();
                               out.closeContainer();
                           }
                           out.closeContainer();
                       }),
              kInvalidData);
    victimIsServed();

    // A client that keeps sending garbage does not flood the journal: ten lines a minute, with
    // its name and uid.
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(answerTo("dropSettingsWithTag", [](dbus::MessageWriter&) {}), kInvalidData);
    const std::string log = daemon().log();
    const std::string line = "Refused a call from " + attacker->uniqueName() + " (uid ";
    std::size_t lines = 0;
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
        ++lines;
    EXPECT_EQ(lines, 10u);
    EXPECT_NE(log.find(line + "0)"), std::string::npos);

    // Nothing of it reached the store.
    auto tree = fetchedTree(victim->request(fetchRequest(1000, "org.example.app")));
    EXPECT_EQ(tree.count(), 0u);
    EXPECT_EQ(tree.revision, 0);
    EXPECT_EQ(text(victim->request(fetchRequest(1000, "org.example.huge"))), kNoAccess);
}
